// SPDX-License-Identifier: MIT
//
// 'vantrel-cli apply': the plan checked as a whole after one search, then
// every message sent once and one verifying search for all of them.
#include "command.h"
#include "format.h"
#include "plan.h"

#include <QFileInfo>
#include <QJsonDocument>

using namespace Discovery;

namespace Cli {

namespace {

const char *const ApplyHelp = R"(Usage: vantrel-cli apply PLAN [OPTION]...
Gives many receivers their settings from one plan. PLAN is a CSV file with a
header line or a JSON array of objects ('-' reads standard input); columns or
keys: serial (required) and any of ip, port, mask, gateway, dhcp, altUdp,
altIp, altPort, fpga, with the values of 'set' (on/off, or JSON true/false,
for the flags). An empty cell leaves that setting as the receiver has it.
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

Options:
  --dry-run           print the plan (each setting as current -> new) with the
                      verdicts of the checks, and send nothing
  --force             send although a check refuses (never to other models,
                      short replies or receivers that did not answer)
  --verify-timeout MS search this long for the receivers after sending, with
                      a request every 500 ms (1 to 600000, default 3000)
  -j, --json          the plan or the outcomes as a JSON array, one object per
                      row: row (its line, or element of a JSON plan), serial,
                      model, ip, verdict, changes (setting, from, to),
                      refusals, warnings, and after sending outcome, detail
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

QList<OptionSpec> table(ApplyOptions &o)
{
    return commonOptions(o) << jsonOption(o) << sendOptions(o);
}

// Whether a row asks a receiver of another model for anything it does not
// already report: it reports only its address and port.
bool asksForChange(const Receiver &r, const NetworkEdits &e)
{
    return (e.ip && *e.ip != r.ip()) || (e.port && *e.port != u16(r.head.tcpPort)) || e.mask ||
           e.gateway || e.dhcp || e.altUdp || e.altIp || e.altPort || e.fpgaConfig;
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
    struct Row {
        PlanRow plan;
        std::optional<Target> target;
        bool changes = false;
        QStringList blockers, refusals, warnings;
        QString verdict; // not found, unchanged, refused, send
        bool sent = false;
        QString outcome, detail;
    };

    QString rowName(const Row &row) const
    {
        return QStringLiteral("%1 (%2)").arg(m_apply.plan.where(row.plan),
                                             displayText(row.plan.serial));
    }
    void match();
    void review();
    void decide();
    void judge(bool final);
    void print(bool outcomes);

    ApplyOptions m_apply;
    QList<Row> m_rows;
    bool m_verifying = false;
    Verification m_verification;
};

// Each row with the receiver it names, and what the plan leaves of it.
void Apply::match()
{
    const ReceiverList &heard = m_search.heard();
    m_rows.clear();
    for (const PlanRow &p : m_apply.plan.rows) {
        Row row;
        row.plan = p;
        if (const Receiver *r = heard.find(p.serial)) {
            row.target = Target{*r, r->config, p.edits, int(heard.identities(p.serial).size())};
            row.changes = r->configurable ? applyEdits(row.target->planned, p.edits)
                                          : asksForChange(*r, p.edits);
        }
        m_rows << row;
    }
}

void Apply::review()
{
    const Plan &plan = m_apply.plan;
    QSet<QByteArray> movingAway;
    for (const Row &row : std::as_const(m_rows))
        if (row.changes && row.target->was.configurable &&
            quad(row.target->planned.head.ipAddress) != row.target->was.ip())
            movingAway.insert(row.plan.serial);

    // Plan-wide: a receiver named twice, two rows giving one address.
    QHash<QByteArray, int> firstRow;
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
            newAddresses[toU32(quad(row.target->planned.head.ipAddress))] << i;
    }
    for (auto it = newAddresses.cbegin(); it != newAddresses.cend(); ++it) {
        if (it.value().size() < 2)
            continue;
        QStringList rows;
        for (int i : it.value())
            rows << rowName(m_rows[i]);
        for (int i : it.value())
            m_rows[i].refusals << QStringLiteral("%1 rows give the IP address %2: %3")
                                      .arg(QString::number(it.value().size()),
                                           quadString(
                                               quad(m_rows[i].target->planned.head.ipAddress)),
                                           rows.join(QStringLiteral(", ")));
    }

