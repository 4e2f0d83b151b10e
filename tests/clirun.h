// SPDX-License-Identifier: MIT
//
// vantrel-cli run as a child process while the test's event loop goes on,
// so that receivers played inside the test still answer.
#pragma once

#include <QEventLoop>
#include <QFileInfo>
#include <QProcess>
#include <QString>
#include <QStringList>
#include <QTimer>

#include <functional>

struct Result {
    int code = -1;
    QString out, err;
};

// `childSetup` runs in the child before exec, e.g. to redirect its streams.
inline Result cli(const QStringList &args, const std::function<void()> &childSetup = {})
{
    QProcess p;
    if (childSetup)
        p.setChildProcessModifier(childSetup);
    QEventLoop loop;
    QObject::connect(&p, &QProcess::finished, &loop, &QEventLoop::quit);
    QTimer::singleShot(30000, &loop, &QEventLoop::quit);
    p.start(QStringLiteral(CLI_PATH), args);
    loop.exec();
    if (p.state() != QProcess::NotRunning) {
        p.kill();
        p.waitForFinished();
        return {};
    }
    return {p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -1,
            QString::fromUtf8(p.readAllStandardOutput()),
            QString::fromUtf8(p.readAllStandardError())};
}

// A command as the program prints it, pasted into a root shell of the test's
// computer (which may have no sudo: root needs none), with vantrel-cli on
// PATH. Returns its exit status.
inline int asRoot(const QString &command)
{
    QProcess bash;
    bash.setProcessChannelMode(QProcess::ForwardedChannels);
    bash.start(QStringLiteral("bash"),
               {QStringLiteral("-c"), QStringLiteral("command -v sudo >/dev/null || sudo() { "
                                                     "\"$@\"; }; PATH=") +
                                          QFileInfo(QStringLiteral(CLI_PATH)).path() +
                                          QStringLiteral(":$PATH:/usr/sbin:/sbin; ") + command});
    bash.waitForFinished(30000);
    return bash.exitStatus() == QProcess::NormalExit ? bash.exitCode() : -1;
}
