// SPDX-License-Identifier: MIT
#include "options.h"

#include <QRegularExpression>
#include <QSet>

#include <functional>
#include <optional>

using namespace Discovery;

namespace Cli {

namespace {

const char *const ProgramHelp = R"(Usage: vantrel-cli COMMAND [OPTION]...
Finds the radio receivers on the local IPv4 network by UDP broadcast, shows
what they report and changes their network settings.

Commands:
  find          list the receivers that answer
  show SERIAL   everything one receiver reports
  set SERIAL    change a receiver's network settings and check the result
  watch         search again and again and report each change as it happens
  apply PLAN    configure many receivers from one plan file, checked as a whole
  help [COMMAND]
                this text, or the options of COMMAND

'vantrel-cli COMMAND --help' also shows the options of a command.

Options:
  -h, --help     show this text
  -V, --version  show the version

Exit status: 0 success, 1 usage error, 2 receiver not found,
3 configuration sent but not confirmed, 4 refused by a check,
5 output failed (standard output or the --log file could not be written),
6 cannot use the network (the reply port is in use, no interface to send on),
130 find ended by Ctrl-C after writing what it found, 141 the reader of
standard output went away before anything was sent.
)";

const char *const SearchHelp = R"(
Search options:
  -t, --timeout MS  listen this long after the first request (1 to 600000,
                    default 2250); times are milliseconds, or 500ms, 2s
  -i, --interface NAME  send only on this interface's addresses
  --retries K       send the request K more times, spread over the listening
                    time (0 to 100, default 0); replies merge by serial number
  --also-limited    send to 255.255.255.255 as well, for receivers that ignore
                    subnet-directed broadcasts
  --to A.B.C.D      also send the request to this address through the routing
                    table (repeatable): a receiver across a router, or a
                    remote subnet's broadcast address such as 203.0.113.255
  --log FILE        write every datagram sent and received to FILE, with time,
                    addresses and a hex dump
  -h, --help        show this text
)";

const char *const FindHelp = R"(Usage: vantrel-cli find [OPTION]...
Broadcasts the discovery request to UDP port 48321 at the broadcast address of
every IPv4 address of every interface that is up, and lists the receivers that
answer: model, serial number, IP address, TCP port, MAC address (configurable
models), firmware version and whether the receiver is in use. Text rows appear
as the replies arrive; a receiver that answers again keeps its row. Two
receivers that report the same IP address are flagged as an IP conflict.

Options:
  -j, --json        a JSON array with one object per receiver
  --csv             CSV with a header line and one line per receiver
  --expect N        stop as soon as N different receivers answered
  --model NAME      list only receivers of this model (whole name, case
                    sensitive; repeatable)
)";

const char *const FindTail = R"(
JSON and CSV are written when the search ends, so that every receiver carries
its final conflict flag. Fields (JSON names; CSV columns in this order):
  model, serial, ip, port, mac (empty or null for other models), firmware,
  inUse, configurable, conflict (serial numbers of the other receivers that
  report the same ip; CSV: separated by spaces), duplicateSerial (true when
  the serial number answered from two addresses, ports or MAC addresses),
  reachable (false when the receiver's ip lies outside every subnet of the
  interface its reply came in on and is not this computer's: TCP needs a
  route to it, 'show' says how to fix that; such a row of the text table ends
  with: (other subnet) ), routed (true when only --to reached it, through a
  router: it did not answer a broadcast on the interface its reply came in on)

Exit status: 0 at least one receiver answered (with --expect: N of them),
1 usage error, 2 none answered (with --expect: fewer than N), 5 output failed,
6 the reply port is in use or there is no interface to send on, 130 ended by
Ctrl-C (what was found is written).
)";

const char *const ShowHelp = R"(Usage: vantrel-cli show SERIAL [OPTION]...
Searches until the receiver with serial number SERIAL answers and prints
everything it reports: for the configurable models (Pentra, Marlo, Halvex-R)
identity, MAC address, versions, FPGA, options and network settings; for other
models identity, versions and connection.

Options:
  -j, --json        one JSON object; field names as 'set' options: ip, port,
                    mask, gateway, dhcp, altUdp, altIp, altPort, fpga
)";

const char *const ShowTail = R"(
Exit status: 0 shown, 1 usage error, 2 SERIAL did not answer, 5 output failed,
6 the network cannot be used.
)";

