// SPDX-License-Identifier: MIT
//
// The process's console and standard streams as the operating system gives
// them: stop requests, broken pipes, closed streams, terminals. One source
// file per system; output.cpp builds on it.
#pragma once

#include <QList>
#include <QObject>
#include <QPair>
#include <QString>

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
// Whether an argument asks for help: --help and -h, and /? on Windows.
bool isHelpSwitch(const QString &arg);
// Pairs of a help text's words and this system's own for them.
QList<QPair<QString, QString>> helpTerms();
// The escape that clears the rest of a terminal line, or, on a console that
// takes no escapes, spaces over the longest progress line and a return.
extern const char *eraseLine;
// Standard output is a pipe whose reader went away, seen without writing.
bool readerGone();
// A failed write (its errno) met a pipe whose reader went away.
bool brokenPipe(int error);
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
