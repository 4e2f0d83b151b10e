// SPDX-License-Identifier: MIT
//
// The receiver emulator as a child process whose log is read as the event
// loop runs, so a window in the same test keeps working while we wait.
#pragma once

#include "testnet.h"

#include <QByteArray>
#include <QDateTime>
#include <QProcess>
#include <QStringList>
#include <QTest>
#include <QUdpSocket>

class EmulatorProcess {
public:
    // `prelude`, when given, is a shell script run first in a network
    // namespace of the emulator's own, which then starts in it.
    explicit EmulatorProcess(const QStringList &args, const QString &prelude = QString())
    {
        QObject::connect(&m_process, &QProcess::readyReadStandardOutput, [this] {
            while (m_process.canReadLine()) {
                const QString line = QString::fromLatin1(m_process.readLine()).trimmed();
                // Markers of barrier() are the test's own, not the tool's.
                (line.contains(QLatin1String(" hex=6261727269657220")) ? m_passed : m_lines)
                    << line;
            }
        });
        m_process.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        if (prelude.isEmpty())
            m_process.start(QStringLiteral(EMULATOR_PATH), args);
        else
            m_process.start(QStringLiteral("unshare"),
                            QStringList{"--net", "--", "sh", "-c", prelude + "\nexec \"$0\" \"$@\"",
                                        QStringLiteral(EMULATOR_PATH)} +
                                args);
    }
    qint64 processId() const
    {
        return m_process.processId();
    }
    // A prelude that puts the emulator at the far end of a veth pair, as a
    // receiver on a wire of its own: it waits for the end `link` (see adopt),
    // gives it `address` and sends everything out through it. `more` runs after.
    static QString farEnd(const QString &link, const QString &address,
                          const QString &more = QString())
    {
        return QStringLiteral("while ! ip link show %1 >/dev/null 2>&1; do sleep 0.02; done\n"
                              "ip link set lo up && ip addr add %2 dev %1 && ip link set %1 up &&"
                              " ip route add default dev %1\n%3")
            .arg(link, address, more);
    }
    // Moves the veth end `link` of the test's namespace into the emulator's.
    bool adopt(const QString &link)
    {
        return QTest::qWaitFor([this] { return processId() > 0; }) &&
               TestNet::moveLink(link, processId());
    }
    ~EmulatorProcess()
    {
        m_process.terminate();
        if (!m_process.waitForFinished(3000))
            m_process.kill();
    }
    bool waitReady()
    {
        return QTest::qWaitFor([this] { return !lines(QStringLiteral(" ready ")).isEmpty(); });
    }
    // Returns once the emulator has logged everything that reached it before
    // now: a marker sent to its port queues behind every earlier datagram. Only
    // for an emulator in the test's own namespace.
    bool barrier()
    {
        const QByteArray marker = "barrier " + QByteArray::number(++m_barriers); // hex 626172...
        QUdpSocket socket;
        // Broadcast, so that it reaches the emulator even where another socket
        // shares its port.
        socket.writeDatagram(marker, QHostAddress(QStringLiteral("127.255.255.255")), 48321);
        const QString hex = QString::fromLatin1(marker.toHex());
        return QTest::qWaitFor([&] { return !m_passed.filter(hex).isEmpty(); });
    }
    // Log lines that contain all the given words.
    QStringList lines(const QString &a, const QString &b = QString()) const
    {
        QStringList out = m_lines.filter(a);
        return b.isEmpty() ? out : out.filter(b);
    }
    // A log line's wall clock, in milliseconds since the epoch.
    static qint64 timeOf(const QString &line)
    {
        return QDateTime::fromString(line.section(QLatin1Char(' '), 0, 0), Qt::ISODateWithMs)
            .toMSecsSinceEpoch();
    }
    static QByteArray hexOf(const QString &line)
    {
        return QByteArray::fromHex(line.section(QStringLiteral(" hex="), 1).toLatin1());
    }

private:
    QProcess m_process;
    QStringList m_lines;
    QStringList m_passed; // barrier markers
    int m_barriers = 0;
};
