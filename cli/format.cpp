// SPDX-License-Identifier: MIT
#include "format.h"
#include "columns.h"
#include "system.h"
#include "values.h"

#include <QJsonArray>
#include <QJsonDocument>

using namespace Discovery;

namespace Cli {

QString showText(const Receiver &r, const Reach &reach)
{
    QList<QPair<QString, QString>> lines;
    for (const Field &f : fields())
        if (!f.label.isEmpty() && !f.value(r, FindNotes()).isNull())
            lines.append({f.label, cellText(f, r, FindNotes())});
    // Interface names come from the system and may hold any byte.
    lines.append(
        {QStringLiteral("Reachable"),
         quoted((reach.reachable ? QStringLiteral("yes: ") : QStringLiteral("no: ")) + reach.why)});
    if (!reach.fix.isEmpty())
        lines.append({QStringLiteral("To reach it"), quoted(reach.fix)});

    QString text;
    for (const auto &line : lines)
        text += (line.first + QLatin1Char(':')).leftJustified(21) + QLatin1Char(' ') + line.second +
                QLatin1Char('\n');
    return text;
}

QJsonObject showJson(const Receiver &r, const Reach &reach)
{
    const FindNotes notes{{}, false, reach};
    QJsonObject o;
    for (const Field &f : fields())
        if (const QJsonValue v = f.value(r, notes); f.shown && !v.isNull())
            o[f.key] = v;
    return o;
}

QList<Value> watchedFields(const Receiver &r)
{
    QList<Value> values;
    for (const Field &f : fields())
        if (const QJsonValue v = f.value(r, FindNotes()); !f.name.isEmpty() && !v.isNull())
            values.append({f.name, f.key, v, cellText(f, r, FindNotes())});
    return values;
}

QString checksText(const QList<Check> &checks)
{
    QString text;
    for (const Check &c : checks) {
        // Names from the system and the network may hold any byte; the
        // terminal gets them escaped.
        const QString what =
            c.subject.isEmpty() ? c.check : c.check + QLatin1Char(' ') + quoted(c.subject);
        text += verdictText(c.verdict).leftJustified(12) + what + QStringLiteral(": ") +
                quoted(c.detail) + QLatin1Char('\n');
        if (!c.fix.isEmpty())
            text += QStringLiteral("            fix: ") + quoted(c.fix) + QLatin1Char('\n');
        if (!c.command.isEmpty())
            text += QStringLiteral("            run%1: ").arg(System::Fix::shellNote(c.command)) +
                    quoted(c.command) + QLatin1Char('\n');
    }
    return text;
}

QString checksJson(const QList<Check> &checks, int receivers, int status)
{
    QJsonArray list;
    for (const Check &c : checks)
        list.append(QJsonObject{{QStringLiteral("check"), c.check},
                                {QStringLiteral("subject"), c.subject},
                                {QStringLiteral("verdict"), verdictText(c.verdict)},
                                {QStringLiteral("detail"), c.detail},
                                {QStringLiteral("fix"), c.fix},
                                {QStringLiteral("command"), c.command}});
    const QJsonObject o{{QStringLiteral("checks"), list},
                        {QStringLiteral("receivers"), receivers},
                        {QStringLiteral("status"), status}};
    return QString::fromUtf8(QJsonDocument(o).toJson(QJsonDocument::Indented));
}

QString changesText(const QList<Change> &changes)
{
    QStringList described;
    for (const Change &c : changes)
        described << QStringLiteral("%1 %2 -> %3").arg(c.setting, c.fromText, c.toText);
    return described.join(QStringLiteral(", "));
}

QJsonArray changesJson(const QList<Change> &changes)
{
    QJsonArray list;
    for (const Change &c : changes)
        list.append(QJsonObject{{QStringLiteral("setting"), c.key},
                                {QStringLiteral("from"), c.from},
                                {QStringLiteral("to"), c.to}});
    return list;
}

} // namespace Cli
