// SPDX-License-Identifier: MIT
#include "console.h"
#include "logfile.h"

#include <QMetaObject>

#include <cstdio>
#include <cstdlib>

#include <io.h>
#include <windows.h>

namespace Cli::Console {

volatile std::sig_atomic_t progressShown = 0;
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
            std::fputs("\r\x1b[K", stderr);
        return FALSE; // the default: end the process
    }
    if (writing || outputFileWriting)
        std::_Exit(stopStatus);
    stopRequested = 1;
    QMetaObject::invokeMethod(
        g_stopContext, [] { g_stopped(); }, Qt::QueuedConnection);
    return TRUE;
}

} // namespace

bool prepare()
{
    SetConsoleCtrlHandler(onConsoleStop, TRUE);
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
