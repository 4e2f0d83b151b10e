// SPDX-License-Identifier: MIT
//
// 'vantrel-cli find': one search, the receivers that answered listed as they
// arrive (text) or at the end (JSON, CSV).
#include "columns.h"
#include "command.h"

using namespace Discovery;

namespace Cli {

namespace {

const char *const FindHelp = R"(Usage: vantrel-cli find [OPTION]...
Broadcasts the discovery request to UDP port 48321 at the broadcast address of
every IPv4 address of every interface that is up, and lists the receivers that
answer: model, serial number, IP address, TCP port, MAC address (configurable
models), firmware version and whether the receiver is in use. Text rows appear
as the replies arrive; a receiver that answers again keeps its row. Two
receivers that report the same IP address are flagged as an IP conflict.
)";

const char *const FindTail = R"(
JSON and CSV are written when the search ends, so that every receiver carries
its final conflict flag. Fields (JSON names; CSV columns in this order):
{fields}
The settings are empty or null for other models; with them 'find --csv' is a
complete plan for 'apply'. The text table has an IFACE column when more than
one interface is searched.

Exit status: 0 at least one receiver answered (with --expect: N of them),
1 usage error, 2 none answered (with --expect: fewer than N), 5 output failed,
6 the reply port is in use or there is no interface to send on, 130 ended by
Ctrl-C (what was found is written).
)";

struct FindOptions : CommonOptions {
    bool header = true;
    QString fields; // --fields: empty for the usual columns
};

QList<OptionGroup> table(FindOptions &o)
{
    const auto format = [&o](Format f) {
        return [&o, f](const QString &) {
            if (o.format != Format::Text)
                fail(QStringLiteral("find: --json and --csv exclude each other"));
            o.format = f;
        };
    };
    return {
        {QStringLiteral("Options:"),
         {{QStringLiteral("--json"), 'j', QString(),
           QStringLiteral("a JSON array with one object per receiver"), format(Format::Json)},
          {QStringLiteral("--csv"), 0, QString(),
           QStringLiteral("CSV with a header line and one line per receiver"), format(Format::Csv)},
          {QStringLiteral("--expect"), 0, QStringLiteral("N"),
           QStringLiteral("stop as soon as N different receivers answered"),
           [&o](const QString &v) {
               o.search.expect = number(QStringLiteral("--expect"), v, 1, 1000000);
           }},
          {QStringLiteral("--fields"), 'o', QStringLiteral("F1,F2,..."),
           QStringLiteral("the columns of the text table or CSV, in this order, named as the "
                          "JSON keys"),
           [&o](const QString &v) {
               columnsNamed(QStringLiteral("--fields"), v); // checked here, before anything is sent
               o.fields = v;
           },
           false,
           [] {
               QStringList keys;
               for (const Field *f : findFields())
                   keys << f->key;
               return keys;
           }()},
          {QStringLiteral("--no-header"), 0, QString(),
           QStringLiteral("no header line in the text table or CSV"),
           [&o](const QString &) { o.header = false; }},
          modelOption(o),
          settleOption(o)}},
        searchOptions(o)};
}

void check(FindOptions &o, const QStringList &positional)
{
    noArguments(QStringLiteral("find"), positional);
    if (o.format == Format::Json && (!o.fields.isEmpty() || !o.header))
        fail(QStringLiteral("find: --json writes every field with its name; --fields and "
                            "--no-header are for the text table and CSV"));
}

class Find : public Command {
public:
    Find(const FindOptions &o, Output &out) : Command(o, out), m_find(o) {}

private:
    bool beforeSearch() override
    {
        // Ctrl-C ends the search, and what was found is written.
        m_out.catchStop(
            this,
            [this] {
                m_interrupted = true;
                finishFind();
            },
            ExitInterrupted, false);
        if (!m_find.fields.isEmpty()) {
            m_columns = columnsNamed(QStringLiteral("--fields"), m_find.fields);
        } else if (m_options.format == Format::Csv) {
            m_columns = csvColumns();
        } else {
            QStringList interfaces;
            for (const Destination &d : m_search.destinations())
                if (!d.interfaceName.isEmpty() && d.interfaceName != QLatin1String("lo"))
                    interfaces << d.interfaceName;
            m_columns = textColumns(interfaces);
        }
        return m_options.format != Format::Text || !m_find.header ||
               m_out.data(textHeader(m_columns) + QLatin1Char('\n'));
    }

    void received(const Receiver &r, int index, bool isNew, bool newIdentity) override
    {
        // A known serial answering as another unit gets a row of its own;
        // one whose place the probe decides waits for it.
        if ((isNew || newIdentity) && m_options.format == Format::Text) {
            if (m_search.undecided(r))
                m_deferred << index;
            else if (!m_out.data(textRow(r, notes(index), m_columns) + QLatin1Char('\n')))
                return;
        }
        const int expect = m_options.search.expect;
        if (expect && m_search.heard().all().size() >= expect)
            m_search.conclude(m_search.serials(), [this] { finishFind(); });
    }

    void windowEnded() override
    {
        m_search.conclude(m_search.serials(), [this] { finishFind(); });
    }

