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
    explicit EmulatorProcess(const QStringList &args)
    {
        QObject::connect(&m_process, &QProcess::readyReadStandardOutput, [this] {
            while (m_process.canReadLine())
                m_lines << QString::fromLatin1(m_process.readLine()).trimmed();
        });
        m_process.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        m_process.start(QStringLiteral(EMULATOR_PATH), args);
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
