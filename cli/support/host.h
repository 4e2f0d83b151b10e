// SPDX-License-Identifier: MIT
//
// The operating system's services that only vantrel-cli's doctor and its
// output files need, behind one interface with one source file per system
// (Linux, Windows, and a portable one for every other; the POSIX calls that
// Linux and the portable one share in host_posix.cpp). Where a system has no
// counterpart, the answer says so and the caller tells the user.
#pragma once

#include <QFile>
#include <QString>

#include <functional>

namespace Cli::Host {

// The firewall's ruleset as 'nft -j list ruleset' writes it; empty where
// there is none to read (no nft, no permission, another system).
QByteArray firewallRuleset();

// UDP datagrams the system discarded before any socket got them, counted
// since it started; -1 where it does not say.
struct UdpDiscards {
    qint64 checksum = -1; // a bad UDP checksum
    qint64 buffer = -1;   // a full receive buffer
};
UdpDiscards udpDiscards();

// Whether `path` is the file that descriptor `fd` (0, 1 or 2) has open,
// such as /dev/stdout; false where the system cannot tell.
bool isStream(const QString &path, int fd);

// Opens `path` for writing when it is a FIFO: only when something reads it,
// which otherwise would hold the run before anything is sent. Returns false
// with `handled` false when it is no FIFO (or the system has none).
bool openFifo(QFile &file, const QString &path, QIODevice::OpenMode mode, QString *error,
              bool *handled);

// UDP datagrams to one port as they arrive on the wire, before any firewall
// of this computer, counted by interface index.
class PacketWatch {
public:
    PacketWatch() = default;
    PacketWatch(const PacketWatch &) = delete;
    PacketWatch &operator=(const PacketWatch &) = delete;
    ~PacketWatch();
    // False, with the reason, where it may not watch (root or CAP_NET_RAW on
    // Linux) or the system offers no such view: then it cannot tell.
    bool open(QString *error);
    qintptr descriptor() const
    {
        return m_fd;
    }
    // Reads what is waiting; `seen` gets the interface of each datagram to `port`.
    void read(quint16 port, const std::function<void(int interfaceIndex)> &seen);

private:
    qintptr m_fd = -1;
};

} // namespace Cli::Host
