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
    const auto &tally = m_exchange.tally();
    for (const InterfaceState &i : interfaceStates()) {
        const QString name = i.name;
        if (!only.isEmpty() && name != only && !i.loopback)
            continue;
        QStringList addresses;
        bool routable = false;
        for (const InterfaceState::Address &a : i.ipv4) {
            addresses << quadString(a.ip) + QLatin1Char('/') + QString::number(a.prefix) +
                             (a.broadcast ? QStringLiteral(" broadcast ") + quadString(a.broadcast)
                                          : QString());
            routable = routable || (a.ip >> 16) != 0xA9FE; // not 169.254.x.x
        }
        const QString has = addresses.join(QStringLiteral(", "));
        // Only an example: the receivers' subnet is what the user knows.
        const QString example =
            System::Fix::addAddress(QStringLiteral("A.B.C.D"), QStringLiteral("N"), name);
        if (!i.up) {
            problem(QStringLiteral("interface"), quoted(name), QStringLiteral("down"),
                    QStringLiteral("bring it up if receivers are on its wire"),
                    System::Fix::bringUp(name));
        } else if (!i.carrier && !i.loopback) {
            problem(QStringLiteral("interface"), quoted(name),
                    QStringLiteral("no carrier: no cable, or the other end is off"),
                    QStringLiteral("check the cable and the switch or receiver at its other end"));
        } else if (i.ipv4.isEmpty()) {
            problem(QStringLiteral("interface"), quoted(name),
                    QStringLiteral("up, but without an IPv4 address: no request goes out on it"),
                    QStringLiteral("give it an address of the receivers' subnet, as in: ") +
                        example);
        } else if (!routable && tally.value(i.index).replies == 0) {
            problem(QStringLiteral("interface"), quoted(name),
                    QStringLiteral("only a link-local address (%1): DHCP failed").arg(has),
                    QStringLiteral("give it an address of the receivers' subnet, as in: %1; or "
                                   "fix DHCP")
                        .arg(example));
        } else {
            ok(QStringLiteral("interface"), quoted(name),
               (i.loopback ? QStringLiteral("loopback, up, ") : QStringLiteral("up, carrier, ")) +
                   has + (routable ? QString() : QStringLiteral("; receivers answered on it")));
        }
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
        const QString name =
            index > 0 ? System::interfaceName(QNetworkInterface::interfaceFromIndex(index))
                      : QStringLiteral("an unknown interface");
        const QString detail = QStringLiteral("valid replies: %1, other datagrams: %2")
                                   .arg(QString::number(t.replies), QString::number(t.others));
        if (t.replies == 0 && t.others > 0)
            problem(QStringLiteral("arrivals"), name, detail,
                    QStringLiteral("something that is no receiver answers on UDP %1; "
                                   "'--log FILE' shows what it sends")
                        .arg(ReplyPort));
        else
            ok(QStringLiteral("arrivals"), name, detail);
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
    if (!m_watching) {
        m_checks << Check{QStringLiteral("firewall"),
                          QString(),
                          Check::CannotTell,
                          QStringLiteral("cannot watch the wire for datagrams a firewall drops: %1")
                              .arg(m_wireError),
                          System::Fix::watchWire().first,
                          System::Fix::watchWire().second};
        return;
    }
    // Compared in all: a receiver on this computer answers over loopback
    // whatever interface it was asked on.
    int onWire = 0, taken = 0;
    QStringList where;
    for (auto it = m_wire.seen().cbegin(); it != m_wire.seen().cend(); ++it) {
        onWire += it.value();
        where << quoted(System::interfaceName(QNetworkInterface::interfaceFromIndex(it.key())));
    }
    for (const Exchange::Tally &t : m_exchange.tally())
        taken += t.replies + t.others;
    const QString port = QString::number(ReplyPort);
    if (onWire == 0) {
        m_checks << Check{QStringLiteral("firewall"),
                          QString(),
                          Check::CannotTell,
                          QStringLiteral("no datagram to UDP %1 came in on the wire, so no "
                                         "firewall was put to the test")
                              .arg(port),
                          QString(),
                          QString()};
        return;
    }
    if (onWire <= taken) {
        ok(QStringLiteral("firewall"), QString(),
           QStringLiteral("every datagram to UDP %1 on the wire (%2) reached this program")
               .arg(port, QString::number(onWire)));
        return;
    }
    const QString subject = where.join(QStringLiteral(", "));
    const QString seen =
        QStringLiteral("%1 datagrams to UDP %2 reached %3 on the wire, but only %4 "
                       "reached this program")
            .arg(QString::number(onWire), port, subject, QString::number(taken));
    // The kernel's own discards come before any firewall.
    const Host::UdpDiscards now = Host::udpDiscards();
    const qint64 checksum = now.checksum - m_discards.checksum,
                 buffer = now.buffer - m_discards.buffer;
    if (m_discards.checksum >= 0 && checksum + buffer >= onWire - taken) {
        QStringList why;
        if (checksum > 0)
            why << QStringLiteral("%1 with a bad UDP checksum").arg(checksum);
        if (buffer > 0)
            why << QStringLiteral("%1 for a full receive buffer").arg(buffer);
        problem(QStringLiteral("kernel"), subject,
                seen + QStringLiteral(": the kernel discarded them (%1), no firewall")
                           .arg(why.join(QStringLiteral(", "))),
                checksum > 0 ? QStringLiteral("something on the path (a switch, a driver's "
                                              "offload, the receiver itself) damages them; "
                                              "'--pcap FILE' shows their checksums")
                             : QStringLiteral("this computer is too busy to read them in time"));
        return;
    }
    const QList<FirewallDrop> drops = firewallDrops(Host::firewallRuleset(), ReplyPort);
    QStringList chains, commands;
    for (const FirewallDrop &d : drops) {
        chains << QStringLiteral("%1 %2 %3 (%4%5)")
                      .arg(quoted(d.family), quoted(d.table), quoted(d.chain), d.by,
                           d.manager.isEmpty() ? QString()
                                               : QStringLiteral(", managed by ") + d.manager);
        if (!commands.contains(d.command))
            commands << d.command;
    }
    if (!drops.isEmpty()) {
        problem(QStringLiteral("firewall"), subject,
                seen + QStringLiteral(": the firewall of this computer drops them in %1")
                           .arg(chains.join(QStringLiteral(", "))),
                QStringLiteral("allow UDP %1 in where it is dropped").arg(port),
                System::Fix::allOf(commands));
        return;
    }
    problem(QStringLiteral("firewall"), subject,
            seen + QStringLiteral(": a firewall on this computer drops them"),
            System::Fix::allowReplies(ReplyPort).isEmpty()
                ? QStringLiteral("allow UDP %1 in where the firewall drops it ('sudo nft list "
                                 "ruleset' and 'sudo iptables -L' show its rules)")
                      .arg(port)
                : QStringLiteral("allow UDP %1 in").arg(port),
            System::Fix::allowReplies(ReplyPort));
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
        problem(QStringLiteral("reply port"), port,
                QStringLiteral("UDP %1 is held by %2").arg(port, holder),
                QStringLiteral("learn which program it is (or run 'sudo vantrel-cli doctor'), "
                               "then end it or wait until it is done"),
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
