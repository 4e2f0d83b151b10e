// SPDX-License-Identifier: MIT
//
// A plan checked as a whole against one search: each row with the receiver
// it names, the checks of 'set' for each, and across the plan a receiver
// named twice and two rows giving one address. Nothing here touches the
// network.
#pragma once

#include "configure.h"
#include "plan.h"
#include "review.h"

#include <functional>

namespace Cli {

// The engine's names are this program's words.
using namespace Core;

struct PlanCheck {
    PlanRow plan;
    std::optional<Target> target; // none: its serial number did not answer
    bool changes = false;
    QStringList blockers, refusals, warnings;
    enum Verdict { NotFound, Unchanged, Refused, Send };
    Verdict verdict = NotFound;
};
// "not found", "send": as the output shows it.
QString verdictText(PlanCheck::Verdict v);

// `routed` tells whether a receiver answered only through a router.
QList<PlanCheck> reviewPlan(const Plan &plan, const ReceiverList &heard,
                            const QList<LocalSubnet> &subnets,
                            const std::function<bool(const Receiver &)> &routed, bool force);

} // namespace Cli
