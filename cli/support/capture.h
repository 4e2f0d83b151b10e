// SPDX-License-Identifier: MIT
//
// --pcap: every datagram sent and received, as a pcapng file that Wireshark
// and tshark open. Each datagram gets an IPv4 and UDP head with its real
// addresses and ports, under an interface block named as the system names
// the interface it went out or came in on.
#pragma once

#include <QFile>
#include <QHash>
#include <QHostAddress>
#include <QString>

#include <functional>

namespace Cli {

class Capture {
public:
    bool open(const QString &path, QString *error);
    bool isOpen() const
    {
        return m_file.isOpen();
    }
    // A datagram this computer sent out on `interfaceIndex` (0: where the
    // routing table sends it); the source is the address it left from.
    void sent(const QByteArray &payload, quint16 fromPort, const QHostAddress &to, quint16 toPort,
              int interfaceIndex);
    void received(const QByteArray &payload, const QHostAddress &from, quint16 fromPort,
                  const QHostAddress &to, quint16 toPort, int interfaceIndex);
    // Told once, with the reason, when the file cannot be written; the
    // capture then stays quiet.
    std::function<void(const QString &)> onFailure;

private:
    void packet(const QByteArray &payload, quint32 from, quint16 fromPort, quint32 to,
                quint16 toPort, int interfaceIndex);
    int interfaceId(int index); // writes its block the first time
    void write(const QByteArray &block);

    QFile m_file;
    QHash<int, int> m_interfaces; // system index -> block number
};

} // namespace Cli
