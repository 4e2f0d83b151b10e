// SPDX-License-Identifier: MIT
//
// Sending a configuration message and judging, from the verifying search,
// what became of it: one judge for 'set' and 'apply' alike.
#pragma once

#include "exchange.h"
#include "settings.h"

#include <QHash>
#include <optional>

namespace Core {

// One receiver and the settings it is to get.
struct Target {
    Receiver was; // its reply in the search, which the message is built from
    DeviceConfigRecord planned{};
    Discovery::NetworkEdits edits;
    int unitsInSearch = 1; // units that answered with its serial in the search
};

struct Outcome {
    enum Verdict {
        Applied,
        PartlyApplied,
        NotApplied, // another unit with its serial still answers as it was
        NotConfirmed,
        NotSeen,
        SeenUnchanged,
        SeenElsewhere, // at another address
    };
    Verdict verdict;
    QString detail; // one sentence, naming the receiver
    bool confirmed() const
    {
        return verdict == Applied;
    }
};
// "applied", "seen at another address": as the output shows it.
QString verdictText(Outcome::Verdict v);

struct Delivery {
    bool sent = false;
    QString note; // for a person: how it was sent, or why it was not
    QString routedNote;
};

// The message built from the target's own reply, out where it answered: by
// the limited broadcast on that interface (found again by its name, as an
// adapter plugged in again gets a new index), or by unicast to the address
// it answered from when it is behind a router. An interface that is gone or
// down sends nothing: the default route may lead to another wire.
Delivery sendConfiguration(Exchange &exchange, const Receiver &target,
                           const DeviceConfigRecord &planned, bool routed);

// What answered the verifying search. Only the target may confirm: a reply
// on its interface, from the address it answered from before or the one it
// was given (after a change to DHCP, any address with its MAC). Anything
// else is counted and never weighed.
class Verification {
public:
    void expect(const Target &t);
    void note(const Receiver &r);
    // nullopt while the verdict must wait for more of the window; with
    // `final` (the window is over) always a verdict.
    std::optional<Outcome> judge(const Target &t, bool final, int windowMs) const;

private:
    // Every unit that answered, by serial, one per identity: two units with
    // one serial must agree before it is confirmed.
    struct Unit {
        Receiver last;
        int firstSeen = 0, lastSeen = 0; // in the order replies came
    };
    struct Heard {
        Target target;
        QList<Unit> units;
        int latest = -1;                   // the unit that answered last, in `units`
        bool unchanged = false;            // it answered with its old settings
        int others = 0;                    // replies from anywhere else
        std::optional<Receiver> elsewhere; // the last of them with its MAC, on its wire
        bool took = false;                 // it answered with the new settings
        // Another unit with its serial number that still answers as it was
        // after the target took the message: the one meant may be either.
        std::optional<Receiver> clone;
    };
    QList<Receiver> unitsAfter(const Heard &h) const;
    QString contradiction(const Heard &h) const;

    QHash<QByteArray, Heard> m_heard;
    int m_replies = 0;
};

} // namespace Core
