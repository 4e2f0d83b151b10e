// SPDX-License-Identifier: MIT
#include "output.h"

#include <QMetaObject>
#include <QSocketNotifier>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>

#ifdef Q_OS_WIN
#include <io.h>
#include <windows.h>
#define isatty _isatty
#else
#include <fcntl.h>
#include <unistd.h>
#endif

namespace Cli {

namespace {

// Read by the signal handler: whether a progress line is on the terminal,
// and whether the program is inside a write to standard output.
volatile std::sig_atomic_t g_progressShown = 0;
volatile std::sig_atomic_t g_writing = 0;
volatile std::sig_atomic_t g_stopRequested = 0;
int g_stopStatus = 0; // the status of a run that the signal ends in a write
bool g_stdoutClosed = false;

#ifdef Q_OS_WIN
// With catchStop(), Ctrl-C, Ctrl-Break and a closed console window post the
// end of the run to the event loop; Windows calls the handler on a thread
// of its own.
QObject *g_stopContext = nullptr;
std::function<void()> g_stopped;

BOOL WINAPI onConsoleStop(DWORD)
{
    if (!g_stopContext)
        return FALSE; // the default: end the process
    if (g_writing)
        std::_Exit(g_stopStatus);
    g_stopRequested = 1;
    QMetaObject::invokeMethod(
        g_stopContext, [] { g_stopped(); }, Qt::QueuedConnection);
    return TRUE;
}
#else
// With catchStop(), the handler only writes to this pipe, and the event loop
// ends the run.
int g_stopPipe[2] = {-1, -1};

void onInterrupt(int sig)
{
    if (g_stopPipe[1] >= 0) {
        // A reader that takes nothing holds the write for ever, and the event
        // loop never sees the pipe: the run ends here, as it would there.
        if (g_writing)
            _exit(g_stopStatus);
        g_stopRequested = 1;
        [[maybe_unused]] const ssize_t n = write(g_stopPipe[1], "x", 1);
        return;
    }
    // Ctrl-C while the progress line shows: clear it, then end as the signal would.
    if (g_progressShown) {
        static const char clear[] = "\r\x1b[K";
        [[maybe_unused]] const ssize_t n = write(STDERR_FILENO, clear, sizeof clear - 1);
    }
    std::signal(sig, SIG_DFL);
    std::raise(sig);
}
#endif

// Ends the process as a write to a closed pipe does on Linux, with the
// status a shell reports for it (128 + SIGPIPE) where there is no SIGPIPE.
[[noreturn]] void endAsBrokenPipe()
{
#ifdef Q_OS_WIN
    std::fflush(stderr);
    std::_Exit(141);
#else
    std::signal(SIGPIPE, SIG_DFL);
    std::raise(SIGPIPE);
    std::_Exit(141);
#endif
}

} // namespace

void prepareProcess()
{
#ifndef Q_OS_WIN
    // A write to a closed pipe fails with EPIPE instead of ending the process,
    // so that 'set ... | head' still reports what became of the receiver.
    std::signal(SIGPIPE, SIG_IGN);
    std::signal(SIGINT, onInterrupt);
    std::signal(SIGTERM, onInterrupt);
    // A closed standard stream would be taken by the next file or socket
    // opened, and output meant for it would go there: hold it with /dev/null.
    for (const int fd : {STDIN_FILENO, STDOUT_FILENO, STDERR_FILENO}) {
        if (fcntl(fd, F_GETFD) != -1 || errno != EBADF)
            continue;
        if (fd == STDOUT_FILENO)
            g_stdoutClosed = true;
        const int null = open("/dev/null", O_RDWR);
        if (null >= 0 && null != fd) {
            dup2(null, fd);
            close(null);
        }
    }
#endif
}

bool Output::closed()
{
    return g_stdoutClosed;
}

Output::Output()
    // The progress line would end up inside redirected output or a log.
    : m_terminal(!g_stdoutClosed && isatty(1) && isatty(2))
{
}

bool Output::data(const QString &text)
{
    if (m_failed)
        return false;
    clearProgress();
    const QByteArray bytes = text.toUtf8();
    errno = 0;
    g_writing = 1;
    // A signal that came between two writes would otherwise wait behind this
    // one for ever.
    if (g_stopRequested && m_endBeforeWrite)
        _exit(g_stopStatus);
    const bool ok = !g_stdoutClosed &&
                    std::fwrite(bytes.constData(), 1, std::size_t(bytes.size()), stdout) ==
                        std::size_t(bytes.size()) &&
                    std::fflush(stdout) == 0;
    g_writing = 0;
    // A reader that has had enough ('find | head -1') ends the run quietly, as
    // SIGPIPE would; once a configuration message is out, its outcome counts.
    if (!ok && errno == EPIPE && !m_sent)
        endAsBrokenPipe();
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
    g_progressShown = 1;
    std::fprintf(stderr, "\r%s\x1b[K", text.toUtf8().constData());
    std::fflush(stderr);
}

void Output::clearProgress()
{
    if (!m_progressShown)
        return;
    g_progressShown = 0;
    std::fputs("\r\x1b[K", stderr);
    std::fflush(stderr);
    m_progressShown = false;
}

bool Output::catchStop(QObject *context, std::function<void()> stopped, int blockedStatus,
                       bool endBeforeWrite)
{
    g_stopStatus = blockedStatus;
    m_endBeforeWrite = endBeforeWrite;
#ifdef Q_OS_WIN
    g_stopped = std::move(stopped);
    g_stopContext = context;
    return SetConsoleCtrlHandler(onConsoleStop, TRUE);
#else
    if (pipe(g_stopPipe) != 0)
        return false;
    fcntl(g_stopPipe[0], F_SETFD, FD_CLOEXEC);
    fcntl(g_stopPipe[1], F_SETFD, FD_CLOEXEC);
    auto *stop = new QSocketNotifier(g_stopPipe[0], QSocketNotifier::Read, context);
    QObject::connect(stop, &QSocketNotifier::activated, context, [stop, stopped] {
        stop->setEnabled(false); // the byte stays in the pipe
        stopped();
    });
    return true;
#endif
}

} // namespace Cli
