// SPDX-License-Identifier: MIT
//
// The checks that 'set' makes before it sends anything: values that would lose
// the receiver, and a warning when the new address is out of this computer's
// reach. Plain functions of what was heard and what is asked, without sockets.
#pragma once

#include "receivers.h"

#include <QList>
#include <QSet>
#include <QString>
#include <QStringList>

#include <functional>

namespace Cli {

struct LocalSubnet {
    quint32 address = 0;
    quint32 mask = 0;
    QString interfaceName;
    int interfaceIndex = 0;
    bool loopback = false;
    quint32 gateway = 0; // of the default route through this interface, if any
};

// What judging where a receiver stands needs besides its replies.
struct Surroundings {
    QList<LocalSubnet> subnets; // this computer's, loopback included
    // It answered a broadcast request (and not only one sent with --to).
    bool viaBroadcast = true;
    // Whether an address is this computer's; asked only when it matters.
    std::function<bool(quint32)> isOwnAddress;
    QList<quint32> taken; // addresses of the other receivers heard
    bool explain = false; // also say why, and how to reach one that is not reachable
};

// Whether every reply came from outside the subnets of the interface it came
// in on: from a receiver with a wrong address on that wire, or through a router.
bool answeredFromOutside(const QList<ReceiverList::Arrival> &arrivals,
                         const QList<LocalSubnet> &subnets);

// Judged over every way the receiver's replies came in (`arrivals`; none:
// the reply `r` itself): routed when no broadcast reached it and its replies
// came from outside; otherwise reachable when its IP lies in the subnets of
// an interface it answered on, or is this computer's own.
Reach reachOf(const Receiver &r, const QList<ReceiverList::Arrival> &arrivals,
              const Surroundings &around);

struct SetReview {
    QStringList blockers; // never sent, not even with --force
    QStringList refusals; // sent only with --force
    QStringList warnings;
};

// Names every setting: namedValues() and differences() then take them all.
Discovery::NetworkEdits everySetting();
// The settings named in `e`, as option name and value text as `r` has them.
QList<QPair<QString, QString>> namedValues(const DeviceConfigRecord &r,
                                           const Discovery::NetworkEdits &e);
struct Change {
    QString setting; // as namedValues() and watchedFields() name it
    QString from, to;
};
// What differs from `before` to `after`, setting by setting, in the order of `after`.
QList<Change> changesBetween(const QList<QPair<QString, QString>> &before,
                             const QList<QPair<QString, QString>> &after);

// "port is 1024, expected 2000" for every named setting where `seen` differs.
QStringList differences(const DeviceConfigRecord &seen, const DeviceConfigRecord &wanted,
                        const Discovery::NetworkEdits &e);

// `after` is the target's record with the edits applied; `heard` holds every
// receiver of the search, the target included; `local` this computer's
// subnets without loopback. A routed target is not warned about leaving
// this computer's subnets: it is outside them already.
// `movingAway`: serial numbers of receivers that a plan gives another IP
// address, so that theirs is free to take.
SetReview reviewSet(const Receiver &target, const DeviceConfigRecord &after,
                    const Discovery::NetworkEdits &edits, const ReceiverList &heard,
                    const QList<LocalSubnet> &local, bool routed = false,
                    const QSet<QByteArray> &movingAway = {});

} // namespace Cli
