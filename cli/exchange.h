// SPDX-License-Identifier: MIT
//
// The socket side of vantrel-cli: one UDP socket bound to the reply port sends
// the requests and the configuration message and receives the replies. Every
// datagram in and out can be written to a support log.
#pragma once

#include "receivers.h"

#include <QFile>
#include <QHostAddress>
#include <QList>
#include <QObject>
#include <QUdpSocket>

namespace Cli {

// Support log: one line per datagram with UTC time, addresses, interface,
// size and hex dump. Does nothing until opened.
class Log {
public:
    bool open(const QString &path, QString *error);
    void line(const QString &text);

private:
    QFile m_file;
};

struct Destination {
    QHostAddress address;
    int interfaceIndex = 0; // 0: let the routing table choose
    QString interfaceName;
};

class Exchange : public QObject {
    Q_OBJECT
public:
    explicit Exchange(Log &log, QObject *parent = nullptr);

    bool open(QString *error);
    // Returns false with the reason when the datagram could not be sent.
    bool send(const QByteArray &bytes, const Destination &to, QString *error);

signals:
    void replyReceived(const Cli::Receiver &receiver);

private slots:
    void readPending();

private:
    QString interfaceName(int index) const;

    Log &m_log;
    QUdpSocket m_socket;
};

} // namespace Cli
