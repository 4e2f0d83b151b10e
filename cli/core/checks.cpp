// SPDX-License-Identifier: MIT
#include "checks.h"
#include "system.h"

#include <QRegularExpression>

#include <algorithm>
#include <cstddef>

using namespace Discovery;

namespace Cli {

namespace {

// The last byte that a configuration message must carry: fpgaConfig.
constexpr std::size_t SettingsEnd = offsetof(DeviceConfigRecord, fpgaConfig) + 1;

bool contiguous(quint32 mask)
{
    // Ones then zeros: the inverted mask plus one is a power of two (or zero).
    const quint32 inverted = ~mask;
    return (inverted & (inverted + 1)) == 0;
}

int prefixLength(quint32 mask)
{
    int n = 0;
    for (quint32 m = mask; m & 0x80000000u; m <<= 1)
        ++n;
    return n;
}

QString subnetText(quint32 address, quint32 mask)
{
    if (contiguous(mask))
        return QStringLiteral("%1/%2").arg(quadString(address & mask)).arg(prefixLength(mask));
    return QStringLiteral("%1 mask %2").arg(quadString(address & mask), quadString(mask));
}

QString serialText(const Receiver &r)
{
    return displayText(fieldText(r.head.serialNumber));
}

// `what` names the address: "--ip A.B.C.D", or the unchanged one under a new mask.
void checkHostPart(SetReview &review, quint32 ip, quint32 mask, const QString &what)
{
    if (!contiguous(mask) || prefixLength(mask) > 30)
        return; // /31 and /32 have no network or broadcast address
    if ((ip & ~mask) == 0)
        review.refusals << QStringLiteral("%1 is the network address of its subnet %2")
                               .arg(what, subnetText(ip, mask));
    else if ((ip & ~mask) == ~mask)
        review.refusals << QStringLiteral("%1 is the broadcast address of its subnet %2")
                               .arg(what, subnetText(ip, mask));
}

void checkAddress(SetReview &review, quint32 ip, quint32 mask, const Receiver &target,
                  const ReceiverList &heard, const QList<LocalSubnet> &local,
                  const QSet<QByteArray> &movingAway)
{
    const QString a = quadString(ip);
    if (ip == 0xFFFFFFFFu)
        review.refusals << QStringLiteral("--ip %1 is the limited broadcast address (expected a "
                                          "unicast address)")
                               .arg(a);
    else if ((ip >> 24) == 0)
        review.refusals << QStringLiteral("--ip %1 lies in 0.0.0.0/8, which no host may use "
                                          "(expected a unicast address)")
                               .arg(a);
    else if ((ip >> 24) == 127)
        review.refusals << QStringLiteral("--ip %1 is a loopback address (127.0.0.0/8); the "
                                          "receiver would only talk to itself")
                               .arg(a);
    else if ((ip >> 28) == 0xE)
        review.refusals << QStringLiteral("--ip %1 is a multicast address (224.0.0.0/4; expected "
                                          "a unicast address)")
                               .arg(a);
    else
        checkHostPart(review, ip, mask, QStringLiteral("--ip %1").arg(a));

    if (ip != toU32(target.ip()))
        for (const Receiver &other : heard.all())
            if (other.serial() != target.serial() && toU32(other.ip()) == ip &&
                !movingAway.contains(other.serial()))
                review.refusals << QStringLiteral("--ip %1 is already reported by receiver %2 "
                                                  "(%3)")
                                       .arg(a, serialText(other),
                                            displayText(fieldText(other.head.deviceName)));
    for (const LocalSubnet &s : local)
        if (s.address == ip)
            review.refusals << QStringLiteral("--ip %1 is this computer's own address (on %2)")
                                   .arg(a, s.interfaceName);
}

} // namespace

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

bool inside(quint32 a, const QList<LocalSubnet> &subnets)
{
    return std::any_of(subnets.begin(), subnets.end(),
                       [a](const LocalSubnet &s) { return (a & s.mask) == (s.address & s.mask); });
}

bool fromOutside(const ReceiverList::Arrival &arrival, const QList<LocalSubnet> &subnets)
{
    const QList<LocalSubnet> own = subnetsOf(arrival.interfaceIndex, subnets);
    const bool loopback = std::any_of(subnets.begin(), subnets.end(), [&](const LocalSubnet &s) {
        return s.loopback && s.interfaceIndex == arrival.interfaceIndex;
    });
    return !loopback && !arrival.from.isLoopback() && arrival.interfaceIndex != 0 &&
           !inside(arrival.from.toIPv4Address(), own);
}

// A host address of `s` that neither this computer, its gateway nor any
// receiver heard uses, counting up from this computer's own; 0 if none.
quint32 freeAddress(const LocalSubnet &s, const QList<LocalSubnet> &subnets,
                    const QList<quint32> &taken)
{
    if (!contiguous(s.mask) || prefixLength(s.mask) > 30)
        return 0;
    const quint32 hosts = ~s.mask - 1; // without the network and broadcast addresses
    const quint32 network = s.address & s.mask;
    for (quint32 step = 1; step <= std::min<quint32>(hosts, 4096); ++step) {
        const quint32 a = network + 1 + (s.address - network - 1 + step) % hosts;
        const bool used = a == s.gateway || taken.contains(a) ||
                          std::any_of(subnets.begin(), subnets.end(),
                                      [a](const LocalSubnet &o) { return o.address == a; });
        if (!used)
            return a;
    }
    return 0;
}

// How to reach a receiver whose address lies outside the subnets of the
// interface it answered on: move it into one of them, or give this computer
// an address in its own subnet.
QString fixFor(const Receiver &r, const QList<LocalSubnet> &own, const Surroundings &around)
{
    QStringList ways;
    for (const LocalSubnet &s : own) {
        const quint32 free = freeAddress(s, around.subnets, around.taken);
        if (!free)
            continue;
        // A gateway of the old subnet would be refused: this computer's, or none.
        const quint32 oldGateway = r.configurable ? toU32(quad(r.config.gateway)) : 0;
        const bool keepsGateway = oldGateway && (oldGateway & s.mask) == (free & s.mask);
        const QString gateway = s.gateway ? QStringLiteral(" --gateway ") + quadString(s.gateway)
                                : !keepsGateway && oldGateway ? QStringLiteral(" --gateway 0.0.0.0")
                                                              : QString();
        ways << QStringLiteral("give it a free address of %1 on %2, for example: vantrel-cli set "
                               "%3 --ip %4 --mask %5%6")
                    .arg(subnetText(s.address, s.mask), s.interfaceName,
                         System::Fix::shellWord(displayText(r.serial())), quadString(free),
                         quadString(s.mask), gateway);
        break;
    }
    const quint32 ip = toU32(r.ip());
    quint32 mask = r.configurable ? toU32(quad(r.config.subnetMask)) : 0;
    if (!contiguous(mask) || prefixLength(mask) < 8 || prefixLength(mask) > 30)
        mask = 0xFFFFFF00u;
    const quint32 mine = (ip & mask) + ((ip & ~mask) == 1 ? 2 : 1);
    if (!own.isEmpty())
        ways << QStringLiteral("or give this computer an address in its subnet %1, for example: "
                               "%2")
                    .arg(subnetText(ip, mask),
                         System::Fix::addAddress(quadString(mine),
                                                 QString::number(prefixLength(mask)),
                                                 own.first().interfaceName));
    return ways.join(QStringLiteral("; "));
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
    const quint32 ip = toU32(r.ip());
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
            reach.fix = fixFor(r, own, around);
        }
    }
    return reach;
}