const char *const WatchHelp = R"(Usage: vantrel-cli watch [OPTION]...
Searches every --interval milliseconds and prints one line per change, with
the UTC time: appeared (first heard), changed (naming each field that changed:
model, ip, port, in use, firmware, boot, mac, mask, gateway, dhcp, alt-udp,
alt-ip, alt-port, fpga), gone (not heard in --missed searches in a row) and
back (heard again after gone). A receiver that answers twice in one search is
one receiver.

Options:
  --interval MS     time from one search to the next (at least the --timeout,
                    at most 600000, default 3000)
  --missed N        searches without an answer before a receiver is gone
                    (1 to 1000, default 2)
  --count K         stop after K searches (1 to 1000000); without it, run
                    until SIGINT or SIGTERM
  -j, --json        one JSON object per line: time, event, serial, model, ip,
                    port, inUse, changes (each with field, from and to)
  --model NAME      watch only receivers of this model (repeatable)
)";

const char *const ApplyHelp = R"(Usage: vantrel-cli apply PLAN [OPTION]...
Gives many receivers their settings from one plan. PLAN is a CSV file with a
header line or a JSON array of objects ('-' reads standard input); columns or
keys: serial (required) and any of ip, port, mask, gateway, dhcp, altUdp,
altIp, altPort, fpga, with the values of 'set' (on/off, or JSON true/false,
for the flags). An empty cell leaves that setting as the receiver has it.
The columns of 'find --csv' and the keys of 'show --json' that only describe
a receiver are ignored, so edited find output is a plan:

  serial,ip,mask,gateway,dhcp
  PX00,192.0.2.150,255.255.255.0,192.0.2.1,
  PX01,,,,on

One search for the whole --timeout, then every check before anything is
sent: the checks of 'set' for each row, and across the plan two rows giving
one IP address, a row taking the address of a receiver outside the plan or of
one in it that keeps it (two receivers may swap), a serial number twice, and
a serial number that did not answer. A row whose settings the receiver has
already is unchanged and not sent. Then each message is sent once, as 'set'
builds it, and one verifying search looks for all of them.

Options:
  --dry-run           print the plan (each setting as current -> new) with the
                      verdicts of the checks, and send nothing
  --force             send although a check refuses (never to other models,
                      short replies or receivers that did not answer)
  --verify-timeout MS search this long for the receivers after sending, with
                      a request every 500 ms (1 to 600000, default 3000)
  -j, --json          the plan or the outcomes as a JSON array
)";

const char *const ApplyTail = R"(
Outcomes per row: applied, unchanged, seen unchanged, seen at another address,
partly applied, not seen.
Exit status: 0 every row applied or unchanged (--dry-run: the plan would be
sent), 1 usage error or a bad plan, 2 a serial number did not answer (nothing
sent), 3 a row not confirmed (also when units with one serial number disagree),
4 refused by a check (nothing sent), 5 output failed before anything was sent,
6 the network cannot be used.
)";

const char *const WatchTail = R"(
Exit status: 0 after --count searches or on SIGINT or SIGTERM (also while its
output is blocked), 1 usage error, 5 output failed, 6 the network cannot be
used.
)";

const char *const SetHelp = R"(Usage: vantrel-cli set SERIAL SETTING... [OPTION]...
Finds the receiver with serial number SERIAL, takes its own reply, changes only
the named settings, and sends the result once as the configuration message to
255.255.255.255, UDP port 48321, on the interface where the receiver answered.
The first search runs for the whole --timeout, so that the checks see every
receiver that answers. After sending it searches again and reports whether
the receiver answers with the new settings.

Settings (at least one):
  --ip A.B.C.D        TCP control IP address
  --port N            TCP control port (1 to 65535)
  --mask A.B.C.D      subnet mask
  --gateway A.B.C.D   gateway (0.0.0.0: none)
  --dhcp on|off       obtain the IP address by DHCP
  --alt-udp on|off    send UDP data to the alternative destination
  --alt-ip A.B.C.D    alternative UDP data destination address
  --alt-port N        alternative UDP data destination port (1 to 65535)
  --fpga 0|1|2        FPGA configuration loaded at start

Options:
  --force             send although a check refuses, naming each check
  --dry-run           make the checks and show what would be sent; send nothing
  -j, --json          the outcome as one JSON object: serial, model, ip,
                      changes (setting, from, to), outcome (applied, unchanged,
                      refused, not found, dry run, not sent, not seen, seen
                      unchanged, seen at another address, partly applied, not
                      confirmed), detail, refusals, warnings, sent
  --verify-timeout MS
                      search for the receiver this long after sending, with a
                      request every 500 ms (1 to 600000, default 3000)
)";

