// SPDX-License-Identifier: MIT
//
// The checks that 'set' makes before it sends anything: values that would lose
// the receiver, and a warning when the new address is out of this computer's
// reach. Plain functions of what was heard and what is asked, without sockets.
#pragma once

#include "reach.h"

#include <QSet>
#include <QStringList>

namespace Core {

struct SetReview {
    QStringList blockers; // never sent, not even with --force
    QStringList refusals; // sent only with --force
    QStringList warnings;
};

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

} // namespace Core
