// SPDX-License-Identifier: MIT
//
// 'vantrel-cli apply': the plan checked as a whole after one search, then
// every message sent once and one verifying search for all of them.
#include "columns.h"
#include "command.h"
#include "format.h"
#include "host.h"
#include "planreview.h"
#include "system.h"

#include <QJsonDocument>

using namespace Discovery;

namespace Cli {

namespace {

const char *const ApplyHelp = R"(Usage: vantrel-cli apply PLAN [OPTION]...
Gives many receivers their settings from one plan. PLAN is a CSV file with a
header line or a JSON array of objects ('-' reads standard input); columns or
keys: serial (required) and any of
  {settings},
with the values of 'set' (on/off, or JSON true/false, for the flags). An
empty cell leaves that setting as the receiver has it.
The columns of 'find --csv' and the keys of 'show --json' that only describe
a receiver are ignored, so edited find output is a plan:

  serial,ip,mask,gateway,dhcp
  PX00,192.0.2.150,255.255.255.0,192.0.2.1,
  PX01,,,,on

One search for the whole --timeout, then every check before anything is
sent: the checks of 'set' for each row, and across the plan two rows giving
one IP address, a row taking the address of a receiver outside the plan or of
one in it that keeps it (two receivers may swap), a serial number twice, and
a serial number that did not answer. A row whose settings the receiver has
already is unchanged and not sent. Then each message is sent once, as 'set'
builds it, and one verifying search looks for all of them.

)";

const char *const ApplyTail = R"(
Outcomes per row: applied, unchanged, seen unchanged, seen at another address,
partly applied, not seen.
Exit status: 0 every row applied or unchanged (--dry-run: the plan would be
sent), 1 usage error or a bad plan, 2 a serial number did not answer (nothing
sent), 3 a row not confirmed (also when units with one serial number disagree),
4 refused by a check (nothing sent), 5 output failed before anything was sent,
6 the network cannot be used (or a message could not be sent).
)";

struct ApplyOptions : CommonOptions, SendOptions {
    QString planPath; // "-": standard input
    Plan plan;
};

QList<OptionGroup> table(ApplyOptions &o)
{
    return {{QStringLiteral("Options:"),
             sendOptions(o) << jsonOption(
                 o, QStringLiteral("the plan or the outcomes as a JSON array, one object per row: "
                                   "row (its line, or element of a JSON plan), serial, model, ip, "
                                   "verdict, changes (setting, from, to), refusals, warnings, and "
                                   "after sending outcome, detail"))},
            searchOptions(o)};
}

void check(ApplyOptions &o, const QStringList &positional)
{
    if (positional.size() != 1)
        fail(positional.isEmpty()
                 ? QStringLiteral("apply: the plan file is missing (PLAN, or - for standard input)")
                 : QStringLiteral("apply: unexpected argument '%1' after the plan")
                       .arg(quoted(positional[1])));
    o.planPath = positional.first();
    // The log and the capture are opened for writing before anything is
    // sent: they would overwrite the plan they were given.
    for (const auto &[option, path] : {std::pair{"--log", o.logFile}, {"--pcap", o.captureFile}})
        if (!path.isEmpty() && (o.planPath == QLatin1String("-") ? Host::isStream(path, 0)
                                                                 : sameFile(path, o.planPath)))
            fail(QStringLiteral("%1: '%2' is the plan itself").arg(QLatin1String(option), path));
    o.plan = loadPlan(o.planPath, describingKeys());
}

class Apply : public Command {
public:
    Apply(const ApplyOptions &o, Output &out) : Command(o, out), m_apply(o) {}

private:
    void received(const Receiver &r, int, bool, bool) override
    {
        if (!m_verifying)
            return;
        m_verification.note(r);
        judge(false);
    }

    void windowEnded() override
    {
        if (m_verifying)
            judge(true);
        else
            m_search.conclude(m_search.serials(), [this] { decide(); });
    }

    QString progressText() const override
    {
        if (!m_verifying)
            return Command::progressText();
        return QStringLiteral("checking: %1 s left")
            .arg(QString::number(double(m_search.leftMs()) / 1000.0, 'f', 1));
    }

    // Each plan row with its receiver, checks and outcome.
    struct Row : PlanCheck {
        bool sent = false;
        // After the sends: nothing to send, not sent, or the judge's verdict.
        enum End { Open, Unchanged, NotSent, Judged } end = Open;
        Outcome::Verdict judged = Outcome::NotSeen;
        QString detail;
        QString outcomeText() const
        {
            return end == Judged      ? Core::verdictText(judged)
                   : end == NotSent   ? QStringLiteral("not sent")
                   : end == Unchanged ? QStringLiteral("unchanged")
                                      : QString();
        }
    };

    QString rowName(const Row &row) const
    {
        return QStringLiteral("%1 (%2)").arg(m_apply.plan.where(row.plan),
                                             displayText(row.plan.serial));
    }
    void decide();
    void judge(bool final);
    void print(bool outcomes);

    ApplyOptions m_apply;
    QList<Row> m_rows;
    bool m_verifying = false;
    Verification m_verification;
};

