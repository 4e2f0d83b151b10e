// SPDX-License-Identifier: MIT
//
// 'vantrel-cli set': one receiver's settings changed from its own reply,
// sent once, and checked by a verifying search.
#include "command.h"
#include "format.h"
#include "review.h"
#include "settings.h"

#include <QJsonDocument>

using namespace Discovery;

namespace Cli {

namespace {

const char *const SetHelp = R"(Usage: vantrel-cli set RECEIVER SETTING... [OPTION]...
Finds the receiver (its serial number, or the IPv4 or MAC address it
reports, as for 'show'), takes its own reply, changes only the named
settings, and sends the result once as the configuration message to
255.255.255.255, UDP port 48321, on the interface where the receiver answered.
The first search runs for the whole --timeout, so that the checks see every
receiver that answers. After sending it searches again and reports whether
the receiver answers with the new settings.
)";

const char *const SetTail = R"(
A receiver that answered only through --to (across a router) gets the message
by unicast to the address its reply came from, since a limited broadcast never
crosses a router; the verifying search repeats the --to requests.

Refused unless --force, which concerns the receiver alone: a receiver in use
(its client loses the stream). Never sent, --force or not, since they harm
another unit or the segment: an IP address in 0.0.0.0/8 or 240.0.0.0/4,
255.255.255.255, multicast, loopback, the network or broadcast address of its
subnet, this computer's own, the receiver's or this computer's gateway, or one
that another receiver reported; a mask that is not contiguous or is 0.0.0.0;
a gateway outside the new subnet; a port of 0; an alternative destination
that is a broadcast address; other models; replies too short to carry the
settings; a serial number held by two units (two senders, or clones behind
two adapters: -i narrows the search to one); a receiver whose settings
changed between its replies; a search whose list overflowed. A warning, no
refusal: an address outside every subnet of this computer.

Outcome: applied (seen with the new settings), seen unchanged, seen at
another address, partly applied, not seen, not sent. Only the receiver itself
confirms: a reply on its interface from its old or its new address.
Exit status: 0 applied or nothing to change, 1 usage error, 2 RECEIVER did not
answer, 3 sent but not confirmed (or units with one serial number disagree),
4 refused by a check, 5 output failed before anything was sent, 6 the network
cannot be used (or the message could not be sent). Once the message is out,
the outcome decides the status. The outcome line (text) or object (--json) is
written on standard output, or on stderr if that fails once the message is out.
)";

struct SetOptions : CommonOptions, SendOptions {
    UnitName name;
    QByteArray serial; // of the receiver the name turns out to mean
    NetworkEdits edits;
};

QList<OptionGroup> table(SetOptions &o)
{
    OptionGroup settingGroup{QStringLiteral("Settings (at least one):"), {}};
    for (const Setting &s : settings()) {
        const QString name = QStringLiteral("--") + QLatin1String(s.option);
        settingGroup.options << OptionSpec{
            name, 0, QLatin1String(s.valueName), QLatin1String(s.help),
            [&o, &s, name](const QString &v) { s.give(o.edits, name, v); }};
    }
    return {
        settingGroup,
        {QStringLiteral("Options:"),
         sendOptions(o) << jsonOption(
             o, QStringLiteral("the outcome as one JSON object: serial, model, ip, changes "
                               "(setting, from, to), outcome (applied, unchanged, refused, "
                               "not found, dry run, not sent, not seen, seen unchanged, seen "
                               "at another address, partly applied, not confirmed, not applied), "
                               "detail, "
                               "refusals, warnings, sent"))},
        searchOptions(o)};
}

void check(SetOptions &o, const QStringList &positional)
{
    o.name = unitArgument(QStringLiteral("set"), positional);
    if (!hasEdits(o.edits))
        fail(QStringLiteral("set: no setting to change; expected at least one of %1")
                 .arg(settingOptions()));
}

class Set : public Command {
public:
    Set(const SetOptions &o, Output &out) : Command(o, out), m_set(o) {}

private:
    void received(const Receiver &r, int, bool, bool) override
    {
        if (!m_verifying || r.serial() != m_set.serial)
            return;
        m_verification.note(r);
        judge(false);
    }

    void windowEnded() override
    {
        if (m_verifying)
            judge(true);
        else
            resolve();
    }

    QString progressText() const override
    {
        if (!m_verifying)
            return Command::progressText();
        return QStringLiteral("checking %1: %2 s left")
            .arg(displayText(m_set.serial),
                 QString::number(double(m_search.leftMs()) / 1000.0, 'f', 1));
    }

    void resolve();
    void decide();
    void judge(bool final);
    // The end of the run: with --json its outcome as one object on standard output.
    void end(int code, const QString &verdict, const QString &detail = QString());
    QList<Change> changes() const
    {
        return changesBetween(namedValues(m_target.was.config, &m_set.edits),
                              namedValues(m_target.planned, &m_set.edits));
    }

    SetOptions m_set;
    Target m_target;
    bool m_found = false;
    bool m_verifying = false;
    Verification m_verification;
    QStringList m_refusals, m_warnings;
};

// The receiver the name means, once every one has answered: a serial number
// it has, or the address or MAC it alone reports.
void Set::resolve()
{
    const Resolved named = Cli::resolve(m_set.name, m_search.heard());
    if (named.ambiguous) {
        const QString detail =
            QStringLiteral("%1 names more than one receiver: %2; give the "
                           "serial number of one")
                .arg(quoted(m_set.name.text), resolvedText(named, m_search.heard()));
        m_out.note(QStringLiteral("refused: ") + detail);
        m_refusals << detail;
        end(ExitRefused, QStringLiteral("refused"), detail);
        return;
    }
    if (!named.found()) {
        const QString detail = notFound(m_set.name);
        m_out.note(detail);
        end(ExitNotFound, QStringLiteral("not found"), detail);
        return;
    }
    m_set.serial = named.serial;
    m_search.conclude({m_set.serial}, [this] { decide(); });
}

