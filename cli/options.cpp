// SPDX-License-Identifier: MIT
#include "options.h"

#include <QSet>

#include <optional>

using namespace Discovery;

namespace Cli {

const char *const CommonHelp = R"(
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
  --pcap FILE       also write them as a pcapng capture for Wireshark and
                    tshark, with their real addresses, ports and interfaces
  -h, --help        show this text
)";

namespace {

constexpr int MaxRetries = 100;

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

} // namespace

QList<OptionSpec> commonOptions(CommonOptions &o)
{
    return {
        {"--timeout", true,
         [&o](const QString &v) { o.search.timeoutMs = duration(QStringLiteral("--timeout"), v); }},
        {"--retries", true,
         [&o](const QString &v) {
             o.search.retries = number(QStringLiteral("--retries"), v, 0, MaxRetries);
         }},
        {"--interface", true,
         [&o](const QString &v) {
             if (v.isEmpty())
                 fail(QStringLiteral("--interface: the interface name is empty"));
             o.search.interfaceName = v;
         }},
        {"--also-limited", false, [&o](const QString &) { o.search.alsoLimited = true; }},
        {"--to", true,
         [&o](const QString &v) { o.search.to << address(QStringLiteral("--to"), v); }, true},
        {"--log", true,
         [&o](const QString &v) {
             if (v.isEmpty())
                 fail(QStringLiteral("--log: the file name is empty"));
             o.logFile = v;
         }},
        {"--pcap", true,
         [&o](const QString &v) {
             if (v.isEmpty())
                 fail(QStringLiteral("--pcap: the file name is empty"));
             if (v == QLatin1String("-"))
                 fail(QStringLiteral("--pcap: '-' would be standard output, which holds the "
                                     "data; give a file name"));
             o.captureFile = v;
         }},
    };
}

OptionSpec jsonOption(CommonOptions &o)
{
    return {"--json", false, [&o](const QString &) { o.format = Format::Json; }};
}

OptionSpec modelOption(CommonOptions &o)
{
    return {"--model", true,
            [&o](const QString &v) {
                if (v.isEmpty())
                    fail(QStringLiteral("--model: the model name is empty"));
                if (v.toLatin1().size() > int(sizeof(DiscoverHeader::deviceName)))
                    fail(QStringLiteral("--model: '%1' is longer than the 16 bytes a receiver "
                                        "reports")
                             .arg(quoted(v)));
                o.search.models << v;
            },
            true};
}

const char *const DoctorHint = "'vantrel-cli doctor' tells why a receiver is not found";

const char *const SettleHelp =
    R"(  --settle MS       end the search MS after the last new receiver answered,
                    not before the first and never after --timeout (times as
                    for --timeout); without it the search lasts --timeout
)";

OptionSpec settleOption(CommonOptions &o)
{
    return {"--settle", true, [&o](const QString &v) {
                o.search.settleMs = duration(QStringLiteral("--settle"), v);
            }};
}

QList<OptionSpec> sendOptions(SendOptions &o)
{
    return {
        {"--force", false, [&o](const QString &) { o.force = true; }},
        {"--dry-run", false, [&o](const QString &) { o.dryRun = true; }},
        {"--verify-timeout", true,
         [&o](const QString &v) {
             o.verifyTimeoutMs = duration(QStringLiteral("--verify-timeout"), v);
         }},
    };
}

QByteArray serialArgument(const QString &cmd, const QStringList &positional)
{
    if (positional.isEmpty())
        fail(QStringLiteral("%1: the serial number of the receiver is missing").arg(cmd));
    if (positional.size() > 1)
        fail(QStringLiteral("%1: unexpected argument '%2' after the serial number")
                 .arg(cmd, quoted(positional[1])));
    return serialNumber(positional.first());
}

QStringList parseOptions(const QString &cmd, const QList<OptionSpec> &table,
                         const QStringList &elsewhere, const QStringList &args)
{
    QSet<QString> seen;
    QStringList positional;
    bool optionsEnded = false;
    for (int i = 0; i < args.size(); ++i) {
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
        const auto spec = std::find_if(table.begin(), table.end(), [&](const OptionSpec &s) {
            return arg == QLatin1String(s.name);
        });
        if (spec == table.end())
            fail(elsewhere.contains(arg)
                     ? QStringLiteral("%1: %2 does not apply to this command (see vantrel-cli %1 "
                                      "--help)")
                           .arg(cmd, quoted(arg))
                     : QStringLiteral("%1: unknown option '%2' (see vantrel-cli %1 --help)")
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
        spec->apply(value.value_or(QString()));
    }
    return positional;
}

} // namespace Cli
