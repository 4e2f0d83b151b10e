// SPDX-License-Identifier: MIT
//
// Everything vantrel-cli writes. Standard output holds the data and nothing
// else; notes, warnings, progress and the "sent ..." lines go to stderr. A
// failed write ends the run unless a configuration message went out: then
// its outcome still counts, and the outcomes go to stderr.
#pragma once

#include <QByteArray>
#include <QObject>
#include <QString>

#include <functional>

namespace Cli {

// Before anything else in main: SIGPIPE, SIGINT and SIGTERM, and standard
// streams that were closed.
void prepareProcess();

// Where the output goes: the process's standard streams, or a test's buffers.
struct Streams {
    // All of `bytes` to standard output; false with the reason when that
    // failed, and `readerGone` when its reader went away.
    std::function<bool(const QByteArray &bytes, QString *why, bool *readerGone)> data;
    std::function<void(const QByteArray &bytes)> messages; // stderr
    std::function<bool()> readerGone; // standard output's reader went away, seen without a write
    bool terminal = false;            // both are a terminal: progress lines are shown
    bool closed = false;              // standard output was closed when the program started
};
Streams processStreams();

class Output {
public:
    explicit Output(Streams streams = processStreams());

    bool data(const QString &text);    // standard output; false once a write failed
    void note(const QString &text);    // stderr, one line
    void verbose(const QString &line); // stderr, one line as the log has it
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
        return m_streams.terminal;
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
    // Before a configuration message goes out while the data waits for the
    // end (--json): a reader that went away ends the run as a failed write
    // would, and nothing is sent.
    void endIfReaderGone();
    // Standard output was closed when the program started: nothing can be written.
    bool closed() const
    {
        return m_streams.closed;
    }

    // SIGINT and SIGTERM call `stopped` from the event loop instead of
    // ending the process; one that comes while a write is blocked ends it
    // with `blockedStatus`. With `endBeforeWrite`, a write after the signal
    // is not begun.
    bool catchStop(QObject *context, std::function<void()> stopped, int blockedStatus,
                   bool endBeforeWrite);

private:
    Streams m_streams;
    bool m_progressShown = false;
    bool m_failed = false;
    bool m_sent = false;
    bool m_endBeforeWrite = false;
};

} // namespace Cli
