// SPDX-License-Identifier: MIT
//
// 'vantrel-cli apply': the plan checked as a whole after one search, then
// every message sent once and one verifying search for all of them.
#include "tool.h"

#include <QHash>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

#include <cstdio>

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

QString rowName(const Plan &plan, const PlanRow &row)
{
    return QStringLiteral("%1 (%2)").arg(plan.where(row), displayText(row.serial));
}

} // namespace

void Tool::finishApply()
{
    m_deadline.stop();
    m_retry.stop();
    const Plan &plan = m_options.plan;
    m_rows.clear();
    QHash<QByteArray, int> firstRow; // serial -> index in m_rows
    QSet<QByteArray> movingAway;
    for (const PlanRow &p : plan.rows) {
        Row row;
        row.plan = p;
        if (const Receiver *r = m_heard.find(p.serial)) {
            row.target = *r;
            row.units = int(m_heard.identities(p.serial).size());
            row.planned = r->config;
            row.changes =
                r->configurable ? applyEdits(row.planned, p.edits) : asksForChange(*r, p.edits);
            if (row.changes && r->configurable && quad(row.planned.head.ipAddress) != r->ip())
                movingAway.insert(p.serial);
        }
        m_rows << row;
    }

    // Plan-wide: a receiver named twice, two rows giving one address.
    QHash<quint32, QList<int>> newAddresses;
    for (int i = 0; i < m_rows.size(); ++i) {
        Row &row = m_rows[i];
        const auto earlier = firstRow.constFind(row.plan.serial);
        if (earlier != firstRow.constEnd()) {
            const QString both = QStringLiteral("%1 and %2 both name receiver %3")
                                     .arg(plan.where(m_rows[*earlier].plan), plan.where(row.plan),
                                          displayText(row.plan.serial));
            m_rows[*earlier].blockers << both;
            row.blockers << both;
        } else {
            firstRow.insert(row.plan.serial, i);
        }
        if (row.changes && row.plan.edits.ip)
            newAddresses[toU32(quad(row.planned.head.ipAddress))] << i;
    }
    for (auto it = newAddresses.cbegin(); it != newAddresses.cend(); ++it) {
        if (it.value().size() < 2)
            continue;
        QStringList rows;
        for (int i : it.value())
            rows << rowName(plan, m_rows[i].plan);
        for (int i : it.value())
            m_rows[i].refusals << QStringLiteral("%1 rows give the IP address %2: %3")
                                      .arg(QString::number(it.value().size()),
                                           quadString(quad(m_rows[i].planned.head.ipAddress)),
                                           rows.join(QStringLiteral(", ")));
    }

    // Each row: the checks of 'set', against the receivers as the plan leaves them.
    bool missing = false, refused = false;
    for (Row &row : m_rows) {
        if (!row.target) {
            row.verdict = QStringLiteral("not found");
            missing = true;
            continue;
        }
        // A row that changes nothing sends nothing, so no check of a send
        // applies to it, whatever the model: unedited find output is a plan.
        if (row.changes) {
            const SetReview review = reviewSet(*row.target, row.planned, row.plan.edits, m_heard,
                                               m_local, reach(*row.target).routed, movingAway);
            row.blockers << review.blockers;
            row.refusals << review.refusals;
            row.warnings << review.warnings;
        }
        if (!row.blockers.isEmpty() || (!row.refusals.isEmpty() && !m_options.force)) {
            row.verdict = QStringLiteral("refused");
            refused = true;
        } else {
            row.verdict = row.changes ? QStringLiteral("send") : QStringLiteral("unchanged");
        }
    }

    if (m_options.dryRun || missing || refused) {
        printApply(false);
        if (m_phase == Phase::Done)
            return; // the table could not be written
        for (const Row &row : m_rows)
            if (!row.target)
                err(QStringLiteral("%1 did not answer within %2 ms")
                        .arg(rowName(plan, row.plan), QString::number(m_options.search.timeoutMs)));
        if (!m_options.dryRun && (missing || refused))
            err(QStringLiteral("nothing sent%1")
                    .arg(missing || m_options.force
                             ? QString()
                             : QStringLiteral("; --force sends despite the refusals of checks")));
        finish(missing ? ExitNotFound : refused ? ExitRefused : ExitOk);
        return;
    }

    // As for 'set': output that cannot be written stops the run before anything is sent.
    if (g_stdoutClosed) {
        out(QString());
        return;
    }
    for (Row &row : m_rows) {
        for (const QString &r : row.refusals)
            err(QStringLiteral("%1: --force: sending although %2").arg(rowName(plan, row.plan), r));
        for (const QString &w : row.warnings)
            err(QStringLiteral("%1: warning: %2").arg(rowName(plan, row.plan), w));
        if (row.verdict != QLatin1String("send"))
            continue;
        row.sent = sendRecord(*row.target, row.planned);
        if (!row.sent) {
            row.outcome = QStringLiteral("not sent");
            row.detail = QStringLiteral("the message could not be sent");
        }
    }
    if (m_phase == Phase::Done)
        return;
    if (!m_sent) { // every row was unchanged, or no send succeeded
        judgeApply(true);
        return;
    }
    m_phase = Phase::Verify;
    beginSearch(m_options.verifyTimeoutMs, VerifyResendMs);
    sendRequests(false);
}