SetReview reviewSet(const Receiver &target, const DeviceConfigRecord &after,
                    const NetworkEdits &edits, const ReceiverList &heard,
                    const QList<LocalSubnet> &local, bool routed,
                    const QSet<QByteArray> &movingAway)
{
    SetReview review;
    const QString serial = serialText(target);
    if (!target.configurable) {
        review.blockers << QStringLiteral("receiver %1 is %2; only Pentra, Marlo and Halvex-R "
                                          "receivers take network settings")
                               .arg(serial,
                                    withArticle(displayText(fieldText(target.head.deviceName))));
        return review;
    }
    // The message repeats the receiver's own first `length` bytes; it must hold
    // them all and reach past the settings.
    const std::size_t length = u16(target.config.head.length);
    const std::size_t messageSize = std::min(length, sizeof(DeviceConfigRecord));
    if (length < SettingsEnd || target.size < messageSize) {
        review.blockers << QStringLiteral("the reply of %1 is too short to build its "
                                          "configuration message from: %2 bytes with length "
                                          "field %3 (expected at least %4 of both)")
                               .arg(serial, QString::number(target.size), QString::number(length),
                                    QString::number(std::max(SettingsEnd, messageSize)));
        return review;
    }

    if (const Receiver *before = heard.changedFrom(target.serial())) {
        QStringList what;
        for (const Change &c : changesBetween(namedValues(before->config, everySetting()),
                                              namedValues(target.config, everySetting())))
            what << QStringLiteral("%1 %2 -> %3").arg(c.setting, c.from, c.to);
        review.blockers << QStringLiteral("receiver %1: its settings changed while searching "
                                          "(%2); a message built from either reply may not be "
                                          "what it has (expected the same settings in every "
                                          "reply)")
                               .arg(serial, what.isEmpty() ? QStringLiteral("other bytes of its "
                                                                            "record")
                                                           : what.join(QStringLiteral(", ")));
        return review;
    }

    const quint32 ip = toU32(quad(after.head.ipAddress));
    const quint32 mask = toU32(quad(after.subnetMask));
    const quint32 gateway = toU32(quad(after.gateway));

    if (edits.ip)
        checkAddress(review, ip, mask, target, heard, local, movingAway);
    else if (edits.mask)
        checkHostPart(
            review, ip, mask,
            QStringLiteral("with --mask %1 its address %2").arg(quadString(mask), quadString(ip)));
    if (edits.mask && !contiguous(mask))
        review.refusals << QStringLiteral("--mask %1 is not contiguous (expected ones followed "
                                          "by zeros, such as 255.255.255.0)")
                               .arg(quadString(mask));
    if ((edits.ip || edits.mask || edits.gateway) && gateway != 0 &&
        (gateway & mask) != (ip & mask))
        review.refusals << QStringLiteral("the gateway %1%2 lies outside the new subnet %3 of "
                                          "%4 (expected an address in that subnet, or --gateway "
                                          "0.0.0.0 for none)")
                               .arg(quadString(gateway),
                                    edits.gateway ? QString() : QStringLiteral(" (unchanged)"),
                                    subnetText(ip, mask), quadString(ip));
    if (edits.port && *edits.port == 0)
        review.refusals << QStringLiteral("--port 0: the receiver would listen on no TCP port "
                                          "(expected 1 to 65535)");
    if (edits.altPort && *edits.altPort == 0)
        review.refusals << QStringLiteral("--alt-port 0: UDP data cannot go to port 0 (expected "
                                          "1 to 65535)");

    const QList<Identity> units = heard.identities(target.serial());
    QSet<quint32> sources;
    for (const Identity &u : units)
        sources.insert(u.source);
    if (sources.size() > 1) {
        // Two units on two wires, or a second sender: the message would
        // reach one of them, and nothing says which is meant.
        QStringList where;
        for (const ReceiverList::Arrival &a : heard.arrivals(target.serial()))
            where << sourceText(a.local, a.from, a.interfaceName);
        where.removeDuplicates();
        review.blockers << QStringLiteral("serial number %1 answered from %2: more than one "
                                          "receiver has it (expected one; -i INTERFACE or --to "
                                          "ADDRESS narrows the search to one of them)")
                               .arg(serial, where.join(QStringLiteral(" and from ")));
    } else if (units.size() > 1) {
        // Name addresses alone when they differ, else ports and MACs too.
        bool sameIp = true;
        for (const Identity &u : units)
            sameIp = sameIp && u.ip == units.first().ip;
        QStringList others;
        for (int i = 1; i < units.size(); ++i)
            others << (sameIp ? identityText(units[i], target.configurable)
                              : quadString(units[i].ip));
        const QString first = sameIp ? identityText(units.first(), target.configurable)
                                     : quadString(units.first().ip);
        others.removeDuplicates();
        others.removeAll(first);
        review.refusals << QStringLiteral("serial number %1 answered from %2 and from %3; "
                                          "every receiver with it would take the message")
                               .arg(serial, first, others.join(QStringLiteral(", ")));
    }

    if (edits.ip && !(after.netFlags & NetDhcp) && !routed) {
        QStringList subnets;
        bool reachable = false;
        for (const LocalSubnet &s : local) {
            subnets
                << QStringLiteral("%1 on %2").arg(subnetText(s.address, s.mask), s.interfaceName);
            reachable = reachable || (s.address & s.mask) == (ip & s.mask);
        }
        if (!reachable)
            review.warnings << QStringLiteral("%1 lies outside every subnet of this computer "
                                              "(%2); the receiver will not be reachable from "
                                              "here after the change")
                                   .arg(quadString(ip), subnets.isEmpty()
                                                            ? QStringLiteral("none")
                                                            : subnets.join(QStringLiteral(", ")));
    }
    return review;
}