const char *const SetTail = R"(
A receiver that answered only through --to (across a router) gets the message
by unicast to the address its reply came from, since a limited broadcast never
crosses a router; the verifying search repeats the --to requests.

Refused unless --force: an IP address of 0.x.x.x, 255.255.255.255, multicast,
loopback, the network or broadcast address of its subnet, this computer's own
or one that another receiver reported; a mask that is not contiguous; a
gateway outside the new subnet; a port of 0; a serial number that two
receivers answer with. Never sent: other models, and replies too short to
carry the settings. A warning, no refusal: an address outside every subnet
of this computer.

Outcome: applied (seen with the new settings), seen unchanged, seen at
another address, partly applied, not seen.
Exit status: 0 applied or nothing to change, 1 usage error, 2 SERIAL did not
answer, 3 sent but not confirmed (or the send failed, or units with one
serial number disagree), 4 refused by a check, 5 output failed before anything
was sent, 6 the network cannot be used. Once the message is out, the outcome
decides the status, and the outcome line goes to stderr if stdout fails.
)";

} // namespace

[[noreturn]] void fail(const QString &message)
{
    throw UsageError{message};
}

// A value as it may be quoted in a one-line error: control characters escaped.
QString quoted(const QString &text)
{
    QString out;
    for (const QChar c : text) {
        if (c == QLatin1Char('\n'))
            out += QStringLiteral("\\n");
        else if (c.unicode() < 0x20 || c.unicode() == 0x7F)
            out += QStringLiteral("\\x%1").arg(c.unicode(), 2, 16, QLatin1Char('0'));
        else
            out += c;
    }
    return out;
}

int number(const QString &option, const QString &text, int min, int max)
{
    // Whole strings only: "$" alone would also match before a final newline.
    static const QRegularExpression digits(
        QRegularExpression::anchoredPattern(QStringLiteral("[0-9]{1,9}")));
    bool ok = digits.match(text).hasMatch();
    const int value = ok ? text.toInt(&ok) : 0;
    if (!ok || value < min || value > max)
        fail(QStringLiteral("%1: '%2' is not a number from %3 to %4")
                 .arg(option, quoted(text), QString::number(min), QString::number(max)));
    return value;
}

Quad address(const QString &option, const QString &text)
{
    // No leading zeros: some parsers read "010" as octal, so it is ambiguous.
    static const QRegularExpression form(QRegularExpression::anchoredPattern(
        QStringLiteral("(0|[1-9][0-9]{0,2})\\.(0|[1-9][0-9]{0,2})\\.(0|[1-9][0-9]{0,2})\\."
                       "(0|[1-9][0-9]{0,2})")));
    const QRegularExpressionMatch m = form.match(text);
    Quad q{};
    for (int i = 0; m.hasMatch() && i < 4; ++i) {
        const int octet = m.captured(i + 1).toInt();
        if (octet > 255)
            break;
        q[std::size_t(i)] = std::uint8_t(octet);
        if (i == 3)
            return q;
    }
    fail(QStringLiteral("%1: '%2' is not an IPv4 address A.B.C.D (four numbers 0 to 255, no "
                        "leading zeros)")
             .arg(option, quoted(text)));
}

bool onOff(const QString &option, const QString &text)
{
    if (text == QLatin1String("on"))
        return true;
    if (text == QLatin1String("off"))
        return false;
    fail(QStringLiteral("%1: '%2' is neither on nor off").arg(option, quoted(text)));
}

QByteArray serialNumber(const QString &text)
{
    if (text.isEmpty())
        fail(QStringLiteral("the serial number is empty"));
    for (const QChar c : text) {
        if (c.unicode() == 0)
            fail(QStringLiteral("serial number '%1' holds a NUL byte, which ends every serial "
                                "number a receiver reports")
                     .arg(quoted(text)));
        if (c.unicode() > 0xFF)
            fail(QStringLiteral("serial number '%1': receivers report serial numbers in "
                                "single-byte characters")
                     .arg(quoted(text)));
    }
    const QByteArray serial = text.toLatin1();
    if (serial.size() > int(sizeof(DiscoverHeader::serialNumber)))
        fail(QStringLiteral("serial number '%1' is longer than the 16 bytes a receiver reports")
                 .arg(quoted(text)));
    return serial;
}

