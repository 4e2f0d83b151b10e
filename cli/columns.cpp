// SPDX-License-Identifier: MIT
#include "columns.h"

#include "settings.h"
#include "values.h"

#include <QJsonArray>

#include <algorithm>

using namespace Discovery;

namespace Cli {

namespace {

// Plain strings for machine-readable output: exact Latin-1 text.
QString exactText(const std::string &bytes)
{
    return QString::fromLatin1(bytes.data(), int(bytes.size()));
}

QString firmware(const Receiver &r)
{
    return r.configurable ? version(r.config.firmwareVersion) : version(r.info.firmwareVersion);
}

QString yesNo(bool b)
{
    return b ? QStringLiteral("yes") : QStringLiteral("no");
}

// The widest interface name that leaves a row with a note within 80 columns.
constexpr int InterfaceWidth = 6;

QList<FindField> makeFields()
{
    using R = const Receiver &;
    using N = const FindNotes &;
    const auto flag = [](const char *key, const char *header, bool (*get)(R, N)) {
        return FindField{QLatin1String(key), QLatin1String(header), int(qstrlen(header)),
                         [get](R r, N n) -> QJsonValue { return get(r, n); },
                         [get](R r, N n) { return yesNo(get(r, n)); }};
    };
    QList<FindField> f = {
        {QStringLiteral("model"), QStringLiteral("MODEL"), 8,
         [](R r, N) -> QJsonValue { return exactText(fieldText(r.head.deviceName)); },
         [](R r, N) { return displayText(fieldText(r.head.deviceName)); }},
        {QStringLiteral("serial"), QStringLiteral("SERIAL"), 8,
         [](R r, N) -> QJsonValue { return exactText(fieldText(r.head.serialNumber)); },
         [](R r, N) { return displayText(fieldText(r.head.serialNumber)); }},
        {QStringLiteral("ip"), QStringLiteral("IP"), 15,
         [](R r, N) -> QJsonValue { return quadString(r.ip()); }, nullptr},
        {QStringLiteral("port"), QStringLiteral("PORT"), 5,
         [](R r, N) -> QJsonValue { return u16(r.head.tcpPort); }, nullptr},
        {QStringLiteral("mac"), QStringLiteral("MAC"), 17,
         [](R r, N) -> QJsonValue {
             return r.configurable ? QJsonValue(macString(r.config)) : QJsonValue();
         },
         nullptr},
        {QStringLiteral("firmware"), QStringLiteral("FW"), 4,
         [](R r, N) -> QJsonValue { return firmware(r); }, nullptr},
        flag("inUse", "USE", [](R r, N) { return r.inUse; }),
        flag("configurable", "CONFIG", [](R r, N) { return r.configurable; }),
        {QStringLiteral("conflict"), QStringLiteral("CONFLICT"), 8,
         [](R, N n) -> QJsonValue {
             QJsonArray serials;
             for (const QByteArray &s : n.conflicts)
                 serials.append(QString::fromLatin1(s));
             return serials;
         },
         [](R, N n) { return displayList(n.conflicts, QStringLiteral(",")); }},
        flag("duplicateSerial", "TWICE", [](R, N n) { return n.duplicateSerial; }),
        flag("reachable", "REACH", [](R, N n) { return n.reach.reachable; }),
        flag("routed", "ROUTED", [](R, N n) { return n.reach.routed; }),
        {QStringLiteral("interface"), QStringLiteral("IFACE"), 5,
         [](R r, N) -> QJsonValue { return r.interfaceName; },
         [](R r, N) { return quoted(r.interfaceName); }},
        {QStringLiteral("source"), QStringLiteral("SOURCE"), 21,
         [](R r, N) -> QJsonValue {
             return r.from.toString() + QLatin1Char(':') + QString::number(r.fromPort);
         },
         nullptr},
    };
    // Every setting a plan can set, from the receiver's own record.
    for (const Setting &s : settings()) {
        const QString key = QLatin1String(s.key);
        if (std::any_of(f.begin(), f.end(), [&](const FindField &o) { return o.key == key; }))
            continue;
        const Setting *setting = &s;
        f << FindField{key,
                       key.toUpper(),
                       std::max(int(key.size()), s.type == Setting::Address ? 15 : 4),
                       [setting](R r, N) -> QJsonValue {
                           return r.configurable ? setting->read(r.config) : QJsonValue();
                       },
                       [setting](R r, N) {
                           return r.configurable ? setting->text(setting->read(r.config))
                                                 : QStringLiteral("-");
                       },
                       [setting](R r, N) {
                           return r.configurable ? setting->text(setting->read(r.config))
                                                 : QString();
                       }};
    }
    return f;
}

const FindField *field(const QString &key)
{
    for (const FindField &f : findFields())
        if (f.key == key)
            return &f;
    return nullptr;
}

QString cell(const FindField &f, const Receiver &r, const FindNotes &n)
{
    if (f.text)
        return f.text(r, n);
    const QJsonValue v = f.value(r, n);
    return v.isNull() ? QStringLiteral("-") : v.toVariant().toString();
}

// Columns padded one by one and joined: receiver text is never read as a
// format, so "%1" in a model name stays "%1".
QString row(const QStringList &cells, const QList<int> &widths)
{
    QStringList padded;
    for (int i = 0; i < cells.size(); ++i)
        padded << cells[i].leftJustified(widths.value(i, 0));
    QString line = padded.join(QLatin1Char(' '));
    while (line.endsWith(QLatin1Char(' ')))
        line.chop(1);
    return line;
}

QList<int> widths(const Columns &c)
{
    QList<int> w;
    for (const FindField *f : c.fields)
        w << f->width;
    return w;
}

QString csvField(const QString &s)
{
    if (!s.contains(QLatin1Char(',')) && !s.contains(QLatin1Char('"')) &&
        !s.contains(QLatin1Char('\n')) && !s.contains(QLatin1Char('\r')))
        return s;
    QString quotedField = s;
    quotedField.replace(QLatin1Char('"'), QStringLiteral("\"\""));
    return QLatin1Char('"') + quotedField + QLatin1Char('"');
}

// A JSON string as QJsonDocument writes it.
QString jsonString(const QString &s)
{
    QString out = QStringLiteral("\"");
    for (const QChar c : s) {
        const char16_t u = c.unicode();
        if (u == '"' || u == '\\')
            out += QLatin1Char('\\') + c;
        else if (u < 0x20)
            out += QStringLiteral("\\u%1").arg(int(u), 4, 16, QLatin1Char('0'));
        else
            out += c;
    }
    return out + QLatin1Char('"');
}

QString jsonText(const QJsonValue &v)
{
    switch (v.type()) {
    case QJsonValue::Bool:
        return v.toBool() ? QStringLiteral("true") : QStringLiteral("false");
    case QJsonValue::Double:
        return QString::number(v.toInteger());
    case QJsonValue::String:
        return jsonString(v.toString());
    case QJsonValue::Array: {
        QStringList items;
        for (const QJsonValue &i : v.toArray())
            items << jsonText(i);
        return QLatin1Char('[') + items.join(QLatin1Char(',')) + QLatin1Char(']');
    }
    default:
        return QStringLiteral("null");
    }
}

} // namespace

const QList<FindField> &findFields()
{
    static const QList<FindField> fields = makeFields();
    return fields;
}

Columns columnsNamed(const QString &option, const QString &list)
{
    Columns c;
    for (const QString &name : list.split(QLatin1Char(','))) {
        const FindField *f = field(name.trimmed());
        if (!f) {
            QStringList valid;
            for (const FindField &o : findFields())
                valid << o.key;
            fail(QStringLiteral("%1: no field '%2' (expected some of: %3)")
                     .arg(option, quoted(name.trimmed()), valid.join(QStringLiteral(", "))));
        }
        c.fields << f;
    }
    return c;
}

Columns csvColumns()
{
    Columns c;
    for (const FindField &f : findFields())
        c.fields << &f;
    return c;
}

Columns textColumns(const QStringList &interfaces)
{
    Columns c;
    for (const char *key : {"model", "serial", "ip", "port", "mac", "firmware", "inUse"})
        c.fields << field(QLatin1String(key));
    // With one adapter the interface goes without saying; with more, it is
    // the first question, and short names leave the row within 80 columns.
    QStringList names = interfaces;
    names.removeDuplicates();
    const bool fit = std::all_of(names.begin(), names.end(),
                                 [](const QString &i) { return i.size() <= InterfaceWidth; });
    if (names.size() > 1 && fit)
        c.fields << field(QStringLiteral("interface"));
    c.notes = true;
    return c;
}

QString textHeader(const Columns &c)
{
    QStringList cells;
    for (const FindField *f : c.fields)
        cells << f->header;
    if (c.notes)
        cells << QStringLiteral("NOTES");
    return row(cells, widths(c));
}

QString textRow(const Receiver &r, const FindNotes &notes, const Columns &c)
{
    QStringList cells;
    for (const FindField *f : c.fields)
        cells << cell(*f, r, notes);
    if (c.notes) {
        // The receivers reporting the same IP address, a serial number that
        // answers as more than one unit, and an address outside the subnets
        // of the interface where it answered.
        QStringList notesCell;
        if (!notes.conflicts.isEmpty())
            notesCell << displayList(notes.conflicts, QStringLiteral(","));
        if (notes.duplicateSerial)
            notesCell << QStringLiteral("serial twice");
        if (!notes.reach.reachable)
            notesCell << QStringLiteral("other subnet");
        cells << notesCell.join(QStringLiteral("; "));
    }
    return row(cells, widths(c));
}

QString csvHeader(const Columns &c)
{
    QStringList names;
    for (const FindField *f : c.fields)
        names << f->key;
    return names.join(QLatin1Char(','));
}

QString csvRow(const Receiver &r, const FindNotes &notes, const Columns &c)
{
    QStringList cells;
    for (const FindField *f : c.fields) {
        const QJsonValue v = f->value(r, notes);
        if (f->csv) {
            cells << csvField(f->csv(r, notes));
        } else if (v.isArray()) {
            QStringList items;
            for (const QJsonValue &i : v.toArray())
                items << i.toString();
            cells << csvField(items.join(QLatin1Char(' ')));
        } else if (v.isBool()) {
            cells << (v.toBool() ? QStringLiteral("true") : QStringLiteral("false"));
        } else if (v.isDouble()) {
            cells << QString::number(v.toInteger());
        } else {
            cells << csvField(v.toString()); // null: empty
        }
    }
    return cells.join(QLatin1Char(','));
}

QJsonObject fieldsJson(const Receiver &r, const FindNotes &notes, const QStringList &keys)
{
    QJsonObject o;
    for (const QString &key : keys)
        o[key] = field(key)->value(r, notes);
    return o;
}

QString findJson(const Receiver &r, const FindNotes &notes)
{
    // Written directly, keys in QJsonObject's order: a thousand receivers
    // would otherwise spend their time in building and dropping objects.
    static const QList<const FindField *> sorted = [] {
        QList<const FindField *> s;
        for (const FindField &f : findFields())
            s << &f;
        std::sort(s.begin(), s.end(),
                  [](const FindField *a, const FindField *b) { return a->key < b->key; });
        return s;
    }();
    QString o = QStringLiteral("{");
    o.reserve(512);
    for (const FindField *f : sorted) {
        if (o.size() > 1)
            o += QLatin1Char(',');
        o += QLatin1Char('"');
        o += f->key;
        o += QLatin1String("\":");
        o += jsonText(f->value(r, notes));
    }
    return o + QLatin1Char('}');
}

} // namespace Cli
