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
#include "recorder.h"
#include "search.h"

#include <QElapsedTimer>
#include <QTimer>

#include <functional>
#include <memory>
#include <optional>

namespace Cli {

// The engine's names are this program's words.
using namespace Core;

class Command : public QObject {
    Q_OBJECT
public:
    Command(const CommonOptions &options, Output &out);
    // Prepares everything that can fail before sending, then starts the
    // search. Returns the exit code when the run ended before the event loop
    // is needed.
    std::optional<int> start();

signals:
    void finished(int code);

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
    // InterfaceUnusable: the one named is down or has no IPv4 address.
    enum class Blocked { InterfaceUnusable, NoInterface, PortTaken, NothingSent };
    virtual int cannotStart(Blocked why, const QString &message)
    {
        m_out.note(message);
        return why == Blocked::InterfaceUnusable ? ExitUsage : ExitNetwork;
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
    // "receiver X did not answer within ...", with the serial numbers heard.
    QString notFound(const UnitName &name) const;

    CommonOptions m_options;
    Output &m_out;
    Log m_log;
    Capture m_capture;
    Recorder m_recorder{m_log, m_capture};
    Exchange m_exchange;
    Search m_search;
    QStringList m_requestFailures; // of the first search

private:
    // The rest of start() once the reply port is taken.
    std::optional<int> search();
    void retryPort();

    QTimer m_progress;
    QTimer m_portRetry; // while another program's search holds the reply port
    QElapsedTimer m_portWait;
    std::optional<int> m_code;
};

// One command: its name and the line the program help gives it, its help
// text around the generated option lines, its options, and a factory that
// parses the arguments after the command word (throws UsageError).
struct CommandSpec {
    QString name;
    QString arguments; // "SERIAL": after the name in the program help
    QString summary;
    QString help;
    QList<OptionGroup> options;
    std::function<std::unique_ptr<Command>(const QStringList &args, Output &out)> factory;

    QStringList optionNames() const;
};

// Every option of every command, for the error that names one given to the wrong one.
QStringList allOptions();
// --log and --pcap are not one file. Throws UsageError.
void checkOutputFiles(const CommonOptions &o);

// A help text in this system's words (how a run is stopped, who may watch
// the wire).
QString inSystemTerms(const QString &help);

// A command whose options fill an `Options`: `table` declares them, `check`
// takes the positional arguments and checks the whole; `usage` and `tail`
// are the help text before and after the option lines.
template <class Run, class Options>
CommandSpec command(const char *name, const char *arguments, const char *summary, const char *usage,
                    const char *tail, QList<OptionGroup> (*table)(Options &),
                    void (*check)(Options &, const QStringList &positional))
{
    static Options described; // only read for the names and help lines
    const QList<OptionGroup> groups = table(described);
    return {QLatin1String(name),
            QLatin1String(arguments),
            QLatin1String(summary),
            inSystemTerms(QLatin1String(usage) + optionHelp(groups) + QLatin1String(tail)),
            groups,
            [name, table, check](const QStringList &args, Output &out) -> std::unique_ptr<Command> {
                Options o;
                check(o, parseOptions(QLatin1String(name), table(o), allOptions(), args));
                checkOutputFiles(o);
                return std::make_unique<Run>(o, out);
            }};
}

// Every command, in the order the program help lists them.
const QList<CommandSpec> &commands();
const CommandSpec &findCommand();
const CommandSpec &showCommand();
const CommandSpec &setCommand();
const CommandSpec &watchCommand();
const CommandSpec &applyCommand();
const CommandSpec &doctorCommand();

// The option sections of the manual page (roff): the search options, then
// each command's own.
QString manualOptions();

// Parses the arguments, runs the command and returns the exit code;
// everything it writes goes to `out`.
int run(const QStringList &args, Output &out);

} // namespace Cli
