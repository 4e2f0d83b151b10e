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

Streams processStreams()
{
    Streams s;
    s.closed = g_stdoutClosed;
    // The progress line would end up inside redirected output or a log.
    s.terminal = !g_stdoutClosed && Console::isTerminal(1) && Console::isTerminal(2);
    s.data = [](const QByteArray &bytes, QString *why, bool *readerGone) {
        if (g_stdoutClosed) {
            *why = QStringLiteral("it is closed");
            return false;
        }
        errno = 0;
        Console::writing = 1;
        const bool ok = std::fwrite(bytes.constData(), 1, std::size_t(bytes.size()), stdout) ==
                            std::size_t(bytes.size()) &&
                        std::fflush(stdout) == 0;
        Console::writing = 0;
        if (!ok) {
            const int error = errno;
            *readerGone = Console::brokenPipe(error); // before anything resets the system's error
            *why = QString::fromLocal8Bit(std::strerror(error));
        }
        return ok;
    };
    s.readerGone = [] { return !g_stdoutClosed && Console::readerGone(); };
    s.messages = [](const QByteArray &bytes) {
        std::fwrite(bytes.constData(), 1, std::size_t(bytes.size()), stderr);
        std::fflush(stderr);
    };
    return s;
}

Output::Output(Streams streams) : m_streams(std::move(streams)) {}

bool Output::data(const QString &text)
{
    if (m_failed)
        return false;
    clearProgress();
    // A signal that came between two writes would otherwise wait behind this
    // one for ever.
    if (Console::stopRequested && m_endBeforeWrite)
        Console::endNow(Console::stopStatus);
    QString why;
    bool readerGone = false;
    const bool ok = m_streams.data(text.toUtf8(), &why, &readerGone);
    // A reader that has had enough ('find | head -1') ends the run quietly, as
    // SIGPIPE would; once a configuration message is out, its outcome counts.
    if (!ok && readerGone && !m_sent)
        Console::endAsBrokenPipe();
    if (!ok)
        failed(QStringLiteral("cannot write to standard output: %1").arg(why));
    return ok;
}

void Output::endIfReaderGone()
{
    if (!m_sent && m_streams.readerGone && m_streams.readerGone())
        Console::endAsBrokenPipe();
}

namespace {

// One line, whatever a name from the network holds: no byte of it acts on the
// terminal.
QByteArray oneLine(const QString &text)
{
    QString line;
    for (const QChar c : text)
        line += c.unicode() < 0x20 || (c.unicode() >= 0x7F && c.unicode() < 0xA0)
                    ? QStringLiteral("\\x%1").arg(c.unicode(), 2, 16, QLatin1Char('0'))
                    : QString(c);
    return line.toUtf8() + '\n';
}

} // namespace

void Output::note(const QString &text)
{
    clearProgress();
    m_streams.messages("vantrel-cli: " + oneLine(text));
}

void Output::verbose(const QString &line)
{
    clearProgress();
    m_streams.messages(oneLine(line));
}

void Output::outcomes(const QString &text)
{
    // Once messages are out, their outcomes must be seen somewhere.
    if (!data(text) && m_sent)
        m_streams.messages(text.toUtf8());
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
    m_streams.messages("\r" + text.toUtf8() + Console::eraseLine);
}

void Output::clearProgress()
{
    if (!m_progressShown)
        return;
    Console::progressShown = 0;
    m_streams.messages(QByteArray("\r") + Console::eraseLine);
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
