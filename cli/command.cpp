// SPDX-License-Identifier: MIT
#include "command.h"
#include "columns.h"
#include "console.h"
#include "host.h"
#include "system.h"

#include <QCoreApplication>
#include <QEventLoop>

#include <algorithm>

using namespace Discovery;

namespace Cli {

namespace {

constexpr int ProgressMs = 100;
constexpr int PortRetryMs = 50; // while another program's search holds the reply port

const char *const ProgramUsage = R"(Usage: vantrel-cli COMMAND [OPTION]...
Finds the radio receivers on the local IPv4 network by UDP broadcast, shows
what they report and changes their network settings.

Commands:
)";

const char *const ProgramTail = R"(  help [COMMAND] this text, or the options of COMMAND

'vantrel-cli COMMAND --help' also shows the options of a command.

Options:
  -h, --help     show this text
  -V, --version  show the version

Exit status: 0 success, 1 usage error, 2 receiver not found,
3 configuration sent but not confirmed, 4 refused by a check,
5 output failed (standard output or the --log file could not be written),
6 cannot use the network (the reply port is in use, no interface to send on),
7 (doctor) receivers answered but a problem was found, 130 find ended by
Ctrl-C after writing what it found, 141 the reader of standard output went
away before anything was sent.
)";

QString programHelp()
{
    QString text = QLatin1String(ProgramUsage);
    for (const CommandSpec &c : commands())
        text += QStringLiteral("  %1 %2\n")
                    .arg((c.name + QLatin1Char(' ') + c.arguments).leftJustified(14), c.summary);
    return inSystemTerms(text + QLatin1String(ProgramTail));
}

// "find, show, set, watch, apply or doctor"
QString commandNames()
{
    QStringList names;
    for (const CommandSpec &c : commands())
        names << c.name;
    const QString last = names.takeLast();
    return names.join(QStringLiteral(", ")) + QStringLiteral(" or ") + last;
}

} // namespace

Command::Command(const CommonOptions &options, Output &out)
    : m_options(options), m_out(out), m_search(m_exchange, options.search)
{
    connect(&m_search, &Search::received, this, &Command::received);
    // Before the command's own handler, which may end the run.
    connect(&m_search, &Search::windowEnded, this, [this] {
        if (m_search.unasked() > 0)
            m_out.note(QStringLiteral("warning: the search window closed before the last %1 "
                                      "addresses given with --to were asked; a longer --timeout "
                                      "asks them all")
                           .arg(m_search.unasked()));
    });
    connect(&m_search, &Search::windowEnded, this, &Command::windowEnded);
    connect(&m_portRetry, &QTimer::timeout, this, &Command::retryPort);
    m_progress.setInterval(ProgressMs);
    connect(&m_progress, &QTimer::timeout, this, [this] { m_out.progress(progressText()); });
    m_out.onFailure = [this] { finish(ExitOutput); };
    m_log.onFailure = [this](const QString &reason) {
        m_out.failed(QStringLiteral("--log: cannot write '%1': %2").arg(m_options.logFile, reason));
    };
    if (options.verbose)
        m_log.echo = [this](const QString &line) { m_out.verbose(line); };
    m_capture.onFailure = [this](const QString &reason) {
        m_out.failed(
            QStringLiteral("--pcap: cannot write '%1': %2").arg(m_options.captureFile, reason));
    };
}

std::optional<int> Command::start()
{
    const QString error = m_search.prepare();
    if (!error.isEmpty()) {
        // An interface that is there but cannot be used is the network's
        // trouble, which doctor is for; an unknown one is a typing error.
        if (interfaceNamed(m_options.search.interfaceName).isValid())
            return cannotStart(Blocked::InterfaceUnusable, error);
        m_out.note(error);
        return ExitUsage;
    }
    QString why;
    if (!m_options.logFile.isEmpty() && !m_log.open(m_options.logFile, &why)) {
        m_out.note(QStringLiteral("--log: cannot write '%1': %2").arg(m_options.logFile, why));
        return ExitUsage;
    }
    if (!m_options.captureFile.isEmpty() && !m_capture.open(m_options.captureFile, &why)) {
        m_out.note(QStringLiteral("--pcap: cannot write '%1': %2").arg(m_options.captureFile, why));
        return ExitUsage;
    }
    m_exchange.setTap(&m_recorder);
    m_log.line(QStringLiteral("start ") + QCoreApplication::arguments().join(QLatin1Char(' ')));
    if (done())
        return m_code;
    if (m_search.destinations().isEmpty()) {
        return cannotStart(Blocked::NoInterface,
                           QStringLiteral("no interface that is up has an IPv4 broadcast "
                                          "address, so there is nowhere to send the request "
                                          "(expected a configured IPv4 interface)"));
    }
    bool taken = false;
    if (!m_exchange.open(&why, &taken)) {
        if (!taken)
            return cannotStart(Blocked::PortTaken,
                               QStringLiteral("cannot listen for replies on UDP port %1: %2")
                                   .arg(QString::number(ReplyPort), why));
        // Another program's search (watch between its pauses, the window)
        // ends within a search window; a holder that stays is an error.
        m_out.note(
            QStringLiteral("waiting for UDP port %1: %2").arg(QString::number(ReplyPort), why));
        m_portWait.start();
        m_portRetry.start(PortRetryMs);
        return std::nullopt;
    }
    return search();
}

