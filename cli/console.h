// SPDX-License-Identifier: MIT
//
// The process's console and standard streams as the operating system gives
// them: stop requests, broken pipes, closed streams, terminals. One source
// file per system; output.cpp builds on it.
#pragma once

#include <QObject>

#include <csignal>
#include <functional>

namespace Cli::Console {

// Shared with the stop handler: whether a progress line is on the terminal,
// whether the program is inside a write to standard output, whether a stop
// was asked for, and the status of a run that a stop ends inside a write.
extern volatile std::sig_atomic_t progressShown;
extern volatile std::sig_atomic_t writing;
extern volatile std::sig_atomic_t stopRequested;
extern int stopStatus;

// Before anything else in main: a write to a closed pipe fails instead of
// ending the process, stop requests end it (clearing a progress line), and a
// standard stream that was closed is held, so that no file takes its place.
// Returns whether standard output was closed.
bool prepare();
bool isTerminal(int fd);
// Standard output is a pipe whose reader went away, seen without writing.
bool readerGone();
// Ends the process as a write to a closed pipe does on Linux: a shell
// reports 141 (128 + SIGPIPE).
[[noreturn]] void endAsBrokenPipe();
// Ends it at once, without flushing or unwinding: a write is blocked.
[[noreturn]] void endNow(int status);
// From now on a stop request (SIGINT, SIGTERM; Ctrl-C, Ctrl-Break, a closed
// console window) calls `stopped` from the event loop of `context`; one that
// comes while a write is blocked ends the process with `stopStatus`.
bool catchStop(QObject *context, std::function<void()> stopped);

} // namespace Cli::Console
