// SPDX-License-Identifier: MIT
#include "review.h"
#include "settings.h"

#include <algorithm>
#include <cstddef>

using namespace Discovery;

namespace Cli {

namespace {

// The last byte that a configuration message must carry: fpgaConfig.
constexpr std::size_t SettingsEnd = offsetof(DeviceConfigRecord, fpgaConfig) + 1;

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

SetReview reviewSet(const Receiver &target, const DeviceConfigRecord &after,
                    const NetworkEdits &asked, const ReceiverList &heard,
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
        for (const Change &c :
             changesBetween(namedValues(before->config), namedValues(target.config)))
            what << QStringLiteral("%1 %2 -> %3").arg(c.setting, c.fromText, c.toText);
        review.blockers << QStringLiteral("receiver %1: its settings changed while searching "
                                          "(%2); a message built from either reply may not be "
                                          "what it has (expected the same settings in every "
                                          "reply)")
                               .arg(serial, what.isEmpty() ? QStringLiteral("other bytes of its "
                                                                            "record")
                                                           : what.join(QStringLiteral(", ")));
        return review;
    }

    // Its client would lose the stream, with no word from anyone.
    if (target.inUse)
        review.refusals << QStringLiteral("receiver %1 is in use: a program is connected to it, "
                                          "and loses it when its settings change")
                               .arg(serial);
    // A setting given the value it has already (a plan lists them all) is no
    // change to check.
    const NetworkEdits edits = changingEdits(target.config, after, asked);
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
    if (edits.ip && (after.netFlags & NetDhcp))
        review.warnings << QStringLiteral("DHCP stays on: the receiver takes its address from a "
                                          "DHCP server, not %1 (--dhcp off keeps it)")
                               .arg(quadString(ip));
    return review;
}

} // namespace Cli
