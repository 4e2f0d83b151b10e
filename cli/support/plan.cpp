// SPDX-License-Identifier: MIT
#include "plan.h"

#include "settings.h"
#include "values.h"

#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSet>

#include <cmath>
#include <cstdio>

namespace Cli {

namespace {

constexpr qint64 MaxPlanBytes = 16 << 20; // far beyond any fleet, short of exhausting memory

// One cell: `what` names it in errors; an empty value leaves the setting.
void setValue(PlanRow &row, const QString &column, const QString &value, const QString &what)
{
    if (column == QLatin1String("serial")) {
        try {
            row.serial = serialNumber(value);
        } catch (const UsageError &e) {
            fail(what + QStringLiteral(": ") + e.message);
        }
        return;
    }
    if (value.isEmpty())
        return;
    if (const Setting *s = settingWithKey(column))
        s->give(row.edits, what, value);
}

void checkColumn(const QString &column, const QString &where, const QStringList &described)
{
    if (column != QLatin1String("serial") && !settingWithKey(column) && !described.contains(column))
        fail(QStringLiteral("PLAN %1: unknown column '%2' (expected serial, %3)")
                 .arg(where, quoted(column), settingKeys()));
}

// RFC 4180 records with the line each starts on; quoted fields may hold
// commas, doubled quotes and line breaks.
struct Record {
    int line = 0;
    QStringList fields;
};

QList<Record> csvRecords(const QString &text)
{
    QList<Record> records;
    Record current{1, {}};
    QString field;
    bool inQuotes = false, wasQuoted = false, any = false;
    int line = 1, quoteLine = 0;
    const auto endField = [&] {
        current.fields << field;
        field.clear();
        wasQuoted = false;
    };
    const auto endRecord = [&] {
        endField();
        // A blank line carries no row.
        if (!(current.fields.size() == 1 && current.fields.first().isEmpty() && !any))
            records << current;
        current = Record{line, {}};
        any = false;
    };
    for (int i = 0; i < text.size(); ++i) {
        const QChar c = text.at(i);
        if (inQuotes) {
            if (c == QLatin1Char('"') && i + 1 < text.size() &&
                text.at(i + 1) == QLatin1Char('"')) {
                field += c;
                ++i;
            } else if (c == QLatin1Char('"')) {
                inQuotes = false;
                wasQuoted = true;
            } else {
                if (c == QLatin1Char('\n'))
                    ++line;
                field += c;
            }
            continue;
        }
        if (c == QLatin1Char('"')) {
            if (!field.isEmpty() || wasQuoted)
                fail(QStringLiteral("PLAN line %1: a quote inside an unquoted field (expected "
                                    "the whole field in quotes, with inner quotes doubled)")
                         .arg(line));
            inQuotes = true;
            quoteLine = line;
            any = true;
        } else if (c == QLatin1Char(',')) {
            endField();
            any = true;
        } else if (c == QLatin1Char('\r') && i + 1 < text.size() &&
                   text.at(i + 1) == QLatin1Char('\n')) {
            continue;
        } else if (c == QLatin1Char('\n')) {
            ++line;
            endRecord();
        } else {
            if (wasQuoted)
                fail(QStringLiteral("PLAN line %1: text after a closing quote").arg(line));
            field += c;
            any = true;
        }
    }
    if (inQuotes)
        fail(QStringLiteral("PLAN line %1: a quoted field is never closed").arg(quoteLine));
    if (any || !field.isEmpty())
        endRecord();
    return records;
}

Plan parseCsv(const QString &text, const QStringList &described)
{
    const QList<Record> records = csvRecords(text);
    if (records.isEmpty())
        fail(QStringLiteral("PLAN is empty (expected a header line and one line per receiver)"));
    QStringList header;
    for (const QString &column : records.first().fields) {
        const QString where = QStringLiteral("line %1").arg(records.first().line);
        checkColumn(column.trimmed(), where, described);
        // With two, one of them would silently win.
        if (header.contains(column.trimmed()))
            fail(QStringLiteral("PLAN %1: the column '%2' is given twice")
                     .arg(where, quoted(column.trimmed())));
        header << column.trimmed();
    }
    if (!header.contains(QStringLiteral("serial")))
        fail(QStringLiteral("PLAN line %1: no 'serial' column in the header")
                 .arg(records.first().line));
    Plan plan;
    for (int r = 1; r < records.size(); ++r) {
        const Record &rec = records[r];
        if (rec.fields.size() != header.size())
            fail(QStringLiteral("PLAN line %1: %2 fields, but the header has %3")
                     .arg(QString::number(rec.line), QString::number(rec.fields.size()),
                          QString::number(header.size())));
        PlanRow row;
        row.line = rec.line;
        for (int c = 0; c < header.size(); ++c) {
            const QString &column = header[c];
            // A serial number is matched exactly as find wrote it: trimmed,
            // "SP02  " would name receiver SP02.
            const QString &cell = rec.fields[c];
            setValue(
                row, column, column == QLatin1String("serial") ? cell : cell.trimmed(),
                QStringLiteral("PLAN line %1, column '%2'").arg(QString::number(rec.line), column));
        }
        if (row.serial.isEmpty())
            fail(QStringLiteral("PLAN line %1, column 'serial': the serial number is missing")
                     .arg(rec.line));
        plan.rows << row;
    }
    if (plan.rows.isEmpty())
        fail(QStringLiteral("PLAN has a header but no receiver"));
    return plan;
}

// Qt keeps the last of two equal keys of an object; a plan must not let one
// silently win. Runs on a document that parsed as an array.
void checkDuplicateKeys(const QByteArray &bytes)
{
    int depth = 0, element = 0;
    bool expectKey = false;
    QSet<QString> keys;
    for (qsizetype i = 0; i < bytes.size(); ++i) {
        const char c = bytes.at(i);
        if (c == '"') {
            const qsizetype start = i;
            for (++i; i < bytes.size() && bytes.at(i) != '"'; ++i)
                if (bytes.at(i) == '\\')
                    ++i;
            if (depth != 2 || !expectKey)
                continue;
            const QString key = QJsonDocument::fromJson('[' + bytes.mid(start, i - start + 1) + ']')
                                    .array()
                                    .at(0)
                                    .toString();
            if (keys.contains(key))
                fail(QStringLiteral("PLAN element %1: the key '%2' is given twice")
                         .arg(QString::number(element), quoted(key)));
            keys.insert(key);
            expectKey = false;
        } else if (c == '{' || c == '[') {
            if (++depth == 2 && c == '{') {
                ++element;
                keys.clear();
                expectKey = true;
            }
        } else if (c == '}' || c == ']') {
            --depth;
        } else if (c == ',' && depth == 2) {
            expectKey = true;
        }
    }
}

Plan parseJson(const QByteArray &bytes, const QStringList &described)
{
    QJsonParseError error;
    const QJsonDocument doc = QJsonDocument::fromJson(bytes, &error);
    if (error.error != QJsonParseError::NoError) {
        const int line = int(bytes.left(error.offset).count('\n')) + 1;
        fail(QStringLiteral("PLAN line %1: malformed JSON: %2")
                 .arg(QString::number(line), error.errorString()));
    }
    if (!doc.isArray())
        fail(QStringLiteral("PLAN: expected a JSON array of objects, one per receiver"));
    checkDuplicateKeys(bytes);
    Plan plan;
    plan.json = true;
    const QJsonArray list = doc.array();
    for (int i = 0; i < list.size(); ++i) {
        const QString element = QStringLiteral("element %1").arg(i + 1);
        if (!list[i].isObject())
            fail(QStringLiteral("PLAN %1: expected an object").arg(element));
        const QJsonObject o = list[i].toObject();
        PlanRow row;
        row.line = i + 1;
        for (auto it = o.begin(); it != o.end(); ++it) {
            checkColumn(it.key(), element, described);
            const QString what = QStringLiteral("PLAN %1, key '%2'").arg(element, quoted(it.key()));
            const QJsonValue v = it.value();
            // true and false are on and off, for the settings that are either.
            const Setting *setting = settingWithKey(it.key());
            const bool sets = setting || it.key() == QLatin1String("serial");
            QString text;
            if (v.isBool() && sets && !(setting && setting->type == Setting::Flag))
                fail(QStringLiteral("%1: expected %2, not %3")
                         .arg(what,
                              it.key() == QLatin1String("serial") ? QStringLiteral("a string")
                                                                  : QStringLiteral("a number or "
                                                                                   "address"),
                              v.toBool() ? QStringLiteral("true") : QStringLiteral("false")));
            if (v.isBool())
                text = v.toBool() ? QStringLiteral("on") : QStringLiteral("off");
            else if (v.isDouble() && std::abs(v.toDouble()) < 1e15 &&
                     v.toDouble() == std::trunc(v.toDouble()))
                text = QString::number(qint64(v.toDouble())); // in range: no undefined cast
            else if (v.isString())
                text = v.toString();
            else if (!v.isNull() && sets)
                fail(QStringLiteral("%1: expected a string, a whole number, true or false")
                         .arg(what));
            setValue(row, it.key(), text, what);
        }
        if (row.serial.isEmpty())
            fail(QStringLiteral("PLAN %1: the serial number is missing").arg(element));
        plan.rows << row;
    }
    if (plan.rows.isEmpty())
        fail(QStringLiteral("PLAN is an empty array (expected one object per receiver)"));
    return plan;
}

} // namespace

QString Plan::where(const PlanRow &row) const
{
    return QStringLiteral("%1 %2").arg(json ? QStringLiteral("element") : QStringLiteral("line"),
                                       QString::number(row.line));
}

Plan parsePlan(const QByteArray &bytes, const QStringList &described)
{
    // UTF-8, as find writes it; a byte-order mark is no part of the plan.
    const QByteArray body = bytes.startsWith("\xEF\xBB\xBF") ? bytes.mid(3) : bytes;
    const QByteArray trimmed = body.trimmed();
    if (trimmed.startsWith('[') || trimmed.startsWith('{'))
        return parseJson(body, described);
    return parseCsv(QString::fromUtf8(body), described);
}

Plan loadPlan(const QString &path, const QStringList &described)
{
    QFile file;
    const bool opened = path == QLatin1String("-")
                            ? file.open(stdin, QIODevice::ReadOnly)
                            : (file.setFileName(path), file.open(QIODevice::ReadOnly));
    if (!opened)
        fail(QStringLiteral("PLAN: cannot read '%1': %2").arg(path, file.errorString()));
    const QByteArray bytes = file.read(MaxPlanBytes + 1);
    if (bytes.size() > MaxPlanBytes)
        fail(QStringLiteral("PLAN: '%1' is larger than 16 MiB").arg(path));
    if (file.error() != QFileDevice::NoError)
        fail(QStringLiteral("PLAN: cannot read '%1': %2").arg(path, file.errorString()));
    return parsePlan(bytes, described);
}

} // namespace Cli