void Command::retryPort()
{
    QString why;
    if (m_exchange.open(&why)) {
        m_portRetry.stop();
        if (const std::optional<int> code = search())
            finish(*code);
        return;
    }
    if (m_portWait.elapsed() < m_options.search.timeoutMs)
        return;
    m_portRetry.stop();
    finish(cannotStart(
        Blocked::PortTaken,
        QStringLiteral("cannot listen for replies on UDP port %1: %2 (waited %3 "
                       "ms)")
            .arg(QString::number(ReplyPort), why, QString::number(m_options.search.timeoutMs))));
}

std::optional<int> Command::search()
{
    if (!beforeSearch())
        return m_code.value_or(ExitOutput);
    const int sent = m_search.begin(&m_requestFailures);
    for (const QString &f : std::as_const(m_requestFailures))
        m_out.note(QStringLiteral("warning: ") + f);
    if (sent == 0)
        return cannotStart(Blocked::NothingSent,
                           QStringLiteral("no request could be sent, so no receiver can answer"));
    showProgress();
    if (done())
        return m_code;
    return std::nullopt;
}

void Command::beginSearch()
{
    m_search.begin();
    showProgress();
}

void Command::beginVerify(int windowMs)
{
    // Asked where the interfaces are now: one plugged in again since the
    // first search has a new index.
    m_search.prepare();
    m_search.begin(windowMs, Search::VerifyResendMs, -1);
    showProgress();
}

void Command::showProgress()
{
    if (!m_out.terminal())
        return;
    m_progress.start();
    m_out.progress(progressText());
}

void Command::progressStopped()
{
    m_progress.stop();
    m_out.clearProgress();
}

QString Command::progressText() const
{
    return QStringLiteral("searching: %1 s left, %2 found")
        .arg(QString::number(double(m_search.leftMs()) / 1000.0, 'f', 1))
        .arg(m_search.heard().all().size());
}

bool Command::send(const Receiver &target, const DeviceConfigRecord &planned, QString *why)
{
    const Delivery d =
        sendConfiguration(m_exchange, target, planned, m_search.reach(target).routed);
    if (!d.routedNote.isEmpty())
        m_out.note(QStringLiteral("note: ") + d.routedNote);
    if (d.sent)
        m_out.messageSent();
    // A note for the person, not data: standard output holds one document.
    m_out.note(d.note);
    if (!d.sent && why)
        *why = d.note;
    return d.sent;
}

QString Command::notFound(const UnitName &name) const
{
    const QList<Receiver> &heard = m_search.heard().all();
    return QStringLiteral("receiver %1 did not answer within %2 ms (%3); %4%5")
        .arg(quoted(name.text), QString::number(m_options.search.timeoutMs), m_search.summary(),
             QLatin1String(DoctorHint),
             heard.isEmpty()
                 ? QString()
                 : QStringLiteral("; serial numbers heard: ") + closestSerials(name.text, heard));
}

void Command::finish(int code)
{
    if (done())
        return; // a write that failed on the way has decided already
    m_code = code;
    m_search.stop();
    m_exchange.stop();
    progressStopped();
    m_log.line(QStringLiteral("exit code=%1").arg(code));
    emit finished(code);
}

QStringList CommandSpec::optionNames() const
{
    QStringList names;
    for (const OptionGroup &g : options)
        for (const OptionSpec &o : g.options)
            names << o.name;
    return names;
}

const QList<CommandSpec> &commands()
{
    static const QList<CommandSpec> table = {findCommand(),  showCommand(),  setCommand(),
                                             watchCommand(), applyCommand(), doctorCommand()};
    return table;
}

void checkOutputFiles(const CommonOptions &o)
{
    for (const auto &[option, path] : {std::pair{"--log", o.logFile}, {"--pcap", o.captureFile}})
        if (!path.isEmpty() && (Host::isStream(path, 1) || Host::isStream(path, 2)))
            fail(QStringLiteral("%1: '%2' is standard output or error, which hold the data and "
                                "the messages; give a file name")
                     .arg(QLatin1String(option), quoted(path)));
    if (!o.logFile.isEmpty() && !o.captureFile.isEmpty() && sameFile(o.logFile, o.captureFile))
        fail(QStringLiteral("--log and --pcap name one file, '%1'; each needs its own")
                 .arg(o.logFile));
}

