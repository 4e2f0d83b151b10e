// SPDX-License-Identifier: MIT
#include "options.h"

#include <QRegularExpression>
#include <QSet>

#include <optional>

using namespace Discovery;

namespace Cli {

namespace {

constexpr int MaxRetries = 100;
constexpr int HelpColumn = 22;
constexpr int HelpWidth = 80;

QString fileName(const QString &option, const QString &v)
{
    if (v.isEmpty())
        fail(QStringLiteral("%1: the file name is empty").arg(option));
    return v;
}

} // namespace

const char *const SearchTitle = "Search options:";

OptionGroup searchOptions(CommonOptions &o)
{
    return {
        QLatin1String(SearchTitle),
        {
            {QStringLiteral("--timeout"), 't', QStringLiteral("MS"),
             QStringLiteral("listen this long after the first request (1 to 600000, default "
                            "2250); times are milliseconds, or 500ms, 2s"),
             [&o](const QString &v) {
                 o.search.timeoutMs = duration(QStringLiteral("--timeout"), v);
             }},
            {QStringLiteral("--interface"), 'i', QStringLiteral("NAME"),
             QStringLiteral("send only on this interface's addresses"),
             [&o](const QString &v) {
                 if (v.isEmpty())
                     fail(QStringLiteral("--interface: the interface name is empty"));
                 o.search.interfaceName = v;
             }},
            {QStringLiteral("--retries"), 0, QStringLiteral("K"),
             QStringLiteral("send the request K more times, spread over the listening time "
                            "(0 to 100, default 0); replies merge by serial number"),
             [&o](const QString &v) {
                 o.search.retries = number(QStringLiteral("--retries"), v, 0, MaxRetries);
             }},
            {QStringLiteral("--directed-only"), 0, QString(),
             QStringLiteral("send only to the broadcast address of each subnet, as the window "
                            "does; without it the request also goes to 255.255.255.255 out of "
                            "each interface, for receivers that hear nothing else"),
             [&o](const QString &) { o.search.directedOnly = true; }},
            // The limited broadcast is sent by default now; scripts may still ask for it.
            {QStringLiteral("--also-limited"), 0, QString(),
             QStringLiteral("the default (kept for scripts)"), [](const QString &) {}},
            {QStringLiteral("--to"),
             0,
             QStringLiteral("A.B.C.D[/N]"),
             QStringLiteral("also send the request to this unicast address, or to each host "
                            "address of a block up to a /22 such as 203.0.113.0/28, through the "
                            "routing table (repeatable, at most 1024 addresses in all): "
                            "receivers across a router (routers do not forward broadcasts)"),
             [&o](const QString &v) {
                 o.search.to << addressBlock(QStringLiteral("--to"), v);
                 if (o.search.to.size() > MaxTo)
                     fail(QStringLiteral("--to: %1 addresses in all; at most %2 are asked")
                              .arg(QString::number(o.search.to.size()), QString::number(MaxTo)));
             },
             true,
             {},
             QStringLiteral(
                 "Broadcast, multicast, loopback, 0.0.0.0/8 and 240.0.0.0/4 addresses are "
                 "refused. A remote subnet's directed broadcast address reaches nothing through a "
                 "router that does not forward directed broadcasts, as Linux's by default and "
                 "most do not. A reply from beyond the subnets of the interface it arrived on "
                 "comes from a receiver with an address of another subnet on that wire, or "
                 "through a router; one more request, by broadcast only on that interface, tells "
                 "which. A receiver that does not answer it is routed: 'set' sends its "
                 "configuration message by unicast to the address the reply came from, since a "
                 "limited broadcast never crosses a router, and says so.")},
            {QStringLiteral("--log"),
             0,
             QStringLiteral("FILE"),
             QStringLiteral("write every datagram sent and received to FILE, with time, "
                            "addresses and a hex dump"),
             [&o](const QString &v) { o.logFile = fileName(QStringLiteral("--log"), v); },
             false,
             {},
             QStringLiteral("Each line holds the UTC time, the direction, the addresses and "
                            "ports, the interface, the size, what a received datagram was (reply, "
                            "short, invalid) and a hex dump of all its bytes.")},
            {QStringLiteral("--pcap"),
             0,
             QStringLiteral("FILE"),
             QStringLiteral("also write them as a pcapng capture for Wireshark and tshark, "
                            "with their real addresses, ports and interfaces"),
             [&o](const QString &v) {
                 if (v == QLatin1String("-"))
                     fail(QStringLiteral("--pcap: '-' would be standard output, which holds "
                                         "the data; give a file name"));
                 o.captureFile = fileName(QStringLiteral("--pcap"), v);
             },
             false,
             {},
             QStringLiteral("--pcap - is refused: standard output holds the data; so are "
                            "/dev/stdout and /dev/stderr, for --log too, and a file that is "
                            "another output or the plan, through links too. The dissector for the "
                            "protocol is share/vantrel-cli/vantrel.lua: tshark -X "
                            "lua_script:/usr/share/vantrel-cli/vantrel.lua -r FILE.")},
            {QStringLiteral("--verbose"), 'v', QString(),
             QStringLiteral("write to stderr what --log writes"),
             [&o](const QString &) { o.verbose = true; }},
            // Taken before parsing (run()); listed for the help and the checks.
            {QStringLiteral("--help"), 'h', QString(), QStringLiteral("show this text"),
             [](const QString &) {}},
        }};
}

OptionSpec jsonOption(CommonOptions &o, const QString &help)
{
    return {QStringLiteral("--json"), 'j', QString(), help,
            [&o](const QString &) { o.format = Format::Json; }};
}

OptionSpec modelOption(CommonOptions &o)
{
    return {QStringLiteral("--model"),
            0,
            QStringLiteral("NAME"),
            QStringLiteral("only receivers of this model (whole name, case sensitive; "
                           "repeatable)"),
            [&o](const QString &v) {
                if (v.isEmpty())
                    fail(QStringLiteral("--model: the model name is empty"));
                if (v.toLatin1().size() > int(sizeof(DiscoverHeader::deviceName)))
                    fail(QStringLiteral("--model: '%1' is longer than the 16 bytes a receiver "
                                        "reports")
                             .arg(quoted(v)));
                o.search.models << v;
            },
            true,
            [] {
                QStringList models;
                for (const std::string &m : Discovery::configurableModels())
                    models << QString::fromStdString(m);
                return models;
            }()};
}

const char *const DoctorHint = "'vantrel-cli doctor' tells why a receiver is not found";

OptionSpec settleOption(CommonOptions &o)
{
    return {
        QStringLiteral("--settle"), 0, QStringLiteral("MS"),
        QStringLiteral("end the search MS after the last new receiver answered, not before "
                       "the first and never after --timeout (times as for --timeout); "
                       "without it the search lasts --timeout"),
        [&o](const QString &v) { o.search.settleMs = duration(QStringLiteral("--settle"), v); }};
}

QList<OptionSpec> sendOptions(SendOptions &o)
{
    return {
        {QStringLiteral("--force"), 0, QString(),
         QStringLiteral("send although the receiver is in use (its client loses the stream), "
                        "naming the check; no check that protects another unit or the segment "
                        "is overridden"),
         [&o](const QString &) { o.force = true; }},
        {QStringLiteral("--dry-run"), 0, QString(),
         QStringLiteral("make the checks and show what would be sent; send nothing"),
         [&o](const QString &) { o.dryRun = true; }},
        {QStringLiteral("--verify-timeout"), 0, QStringLiteral("MS"),
         QStringLiteral("search for the receivers this long after sending, with a request every "
                        "500 ms (1 to 600000, default 3000)"),
         [&o](const QString &v) {
             o.verifyTimeoutMs = duration(QStringLiteral("--verify-timeout"), v);
         }},
    };
}

UnitName unitArgument(const QString &cmd, const QStringList &positional)
{
    if (positional.isEmpty())
        fail(QStringLiteral("%1: the serial number of the receiver is missing (or its IP or MAC "
                            "address)")
                 .arg(cmd));
    if (positional.size() > 1)
        fail(QStringLiteral("%1: unexpected argument '%2' after the receiver")
                 .arg(cmd, quoted(positional[1])));
    return unitName(positional.first());
}

void noArguments(const QString &cmd, const QStringList &positional)
{
    if (!positional.isEmpty())
        fail(QStringLiteral("%1: unexpected argument '%2'; %1 takes options only")
                 .arg(cmd, quoted(positional.first())));
}

QString wrapped(const QString &text, int indent)
{
    QString lines, line;
    for (const QString &word : text.split(QLatin1Char(' '), Qt::SkipEmptyParts)) {
        if (line.size() > indent && line.size() + 1 + word.size() > HelpWidth) {
            lines += line + QLatin1Char('\n');
            line.clear();
        }
        line = line.isEmpty() ? QString(indent, QLatin1Char(' ')) + word
                              : line + QLatin1Char(' ') + word;
    }
    return line.isEmpty() ? lines : lines + line + QLatin1Char('\n');
}

QString optionHelp(const QList<OptionGroup> &groups)
{
    QString text;
    for (const OptionGroup &g : groups) {
        text += QLatin1Char('\n') + g.title + QLatin1Char('\n');
        for (const OptionSpec &o : g.options) {
            QString line = QStringLiteral("  ");
            if (o.shortName)
                line += QStringLiteral("-%1, ").arg(QLatin1Char(o.shortName));
            line += o.name;
            if (!o.valueName.isEmpty())
                line += QLatin1Char(' ') + o.valueName;
            // The help beside the name when it fits, else on the lines below.
            if (line.size() + 2 > HelpColumn) {
                text += line + QLatin1Char('\n');
                line.clear();
            }
            for (const QString &word : o.help.split(QLatin1Char(' '))) {
                if (line.size() + 1 + word.size() > HelpWidth - 1 && line.size() > HelpColumn) {
                    text += line + QLatin1Char('\n');
                    line.clear();
                }
                line = line.size() < HelpColumn ? line.leftJustified(HelpColumn) + word
                                                : line + QLatin1Char(' ') + word;
            }
            text += line + QLatin1Char('\n');
        }
    }
    return text;
}

namespace {

// An option's name as manual pages write it: in bold, with minus signs.
QString bold(const QString &option)
{
    return QStringLiteral("\\fB") + QString(option).replace(QLatin1Char('-'), "\\-") +
           QStringLiteral("\\fR");
}

// A paragraph for a manual page, its option names in bold.
QString roff(const QString &text)
{
    static const QRegularExpression option(QStringLiteral("(?<![\\w-])(--?[A-Za-z][a-z-]*)"));
    QString out;
    qsizetype at = 0;
    for (const QRegularExpressionMatch &m : option.globalMatch(text)) {
        out += text.mid(at, m.capturedStart() - at);
        out += bold(m.captured());
        at = m.capturedEnd();
    }
    out += text.mid(at);
    // Each sentence on lines of its own, at most 80 columns; a line that
    // began with a dot or quote would be taken as a request.
    QString lines, sentence;
    for (const QString &word : out.split(QLatin1Char(' '), Qt::SkipEmptyParts)) {
        sentence += (sentence.isEmpty() ? QString() : QStringLiteral(" ")) + word;
        if (word.endsWith(QLatin1Char('.'))) {
            lines += wrapped(sentence, 0);
            sentence.clear();
        }
    }
    lines += wrapped(sentence, 0);
    return lines.replace(
        QRegularExpression(QStringLiteral("^([.'])"), QRegularExpression::MultilineOption),
        QStringLiteral("\\&\\1"));
}

} // namespace

QString optionManual(const QList<OptionGroup> &groups)
{
    QString text;
    for (const OptionGroup &g : groups) {
        if (groups.size() > 1)
            text += QStringLiteral(".SS ") + QString(g.title).remove(QLatin1Char(':')) +
                    QLatin1Char('\n');
        for (const OptionSpec &o : g.options) {
            QString tag = o.shortName ? bold(QStringLiteral("-%1").arg(QLatin1Char(o.shortName))) +
                                            QStringLiteral(", ")
                                      : QString();
            tag += bold(o.name);
            if (!o.valueName.isEmpty())
                tag += QStringLiteral(" \\fI") + o.valueName + QStringLiteral("\\fR");
            QString help = o.help;
            help[0] = help[0].toUpper();
            text += QStringLiteral(".TP\n") + tag + QLatin1Char('\n') + roff(help + '.');
            if (!o.manual.isEmpty())
                text += roff(o.manual);
        }
    }
    return text;
}

QStringList parseOptions(const QString &cmd, const QList<OptionGroup> &groups,
                         const QStringList &elsewhere, const QStringList &given)
{
    QList<const OptionSpec *> table;
    for (const OptionGroup &g : groups)
        for (const OptionSpec &o : g.options)
            table << &o;
    const auto named = [&](const QString &arg) -> const OptionSpec * {
        for (const OptionSpec *s : std::as_const(table))
            if (arg == s->name || (arg.size() == 2 && s->shortName && arg[1] == s->shortName))
                return s;
        if (elsewhere.contains(arg))
            fail(QStringLiteral("%1: %2 does not apply to this command (see vantrel-cli %1 "
                                "--help)")
                     .arg(cmd, quoted(arg)));
        fail(QStringLiteral("%1: unknown option '%2' (see vantrel-cli %1 --help)")
                 .arg(cmd, quoted(arg)));
    };

    QSet<const OptionSpec *> seen;
    const auto take = [&](const OptionSpec *spec) {
        if (seen.contains(spec) && !spec->repeatable)
            fail(QStringLiteral("%1: %2 is given twice").arg(cmd, spec->name));
        seen.insert(spec);
    };
    QStringList args = given, positional;
    bool optionsEnded = false;
    for (int i = 0; i < args.size(); ++i) {
        const QString arg = args[i];
        if (optionsEnded || !arg.startsWith(QLatin1Char('-')) || arg == QLatin1String("-")) {
            positional << arg;
            continue;
        }
        if (arg == QLatin1String("--")) {
            optionsEnded = true;
            continue;
        }
        std::optional<QString> value;
        const OptionSpec *spec = nullptr;
        if (arg.startsWith(QLatin1String("--"))) {
            const int eq = arg.indexOf(QLatin1Char('='));
            spec = named(eq > 0 ? arg.left(eq) : arg);
            if (eq > 0)
                value = arg.mid(eq + 1);
        } else {
            // Short options: flags may be combined, and the last one may take
            // the rest of the word or the next argument as its value.
            for (int c = 1; c < arg.size(); ++c) {
                spec = named(QStringLiteral("-") + arg[c]);
                if (!spec->valueName.isEmpty()) {
                    if (c + 1 < arg.size())
                        value = arg.mid(c + 1);
                    break;
                }
                if (c + 1 < arg.size()) {
                    take(spec);
                    spec->apply(QString());
                }
            }
        }
        take(spec);
        if (!spec->valueName.isEmpty() && !value) {
            if (i + 1 >= args.size())
                fail(QStringLiteral("%1: %2 needs a value").arg(cmd, spec->name));
            value = args[++i];
        } else if (spec->valueName.isEmpty() && value) {
            fail(QStringLiteral("%1: %2 takes no value").arg(cmd, spec->name));
        }
        spec->apply(value.value_or(QString()));
    }
    return positional;
}

} // namespace Cli
