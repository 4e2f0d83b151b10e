// SPDX-License-Identifier: MIT
//
// The exchange's mechanism on UDP sockets that the caller owns, for the
// window and vantrel-cli alike: binding the reply port, reading datagrams
// with the interface each came in on, sending out of a chosen adapter, and
// the adapters' names.
#pragma once

#include "system.h"

#include <QAbstractSocket>
#include <QByteArray>
#include <QHash>
#include <QHostAddress>
#include <QObject>
#include <QString>

#include <memory>

class QSocketNotifier;
class QUdpSocket;

namespace Core {

struct Destination {
    QHostAddress address;
    int interfaceIndex = 0; // 0: let the routing table choose
    QString interfaceName;
    // Sent from the interface's own address too: every system then sends a
    // limited broadcast out of it, where an index alone is not honoured by all.
    bool fromInterfaceAddress = false;
};

// Binds the reply port with room for a few tens of milliseconds of a flood
// of small datagrams, so that replies still find space while the program
// is busy. The kernel caps the room at net.core.rmem_max. No proxy: replies
// come to this computer's own adapters.
bool bindReplyPort(QUdpSocket &socket, const QHostAddress &address, QAbstractSocket::BindMode mode);

// Sends `bytes` to the device port at `to`. Returns false with the system's
// reason when it could not be sent.
bool sendTo(QUdpSocket &socket, const QByteArray &bytes, const Destination &to, QString *error);

// The limited broadcast out of the adapter a receiver answered on, found
// again by name (an adapter plugged in again gets a new index), so that the
// default route does not carry it onto a wire the user never chose. Empty
// `gone` when it can be sent; else "is gone" or "is down".
Destination broadcastOn(const QString &interfaceName, QString *gone);

// The interface a user names: as the system does (Qt's "ethernet_3" on
// Windows) or as the user knows it ("Ethernet", the same on Linux).
QNetworkInterface interfaceNamed(const QString &name);

// Interface names by index, the system asked once per adapter: a walk of
// every interface per reply would cost a thousand receivers dear. An index
// never comes back with another name.
class InterfaceNames {
public:
    QString operator()(int index) const;

private:
    mutable QHash<int, QString> m_names;
};

// Reads a bound socket: many datagrams per system call where the system
// allows, one read per datagram through Qt otherwise, never a peek first.
// Made anew for each bind.
class Reader : public QObject {
    Q_OBJECT
public:
    using Datagram = System::Datagram;
    explicit Reader(QUdpSocket &socket, QObject *parent = nullptr);
    ~Reader() override;

    // Hands waiting datagrams to `take` (each cut to the read buffer) until
    // `max` were read or it returns false; returns how many it read.
    template <class Take> int drain(int max, Take &&take)
    {
        int total = 0;
        while (total < max) {
            const int n = fill();
            for (int i = 0; i < n; ++i)
                if (!take(m_batch[i]))
                    return total + i + 1;
            total += n;
            if (n < System::BatchReader::Batch)
                break; // drained: the next datagram wakes readyRead again
        }
        return total;
    }

signals:
    void readyRead();

private:
    int fill();

    QUdpSocket &m_socket;
    std::unique_ptr<System::BatchReader> m_batches;
    QSocketNotifier *m_notifier = nullptr;
    Datagram m_batch[System::BatchReader::Batch];
    QByteArray m_copies[System::BatchReader::Batch]; // Qt's path: the bytes behind m_batch
};

} // namespace Core
