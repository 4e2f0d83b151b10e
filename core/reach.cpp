// SPDX-License-Identifier: MIT
#include "reach.h"
#include "system.h"
#include "values.h"

#include <algorithm>

using namespace Discovery;

namespace Core {

bool contiguous(Ipv4 mask)
{
    // Ones then zeros: the inverted mask plus one is a power of two (or zero).
    const quint32 inverted = ~mask.value();
    return (inverted & (inverted + 1)) == 0;
}

int prefixLength(Ipv4 mask)
{
    int n = 0;
    for (quint32 m = mask.value(); m & 0x80000000u; m <<= 1)
        ++n;
    return n;
}

QString subnetText(Ipv4 address, Ipv4 mask)
{
    if (contiguous(mask))
        return QStringLiteral("%1/%2")
            .arg(quadString(address.masked(mask)))
            .arg(prefixLength(mask));
    return QStringLiteral("%1 mask %2").arg(quadString(address.masked(mask)), quadString(mask));
}

ReceiverList::OneLan oneLan(const QList<LocalSubnet> &subnets)
{
    return [subnets](Ipv4 source, const QString &a, const QString &b) {
        const auto in = [&](const QString &name) {
            return std::any_of(subnets.begin(), subnets.end(), [&](const LocalSubnet &s) {
                return s.interfaceName == name && source.masked(s.mask) == s.address.masked(s.mask);
            });
        };
        return in(a) && in(b);
    };
}

namespace {

// The subnets a reply that came in on `interfaceIndex` belongs to: that
// interface's, or every one of this computer for a reply on loopback.
QList<LocalSubnet> subnetsOf(int interfaceIndex, const QList<LocalSubnet> &subnets)
{
    QList<LocalSubnet> own;
    bool onLoopback = interfaceIndex == 0;
    for (const LocalSubnet &s : subnets)
        if (s.interfaceIndex == interfaceIndex) {
            own << s;
            onLoopback = onLoopback || s.loopback;
        }
    if (onLoopback) {
        own.clear();
        for (const LocalSubnet &s : subnets)
            if (!s.loopback)
                own << s;
    }
    return own;
}

bool inside(Ipv4 a, const QList<LocalSubnet> &subnets)
{
    return std::any_of(subnets.begin(), subnets.end(), [a](const LocalSubnet &s) {
        return a.masked(s.mask) == s.address.masked(s.mask);
    });
}

bool fromOutside(const ReceiverList::Arrival &arrival, const QList<LocalSubnet> &subnets)
{
    const QList<LocalSubnet> own = subnetsOf(arrival.interfaceIndex, subnets);
    const bool loopback = std::any_of(subnets.begin(), subnets.end(), [&](const LocalSubnet &s) {
        return s.loopback && s.interfaceIndex == arrival.interfaceIndex;
    });
    return !loopback && !arrival.from.isLoopback() && arrival.interfaceIndex != 0 &&
           !inside(Ipv4(arrival.from.toIPv4Address()), own);
}

// The `skip`-th host address of the subnet of `address` under `mask` that
// is no address in `used`, counting up from `address`; zero if none. Never
// the network or broadcast address.
Ipv4 freeAddress(Ipv4 address, Ipv4 mask, const QList<Ipv4> &used, int skip = 0)
{
    if (!contiguous(mask) || prefixLength(mask) > 30)
        return Ipv4();
    const quint32 hosts = ~mask.value() - 1; // without the network and broadcast addresses
    const quint32 network = address.masked(mask).value();
    // The first candidate is the one after `address` (the network's first host
    // for the network address).
    const quint32 host = address.host(mask);
    const quint32 from = host ? host - 1 : hosts - 1;
    for (quint32 step = 1; step <= std::min<quint32>(hosts, 4096); ++step) {
        const Ipv4 a(network + 1 + (from + step) % hosts);
        if (!used.contains(a) && skip-- == 0)
            return a;
    }
    return Ipv4();
}

// How to reach a receiver whose address lies outside the subnets of the
// interface it answered on: move it into one of them (never to an address
// this computer, a gateway or another receiver has, or one offered to
// another receiver), or give this computer an address in its own subnet.
// The first way is also `command`.
void fixFor(const Receiver &r, const QList<LocalSubnet> &own, const Surroundings &around,
            Reach &reach)
{
    QStringList ways;
    QList<Ipv4> used = around.taken;
    for (const LocalSubnet &s : around.subnets)
        used << s.address << s.gateway;
    const Ipv4 ip = r.ip();
    const bool dhcp = r.configurable && (r.config.netFlags & NetDhcp);
    const Ipv4 oldGateway = r.configurable ? quad(r.config.gateway) : Ipv4();
    for (const LocalSubnet &s : own) {
        const Ipv4 free =
            r.configurable ? freeAddress(s.address, s.mask, used, around.rank) : Ipv4();
        if (free.isZero())
            continue;
        // A gateway of the old subnet would be refused: this computer's, or none.
        const bool keepsGateway =
            !oldGateway.isZero() && oldGateway.masked(s.mask) == free.masked(s.mask);
        const QString gateway =
            !s.gateway.isZero() ? QStringLiteral(" --gateway ") + quadString(s.gateway)
            : !keepsGateway && !oldGateway.isZero() ? QStringLiteral(" --gateway 0.0.0.0")
                                                    : QString();
        // With DHCP on, the unit would not keep an address it is given. The
        // serial comes last, after "--": it may begin with a dash. A unit in
        // use refuses without --force, which drops its client's stream.
        const QString command =
            QStringLiteral("%1 set%2 --ip %3 --mask %4%5%6 %7 %8")
                .arg(System::Fix::cli(), dhcp ? QStringLiteral(" --dhcp off") : QString(),
                     quadString(free), quadString(s.mask), gateway,
                     r.inUse ? QStringLiteral(" --force") : QString(),
                     // A shell may take a bare "--" as its own (PowerShell does).
                     System::Fix::shellWord(QStringLiteral("--")),
                     System::Fix::shellWord(QString::fromLatin1(r.serial())));
        ways << QStringLiteral("give it a free address of %1 on %2, for example: %3%4")
                    .arg(subnetText(s.address, s.mask), quoted(s.interfaceName), command,
                         r.inUse ? QStringLiteral(" (it is in use: its client loses the stream)")
                                 : QString());
        reach.command = command;
        break;
    }
    // A unit without an address (DHCP that got no lease) has no subnet to join.
    if (!ip.isZero() && !own.isEmpty()) {
        Ipv4 mask = r.configurable ? quad(r.config.subnetMask) : Ipv4();
        if (!contiguous(mask) || prefixLength(mask) < 8 || prefixLength(mask) > 30)
            mask = Ipv4(255, 255, 255, 0);
        const Ipv4 mine =
            freeAddress(ip.masked(mask), mask, QList<Ipv4>{ip, oldGateway} + around.taken);
        if (!mine.isZero()) {
            const QString command = System::Fix::addAddress(
                quadString(mine), QString::number(prefixLength(mask)), own.first().interfaceName);
            ways << QStringLiteral("%1give this computer an address in its subnet %2, for "
                                   "example: %3")
                        .arg(ways.isEmpty() ? QString() : QStringLiteral("or "),
                             subnetText(ip, mask), command);
            if (reach.command.isEmpty())
                reach.command = command;
        }
    }
    reach.fix = ways.join(QStringLiteral("; "));
}

} // namespace

bool answeredFromOutside(const QList<ReceiverList::Arrival> &arrivals,
                         const QList<LocalSubnet> &subnets)
{
    return !arrivals.isEmpty() &&
           std::all_of(arrivals.begin(), arrivals.end(),
                       [&](const ReceiverList::Arrival &a) { return fromOutside(a, subnets); });
}

Reach reachOf(const Receiver &r, const QList<ReceiverList::Arrival> &arrivals,
              const Surroundings &around)
{
    const QList<ReceiverList::Arrival> ways =
        arrivals.isEmpty()
            ? QList<ReceiverList::Arrival>{{r.interfaceIndex, r.from, r.interfaceName, r.local}}
            : arrivals;
    const Ipv4 ip = r.ip();
    const auto names = [&](const QList<LocalSubnet> &subnets) {
        QStringList names;
        for (const LocalSubnet &s : subnets)
            names << QStringLiteral("%1 on %2").arg(subnetText(s.address, s.mask), s.interfaceName);
        return names.isEmpty() ? QStringLiteral("no subnet") : names.join(QStringLiteral(", "));
    };
    Reach reach;
    // Only a receiver that no broadcast reached came through a router; one
    // that answered a broadcast is on that wire, whatever address it answers from.
    if (!around.viaBroadcast && answeredFromOutside(ways, around.subnets)) {
        const ReceiverList::Arrival &a = ways.first();
        reach.routed = true;
        if (around.explain)
            reach.why =
                QStringLiteral("answered through a router from %1, outside %2")
                    .arg(a.from.toString(), names(subnetsOf(a.interfaceIndex, around.subnets)));
        return reach;
    }
    // The way in whose subnets hold its address decides; else the newest.
    QList<LocalSubnet> own = subnetsOf(ways.first().interfaceIndex, around.subnets);
    for (const ReceiverList::Arrival &a : ways) {
        const QList<LocalSubnet> theirs = subnetsOf(a.interfaceIndex, around.subnets);
        if (inside(ip, theirs)) {
            own = theirs;
            break;
        }
    }
    if (inside(ip, own)) {
        if (around.explain)
            reach.why = QStringLiteral("%1 lies in %2").arg(quadString(ip), names(own));
    } else if (around.isOwnAddress && around.isOwnAddress(ip)) {
        if (around.explain)
            reach.why = QStringLiteral("%1 is an address of this computer").arg(quadString(ip));
    } else {
        reach.reachable = false;
        if (around.explain) {
            reach.why = QStringLiteral("%1 lies outside %2, where it answered: TCP to it needs a "
                                       "route")
                            .arg(quadString(ip), names(own));
            fixFor(r, own, around, reach);
        }
    }
    return reach;
}

} // namespace Core