// The named settings of a record, as option name and value text.
NetworkEdits everySetting()
{
    NetworkEdits e;
    e.ip = e.mask = e.gateway = e.altIp = Quad{};
    e.port = e.altPort = 0;
    e.dhcp = e.altUdp = false;
    e.fpgaConfig = 0;
    return e;
}

QList<QPair<QString, QString>> namedValues(const DeviceConfigRecord &r, const NetworkEdits &e)
{
    QList<QPair<QString, QString>> v;
    if (e.ip)
        v.append({QStringLiteral("ip"), quadString(quad(r.head.ipAddress))});
    if (e.port)
        v.append({QStringLiteral("port"), QString::number(u16(r.head.tcpPort))});
    if (e.mask)
        v.append({QStringLiteral("mask"), quadString(quad(r.subnetMask))});
    if (e.gateway)
        v.append({QStringLiteral("gateway"), quadString(quad(r.gateway))});
    if (e.dhcp)
        v.append({QStringLiteral("dhcp"), onOffText(r.netFlags & NetDhcp)});
    if (e.altUdp)
        v.append({QStringLiteral("alt-udp"), onOffText(r.netFlags & NetAltUdp)});
    if (e.altIp)
        v.append({QStringLiteral("alt-ip"), quadString(quad(r.altUdpAddress))});
    if (e.altPort)
        v.append({QStringLiteral("alt-port"), QString::number(u16(r.altUdpPort))});
    if (e.fpgaConfig)
        v.append({QStringLiteral("fpga"), QString::number(r.fpgaConfig)});
    return v;
}

// "port is 1024, expected 2000" for every named setting where `seen` differs.
QStringList differences(const DeviceConfigRecord &seen, const DeviceConfigRecord &wanted,
                        const NetworkEdits &e)
{
    const auto a = namedValues(seen, e), b = namedValues(wanted, e);
    QStringList out;
    for (int i = 0; i < a.size(); ++i)
        if (a[i].second != b[i].second)
            out << QStringLiteral("%1 is %2, expected %3")
                       .arg(a[i].first, a[i].second, b[i].second);
    return out;
}

QList<Change> changesBetween(const QList<QPair<QString, QString>> &before,
                             const QList<QPair<QString, QString>> &after)
{
    QList<Change> changes;
    for (const auto &now : after) {
        const auto was = std::find_if(before.begin(), before.end(),
                                      [&](const auto &b) { return b.first == now.first; });
        const QString from = was == before.end() ? QString() : was->second;
        if (from != now.second)
            changes.append({now.first, from, now.second});
    }
    return changes;
}

} // namespace Cli
