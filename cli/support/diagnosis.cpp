// SPDX-License-Identifier: MIT
#include "diagnosis.h"

#include "receivers.h"
#include "system.h"
#include "values.h"

#include <algorithm>

#include <QNetworkInterface>
#include <QSocketNotifier>

namespace Cli {

QList<InterfaceState> interfaceStates()
{
    QList<InterfaceState> states;
    for (const QNetworkInterface &i : QNetworkInterface::allInterfaces()) {
        InterfaceState s;
        s.name = System::interfaceName(i);
        s.index = i.index();
        s.up = i.flags() & QNetworkInterface::IsUp;
        s.carrier = i.flags() & QNetworkInterface::IsRunning;
        s.loopback = i.flags() & QNetworkInterface::IsLoopBack;
        for (const QNetworkAddressEntry &e : i.addressEntries())
            if (e.ip().protocol() == QAbstractSocket::IPv4Protocol)
                s.ipv4 << InterfaceState::Address{Discovery::Ipv4(e.ip().toIPv4Address()),
                                                  e.prefixLength(),
                                                  Discovery::Ipv4(e.broadcast().toIPv4Address())};
        states << s;
    }
    return states;
}

bool WireWatch::open(quint16 port, QString *error)
{
    if (!m_packets.open(error))
        return false;
    m_port = port;
    auto *notifier = new QSocketNotifier(m_packets.descriptor(), QSocketNotifier::Read, this);
    connect(notifier, &QSocketNotifier::activated, this, &WireWatch::read);
    return true;
}

void WireWatch::read()
{
    m_packets.read(m_port, [this](int interfaceIndex) {
        // Bounded by the interfaces the kernel has.
        if (m_seen.size() < 1024 || m_seen.contains(interfaceIndex))
            ++m_seen[interfaceIndex];
    });
}

namespace {

using Discovery::ReplyPort;

Check problem(const QString &check, const QString &subject, const QString &detail,
              const QString &fix, const QString &command = QString())
{
    return Check{check, subject, Check::Problem, detail, fix, command};
}

QString addresses(const InterfaceState &s)
{
    QStringList list;
    for (const InterfaceState::Address &a : s.ipv4)
        list << quadString(a.ip) + QLatin1Char('/') + QString::number(a.prefix) +
                    (!a.broadcast.isZero() ? QStringLiteral(" broadcast ") + quadString(a.broadcast)
                                           : QString());
    return list.join(QStringLiteral(", "));
}

bool routable(const InterfaceState &s)
{
    return std::any_of(s.ipv4.begin(), s.ipv4.end(), [](const InterfaceState::Address &a) {
        return (a.ip.value() >> 16) != 0xA9FE; // not 169.254.x.x
    });
}

// Only an example: the receivers' subnet is what the user knows.
QString example(const InterfaceState &s)
{
    return System::Fix::addAddress(QStringLiteral("A.B.C.D"), QStringLiteral("N"), s.name);
}

const Rule<InterfaceFacts> InterfaceRules[] = {
    {[](const InterfaceFacts &f) { return !f.state.up; },
     [](const InterfaceFacts &f) {
         return problem(QStringLiteral("interface"), quoted(f.state.name), QStringLiteral("down"),
                        QStringLiteral("bring it up if receivers are on its wire"),
                        System::Fix::bringUp(f.state.name));
     }},
    {[](const InterfaceFacts &f) { return !f.state.carrier && !f.state.loopback; },
     [](const InterfaceFacts &f) {
         return problem(
             QStringLiteral("interface"), quoted(f.state.name),
             QStringLiteral("no carrier: no cable, or the other end is off"),
             QStringLiteral("check the cable and the switch or receiver at its other end"));
     }},
    {[](const InterfaceFacts &f) { return f.state.ipv4.isEmpty(); },
     [](const InterfaceFacts &f) {
         return problem(
             QStringLiteral("interface"), quoted(f.state.name),
             QStringLiteral("up, but without an IPv4 address: no request goes out on it"),
             QStringLiteral("give it an address of the receivers' subnet, as in: ") +
                 example(f.state));
     }},
    {[](const InterfaceFacts &f) { return !routable(f.state) && f.replies == 0; },
     [](const InterfaceFacts &f) {
         return problem(
             QStringLiteral("interface"), quoted(f.state.name),
             QStringLiteral("only a link-local address (%1): DHCP failed").arg(addresses(f.state)),
             QStringLiteral("give it an address of the receivers' subnet, as in: %1; "
                            "or fix DHCP")
                 .arg(example(f.state)));
     }},
    {[](const InterfaceFacts &) { return true; },
     [](const InterfaceFacts &f) {
         return Check{
             QStringLiteral("interface"),
             quoted(f.state.name),
             Check::Ok,
             (f.state.loopback ? QStringLiteral("loopback, up, ")
                               : QStringLiteral("up, carrier, ")) +
                 addresses(f.state) +
                 (routable(f.state) ? QString() : QStringLiteral("; receivers answered on it")),
             {},
             {}};
     }},
};

QString arrivalsText(const ArrivalFacts &f)
{
    return QStringLiteral("valid replies: %1, other datagrams: %2")
        .arg(QString::number(f.replies), QString::number(f.others));
}

const Rule<ArrivalFacts> ArrivalRules[] = {
    {[](const ArrivalFacts &f) { return f.replies == 0 && f.others > 0; },
     [](const ArrivalFacts &f) {
         return problem(QStringLiteral("arrivals"), f.interfaceName, arrivalsText(f),
                        QStringLiteral("something that is no receiver answers on UDP %1; "
                                       "'--log FILE' shows what it sends")
                            .arg(ReplyPort));
     }},
    {[](const ArrivalFacts &) { return true; },
     [](const ArrivalFacts &f) {
         return Check{
             QStringLiteral("arrivals"), f.interfaceName, Check::Ok, arrivalsText(f), {}, {}};
     }},
};

QString missingText(const WireFacts &f)
{
    return QStringLiteral("%1 datagrams to UDP %2 reached %3 on the wire, but only %4 "
                          "reached this program")
        .arg(QString::number(f.onWire), QString::number(ReplyPort), f.where,
             QString::number(f.taken));
}

// The kernel's own discards come before any firewall.
bool kernelDiscarded(const WireFacts &f)
{
    return f.checksum >= 0 && f.checksum + std::max<qint64>(f.buffer, 0) >= f.onWire - f.taken;
}

const Rule<WireFacts> WireRules[] = {
    {[](const WireFacts &f) { return !f.watchError.isEmpty(); },
     [](const WireFacts &f) {
         return Check{QStringLiteral("firewall"),
                      QString(),
                      Check::CannotTell,
                      QStringLiteral("cannot watch the wire for datagrams a firewall drops: %1")
                          .arg(f.watchError),
                      System::Fix::watchWire().first,
                      System::Fix::watchWire().second};
     }},
    {[](const WireFacts &f) { return f.onWire == 0; },
     [](const WireFacts &) {
         return Check{QStringLiteral("firewall"),
                      QString(),
                      Check::CannotTell,
                      QStringLiteral("no datagram to UDP %1 came in on the wire, so no "
                                     "firewall was put to the test")
                          .arg(ReplyPort),
                      {},
                      {}};
     }},
    {[](const WireFacts &f) { return f.onWire <= f.taken; },
     [](const WireFacts &f) {
         return Check{QStringLiteral("firewall"),
                      QString(),
                      Check::Ok,
                      QStringLiteral("every datagram to UDP %1 on the wire (%2) reached this "
                                     "program")
                          .arg(QString::number(ReplyPort), QString::number(f.onWire)),
                      {},
                      {}};
     }},
    {kernelDiscarded,
     [](const WireFacts &f) {
         QStringList why;
         if (f.checksum > 0)
             why << QStringLiteral("%1 with a bad UDP checksum").arg(f.checksum);
         if (f.buffer > 0)
             why << QStringLiteral("%1 for a full receive buffer").arg(f.buffer);
         return problem(
             QStringLiteral("kernel"), f.where,
             missingText(f) + QStringLiteral(": the kernel discarded them (%1), no firewall")
                                  .arg(why.join(QStringLiteral(", "))),
             f.checksum > 0 ? QStringLiteral("something on the path (a switch, a driver's "
                                             "offload, the receiver itself) damages them; "
                                             "'--pcap FILE' shows their checksums")
                            : QStringLiteral("this computer is too busy to read them in time"));
     }},
    {[](const WireFacts &f) { return !f.drops.isEmpty(); },
     [](const WireFacts &f) {
         QStringList chains, commands;
         for (const FirewallDrop &d : f.drops) {
             chains << QStringLiteral("%1 %2 %3 (%4%5)")
                           .arg(quoted(d.family), quoted(d.table), quoted(d.chain), d.by,
                                d.manager.isEmpty() ? QString()
                                                    : QStringLiteral(", managed by ") + d.manager);
             if (!commands.contains(d.command))
                 commands << d.command;
         }
         return problem(QStringLiteral("firewall"), f.where,
                        missingText(f) +
                            QStringLiteral(": the firewall of this computer drops them in %1")
                                .arg(chains.join(QStringLiteral(", "))),
                        QStringLiteral("allow UDP %1 in where it is dropped").arg(ReplyPort),
                        System::Fix::allOf(commands));
     }},
    {[](const WireFacts &) { return true; },
     [](const WireFacts &f) {
         const QString command = System::Fix::allowReplies(ReplyPort);
         return problem(QStringLiteral("firewall"), f.where,
                        missingText(f) + QStringLiteral(": a firewall on this computer drops them"),
                        command.isEmpty()
                            ? QStringLiteral("allow UDP %1 in where the firewall drops it ('%2' "
                                             "shows its rules)")
                                  .arg(QString::number(ReplyPort), System::Fix::listFirewall())
                            : QStringLiteral("allow UDP %1 in").arg(ReplyPort),
                        command);
     }},
};

} // namespace

Check judgeInterface(const InterfaceFacts &f)
{
    return firstRule(InterfaceRules, f);
}

Check judgeArrivals(const ArrivalFacts &f)
{
    return firstRule(ArrivalRules, f);
}

Check judgeWire(const WireFacts &f)
{
    return firstRule(WireRules, f);
}

QString verdictText(Check::Verdict v)
{
    switch (v) {
    case Check::Ok:
        return QStringLiteral("ok");
    case Check::Problem:
        return QStringLiteral("problem");
    case Check::CannotTell:
        break;
    }
    return QStringLiteral("cannot tell");
}

bool anyProblem(const QList<Check> &checks)
{
    return std::any_of(checks.begin(), checks.end(),
                       [](const Check &c) { return c.verdict == Check::Problem; });
}

} // namespace Cli
