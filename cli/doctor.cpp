// SPDX-License-Identifier: MIT
//
// 'vantrel-cli doctor': one search, and a verdict on everything that keeps a
// receiver from being found: the interfaces, the reply port, the requests,
// what came back, the receivers' addresses and a firewall on this computer.
#include "command.h"
#include "diagnosis.h"
#include "firewall.h"
#include "format.h"
#include "host.h"
#include "system.h"

#include <QNetworkInterface>

using namespace Discovery;

namespace Cli {

namespace {

const char *const DoctorHelp = R"(Usage: vantrel-cli doctor [OPTION]...
Searches once, as find does, and says for each check whether it is ok, a
problem, or something it cannot tell, with the fix for each problem (and the
command, where there is one):
  interface   up, carrier, IPv4 address and broadcast address, a 169.254.x.x
              address (DHCP failed), loopback only
  reply port  free, or which process holds UDP port 48322
  request     sent to each broadcast address, or the system's reason
  arrivals    valid replies and other datagrams, per interface
  receiver    each one that answered: reachable, or how to reach it; address
              conflicts, a serial number heard twice, in use
  firewall    with root or CAP_NET_RAW it also watches every interface for
              datagrams to UDP 48322: seen there but not on the reply port
              means a firewall on this computer drops them

)";

const char *const DoctorTail = R"(
Exit status: 0 receivers answered and nothing is wrong, 1 usage error, 2 no
receiver answered, 5 output failed, 6 the network cannot be used, 7
receivers answered but a problem was found.
)";

constexpr int ExitProblem = 7;

struct DoctorOptions : CommonOptions {};

QList<OptionGroup> table(DoctorOptions &o)
{
    return {{QStringLiteral("Options:"),
             {jsonOption(o, QStringLiteral("one JSON object: checks (each with check, subject, "
                                           "verdict, detail, fix, command), receivers, status")),
              settleOption(o)}},
            searchOptions(o)};
}

void check(DoctorOptions &, const QStringList &positional)
{
    noArguments(QStringLiteral("doctor"), positional);
}

class Doctor : public Command {
public:
    using Command::Command;

private:
    void ok(const QString &check, const QString &subject, const QString &detail)
    {
        m_checks << Check{check, subject, Check::Ok, detail, {}, {}};
    }
    void problem(const QString &check, const QString &subject, const QString &detail,
                 const QString &fix, const QString &command = QString())
    {
        m_checks << Check{check, subject, Check::Problem, detail, fix, command};
    }

    bool beforeSearch() override
    {
        m_discards = Host::udpDiscards();
        m_watching = m_wire.open(ReplyPort, &m_wireError);
        return true;
    }
    int cannotStart(Blocked why, const QString &message) override;
    void received(const Receiver &, int, bool, bool) override {}
    void windowEnded() override
    {
        m_search.conclude(m_search.serials(), [this] { diagnose(); });
    }

    void interfaces();
    void requests();
    void arrivals();
    void receivers();
    void firewall();
    void diagnose();
    void report(int code);

    WireWatch m_wire;
    Host::UdpDiscards m_discards;
    bool m_watching = false;
    QString m_wireError;
    QList<Check> m_checks;
};

void Doctor::interfaces()
{
    bool addressed = false;
    const QString only = m_options.search.interfaceName;
    for (const InterfaceState &i : interfaceStates()) {
        if (!only.isEmpty() && i.name != only && !i.loopback)
            continue;
        m_checks << judgeInterface({i, m_exchange.tally().value(i.index).replies});
        addressed = addressed || (i.up && !i.loopback && !i.ipv4.isEmpty());
    }
    if (!addressed && only.isEmpty())
        problem(QStringLiteral("interface"), QString(),
                QStringLiteral("only loopback has an IPv4 address: receivers on a network "
                               "cannot be asked"),
                QStringLiteral("connect the adapter the receivers are on, bring it up and give "
                               "it an address; this lists them all"),
                System::Fix::listAddresses());
}

void Doctor::requests()
{
    for (const Destination &d : m_search.destinations()) {
        const QString to =
            d.address.toString() +
            (d.interfaceName.isEmpty() ? QString() : QStringLiteral(" on ") + d.interfaceName);
        const auto failed = std::find_if(
            m_requestFailures.cbegin(), m_requestFailures.cend(), [&](const QString &f) {
                return f.contains(QStringLiteral(" to ") + to + QLatin1Char(':'));
            });
        if (failed == m_requestFailures.cend())
            ok(QStringLiteral("request"), to, QStringLiteral("sent"));
        else
            problem(QStringLiteral("request"), to, *failed,
                    QStringLiteral("check the interface's address and routes"),
                    System::Fix::routeTo(d.address.toString()));
    }
}

void Doctor::arrivals()
{
    const auto &tally = m_exchange.tally();
    QList<int> indexes;
    for (const Destination &d : m_search.destinations())
        if (d.interfaceIndex > 0 && !indexes.contains(d.interfaceIndex))
            indexes << d.interfaceIndex;
    for (auto it = tally.cbegin(); it != tally.cend(); ++it)
        if (!indexes.contains(it.key()))
            indexes << it.key();
    for (const int index : std::as_const(indexes)) {
        const Exchange::Tally t = tally.value(index);
        m_checks << judgeArrivals(
            {index > 0 ? System::interfaceName(QNetworkInterface::interfaceFromIndex(index))
                       : QStringLiteral("an unknown interface"),
             t.replies, t.others});
    }
}

