// SPDX-License-Identifier: MIT
//
// Everything vantrel-cli writes. Standard output holds the data and nothing
// else; notes, warnings, progress and the "sent ..." lines go to stderr. A
// failed write ends the run unless a configuration message went out: then
// its outcome still counts, and the outcomes go to stderr.
#pragma once

#include <QObject>
#include <QString>

#include <functional>

namespace Cli {

// Before anything else in main: SIGPIPE, SIGINT and SIGTERM, and standard
// streams that were closed.
void prepareProcess();

class Output {
public:
    Output();

    bool data(const QString &text); // standard output; false once a write failed
    void note(const QString &text); // stderr, one line
    // The outcomes of messages that went out: on standard output, or on
    // stderr when that cannot be written.
    void outcomes(const QString &text);
    // A write (of standard output, or of the log) failed: said once; before
    // any message went out, onFailure ends the run.
    void failed(const QString &message);
    std::function<void()> onFailure;

    // The progress line: on a terminal only, where it is cleared before any
    // other output.
    bool terminal() const
    {
        return m_terminal;
    }
    void progress(const QString &text);
    void clearProgress();

    void messageSent()
    {
        m_sent = true;
    }
    bool sent() const
    {
        return m_sent;
    }
    // Standard output was closed when the program started: nothing can be written.
    static bool closed();

    // SIGINT and SIGTERM call `stopped` from the event loop instead of
    // ending the process; one that comes while a write is blocked ends it
    // with `blockedStatus`. With `endBeforeWrite`, a write after the signal
    // is not begun.
    bool catchStop(QObject *context, std::function<void()> stopped, int blockedStatus,
                   bool endBeforeWrite);

private:
    bool m_terminal = false;
    bool m_progressShown = false;
    bool m_failed = false;
    bool m_sent = false;
    bool m_endBeforeWrite = false;
};

} // namespace Cli
