// SPDX-License-Identifier: MIT
//
// The socket side of vantrel-cli: one UDP socket bound to the reply port sends
// the requests and the configuration message and receives the replies. Every
// datagram in and out can be written to the log and the capture.
#pragma once

#include "capture.h"
#include "logfile.h"
#include "receivers.h"

#include <QHash>
#include <QHostAddress>
#include <QList>
#include <QObject>
#include <QSocketNotifier>
#include <QUdpSocket>

#include <memory>

namespace Cli {

namespace System {
class BatchReader;
}

struct Destination {
    QHostAddress address;
    int interfaceIndex = 0; // 0: let the routing table choose
    QString interfaceName;
    // Sent from the interface's own address too: every system then sends a
    // limited broadcast out of it, where an index alone is not honoured by all.
    bool fromInterfaceAddress = false;
};

class Exchange : public QObject {
    Q_OBJECT
public:
    explicit Exchange(Log &log, QObject *parent = nullptr);
    ~Exchange() override;

    // Takes the reply port. `taken` (when given) tells whether another
    // program holds it, which may end soon: a search of its own.
    bool open(QString *error, bool *taken = nullptr);
    // Lets the reply port go, for another program between searches; open()
    // takes it again.
    void close();
    // Every datagram in and out also goes to `capture`, when it is open.
    void setCapture(Capture *capture)
    {
        m_capture = capture;
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
    void replyReceived(const Cli::Receiver &receiver);

private slots:
    void readPending();
    void readBatches();

private:
    QString interfaceName(int index) const;
    QString logName(int index) const
    {
        const QString name = interfaceName(index);
        return name.isEmpty() ? QStringLiteral("-") : name;
    }
    // One datagram off the reply port, from wherever it was read.
    void take(const char *data, int size, const QHostAddress &from, quint16 fromPort,
              const QHostAddress &to, int interfaceIndex);

    void count(int interfaceIndex, bool reply);

    Log &m_log;
    Capture *m_capture = nullptr;
    bool m_stopped = false;
    QHash<int, Tally> m_tally; // as many keys as this computer has interfaces
    mutable QHash<int, QString> m_names;
    QUdpSocket m_socket;
    // Where the system can, many datagrams per call straight off the
    // socket; Qt's own path costs a peek and a read per datagram.
    std::unique_ptr<System::BatchReader> m_batches;
    QSocketNotifier *m_notifier = nullptr;
};

} // namespace Cli