QString inSystemTerms(const QString &help)
{
    // Lists of keys and fields as their tables name them.
    QString text = QString(help)
                       .replace(QLatin1String("{settings}"), settingKeys())
                       .replace(QLatin1String("{fields}\n"), wrapped(findFieldsHelp(), 2))
                       .replace(QLatin1String("{watched}\n"), wrapped(watchedNames(), 2));
    for (const auto &[words, own] : Console::helpTerms())
        text.replace(words, own);
    return text;
}

QString manualOptions()
{
    QString text;
    for (const CommandSpec &c : commands()) {
        QList<OptionGroup> own = c.options;
        const auto search = std::find_if(own.begin(), own.end(), [](const OptionGroup &g) {
            return g.title == QLatin1String(SearchTitle);
        });
        // Every command's, so written once, first.
        if (text.isEmpty() && search != own.end())
            text = QStringLiteral(".SH SEARCH OPTIONS\nThese apply to every command.\n") +
                   optionManual({*search});
        if (search != own.end())
            own.erase(search);
        text += QStringLiteral(".SH %1 OPTIONS\n").arg(c.name.toUpper()) + optionManual(own);
    }
    return text;
}

QStringList allOptions()
{
    QStringList names;
    for (const CommandSpec &c : commands())
        names << c.optionNames();
    return names;
}

namespace {

const CommandSpec &commandNamed(const QString &word)
{
    for (const CommandSpec &c : commands())
        if (word == c.name)
            return c;
    fail(QStringLiteral("unknown command '%1'; expected %2 (see --help)")
             .arg(quoted(word), commandNames()));
}

// What the shell's completion asks of the program: with no command the
// commands, else one line per option of the command: its name, short form,
// value name, "repeat" when it repeats, and the values to offer, apart by the
// unit separator (0x1F), which no field holds and the shell does not merge.
QString completionWords(const QStringList &args)
{
    QString text;
    if (args.isEmpty()) {
        for (const CommandSpec &c : commands())
            text += c.name + QLatin1Char('\n');
        return text + QStringLiteral("help\n");
    }
    for (const OptionGroup &g : commandNamed(args.first()).options)
        for (const OptionSpec &o : g.options) {
            const QStringList choices = !o.choices.isEmpty() ? o.choices
                                        : o.valueName.contains(QLatin1Char('|'))
                                            ? o.valueName.split(QLatin1Char('|'))
                                            : QStringList();
            text += QStringList{o.name,
                                o.shortName ? QStringLiteral("-") + QLatin1Char(o.shortName)
                                            : QString(),
                                o.valueName, o.repeatable ? QStringLiteral("repeat") : QString(),
                                choices.join(QLatin1Char(' '))}
                        .join(QChar(0x1F)) +
                    QLatin1Char('\n');
        }
    return text;
}

} // namespace

int run(const QStringList &args, Output &out)
{
    // Help and version are data: on standard output, once.
    const auto write = [&out](const QString &text) {
        return out.data(text) ? int(ExitOk) : int(ExitOutput);
    };
    std::unique_ptr<Command> command;
    try {
        // Program options come before the command.
        qsizetype i = 0;
        for (; i < args.size() &&
               (args[i].startsWith(QLatin1Char('-')) || Console::isHelpSwitch(args[i]));
             ++i) {
            if (Console::isHelpSwitch(args[i]))
                return write(programHelp());
            if (args[i] == QLatin1String("--version") || args[i] == QLatin1String("-V"))
                return write(
                    QStringLiteral("vantrel-cli %1\n").arg(QLatin1String(VANTREL_VERSION)));
            if (args[i] == QLatin1String("--completion"))
                return write(completionWords(args.mid(i + 1)));
            fail(QStringLiteral("unknown option '%1' before the command; expected %2 (see "
                                "--help)")
                     .arg(quoted(args[i]), commandNames()));
        }
        if (i == args.size())
            fail(QStringLiteral("no command given; expected %1 (see --help)").arg(commandNames()));
        if (args[i] == QLatin1String("help")) {
            if (i + 2 < args.size())
                fail(QStringLiteral("help: unexpected argument '%1'; expected at most one command")
                         .arg(quoted(args[i + 2])));
            return write(i + 1 < args.size() ? commandNamed(args[i + 1]).help : programHelp());
        }
        const CommandSpec &spec = commandNamed(args[i]);
        const QStringList rest = args.mid(i + 1);
        // --help wins over anything else on the line, so it can be added to any attempt.
        for (const QString &a : rest) {
            if (a == QLatin1String("--"))
                break;
            if (Console::isHelpSwitch(a))
                return write(spec.help);
        }
        command = spec.factory(rest, out);
    } catch (const UsageError &e) {
        out.note(e.message);
        return ExitUsage;
    }
    if (const std::optional<int> code = command->start())
        return *code;
    QEventLoop loop;
    QObject::connect(command.get(), &Command::finished, &loop, &QEventLoop::exit);
    return loop.exec();
}

} // namespace Cli
