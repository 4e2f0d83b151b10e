// SPDX-License-Identifier: MIT
#include "review.h"
#include "settings.h"
#include "values.h"

#include <algorithm>
#include <cstddef>

using namespace Discovery;

namespace Core {

namespace {

// The last byte that a configuration message must carry: fpgaConfig.
constexpr std::size_t SettingsEnd = offsetof(DeviceConfigRecord, fpgaConfig) + 1;

QString serialText(const Receiver &r)
{
    return displayText(fieldText(r.head.serialNumber));
}

// `what` names the address: "--ip A.B.C.D", or the unchanged one under a new mask.
void checkHostPart(SetReview &review, Ipv4 ip, Ipv4 mask, const QString &what)
{
    if (!contiguous(mask) || prefixLength(mask) > 30)
        return; // /31 and /32 have no network or broadcast address
    if (ip.host(mask) == 0)
        review.blockers << QStringLiteral("%1 is the network address of its subnet %2")
                               .arg(what, subnetText(ip, mask));
    else if (ip.host(mask) == ~mask.value())
        review.blockers << QStringLiteral("%1 is the broadcast address of its subnet %2")
                               .arg(what, subnetText(ip, mask));
}

void checkAddress(SetReview &review, Ipv4 ip, Ipv4 mask, Ipv4 gateway, const Receiver &target,
                  const ReceiverList &heard, const QList<LocalSubnet> &local,
                  const QSet<QByteArray> &movingAway)
{
    const QString a = quadString(ip);
    if (ip.value() == 0xFFFFFFFFu)
        review.blockers << QStringLiteral("--ip %1 is the limited broadcast address (expected a "
                                          "unicast address)")
                               .arg(a);
    else if (ip.octet(0) == 0)
        review.blockers << QStringLiteral("--ip %1 lies in 0.0.0.0/8, which no host may use "
                                          "(expected a unicast address)")
                               .arg(a);
    else if (ip.octet(0) == 127)
        review.blockers << QStringLiteral("--ip %1 is a loopback address (127.0.0.0/8); the "
                                          "receiver would only talk to itself")
                               .arg(a);
    else if ((ip.value() >> 28) == 0xE)
        review.blockers << QStringLiteral("--ip %1 is a multicast address (224.0.0.0/4; expected "
                                          "a unicast address)")
                               .arg(a);
    else if ((ip.value() >> 28) == 0xF)
        review.blockers << QStringLiteral("--ip %1 lies in 240.0.0.0/4, reserved (expected a "
                                          "unicast address)")
                               .arg(a);
    else
        checkHostPart(review, ip, mask, QStringLiteral("--ip %1").arg(a));

    if (ip != target.ip())
        for (const Receiver &other : heard.all())
            if (other.serial() != target.serial() && other.ip() == ip &&
                !movingAway.contains(other.serial()))
                review.blockers << QStringLiteral("--ip %1 is already reported by receiver %2 "
                                                  "(%3)")
                                       .arg(a, serialText(other),
                                            displayText(fieldText(other.head.deviceName)));
    for (const LocalSubnet &s : local)
        if (s.address == ip)
            review.blockers << QStringLiteral("--ip %1 is this computer's own address (on %2)")
                                   .arg(a, quoted(s.interfaceName));
    // Every host behind a gateway would lose its way out.
    const QList<Ipv4> gateways{quad(target.config.gateway), gateway};
    if (!ip.isZero() && gateways.contains(ip))
        review.blockers << QStringLiteral("--ip %1 is the receiver's gateway").arg(a);
    for (const LocalSubnet &s : local)
        if (!s.gateway.isZero() && s.gateway == ip) {
            review.blockers << QStringLiteral("--ip %1 is this computer's gateway (on %2)")
                                   .arg(a, quoted(s.interfaceName));
            break;
        }
}

} // namespace

SetReview reviewSet(const Receiver &target, const DeviceConfigRecord &after,
                    const NetworkEdits &asked, const ReceiverList &heard,
                    const QList<LocalSubnet> &local, bool routed,
                    const QSet<QByteArray> &movingAway)
{
    SetReview review;
    const QString serial = serialText(target);
    // A unit left out of a full list could hold any address asked for.
    if (heard.overflowed())
        review.blockers << QStringLiteral("more than %1 receivers answered and the others were "
                                          "ignored; the checks cannot see them all (expected "
                                          "fewer; -i INTERFACE narrows the search)")
                               .arg(ReceiverList::MaxReceivers);
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
    const Ipv4 ip = quad(after.head.ipAddress);
    const Ipv4 mask = quad(after.subnetMask);
    const Ipv4 gateway = quad(after.gateway);

    if (edits.ip)
        checkAddress(review, ip, mask, gateway, target, heard, local, movingAway);
    else if (edits.mask)
        checkHostPart(
            review, ip, mask,
            QStringLiteral("with --mask %1 its address %2").arg(quadString(mask), quadString(ip)));
    if (edits.mask && !contiguous(mask))
        review.blockers << QStringLiteral("--mask %1 is not contiguous (expected ones followed "
                                          "by zeros, such as 255.255.255.0)")
                               .arg(quadString(mask));
    else if (edits.mask && mask.isZero())
        review.blockers << QStringLiteral("--mask 0.0.0.0 puts every address on the receiver's "
                                          "own wire, so it never uses a gateway (expected a "
                                          "subnet mask, such as 255.255.255.0)");
    const Ipv4 altIp = quad(after.altUdpAddress);
    if ((edits.altIp || edits.altUdp) && (after.netFlags & NetAltUdp)) {
        const auto broadcastOf = [&](Ipv4 address, Ipv4 subnetMask) {
            return contiguous(subnetMask) && !subnetMask.isZero() &&
                   prefixLength(subnetMask) <= 30 &&
                   altIp.host(subnetMask) == ~subnetMask.value() &&
                   altIp.masked(subnetMask) == address.masked(subnetMask);
        };
        bool broadcast = altIp.value() == 0xFFFFFFFFu || broadcastOf(ip, mask);
        for (const LocalSubnet &s : local)
            broadcast = broadcast || broadcastOf(s.address, s.mask);
        if (broadcast)
            review.blockers << QStringLiteral("--alt-ip %1 is a broadcast address: the data "
                                              "stream would flood the segment (expected one "
                                              "host's address)")
                                   .arg(quadString(altIp));
    }
    if ((edits.ip || edits.mask || edits.gateway) && !gateway.isZero() &&
        gateway.masked(mask) != ip.masked(mask))
        review.blockers << QStringLiteral("the gateway %1%2 lies outside the new subnet %3 of "
                                          "%4 (expected an address in that subnet, or --gateway "
                                          "0.0.0.0 for none)")
                               .arg(quadString(gateway),
                                    edits.gateway ? QString() : QStringLiteral(" (unchanged)"),
                                    subnetText(ip, mask), quadString(ip));
    if (edits.port && *edits.port == 0)
        review.blockers << QStringLiteral("--port 0: the receiver would listen on no TCP port "
                                          "(expected 1 to 65535)");
    if (edits.altPort && *edits.altPort == 0)
        review.blockers << QStringLiteral("--alt-port 0: UDP data cannot go to port 0 (expected "
                                          "1 to 65535)");

    // Two units, two senders, or clones on two wires: the message would
    // reach one of them or all, and nothing says which is meant.
    const QList<int> rows = heard.units(target.serial());
    if (rows.size() > 1) {
        QStringList where, described;
        QSet<QString> adapters;
        bool local = false;
        for (const int i : rows) {
            const Receiver &u = heard.all().at(i);
            const QString on = quoted(u.interfaceName);
            where << sourceText(u.local, u.from, on);
            described << identityText(identityOf(u), u.configurable) + QStringLiteral(" on ") + on;
            adapters.insert(u.interfaceName);
            local = local || u.local;
        }
        // Where sources alone do not tell them apart, what they report does.
        if (local || QStringList(where).removeDuplicates() > 0)
            where = described;
        review.blockers << QStringLiteral("serial number %1 answered from %2: more than one "
                                          "receiver has it (expected one; %3)")
                               .arg(serial, where.join(QStringLiteral(" and from ")),
                                    local ? QStringLiteral("units played on this computer "
                                                           "cannot be told apart")
                                    : adapters.size() > 1
                                        ? QStringLiteral("-i INTERFACE searches one adapter only")
                                        : QStringLiteral("two senders on one wire cannot be told "
                                                         "apart"));
    }

    if (edits.ip && !(after.netFlags & NetDhcp) && !routed) {
        QStringList subnets;
        bool reachable = false;
        for (const LocalSubnet &s : local) {
            subnets
                << QStringLiteral("%1 on %2").arg(subnetText(s.address, s.mask), s.interfaceName);
            reachable = reachable || s.address.masked(s.mask) == ip.masked(s.mask);
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

} // namespace Core