    FindNotes notes(int index) const
    {
        const ReceiverList &heard = m_search.heard();
        const Receiver &r = heard.all().at(index);
        return FindNotes{heard.conflicts(index), heard.duplicateSerial(r.serial()),
                         m_search.reach(r)};
    }

    bool writeList();
    void warn();
    void finishFind();

    FindOptions m_find;
    Columns m_columns;
    QList<int> m_deferred; // rows that wait for the probe
    bool m_interrupted = false;
};

bool Find::writeList()
{
    const QList<Receiver> &all = m_search.heard().all();
    for (const int index : std::as_const(m_deferred))
        if (!m_out.data(textRow(all.at(index), notes(index), m_columns) + QLatin1Char('\n')))
            return false;
    m_deferred.clear();
    if (m_options.format == Format::Json) {
        // Written in pieces of one reused buffer: a thousand receivers' text
        // at once would spend its time growing and copying it.
        constexpr qsizetype Piece = 1 << 15;
        QString text = QStringLiteral("[");
        text.reserve(Piece + 4096);
        for (int i = 0; i < all.size(); ++i) {
            text += i ? QLatin1String(",\n  ") : QLatin1String("\n  ");
            text += findJson(all[i], notes(i));
            if (text.size() >= Piece) {
                if (!m_out.data(text))
                    return false;
                text.resize(0);
            }
        }
        return m_out.data(text + (all.isEmpty() ? QStringLiteral("]\n") : QStringLiteral("\n]\n")));
    }
    if (m_options.format == Format::Csv) {
        QString text = m_find.header ? csvHeader(m_columns) + QLatin1Char('\n') : QString();
        for (int i = 0; i < all.size(); ++i)
            text += csvRow(all[i], notes(i), m_columns) + QLatin1Char('\n');
        return m_out.data(text);
    }
    return true;
}

void Find::warn()
{
    const ReceiverList &heard = m_search.heard();
    const QList<Receiver> &all = heard.all();
    if (heard.overflowed())
        m_out.note(QStringLiteral("warning: more than %1 receivers answered; the others were "
                                  "ignored")
                       .arg(ReceiverList::MaxReceivers));
    QList<Ipv4> reported;
    for (int i = 0; i < all.size(); ++i) {
        const QList<QByteArray> others = heard.conflicts(i);
        if (others.isEmpty() || reported.contains(all[i].ip()))
            continue;
        reported << all[i].ip();
        m_out.note(QStringLiteral("warning: IP conflict: %1 is reported by %2, %3")
                       .arg(quadString(all[i].ip()), displayText(all[i].serial()),
                            displayList(others, QStringLiteral(", "))));
    }
    QSet<QByteArray> warned;
    for (const Receiver &r : all) {
        if (!heard.duplicateSerial(r.serial()) || warned.contains(r.serial()))
            continue;
        warned.insert(r.serial());
        QStringList units;
        for (const int i : heard.units(r.serial())) {
            const Receiver &u = all.at(i);
            units << identityText(identityOf(u), u.configurable) +
                         (u.interfaceName.isEmpty()
                              ? QString()
                              : QStringLiteral(" on ") + quoted(u.interfaceName));
        }
        m_out.note(QStringLiteral("warning: serial number %1 answers as %2 units: %3")
                       .arg(displayText(r.serial()), QString::number(units.size()),
                            units.join(QStringLiteral(", "))));
    }
}

void Find::finishFind()
{
    if (done() || !writeList())
        return;
    warn();
    const int expect = m_options.search.expect;
    const int found = int(m_search.heard().all().size());
    const int filtered = m_search.filteredCount();
    const QString window = QString::number(m_options.search.timeoutMs);
    if (m_interrupted) {
        finish(ExitInterrupted);
    } else if (found == 0 && filtered > 0) {
        QStringList models;
        for (const QString &m : std::as_const(m_options.search.models))
            models << QLatin1Char('\'') + quoted(m) + QLatin1Char('\'');
        m_out.note(
            QStringLiteral("%1 %2 answered, none is model %3 (models heard: %4)")
                .arg(QString::number(filtered),
                     filtered == 1 ? QStringLiteral("receiver") : QStringLiteral("receivers"),
                     models.join(QStringLiteral(" or ")),
                     m_search.modelsHeard().join(QStringLiteral(", "))));
        finish(ExitNotFound);
    } else if (found == 0) {
        m_out.note(QStringLiteral("no receiver answered within %1 ms (%2); %3")
                       .arg(window, m_search.summary(), QLatin1String(DoctorHint)));
        finish(ExitNotFound);
    } else if (expect && found < expect) {
        m_out.note(QStringLiteral("only %1 of the %2 expected receivers answered within %3 ms")
                       .arg(QString::number(found), QString::number(expect), window));
        finish(ExitNotFound);
    } else {
        finish(ExitOk);
    }
}

} // namespace

const CommandSpec &findCommand()
{
    static const CommandSpec spec = command<Find>("find", "", "list the receivers that answer",
                                                  FindHelp, FindTail, table, check);
    return spec;
}

} // namespace Cli