void Apply::decide()
{
    m_rows.clear();
    for (const PlanCheck &c : reviewPlan(
             m_apply.plan, m_search.heard(), m_search.subnets(),
             [this](const Receiver &r) { return m_search.reach(r).routed; }, m_apply.force))
        m_rows << Row{c, false, Row::Open, Outcome::NotSeen, {}};
    bool missing = false, refused = false;
    bool forceHelps = false; // some row is refused by checks that --force overrides
    for (const Row &row : std::as_const(m_rows)) {
        missing = missing || !row.target;
        refused = refused || row.verdict == PlanCheck::Refused;
        forceHelps = forceHelps || (row.blockers.isEmpty() && !row.refusals.isEmpty());
    }
    if (m_apply.dryRun || missing || refused) {
        print(false);
        if (done())
            return; // the table could not be written
        for (const Row &row : std::as_const(m_rows))
            if (!row.target)
                m_out.note(QStringLiteral("%1 did not answer within %2 ms")
                               .arg(rowName(row), QString::number(m_options.search.timeoutMs)));
        if (!m_apply.dryRun)
            m_out.note(QStringLiteral("nothing sent%1")
                           .arg(missing || m_apply.force || !forceHelps
                                    ? QString()
                                    : QStringLiteral("; --force sends despite the refusals of "
                                                     "checks")));
        finish(missing ? ExitNotFound : refused ? ExitRefused : ExitOk);
        return;
    }

    // As for 'set': output that cannot be written stops the run before anything is sent.
    if (m_out.closed()) {
        m_out.data(QString());
        return;
    }
    m_out.endIfReaderGone();
    for (Row &row : m_rows) {
        for (const QString &r : std::as_const(row.refusals))
            m_out.note(QStringLiteral("%1: --force: sending although %2").arg(rowName(row), r));
        for (const QString &w : std::as_const(row.warnings))
            m_out.note(QStringLiteral("%1: warning: %2").arg(rowName(row), w));
        if (row.verdict != PlanCheck::Send)
            continue;
        row.sent = send(row.target->was, row.target->planned, &row.detail);
        if (row.sent)
            m_verification.expect(*row.target);
        else
            row.end = Row::NotSent;
    }
    if (done())
        return;
    if (!m_out.sent()) { // every row was unchanged, or no send succeeded
        judge(true);
        return;
    }
    m_verifying = true;
    beginVerify(m_apply.verifyTimeoutMs);
}

void Apply::judge(bool final)
{
    bool wait = false;
    for (Row &row : m_rows) {
        if (!row.sent) {
            if (row.end == Row::Open)
                row.end = Row::Unchanged;
            continue;
        }
        const std::optional<Outcome> o =
            m_verification.judge(*row.target, final, m_apply.verifyTimeoutMs);
        if (!o) {
            wait = true;
            continue;
        }
        row.end = Row::Judged;
        row.judged = o->verdict;
        row.detail = o->detail;
    }
    if (wait)
        return;
    print(true);
    bool ok = true, unsent = false;
    for (const Row &row : std::as_const(m_rows)) {
        ok = ok && (row.end == Row::Unchanged ||
                    (row.end == Row::Judged && row.judged == Outcome::Applied));
        unsent = unsent || row.end == Row::NotSent;
    }
    finish(ok ? ExitOk : unsent ? ExitNetwork : ExitNotConfirmed);
}

void Apply::print(bool outcomes)
{
    const auto changesOf = [](const Row &row) {
        if (!row.target || !row.target->was.configurable)
            return QList<Change>();
        return changesBetween(namedValues(row.target->was.config, &row.plan.edits),
                              namedValues(row.target->planned, &row.plan.edits));
    };
    QString text;
    if (m_options.format == Format::Json) {
        QJsonArray list;
        for (const Row &row : std::as_const(m_rows)) {
            const Receiver *r = row.target ? &row.target->was : nullptr;
            QJsonObject o{
                {QStringLiteral("row"), row.plan.line},
                {QStringLiteral("serial"), QString::fromLatin1(row.plan.serial)},
                {QStringLiteral("model"),
                 r ? QJsonValue(QString::fromLatin1(fieldText(r->head.deviceName).c_str()))
                   : QJsonValue()},
                {QStringLiteral("ip"), r ? QJsonValue(quadString(r->ip())) : QJsonValue()},
                {QStringLiteral("verdict"), verdictText(row.verdict)},
                {QStringLiteral("changes"), changesJson(changesOf(row))},
                {QStringLiteral("refusals"),
                 QJsonArray::fromStringList(row.blockers + row.refusals)},
                {QStringLiteral("warnings"), QJsonArray::fromStringList(row.warnings)}};
            if (outcomes) {
                o[QStringLiteral("outcome")] = row.outcomeText();
                o[QStringLiteral("detail")] = row.detail;
            }
            list.append(o);
        }
        text = QString::fromUtf8(QJsonDocument(list).toJson(QJsonDocument::Indented));
    } else {
        for (const Row &row : std::as_const(m_rows)) {
            const QString described = changesText(changesOf(row));
            const QString model = row.target
                                      ? displayText(fieldText(row.target->was.head.deviceName))
                                      : QStringLiteral("-");
            text +=
                QStringLiteral("%1 %2 %3 %4 %5\n")
                    .arg(
                        m_apply.plan.where(row.plan).leftJustified(10),
                        displayText(row.plan.serial).leftJustified(10), model.leftJustified(8),
                        (outcomes ? row.outcomeText() : verdictText(row.verdict)).leftJustified(10),
                        described.isEmpty() ? QStringLiteral("-") : described);
            if (outcomes && !row.detail.isEmpty())
                text += QStringLiteral("  %1\n").arg(row.detail);
            if (!outcomes) {
                for (const QString &r : row.blockers + row.refusals)
                    text += QStringLiteral("  refused: %1\n").arg(r);
                for (const QString &w : row.warnings)
                    text += QStringLiteral("  warning: %1\n").arg(w);
            }
        }
    }
    if (outcomes)
        m_out.outcomes(text);
    else
        m_out.data(text);
}

} // namespace

const CommandSpec &applyCommand()
{
    static const CommandSpec spec = command<Apply>(
        "apply", "PLAN", "configure many receivers from one plan file, checked as a whole",
        ApplyHelp, ApplyTail, table, check);
    return spec;
}

} // namespace Cli
