// SPDX-License-Identifier: MIT
#include "console.h"
#include "logfile.h"

#include <QMetaObject>

#include <cerrno>
#include <cstdio>
#include <cstdlib>

#include <io.h>
#include <windows.h>

namespace Cli::Console {

volatile std::sig_atomic_t progressShown = 0;
const char *eraseLine = "\x1b[K";
volatile std::sig_atomic_t writing = 0;
volatile std::sig_atomic_t stopRequested = 0;
int stopStatus = 0;

namespace {

// Windows calls the handler on a thread of its own: it posts the end of the
// run to the event loop.
QObject *g_stopContext = nullptr;
std::function<void()> g_stopped;

BOOL WINAPI onConsoleStop(DWORD)
{
    if (!g_stopContext) {
        if (progressShown) // Ctrl-C while the progress line shows: clear it first
            (std::fputs("\r", stderr), std::fputs(eraseLine, stderr));
        return FALSE; // the default: end the process
    }
    if (writing || outputFileWriting)
        std::_Exit(stopStatus);
    stopRequested = 1;
    outputFilesStopped = 1;
    QMetaObject::invokeMethod(
        g_stopContext, [] { g_stopped(); }, Qt::QueuedConnection);
    return TRUE;
}

} // namespace

bool prepare()
{
    SetConsoleCtrlHandler(onConsoleStop, TRUE);
    // The progress line's escape works once the console is switched to
    // virtual-terminal mode; a console that cannot be gets spaces instead.
    const HANDLE err = GetStdHandle(STD_ERROR_HANDLE);
    DWORD mode = 0;
    if (GetConsoleMode(err, &mode) &&
        !SetConsoleMode(err, mode | ENABLE_VIRTUAL_TERMINAL_PROCESSING))
        eraseLine = "                                                                      \r";
    // A closed standard output has no handle; the C library then fails its writes.
    return GetStdHandle(STD_OUTPUT_HANDLE) == nullptr;
}

bool isTerminal(int fd)
{
    return _isatty(fd);
}

bool readerGone()
{
    // A pipe's end without a reader: peeking at it fails as a broken pipe.
    DWORD available = 0;
    const HANDLE out = GetStdHandle(STD_OUTPUT_HANDLE);
    return GetFileType(out) == FILE_TYPE_PIPE &&
           !PeekNamedPipe(out, nullptr, 0, nullptr, &available, nullptr) &&
           GetLastError() == ERROR_BROKEN_PIPE;
}

// The C library reports a pipe without a reader as EINVAL: the system's own
// error tells it apart (Windows says the pipe is being closed, Wine that it
// is not connected).
bool brokenPipe(int error)
{
    const DWORD system = GetLastError();
    return error == EPIPE || system == ERROR_NO_DATA || system == ERROR_BROKEN_PIPE ||
           system == ERROR_PIPE_NOT_CONNECTED;
}

bool isHelpSwitch(const QString &arg)
{
    return arg == QLatin1String("--help") || arg == QLatin1String("-h") ||
           arg == QLatin1String("/?");
}

QList<QPair<QString, QString>> helpTerms()
{
    return {{QStringLiteral("SIGINT or SIGTERM"), QStringLiteral("Ctrl-C or Ctrl-Break")},
            {QStringLiteral("with root or CAP_NET_RAW it also watches every interface for\n"
                            "              datagrams to UDP 48322: seen there but not on the "
                            "reply port\n              means a firewall on this computer drops "
                            "them"),
             QStringLiteral("Windows Firewall: whether a rule lets UDP 48322 in; an\n"
                            "              administrator adds one (the installer does)")}};
}

void endAsBrokenPipe()
{
    std::fflush(stderr);
    std::_Exit(141);
}

void endNow(int status)
{
    std::_Exit(status);
}

bool catchStop(QObject *context, std::function<void()> stopped)
{
    g_stopped = std::move(stopped);
    g_stopContext = context;
    return true;
}

} // namespace Cli::Console
