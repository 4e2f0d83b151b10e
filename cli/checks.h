// SPDX-License-Identifier: MIT
//
// The checks that 'set' makes before it sends anything: values that would lose
// the receiver, and a warning when the new address is out of this computer's
// reach. Plain functions of what was heard and what is asked, without sockets.
#pragma once

#include "receivers.h"

#include <QList>
#include <QString>
#include <QStringList>

namespace Cli {

struct LocalSubnet {
    quint32 address = 0;
    quint32 mask = 0;
    QString interfaceName;
};

struct SetReview {
    QStringList blockers; // never sent, not even with --force
    QStringList refusals; // sent only with --force
    QStringList warnings;
};

quint32 toU32(const Discovery::Quad &q);

// `after` is the target's record with the edits applied; `heard` holds every
// receiver of the search, the target included.
SetReview reviewSet(const Receiver &target, const DeviceConfigRecord &after,
                    const Discovery::NetworkEdits &edits, const ReceiverList &heard,
                    const QList<LocalSubnet> &local);

} // namespace Cli
