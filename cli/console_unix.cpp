// SPDX-License-Identifier: MIT
#include "console.h"
#include "logfile.h"

#include <QSocketNotifier>

#include <cerrno>

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

namespace Cli::Console {

volatile std::sig_atomic_t progressShown = 0;
const char *eraseLine = "\x1b[K";
volatile std::sig_atomic_t writing = 0;
volatile std::sig_atomic_t stopRequested = 0;
int stopStatus = 0;

namespace {

// With catchStop(), the handler only writes to this pipe, and the event loop
// ends the run.
int g_stopPipe[2] = {-1, -1};

void onInterrupt(int sig)
{
    if (g_stopPipe[1] >= 0) {
        // A reader that takes nothing holds the write for ever, and the event
        // loop never sees the pipe: the run ends here, as it would there.
        if (writing || outputFileWriting)
            _exit(stopStatus);
        stopRequested = 1;
        outputFilesStopped = 1;
        [[maybe_unused]] const ssize_t n = write(g_stopPipe[1], "x", 1);
        return;
    }
    // Ctrl-C while the progress line shows: clear it, then end as the signal would.
    if (progressShown) {
        static const char clear[] = "\r\x1b[K";
        [[maybe_unused]] const ssize_t n = write(STDERR_FILENO, clear, sizeof clear - 1);
    }
    std::signal(sig, SIG_DFL);
    std::raise(sig);
}

} // namespace

bool prepare()
{
    // A write to a closed pipe fails with EPIPE instead of ending the process,
    // so that 'set ... | head' still reports what became of the receiver.
    std::signal(SIGPIPE, SIG_IGN);
    std::signal(SIGINT, onInterrupt);
    std::signal(SIGTERM, onInterrupt);
    // A closed standard stream would be taken by the next file or socket
    // opened, and output meant for it would go there: hold it with /dev/null.
    bool stdoutClosed = false;
    for (const int fd : {STDIN_FILENO, STDOUT_FILENO, STDERR_FILENO}) {
        if (fcntl(fd, F_GETFD) != -1 || errno != EBADF)
            continue;
        if (fd == STDOUT_FILENO)
            stdoutClosed = true;
        const int null = open("/dev/null", O_RDWR);
        if (null >= 0 && null != fd) {
            dup2(null, fd);
            close(null);
        }
    }
    return stdoutClosed;
}

bool isTerminal(int fd)
{
    return isatty(fd);
}

bool readerGone()
{
    // The write end of a pipe without a reader polls as an error.
    pollfd out{STDOUT_FILENO, POLLOUT, 0};
    return poll(&out, 1, 0) == 1 && (out.revents & POLLERR);
}

bool isHelpSwitch(const QString &arg)
{
    return arg == QLatin1String("--help") || arg == QLatin1String("-h");
}

// The help texts are written in these terms.
QList<QPair<QString, QString>> helpTerms()
{
    return {};
}

bool brokenPipe(int error)
{
    return error == EPIPE;
}

void endAsBrokenPipe()
{
    std::signal(SIGPIPE, SIG_DFL);
    std::raise(SIGPIPE);
    _exit(141);
}

void endNow(int status)
{
    _exit(status);
}

bool catchStop(QObject *context, std::function<void()> stopped)
{
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
}

} // namespace Cli::Console