namespace {

Command commandOf(const QString &word)
{
    if (word == QLatin1String("find"))
        return Command::Find;
    if (word == QLatin1String("show"))
        return Command::Show;
    if (word == QLatin1String("set"))
        return Command::Set;
    if (word == QLatin1String("watch"))
        return Command::Watch;
    if (word == QLatin1String("apply"))
        return Command::Apply;
    fail(QStringLiteral("unknown command '%1'; expected find, show, set, watch or apply (see "
                        "--help)")
             .arg(quoted(word)));
}

QString nameOf(Command c)
{
    switch (c) {
    case Command::Find:
        return QStringLiteral("find");
    case Command::Show:
        return QStringLiteral("show");
    case Command::Set:
        return QStringLiteral("set");
    case Command::Watch:
        return QStringLiteral("watch");
    case Command::Apply:
        return QStringLiteral("apply");
    case Command::None:
        break;
    }
    return QString();
}

struct OptionSpec {
    const char *name;
    bool takesValue;
    QList<Command> commands;
    std::function<void(Options &, const QString &)> apply;
    bool repeatable = false;
};

const QList<Command> AllCommands = {Command::Find, Command::Show, Command::Set, Command::Watch,
                                    Command::Apply};

// A time: a bare number is milliseconds; "500ms" and "2s" say their unit.
int duration(const QString &option, const QString &text)
{
    static const QRegularExpression form(
        QRegularExpression::anchoredPattern(QStringLiteral("([0-9]{1,9})(ms|s)?")));
    const QRegularExpressionMatch m = form.match(text);
    const qint64 value =
        m.hasMatch() ? m.captured(1).toLongLong() * (m.captured(2) == QLatin1String("s") ? 1000 : 1)
                     : 0;
    if (value < 1 || value > MaxWaitMs)
        fail(QStringLiteral("%1: '%2' is not a number from 1 to %3 ms (a bare number is "
                            "milliseconds; or with a unit, as in 500ms or 2s)")
                 .arg(option, quoted(text), QString::number(MaxWaitMs)));
    return int(value);
}

// The short forms of the common options.
QString longName(const QString &arg)
{
    if (arg == QLatin1String("-j"))
        return QStringLiteral("--json");
    if (arg == QLatin1String("-t"))
        return QStringLiteral("--timeout");
    if (arg == QLatin1String("-i"))
        return QStringLiteral("--interface");
    return arg;
}

QList<OptionSpec> optionSpecs()
{
    const auto ms = [](const char *name) {
        return [name](const QString &v) { return duration(QLatin1String(name), v); };
    };
    const auto port = [](const char *name) {
        return [name](const QString &v) {
            return std::uint16_t(number(QLatin1String(name), v, 0, 0xFFFF));
        };
    };
    return {
        {"--timeout", true, AllCommands,
         [ms](Options &o, const QString &v) { o.search.timeoutMs = ms("--timeout")(v); }},
        {"--retries", true, AllCommands,
         [](Options &o, const QString &v) {
             o.search.retries = number(QStringLiteral("--retries"), v, 0, MaxRetries);
         }},
        {"--interface", true, AllCommands,
         [](Options &o, const QString &v) {
             if (v.isEmpty())
                 fail(QStringLiteral("--interface: the interface name is empty"));
             o.search.interfaceName = v;
         }},
        {"--also-limited", false, AllCommands,
         [](Options &o, const QString &) { o.search.alsoLimited = true; }},
        {"--to", true, AllCommands,
         [](Options &o, const QString &v) { o.search.to << address(QStringLiteral("--to"), v); },
         true},
        {"--model",
         true,
         {Command::Find, Command::Watch},
         [](Options &o, const QString &v) {
             if (v.isEmpty())
                 fail(QStringLiteral("--model: the model name is empty"));
             if (v.toLatin1().size() > int(sizeof(DiscoverHeader::deviceName)))
                 fail(QStringLiteral("--model: '%1' is longer than the 16 bytes a receiver "
                                     "reports")
                          .arg(quoted(v)));
             o.models << v;
         },
         true},
        {"--interval",
         true,
         {Command::Watch},
         [ms](Options &o, const QString &v) { o.intervalMs = ms("--interval")(v); }},
        {"--missed",
         true,
         {Command::Watch},
         [](Options &o, const QString &v) {
             o.missed = number(QStringLiteral("--missed"), v, 1, 1000);
         }},
        {"--count",
         true,
         {Command::Watch},
         [](Options &o, const QString &v) {
             o.count = number(QStringLiteral("--count"), v, 1, 1000000);
         }},
        {"--log", true, AllCommands,
         [](Options &o, const QString &v) {
             if (v.isEmpty())
                 fail(QStringLiteral("--log: the file name is empty"));
             o.logFile = v;
         }},
        {"--expect",
         true,
         {Command::Find},
         [](Options &o, const QString &v) {
             o.search.expect = number(QStringLiteral("--expect"), v, 1, 1000000);
         }},
        {"--json",
         false,
         {Command::Find, Command::Show, Command::Set, Command::Watch, Command::Apply},
         [](Options &o, const QString &) { o.format = Format::Json; }},
        {"--csv",
         false,
         {Command::Find},
         [](Options &o, const QString &) { o.format = Format::Csv; }},
        {"--ip",
         true,
         {Command::Set},
         [](Options &o, const QString &v) { o.edits.ip = address(QStringLiteral("--ip"), v); }},
        {"--port",
         true,
         {Command::Set},
         [port](Options &o, const QString &v) { o.edits.port = port("--port")(v); }},
        {"--mask",
         true,
         {Command::Set},
         [](Options &o, const QString &v) { o.edits.mask = address(QStringLiteral("--mask"), v); }},
        {"--gateway",
         true,
         {Command::Set},
         [](Options &o, const QString &v) {
             o.edits.gateway = address(QStringLiteral("--gateway"), v);
         }},
        {"--dhcp",
         true,
         {Command::Set},
         [](Options &o, const QString &v) { o.edits.dhcp = onOff(QStringLiteral("--dhcp"), v); }},
        {"--alt-udp",
         true,
         {Command::Set},
         [](Options &o, const QString &v) {
             o.edits.altUdp = onOff(QStringLiteral("--alt-udp"), v);
         }},
        {"--alt-ip",
         true,
         {Command::Set},
         [](Options &o, const QString &v) {
             o.edits.altIp = address(QStringLiteral("--alt-ip"), v);
         }},
        {"--alt-port",
         true,
         {Command::Set},
         [port](Options &o, const QString &v) { o.edits.altPort = port("--alt-port")(v); }},
        {"--fpga",
         true,
         {Command::Set},
         [](Options &o, const QString &v) {
             if (v != QLatin1String("0") && v != QLatin1String("1") && v != QLatin1String("2"))
                 fail(QStringLiteral("--fpga: '%1' is not 0, 1 or 2").arg(quoted(v)));
             o.edits.fpgaConfig = std::uint8_t(v.toInt());
         }},
        {"--force",
         false,
         {Command::Set, Command::Apply},
         [](Options &o, const QString &) { o.force = true; }},
        {"--dry-run",
         false,
         {Command::Set, Command::Apply},
         [](Options &o, const QString &) { o.dryRun = true; }},
        {"--verify-timeout",
         true,
         {Command::Set, Command::Apply},
         [ms](Options &o, const QString &v) { o.verifyTimeoutMs = ms("--verify-timeout")(v); }},
    };
}

} // namespace

