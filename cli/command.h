// SPDX-License-Identifier: MIT
//
// One run of a vantrel-cli command. The base opens the log and the reply
// port, runs the search and the progress line, and ends the run; each
// command (find.cpp, show.cpp, set.cpp, watch.cpp, apply.cpp) says what it
// does with the replies and when it is done.
#pragma once

#include "configure.h"
#include "options.h"
#include "output.h"
#include "search.h"

#include <QTimer>

#include <memory>
#include <optional>

namespace Cli {

class Command : public QObject {
    Q_OBJECT
public:
    Command(const CommonOptions &options, Output &out);
    // Prepares everything that can fail before sending, then starts the
    // search. Returns the exit code when the run ended before the event loop
    // is needed.
    std::optional<int> start();

protected:
    // Before the first request; false when the run ended there.
    virtual bool beforeSearch()
    {
        return true;
    }
    virtual void received(const Receiver &r, int index, bool isNew, bool newIdentity) = 0;
    virtual void windowEnded() = 0;
    virtual QString progressText() const;
    // The network cannot be used: says why and gives the exit status.
    enum class Blocked { NoInterface, PortTaken, NothingSent };
    virtual int cannotStart(Blocked, const QString &message)
    {
        m_out.note(message);
        return ExitNetwork;
    }

    void finish(int code);
    bool done() const
    {
        return m_code.has_value();
    }
    void beginSearch(); // a search as the options give it, again
    void showProgress();
    // Sends the message for `target`, saying so on stderr.
    // `why` gets the reason when nothing was sent.
    bool send(const Receiver &target, const DeviceConfigRecord &planned, QString *why = nullptr);
    // The search after the messages went out.
    void beginVerify(int windowMs);
    void progressStopped();

    CommonOptions m_options;
    Output &m_out;
    Log m_log;
    Capture m_capture;
    Exchange m_exchange;
    Search m_search;
    QStringList m_requestFailures; // of the first search

private:
    QTimer m_progress;
    std::optional<int> m_code;
};

// The command table: `factory` parses the arguments after the command word
// (throws UsageError); `options` names its options.
struct CommandSpec {
    const char *name;
    std::unique_ptr<Command> (*factory)(const QStringList &args, Output &out);
    QString (*help)();
    QStringList (*options)();
};
const QList<CommandSpec> &commands();
// Every option of every command, for the error that names one given to the wrong one.
QStringList allOptions();

// The option names of a table.
QStringList namesOf(const QList<OptionSpec> &table);
// Those of a command's table, filled into options of its own.
template <class Options> QStringList optionNames(QList<OptionSpec> (*table)(Options &))
{
    Options o;
    return namesOf(table(o));
}

std::unique_ptr<Command> makeFind(const QStringList &args, Output &out);
std::unique_ptr<Command> makeShow(const QStringList &args, Output &out);
std::unique_ptr<Command> makeSet(const QStringList &args, Output &out);
std::unique_ptr<Command> makeWatch(const QStringList &args, Output &out);
std::unique_ptr<Command> makeApply(const QStringList &args, Output &out);
std::unique_ptr<Command> makeDoctor(const QStringList &args, Output &out);
QString findHelp();
QString showHelp();
QString setHelp();
QString watchHelp();
QString applyHelp();
QString doctorHelp();
QStringList findOptions();
QStringList showOptions();
QStringList setOptions();
QStringList watchOptions();
QStringList applyOptions();
QStringList doctorOptions();

// Parses the arguments, runs the command and returns the exit code.
int run(const QStringList &args);

} // namespace Cli
