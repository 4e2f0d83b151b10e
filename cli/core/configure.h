// SPDX-License-Identifier: MIT
//
// Sending a configuration message and judging, from the verifying search,
// what became of it: one judge for 'set' and 'apply' alike.
#pragma once

#include "checks.h"
#include "exchange.h"

#include <QHash>
#include <optional>

namespace Cli {

// One receiver and the settings it is to get.
struct Target {
    Receiver was; // its reply in the search, which the message is built from
    DeviceConfigRecord planned{};
    Discovery::NetworkEdits edits;
    int unitsInSearch = 1; // units that answered with its serial in the search
};

struct Outcome {
    QString verdict; // applied, not seen, not confirmed, seen unchanged, ...
    QString detail;  // one sentence, naming the receiver
    bool confirmed() const
    {
        return verdict == QLatin1String("applied");
    }
};

struct Delivery {
    bool sent = false;
    QString note; // for a person: how it was sent, or why it was not
    QString routedNote;
};

// The message built from the target's own reply, out where it answered: by
// the limited broadcast on that interface, or by unicast to the address it
// answered from when it is behind a router.
Delivery sendConfiguration(Exchange &exchange, const Receiver &target,
                           const DeviceConfigRecord &planned, bool routed);

// What answered the verifying search, unit by unit.
class Verification {
public:
    void note(const Receiver &r);
    // nullopt while the verdict must wait for more of the window; with
    // `final` (the window is over) always a verdict. `seen`: the newest reply
    // with the target's serial, if any.
    std::optional<Outcome> judge(const Target &t, const Receiver *seen, bool final,
                                 int windowMs) const;

private:
    // Every unit that answered, by serial, one per identity: two units with
    // one serial must agree before it is confirmed.
    struct Unit {
        Receiver last;
        int firstSeen = 0, lastSeen = 0; // in the order replies came
    };
    QList<Receiver> unitsAfter(const Receiver &was) const;
    QString contradiction(const Target &t) const;

    QHash<QByteArray, QList<Unit>> m_units;
    int m_replies = 0;
};

} // namespace Cli
