// SPDX-License-Identifier: MIT
#include "planreview.h"

using namespace Discovery;

namespace Cli {

namespace {

// Whether a row asks a receiver of another model for anything it does not
// already report: it reports only its address and port.
bool asksForChange(const Receiver &r, const NetworkEdits &e)
{
    return (e.ip && *e.ip != r.ip()) || (e.port && *e.port != u16(r.head.tcpPort)) || e.mask ||
           e.gateway || e.dhcp || e.altUdp || e.altIp || e.altPort || e.fpgaConfig;
}

// Each row with the receiver it names, and what the plan leaves of it.
QList<PlanCheck> match(const Plan &plan, const ReceiverList &heard)
{
    QList<PlanCheck> rows;
    for (const PlanRow &p : plan.rows) {
        PlanCheck row;
        row.plan = p;
        if (const Receiver *r = heard.find(p.serial)) {
            row.target = Target{*r, r->config, p.edits, int(heard.identities(p.serial).size())};
            row.changes = r->configurable ? applyEdits(row.target->planned, p.edits)
                                          : asksForChange(*r, p.edits);
        }
        rows << row;
    }
    return rows;
}

} // namespace

QList<PlanCheck> reviewPlan(const Plan &plan, const ReceiverList &heard,
                            const QList<LocalSubnet> &subnets,
                            const std::function<bool(const Receiver &)> &routed, bool force)
{
    QList<PlanCheck> rows = match(plan, heard);
    const auto rowName = [&](const PlanCheck &row) {
        return QStringLiteral("%1 (%2)").arg(plan.where(row.plan), displayText(row.plan.serial));
    };
    QSet<QByteArray> movingAway;
    for (const PlanCheck &row : std::as_const(rows))
        if (row.changes && row.target->was.configurable &&
            quad(row.target->planned.head.ipAddress) != row.target->was.ip())
            movingAway.insert(row.plan.serial);

    // Plan-wide: a receiver named twice, two rows giving one address.
    QHash<QByteArray, int> firstRow;
    QHash<quint32, QList<int>> newAddresses;
    for (int i = 0; i < rows.size(); ++i) {
        PlanCheck &row = rows[i];
        const auto earlier = firstRow.constFind(row.plan.serial);
        if (earlier != firstRow.constEnd()) {
            const QString both = QStringLiteral("%1 and %2 both name receiver %3")
                                     .arg(plan.where(rows[*earlier].plan), plan.where(row.plan),
                                          displayText(row.plan.serial));
            rows[*earlier].blockers << both;
            row.blockers << both;
        } else {
            firstRow.insert(row.plan.serial, i);
        }
        if (row.changes && row.plan.edits.ip)
            newAddresses[quad(row.target->planned.head.ipAddress).value()] << i;
    }
    for (auto it = newAddresses.cbegin(); it != newAddresses.cend(); ++it) {
        if (it.value().size() < 2)
            continue;
        QStringList names;
        for (int i : it.value())
            names << rowName(rows[i]);
        for (int i : it.value())
            rows[i].blockers << QStringLiteral("%1 rows give the IP address %2: %3")
                                    .arg(QString::number(it.value().size()),
                                         quadString(quad(rows[i].target->planned.head.ipAddress)),
                                         names.join(QStringLiteral(", ")));
    }

    // Each row: the checks of 'set', against the receivers as the plan leaves them.
    for (PlanCheck &row : rows) {
        if (!row.target) {
            row.verdict = PlanCheck::NotFound;
            continue;
        }
        // A row that changes nothing sends nothing, so no check of a send
        // applies to it, whatever the model: unedited find output is a plan.
        if (row.changes) {
            const Target &t = *row.target;
            const SetReview review =
                reviewSet(t.was, t.planned, t.edits, heard, subnets, routed(t.was), movingAway);
            row.blockers << review.blockers;
            row.refusals << review.refusals;
            row.warnings << review.warnings;
        }
        if (!row.blockers.isEmpty() || (!row.refusals.isEmpty() && !force))
            row.verdict = PlanCheck::Refused;
        else
            row.verdict = row.changes ? PlanCheck::Send : PlanCheck::Unchanged;
    }
    return rows;
}

QString verdictText(PlanCheck::Verdict v)
{
    switch (v) {
    case PlanCheck::NotFound:
        return QStringLiteral("not found");
    case PlanCheck::Unchanged:
        return QStringLiteral("unchanged");
    case PlanCheck::Refused:
        return QStringLiteral("refused");
    case PlanCheck::Send:
        return QStringLiteral("send");
    }
    return QString();
}

} // namespace Cli