bool hasEdits(const NetworkEdits &e)
{
    return e.ip || e.port || e.mask || e.gateway || e.dhcp || e.altUdp || e.altIp || e.altPort ||
           e.fpgaConfig;
}

QString helpText(Command command)
{
    const auto join = [](const char *head, const char *tail) {
        return QLatin1String(head) + QLatin1String(SearchHelp) + QLatin1String(tail);
    };
    switch (command) {
    case Command::Find:
        return join(FindHelp, FindTail);
    case Command::Show:
        return join(ShowHelp, ShowTail);
    case Command::Set:
        return join(SetHelp, SetTail);
    case Command::Watch:
        return join(WatchHelp, WatchTail);
    case Command::Apply:
        return join(ApplyHelp, ApplyTail);
    case Command::None:
        break;
    }
    return QLatin1String(ProgramHelp);
}

Options parseArguments(const QStringList &args)
{
    Options o;
    int i = 0;
    // Program options come before the command.
    for (; i < args.size() && args[i].startsWith(QLatin1Char('-')); ++i) {
        if (args[i] == QLatin1String("--help") || args[i] == QLatin1String("-h")) {
            o.help = true;
            return o;
        }
        if (args[i] == QLatin1String("--version") || args[i] == QLatin1String("-V")) {
            o.version = true;
            return o;
        }
        fail(QStringLiteral(
                 "unknown option '%1' before the command; expected find, show, set, watch or apply "
                 "(see --help)")
                 .arg(quoted(args[i])));
    }
    if (i == args.size())
        fail(QStringLiteral(
            "no command given; expected find, show, set, watch or apply (see --help)"));
    if (args[i] == QLatin1String("help")) {
        o.help = true;
        if (i + 1 < args.size())
            o.command = commandOf(args[i + 1]);
        if (i + 2 < args.size())
            fail(QStringLiteral("help: unexpected argument '%1'; expected at most one command")
                     .arg(quoted(args[i + 2])));
        return o;
    }
    o.command = commandOf(args[i++]);
    const QString cmd = nameOf(o.command);

    // --help wins over anything else on the line, so it can be added to any attempt.
    for (int j = i; j < args.size() && args[j] != QLatin1String("--"); ++j)
        if (args[j] == QLatin1String("--help") || args[j] == QLatin1String("-h")) {
            o.help = true;
            return o;
        }

    const QList<OptionSpec> specs = optionSpecs();
    QSet<QString> seen;
    QStringList positional;
    bool optionsEnded = false;
    for (; i < args.size(); ++i) {
        QString arg = args[i];
        if (optionsEnded || !arg.startsWith(QLatin1Char('-')) || arg == QLatin1String("-")) {
            positional << arg;
            continue;
        }
        if (arg == QLatin1String("--")) {
            optionsEnded = true;
            continue;
        }
        arg = longName(arg);
        std::optional<QString> value;
        const int eq = arg.indexOf(QLatin1Char('='));
        if (arg.startsWith(QLatin1String("--")) && eq > 0) {
            value = arg.mid(eq + 1);
            arg.truncate(eq);
        }
        const auto spec = std::find_if(specs.begin(), specs.end(), [&](const OptionSpec &s) {
            return arg == QLatin1String(s.name);
        });
        if (spec == specs.end())
            fail(QStringLiteral("%1: unknown option '%2' (see vantrel-cli %1 --help)")
                     .arg(cmd, quoted(arg)));
        if (!spec->commands.contains(o.command))
            fail(QStringLiteral("%1: %2 does not apply to this command (see vantrel-cli %1 --help)")
                     .arg(cmd, quoted(arg)));
        if (seen.contains(arg) && !spec->repeatable)
            fail(QStringLiteral("%1: %2 is given twice").arg(cmd, arg));
        seen.insert(arg);
        if (spec->takesValue && !value) {
            if (i + 1 >= args.size())
                fail(QStringLiteral("%1: %2 needs a value").arg(cmd, arg));
            value = args[++i];
        } else if (!spec->takesValue && value) {
            fail(QStringLiteral("%1: %2 takes no value").arg(cmd, arg));
        }
        spec->apply(o, value.value_or(QString()));
    }

    if (seen.contains(QStringLiteral("--json")) && seen.contains(QStringLiteral("--csv")))
        fail(QStringLiteral("find: --json and --csv exclude each other"));
    if (o.command == Command::Find || o.command == Command::Watch) {
        if (!positional.isEmpty())
            fail(QStringLiteral("%1: unexpected argument '%2'; %1 takes options only")
                     .arg(cmd, quoted(positional.first())));
        if (o.command == Command::Watch && o.intervalMs < o.search.timeoutMs)
            fail(QStringLiteral("watch: --interval %1 is shorter than the search window of %2 ms "
                                "(--timeout)")
                     .arg(QString::number(o.intervalMs), QString::number(o.search.timeoutMs)));
        return o;
    }
    if (o.command == Command::Apply) {
        if (positional.size() != 1)
            fail(positional.isEmpty()
                     ? QStringLiteral("apply: the plan file is missing (PLAN, or - for standard "
                                      "input)")
                     : QStringLiteral("apply: unexpected argument '%1' after the plan")
                           .arg(quoted(positional[1])));
        o.planPath = positional.first();
        return o;
    }
    if (positional.isEmpty())
        fail(QStringLiteral("%1: the serial number of the receiver is missing").arg(cmd));
    if (positional.size() > 1)
        fail(QStringLiteral("%1: unexpected argument '%2' after the serial number")
                 .arg(cmd, quoted(positional[1])));
    o.serial = serialNumber(positional.first());
    if (o.command == Command::Set && !hasEdits(o.edits))
        fail(QStringLiteral("set: no setting to change; expected at least one of --ip, --port, "
                            "--mask, --gateway, --dhcp, --alt-udp, --alt-ip, --alt-port, --fpga"));
    return o;
}

} // namespace Cli
