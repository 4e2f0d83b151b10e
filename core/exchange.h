// SPDX-License-Identifier: MIT
//
// vantrel-cli's side of the exchange: one UDP socket bound to the reply port
// sends the requests and the configuration message and receives the
// replies. A tap, when set, sees every datagram in and out.
#pragma once

#include "receivers.h"
#include "udp.h"

#include <QHash>
#include <QObject>
#include <QUdpSocket>

#include <memory>

namespace Core {

// What sees every datagram of an exchange (vantrel-cli's log and capture).
class Tap {
public:
    virtual ~Tap() = default;
    // Whether it wants every datagram now; otherwise those that are no
    // reply are only counted, the common case under a flood.
    virtual bool wantsAll() const = 0;
    // `result`: "reply", "short" (marked as a reply, too short) or "invalid".
    virtual void received(const QByteArray &bytes, const QHostAddress &from, quint16 fromPort,
                          const QHostAddress &to, int interfaceIndex, const QString &interfaceName,
                          const char *result) = 0;
    // `error` is empty when it was sent.
    virtual void sent(const QByteArray &bytes, const Destination &to, const QString &error) = 0;
};

class Exchange : public QObject {
    Q_OBJECT
public:
    explicit Exchange(QObject *parent = nullptr);
    ~Exchange() override;

    // Takes the reply port. `taken` (when given) tells whether another
    // program holds it, which may end soon: a search of its own.
    bool open(QString *error, bool *taken = nullptr);
    // Lets the reply port go, for another program between searches; open()
    // takes it again.
    void close();
    void setTap(Tap *tap)
    {
        m_tap = tap;
    }
    // Reads no more: what is still queued is not wanted once the run ends.
    void stop()
    {
        m_stopped = true;
    }
    // Returns false with the reason when the datagram could not be sent.
    bool send(const QByteArray &bytes, const Destination &to, QString *error);

    // What came in on the reply port, by interface index (0: unknown).
    struct Tally {
        int replies = 0; // valid replies
        int others = 0;  // datagrams that are not
    };
    const QHash<int, Tally> &tally() const
    {
        return m_tally;
    }

signals:
    void replyReceived(const Core::Receiver &receiver);

private slots:
    void readPending();

private:
    void take(const Reader::Datagram &d);
    void count(int interfaceIndex, bool reply);

    Tap *m_tap = nullptr;
    bool m_stopped = false;
    QHash<int, Tally> m_tally; // as many keys as this computer has interfaces
    InterfaceNames m_names;
    QUdpSocket m_socket;
    std::unique_ptr<Reader> m_reader; // while the port is bound
};

} // namespace Core
