// SPDX-License-Identifier: MIT
//
// The files vantrel-cli writes besides standard output: opened so that a
// FIFO nobody reads cannot block the run, written so that what was written
// survives a crash; and the support log, one line per event.
#pragma once

#include <QFile>
#include <QString>

#include <csignal>
#include <functional>

namespace Cli {

// Set while a write to an output file is under way: a FIFO whose reader
// takes nothing holds it for ever, so a stop request that comes then ends
// the run at once.
extern volatile std::sig_atomic_t outputFileWriting;
// Set with a stop request that did not end the run: the writes after it are
// left out, since one that blocks would keep the run from ending.
extern volatile std::sig_atomic_t outputFilesStopped;

// Whether two paths name one file (the same device and inode, through links
// too), or one path that does not exist yet.
bool sameFile(const QString &a, const QString &b);

// Opens `file` for writing at `path`; a FIFO only when something reads it.
bool openOutput(QFile &file, const QString &path, QIODevice::OpenMode mode, QString *error);
// Writes and flushes at once, so that what was written survives a crash or a
// kill; on a failure closes the file and tells `onFailure` why.
void writeOutput(QFile &file, const QByteArray &bytes,
                 const std::function<void(const QString &)> &onFailure);

// Support log: one line per datagram with UTC time, addresses, interface,
// size and hex dump. Does nothing until opened.
class Log {
public:
    bool open(const QString &path, QString *error);
    // Whether anything takes the lines: the file, or `echo`.
    bool isOpen() const
    {
        return m_file.isOpen() || echo;
    }
    void line(const QString &text);
    // Takes each line as well, as written to the file (--verbose).
    std::function<void(const QString &)> echo;
    // Told once, with the reason, when a line cannot be written; the log
    // then stays quiet.
    std::function<void(const QString &)> onFailure;

private:
    QFile m_file;
};

} // namespace Cli