void Doctor::receivers()
{
    const ReceiverList &heard = m_search.heard();
    const QList<Receiver> &all = heard.all();
    for (int i = 0; i < all.size(); ++i) {
        const Receiver &r = all[i];
        const QString subject =
            QStringLiteral("%1 (%2) at %3:%4")
                .arg(displayText(r.serial()), displayText(fieldText(r.head.deviceName)),
                     quadString(r.ip()), QString::number(u16(r.head.tcpPort)));
        const Reach reach = m_search.explained(r);
        const QString use = r.inUse ? QStringLiteral("; in use by another program") : QString();
        if (reach.reachable)
            ok(QStringLiteral("receiver"), subject, reach.why + use);
        else
            problem(QStringLiteral("receiver"), subject, reach.why + use, reach.fix, reach.command);
        const QList<QByteArray> others = heard.conflicts(i);
        if (!others.isEmpty())
            problem(QStringLiteral("receiver"), subject,
                    QStringLiteral("IP conflict: %1 also reports %2")
                        .arg(displayList(others, QStringLiteral(", ")), quadString(r.ip())),
                    QStringLiteral("give one of them another address with 'vantrel-cli set'"));
        if (heard.duplicateSerial(r.serial()))
            problem(QStringLiteral("receiver"), subject,
                    QStringLiteral("the serial number answers as %1 units")
                        .arg(heard.units(r.serial()).size()),
                    QStringLiteral("two receivers report one serial number; configure them one "
                                   "at a time, with the other disconnected"));
    }
}

void Doctor::firewall()
{
    WireFacts f;
    f.watchError = m_watching ? QString() : m_wireError;
    // Compared in all: a receiver on this computer answers over loopback
    // whatever interface it was asked on.
    QStringList where;
    for (auto it = m_wire.seen().cbegin(); it != m_wire.seen().cend(); ++it) {
        f.onWire += it.value();
        where << quoted(System::interfaceName(QNetworkInterface::interfaceFromIndex(it.key())));
    }
    f.where = where.join(QStringLiteral(", "));
    for (const Exchange::Tally &t : m_exchange.tally())
        f.taken += t.replies + t.others;
    const Host::UdpDiscards now = Host::udpDiscards();
    if (m_discards.checksum >= 0 && now.checksum >= 0)
        f.checksum = now.checksum - m_discards.checksum;
    if (m_discards.buffer >= 0 && now.buffer >= 0)
        f.buffer = now.buffer - m_discards.buffer;
    if (f.missing())
        f.drops = firewallDrops(Host::firewallRuleset(), ReplyPort);
    m_checks << judgeWire(f);
}

int Doctor::cannotStart(Blocked why, const QString &message)
{
    const int code = ExitNetwork;
    m_out.note(message);
    interfaces();
    qint64 pid = 0;
    const QString holder = System::portHolder(ReplyPort, &pid);
    const QString port = QString::number(ReplyPort);
    if (!holder.isEmpty() && pid > 0)
        problem(QStringLiteral("reply port"), port,
                QStringLiteral("UDP %1 is held by %2").arg(port, holder),
                QStringLiteral("end that program, or wait until it is done"),
                System::Fix::endProcess(pid));
    else if (!holder.isEmpty())
        problem(
            QStringLiteral("reply port"), port,
            QStringLiteral("UDP %1 is held by %2").arg(port, holder),
            QStringLiteral("learn which program it is (or run '%1'), then end it or wait "
                           "until it is done")
                .arg(System::Fix::asAdministrator(System::Fix::cli() + QStringLiteral(" doctor"))),
            System::Fix::nameHolder(ReplyPort));
    if (holder.isEmpty() || why != Blocked::PortTaken)
        problem(QStringLiteral("network"), QString(), message,
                anyProblem(m_checks) ? QStringLiteral("see the problems above") : QString());
    report(code);
    return done() ? ExitOutput : code;
}

void Doctor::diagnose()
{
    interfaces();
    ok(QStringLiteral("reply port"), QString::number(ReplyPort),
       QStringLiteral("free: doctor listened on it"));
    requests();
    arrivals();
    receivers();
    firewall();
    const int found = int(m_search.heard().all().size());
    int code = ExitOk;
    if (found == 0) {
        problem(QStringLiteral("search"), QString(),
                QStringLiteral("no receiver answered within %1 ms").arg(m_options.search.timeoutMs),
                (anyProblem(m_checks) ? QStringLiteral("see the problems above; a receiver may "
                                                       "also be off")
                                      : QStringLiteral("a receiver may be off")) +
                    QStringLiteral(", or on a network this computer is not on (--to A.B.C.D "
                                   "asks across a router)"));
        code = ExitNotFound;
    } else {
        ok(QStringLiteral("search"), QString(),
           QStringLiteral("receivers that answered: %1").arg(found));
        if (anyProblem(m_checks))
            code = ExitProblem;
    }
    report(code);
    if (!done())
        finish(code);
}

void Doctor::report(int code)
{
    const int receivers = int(m_search.heard().all().size());
    m_out.data(m_options.format == Format::Json ? checksJson(m_checks, receivers, code)
                                                : checksText(m_checks));
}

} // namespace

const CommandSpec &doctorCommand()
{
    static const CommandSpec spec =
        command<Doctor>("doctor", "", "search once and say why a receiver is not found", DoctorHelp,
                        DoctorTail, table, check);
    return spec;
}

} // namespace Cli