void Tool::judgeApply(bool final)
{
    bool allConfirmed = true, waitForAll = false;
    for (Row &row : m_rows) {
        if (!row.sent) {
            if (row.outcome.isEmpty())
                row.outcome = QStringLiteral("unchanged");
            continue;
        }
        const Receiver *seen = m_heard.find(row.plan.serial);
        const NetworkEdits &edits = row.plan.edits;
        if (!seen) {
            row.outcome = QStringLiteral("not seen");
            row.detail = QStringLiteral("no answer within %1 ms after the message")
                             .arg(m_options.verifyTimeoutMs);
            allConfirmed = false;
            continue;
        }
        const QString disagree = contradiction(*row.target, row.planned, edits);
        if (several(*row.target, row.units))
            waitForAll = true;
        if (!disagree.isEmpty()) {
            row.outcome = QStringLiteral("not confirmed");
            row.detail = disagree;
            allConfirmed = false;
            continue;
        }
        const QStringList missing =
            seen->configurable
                ? differences(seen->config, row.planned, edits)
                : QStringList{QStringLiteral("it answers as %1")
                                  .arg(withArticle(displayText(fieldText(seen->head.deviceName))))};
        const Quad was = row.target->ip(), wanted = quad(row.planned.head.ipAddress);
        if (missing.isEmpty()) {
            row.outcome = QStringLiteral("applied");
            row.detail = QStringLiteral("answers at %1:%2")
                             .arg(quadString(seen->ip()), QString::number(u16(seen->head.tcpPort)));
            continue;
        }
        allConfirmed = false;
        row.detail = missing.join(QStringLiteral("; "));
        if (seen->ip() != was && seen->ip() != wanted)
            row.outcome = QStringLiteral("seen at another address");
        else if (seen->configurable &&
                 differences(seen->config, row.target->config, edits).isEmpty())
            row.outcome = QStringLiteral("seen unchanged");
        else
            row.outcome = QStringLiteral("partly applied");
    }
    // A newer reply may still show the new settings until the time is up, and
    // every unit of a serial answering as several must have its say.
    if (!final && (!allConfirmed || waitForAll))
        return;
    printApply(true);
    bool ok = true;
    for (const Row &row : m_rows)
        ok = ok &&
             (row.outcome == QLatin1String("applied") || row.outcome == QLatin1String("unchanged"));
    finish(ok ? ExitOk : ExitNotConfirmed);
}

void Tool::printApply(bool outcomes)
{
    const Plan &plan = m_options.plan;
    const auto changesOf = [](const Row &row) {
        QList<QPair<QString, QPair<QString, QString>>> out;
        if (!row.target)
            return out;
        const auto before = namedValues(row.target->config, row.plan.edits);
        const auto after = namedValues(row.planned, row.plan.edits);
        for (int i = 0; i < before.size() && row.target->configurable; ++i)
            if (before[i].second != after[i].second)
                out.append({before[i].first, {before[i].second, after[i].second}});
        return out;
    };

    if (m_options.format == Format::Json) {
        QJsonArray list;
        for (const Row &row : m_rows) {
            QJsonArray changes;
            for (const auto &c : changesOf(row))
                changes.append(QJsonObject{{QStringLiteral("setting"), c.first},
                                           {QStringLiteral("from"), c.second.first},
                                           {QStringLiteral("to"), c.second.second}});
            QJsonObject o{{QStringLiteral("row"), plan.where(row.plan)},
                          {QStringLiteral("serial"), QString::fromLatin1(row.plan.serial)},
                          {QStringLiteral("model"),
                           row.target ? QJsonValue(QString::fromLatin1(
                                            fieldText(row.target->head.deviceName).c_str()))
                                      : QJsonValue()},
                          {QStringLiteral("ip"),
                           row.target ? QJsonValue(quadString(row.target->ip())) : QJsonValue()},
                          {QStringLiteral("verdict"), row.verdict},
                          {QStringLiteral("changes"), changes},
                          {QStringLiteral("refusals"),
                           QJsonArray::fromStringList(row.blockers + row.refusals)},
                          {QStringLiteral("warnings"), QJsonArray::fromStringList(row.warnings)}};
            if (outcomes) {
                o[QStringLiteral("outcome")] = row.outcome;
                o[QStringLiteral("detail")] = row.detail;
            }
            list.append(o);
        }
        report(QString::fromUtf8(QJsonDocument(list).toJson(QJsonDocument::Indented)), outcomes);
        return;
    }

    QString text;
    for (const Row &row : m_rows) {
        QStringList described;
        for (const auto &c : changesOf(row))
            described
                << QStringLiteral("%1 %2 -> %3").arg(c.first, c.second.first, c.second.second);
        const QString model =
            row.target ? displayText(fieldText(row.target->head.deviceName)) : QStringLiteral("-");
        text += QStringLiteral("%1 %2 %3 %4 %5\n")
                    .arg(plan.where(row.plan).leftJustified(10),
                         displayText(row.plan.serial).leftJustified(10), model.leftJustified(8),
                         (outcomes ? row.outcome : row.verdict).leftJustified(10),
                         described.isEmpty() ? QStringLiteral("-")
                                             : described.join(QStringLiteral(", ")));
        if (outcomes && !row.detail.isEmpty())
            text += QStringLiteral("  %1\n").arg(row.detail);
        if (!outcomes) {
            for (const QString &r : row.blockers + row.refusals)
                text += QStringLiteral("  refused: %1\n").arg(r);
            for (const QString &w : row.warnings)
                text += QStringLiteral("  warning: %1\n").arg(w);
        }
    }
    report(text, outcomes);
}

void Tool::report(const QString &table, bool outcomes)
{
    // Once messages are out, their outcomes must be seen somewhere.
    if (!out(table) && outcomes && m_sent) {
        std::fputs(table.toUtf8().constData(), stderr);
        std::fflush(stderr);
    }
}

} // namespace Cli
