// SPDX-License-Identifier: MIT
//
// The receiver emulator as a child process whose log is read as the event
// loop runs, so a window in the same test keeps working while we wait.
#pragma once

#include <QByteArray>
#include <QProcess>
#include <QStringList>
#include <QTest>

class EmulatorProcess {
public:
    // `prelude`, when given, is a shell script run first in a network
    // namespace of the emulator's own, which then starts in it.
    explicit EmulatorProcess(const QStringList &args, const QString &prelude = QString())
    {
        QObject::connect(&m_process, &QProcess::readyReadStandardOutput, [this] {
            while (m_process.canReadLine())
                m_lines << QString::fromLatin1(m_process.readLine()).trimmed();
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
    // Log lines that contain all the given words.
    QStringList lines(const QString &a, const QString &b = QString()) const
    {
        QStringList out = m_lines.filter(a);
        return b.isEmpty() ? out : out.filter(b);
    }
    static QByteArray hexOf(const QString &line)
    {
        return QByteArray::fromHex(line.section(QStringLiteral(" hex="), 1).toLatin1());
    }

private:
    QProcess m_process;
    QStringList m_lines;
};