void Set::decide()
{
    const Receiver *found = m_search.heard().find(m_set.serial);
    const QString serial = displayText(m_set.serial);
    const bool json = m_options.format == Format::Json;
    if (!found) {
        end(ExitNotFound, QStringLiteral("not found"), notFound(m_set.name));
        return;
    }
    m_found = true;
    m_target = Target{*found, found->config, m_set.edits,
                      int(m_search.heard().identities(found->serial()).size())};
    m_verification.expect(m_target);
    const bool changing = applyEdits(m_target.planned, m_set.edits);
    const SetReview review = reviewSet(*found, m_target.planned, m_set.edits, m_search.heard(),
                                       m_search.subnets(), m_search.reach(*found).routed);
    m_refusals = review.blockers + review.refusals;
    m_warnings = review.warnings;

    for (const QString &b : review.blockers)
        m_out.note(QStringLiteral("refused: ") + b);
    if (!review.blockers.isEmpty()) {
        end(ExitRefused, QStringLiteral("refused"));
        return;
    }
    // Nothing sent, nothing lost: the checks below guard a send.
    if (!changing) {
        m_refusals.clear();
        const QString detail =
            QStringLiteral("%1 already has these settings; nothing sent").arg(serial);
        if (json)
            end(ExitOk, QStringLiteral("unchanged"), detail);
        else if (m_out.data(detail + QLatin1Char('\n')))
            finish(ExitOk);
        return;
    }
    for (const QString &w : review.warnings)
        m_out.note(QStringLiteral("warning: ") + w);
    if (!review.refusals.isEmpty() && !m_set.force) {
        for (const QString &r : review.refusals)
            m_out.note(QStringLiteral("refused: ") + r);
        m_out.note(QStringLiteral("nothing sent; --force sends despite these checks"));
        end(ExitRefused, QStringLiteral("refused"));
        return;
    }
    for (const QString &r : review.refusals)
        m_out.note((m_set.dryRun ? QStringLiteral("--force: would send although ")
                                 : QStringLiteral("--force: sending although ")) +
                   r);

    const QString line = QStringLiteral("%1 (%2 at %3): %4")
                             .arg(serial, displayText(fieldText(found->head.deviceName)),
                                  quadString(found->ip()), changesText(changes()));
    if (m_set.dryRun) {
        if (json) {
            end(ExitOk, QStringLiteral("dry run"), line);
        } else if (m_out.data(line + QLatin1Char('\n'))) {
            m_out.note(QStringLiteral("dry run: nothing sent"));
            finish(ExitOk);
        }
        return;
    }
    // The document comes at the end; a standard output closed already stops
    // the run before anything is sent, as a failed line does in text.
    if (json ? m_out.closed() && !m_out.data(QString()) : !m_out.data(line + QLatin1Char('\n')))
        return;
    m_out.endIfReaderGone();
    if (json)
        m_out.note(line);
    QString why;
    if (!send(*found, m_target.planned, &why)) {
        end(ExitNetwork, QStringLiteral("not sent"), why);
        return;
    }
    m_verifying = true;
    beginVerify(m_set.verifyTimeoutMs);
}

void Set::judge(bool final)
{
    const std::optional<Outcome> outcome =
        m_verification.judge(m_target, final, m_set.verifyTimeoutMs);
    if (!outcome)
        return;
    const QString line = verdictText(outcome->verdict) + QStringLiteral(": ") + outcome->detail;
    // The line is the outcome in text; with --json the document is, and the
    // line is for the person.
    if (m_options.format == Format::Json)
        m_out.note(line);
    else if (!m_out.data(line + QLatin1Char('\n')))
        m_out.note(line);
    end(outcome->confirmed() ? ExitOk : ExitNotConfirmed, verdictText(outcome->verdict),
        outcome->detail);
}

void Set::end(int code, const QString &verdict, const QString &detail)
{
    if (m_options.format == Format::Json) {
        const Receiver &r = m_target.was;
        const QJsonObject o{
            {QStringLiteral("serial"),
             m_set.serial.isEmpty() ? m_set.name.text : QString::fromLatin1(m_set.serial)},
            {QStringLiteral("model"),
             m_found ? QJsonValue(QString::fromLatin1(fieldText(r.head.deviceName).c_str()))
                     : QJsonValue()},
            {QStringLiteral("ip"), m_found ? QJsonValue(quadString(r.ip())) : QJsonValue()},
            {QStringLiteral("changes"),
             m_found && r.configurable ? changesJson(changes()) : QJsonArray()},
            {QStringLiteral("outcome"), verdict},
            {QStringLiteral("detail"), detail},
            {QStringLiteral("refusals"), QJsonArray::fromStringList(m_refusals)},
            {QStringLiteral("warnings"), QJsonArray::fromStringList(m_warnings)},
            {QStringLiteral("sent"), m_out.sent()}};
        m_out.outcomes(QString::fromUtf8(QJsonDocument(o).toJson(QJsonDocument::Indented)));
    }
    finish(code);
}

} // namespace

const CommandSpec &setCommand()
{
    static const CommandSpec spec =
        command<Set>("set", "RECEIVER", "change a receiver's network settings and check the result",
                     SetHelp, SetTail, table, check);
    return spec;
}

} // namespace Cli