    // Each row: the checks of 'set', against the receivers as the plan leaves them.
    for (Row &row : m_rows) {
        if (!row.target) {
            row.verdict = QStringLiteral("not found");
            continue;
        }
        // A row that changes nothing sends nothing, so no check of a send
        // applies to it, whatever the model: unedited find output is a plan.
        if (row.changes) {
            const Target &t = *row.target;
            const SetReview review =
                reviewSet(t.was, t.planned, t.edits, m_search.heard(), m_search.subnets(),
                          m_search.reach(t.was).routed, movingAway);
            row.blockers << review.blockers;
            row.refusals << review.refusals;
            row.warnings << review.warnings;
        }
        if (!row.blockers.isEmpty() || (!row.refusals.isEmpty() && !m_apply.force))
            row.verdict = QStringLiteral("refused");
        else
            row.verdict = row.changes ? QStringLiteral("send") : QStringLiteral("unchanged");
    }
}

void Apply::decide()
{
    match();
    review();
    bool missing = false, refused = false;
    for (const Row &row : std::as_const(m_rows)) {
        missing = missing || !row.target;
        refused = refused || row.verdict == QLatin1String("refused");
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
                           .arg(missing || m_apply.force
                                    ? QString()
                                    : QStringLiteral("; --force sends despite the refusals of "
                                                     "checks")));
        finish(missing ? ExitNotFound : refused ? ExitRefused : ExitOk);
        return;
    }

    // As for 'set': output that cannot be written stops the run before anything is sent.
    if (Output::closed()) {
        m_out.data(QString());
        return;
    }
    for (Row &row : m_rows) {
        for (const QString &r : std::as_const(row.refusals))
            m_out.note(QStringLiteral("%1: --force: sending although %2").arg(rowName(row), r));
        for (const QString &w : std::as_const(row.warnings))
            m_out.note(QStringLiteral("%1: warning: %2").arg(rowName(row), w));
        if (row.verdict != QLatin1String("send"))
            continue;
        row.sent = send(row.target->was, row.target->planned, &row.detail);
        if (row.sent)
            m_verification.expect(*row.target);
        else
            row.outcome = QStringLiteral("not sent");
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
            if (row.outcome.isEmpty())
                row.outcome = QStringLiteral("unchanged");
            continue;
        }
        const std::optional<Outcome> o =
            m_verification.judge(*row.target, final, m_apply.verifyTimeoutMs);
        if (!o) {
            wait = true;
            continue;
        }
        row.outcome = o->verdict;
        row.detail = o->detail;
    }
    if (wait)
        return;
    print(true);
    bool ok = true, unsent = false;
    for (const Row &row : std::as_const(m_rows)) {
        ok = ok &&
             (row.outcome == QLatin1String("applied") || row.outcome == QLatin1String("unchanged"));
        unsent = unsent || row.outcome == QLatin1String("not sent");
    }
    finish(ok ? ExitOk : unsent ? ExitNetwork : ExitNotConfirmed);
}

void Apply::print(bool outcomes)
{
    const auto changesOf = [](const Row &row) {
        if (!row.target || !row.target->was.configurable)
            return QList<Change>();
        return changesBetween(namedValues(row.target->was.config, row.plan.edits),
                              namedValues(row.target->planned, row.plan.edits));
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
                {QStringLiteral("verdict"), row.verdict},
                {QStringLiteral("changes"), changesJson(changesOf(row))},
                {QStringLiteral("refusals"),
                 QJsonArray::fromStringList(row.blockers + row.refusals)},
                {QStringLiteral("warnings"), QJsonArray::fromStringList(row.warnings)}};
            if (outcomes) {
                o[QStringLiteral("outcome")] = row.outcome;
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
            text += QStringLiteral("%1 %2 %3 %4 %5\n")
                        .arg(m_apply.plan.where(row.plan).leftJustified(10),
                             displayText(row.plan.serial).leftJustified(10), model.leftJustified(8),
                             (outcomes ? row.outcome : row.verdict).leftJustified(10),
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

std::unique_ptr<Command> makeApply(const QStringList &args, Output &out)
{
    ApplyOptions o;
    const QStringList positional =
        parseOptions(QStringLiteral("apply"), table(o), allOptions(), args);
    if (positional.size() != 1)
        fail(positional.isEmpty()
                 ? QStringLiteral("apply: the plan file is missing (PLAN, or - for standard input)")
                 : QStringLiteral("apply: unexpected argument '%1' after the plan")
                       .arg(quoted(positional[1])));
    o.planPath = positional.first();
    // The log and the capture are opened for writing before anything is
    // sent: they would overwrite the plan they were given.
    const QFileInfo plan(o.planPath);
    for (const auto &[option, path] : {std::pair{"--log", o.logFile}, {"--pcap", o.captureFile}}) {
        const QFileInfo file(path);
        if (!path.isEmpty() && file.exists() && plan.exists() &&
            file.canonicalFilePath() == plan.canonicalFilePath())
            fail(QStringLiteral("%1: '%2' is the plan itself").arg(QLatin1String(option), path));
    }
    o.plan = loadPlan(o.planPath);
    return std::make_unique<Apply>(o, out);
}

QString applyHelp()
{
    return QLatin1String(ApplyHelp) + QLatin1String(CommonHelp) + QLatin1String(ApplyTail);
}

QStringList applyOptions()
{
    return optionNames(table);
}

} // namespace Cli
