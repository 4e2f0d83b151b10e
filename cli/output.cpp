// SPDX-License-Identifier: MIT
#include "output.h"

#include "console.h"

#include <cerrno>
#include <cstdio>
#include <cstring>

namespace Cli {

namespace {
bool g_stdoutClosed = false;
} // namespace

void prepareProcess()
{
    g_stdoutClosed = Console::prepare();
}

bool Output::closed()
{
    return g_stdoutClosed;
}

Output::Output()
    // The progress line would end up inside redirected output or a log.
    : m_terminal(!g_stdoutClosed && Console::isTerminal(1) && Console::isTerminal(2))
{
}

bool Output::data(const QString &text)
{
    if (m_failed)
        return false;
    clearProgress();
    const QByteArray bytes = text.toUtf8();
    errno = 0;
    Console::writing = 1;
    // A signal that came between two writes would otherwise wait behind this
    // one for ever.
    if (Console::stopRequested && m_endBeforeWrite)
        Console::endNow(Console::stopStatus);
    const bool ok = !g_stdoutClosed &&
                    std::fwrite(bytes.constData(), 1, std::size_t(bytes.size()), stdout) ==
                        std::size_t(bytes.size()) &&
                    std::fflush(stdout) == 0;
    Console::writing = 0;
    // A reader that has had enough ('find | head -1') ends the run quietly, as
    // SIGPIPE would; once a configuration message is out, its outcome counts.
    if (!ok && errno == EPIPE && !m_sent)
        Console::endAsBrokenPipe();
    if (!ok)
        failed(QStringLiteral("cannot write to standard output: %1")
                   .arg(g_stdoutClosed ? QStringLiteral("it is closed")
                                       : QString::fromLocal8Bit(std::strerror(errno))));
    return ok;
}

void Output::note(const QString &text)
{
    clearProgress();
    std::fprintf(stderr, "vantrel-cli: %s\n", text.toUtf8().constData());
    std::fflush(stderr);
}

void Output::outcomes(const QString &text)
{
    // Once messages are out, their outcomes must be seen somewhere.
    if (!data(text) && m_sent) {
        std::fputs(text.toUtf8().constData(), stderr);
        std::fflush(stderr);
    }
}

void Output::failed(const QString &message)
{
    if (m_failed)
        return;
    m_failed = true;
    note(message);
    if (!m_sent && onFailure)
        onFailure();
}

void Output::progress(const QString &text)
{
    // Marked first: a Ctrl-C while the line is being written must clear it too.
    m_progressShown = true;
    Console::progressShown = 1;
    std::fprintf(stderr, "\r%s\x1b[K", text.toUtf8().constData());
    std::fflush(stderr);
}

void Output::clearProgress()
{
    if (!m_progressShown)
        return;
    Console::progressShown = 0;
    std::fputs("\r\x1b[K", stderr);
    std::fflush(stderr);
    m_progressShown = false;
}

bool Output::catchStop(QObject *context, std::function<void()> stopped, int blockedStatus,
                       bool endBeforeWrite)
{
    Console::stopStatus = blockedStatus;
    m_endBeforeWrite = endBeforeWrite;
    return Console::catchStop(context, std::move(stopped));
}

} // namespace Cli
