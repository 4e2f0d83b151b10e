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

QStringList optionNames(std::uint8_t options)
{
    QStringList names;
    if (options & OptRefLock)
        names << QStringLiteral("RefLock");
    if (options & OptDownConverter)
        names << QStringLiteral("Down Converter");
    if (options & OptX2Receiver)
        names << QStringLiteral("X2 Receiver");
    return names;
}

QList<Field> makeFields()
{
    using R = const Receiver &;
    using N = const FindNotes &;
    // What only the configurable models, or only the others, report.
    const auto config = [](QJsonValue (*get)(const DeviceConfigRecord &)) {
        return [get](R r, N) { return r.configurable ? get(r.config) : QJsonValue(); };
    };
    const auto info = [](QJsonValue (*get)(const Receiver &)) {
        return [get](R r, N) { return r.configurable ? QJsonValue() : get(r); };
    };
    const auto flag = [](const char *key, const char *header, const char *label, const char *name,
                         bool shown, bool (*get)(R, N)) {
        return Field{QLatin1String(key),
                     QLatin1String(header),
                     int(qstrlen(header)),
                     QLatin1String(label),
                     QLatin1String(name),
                     shown,
                     [get](R r, N n) -> QJsonValue { return get(r, n); },
                     [get](R r, N n) { return yesNo(get(r, n)); }};
    };
    QList<Field> f = {
        {QStringLiteral("model"), QStringLiteral("MODEL"), 8, QStringLiteral("Model"),
         QStringLiteral("model"), true,
         [](R r, N) -> QJsonValue { return exactText(fieldText(r.head.deviceName)); },
         [](R r, N) { return displayText(fieldText(r.head.deviceName)); }},
        {QStringLiteral("serial"), QStringLiteral("SERIAL"), 8, QStringLiteral("Serial number"),
         QString(), true,
         [](R r, N) -> QJsonValue { return exactText(fieldText(r.head.serialNumber)); },
         [](R r, N) { return displayText(fieldText(r.head.serialNumber)); }},
        {QStringLiteral("mac"), QStringLiteral("MAC"), 17, QStringLiteral("MAC address"),
         QStringLiteral("mac"), true,
         config([](const DeviceConfigRecord &c) -> QJsonValue { return macString(c); })},
        {QStringLiteral("firmware"), QStringLiteral("FW"), 4, QStringLiteral("Firmware version"),
         QStringLiteral("firmware"), true, [](R r, N) -> QJsonValue { return firmware(r); }},
        {QStringLiteral("boot"), QString(), 0, QStringLiteral("Boot version"),
         QStringLiteral("boot"), true,
         [](R r, N) -> QJsonValue {
             return version(r.configurable ? r.config.bootVersion : r.info.bootVersion);
         }},
        {QStringLiteral("hardware"), QString(), 0, QStringLiteral("Hardware version"), QString(),
         true,
         config([](const DeviceConfigRecord &c) -> QJsonValue { return version(c.hwVersion); })},
        {QStringLiteral("fpgaId"), QString(), 0, QStringLiteral("FPGA ID"), QString(), true,
         config([](const DeviceConfigRecord &c) -> QJsonValue { return c.fpgaId; })},
        {QStringLiteral("fpgaRevision"), QString(), 0, QStringLiteral("FPGA revision"), QString(),
         true, config([](const DeviceConfigRecord &c) -> QJsonValue { return c.fpgaRevision; })},
        {QStringLiteral("options"), QString(), 0, QStringLiteral("Options"), QString(), true,
         config([](const DeviceConfigRecord &c) -> QJsonValue {
             return QJsonArray::fromStringList(optionNames(c.options));
         }),
         [](R r, N) {
             const QStringList names = optionNames(r.config.options);
             return names.isEmpty() ? QStringLiteral("none") : names.join(QLatin1String(", "));
         }},
        {QStringLiteral("connection"), QString(), 0, QStringLiteral("Connection"),
         QStringLiteral("connection"), true,
         info([](R r) -> QJsonValue { return exactText(fieldText(r.info.connection)); }),
         [](R r, N) { return displayText(fieldText(r.info.connection)); }},
    };
    // The settings a plan sets, from the receiver's own record; the address
    // and port every model reports.
    for (const Setting &s : settings()) {
        const Setting *setting = &s;
        const QString key = QLatin1String(s.key);
        Field field{key,
                    key.toUpper(),
                    std::max(int(key.size()), s.type == Setting::Address ? 15 : 4),
                    QLatin1String(s.label),
                    QLatin1String(s.option),
                    true,
                    [setting](R r, N) -> QJsonValue {
                        return r.configurable ? setting->read(r.config) : QJsonValue();
                    },
                    [setting](R r, N) {
                        return r.configurable ? setting->text(setting->read(r.config))
                                              : QStringLiteral("-");
                    },
                    [setting](R r, N) {
                        return r.configurable ? setting->text(setting->read(r.config)) : QString();
                    }};
        if (key == QLatin1String("ip")) {
            field.header = QStringLiteral("IP");
            field.value = [](R r, N) -> QJsonValue { return quadString(r.ip()); };
            field.text = field.csv = nullptr;
        } else if (key == QLatin1String("port")) {
            field.header = QStringLiteral("PORT");
            field.width = 5;
            field.value = [](R r, N) -> QJsonValue { return u16(r.head.tcpPort); };
            field.text = field.csv = nullptr;
        }
        f << field;
    }
    f << flag("inUse", "USE", "In use", "in use", true, [](R r, N) { return r.inUse; })
      << flag("configurable", "CONFIG", "", "", true, [](R r, N) { return r.configurable; })
      << Field{QStringLiteral("conflict"),
               QStringLiteral("CONFLICT"),
               8,
               QString(),
               QString(),
               false,
               [](R, N n) -> QJsonValue {
                   QJsonArray serials;
                   for (const QByteArray &s : n.conflicts)
                       serials.append(QString::fromLatin1(s));
                   return serials;
               },
               [](R, N n) { return displayList(n.conflicts, QStringLiteral(",")); }}
      << flag("duplicateSerial", "TWICE", "", "", false, [](R, N n) { return n.duplicateSerial; })
      << flag("reachable", "REACH", "", "", true, [](R, N n) { return n.reach.reachable; })
      << flag("routed", "ROUTED", "", "", true, [](R, N n) { return n.reach.routed; })
      << Field{QStringLiteral("interface"),
               QStringLiteral("IFACE"),
               5,
               QString(),
               QString(),
               false,
               [](R r, N) -> QJsonValue { return r.interfaceName; },
               [](R r, N) { return quoted(r.interfaceName); }}
      << Field{QStringLiteral("source"),
               QStringLiteral("SOURCE"),
               21,
               QString(),
               QString(),
               false,
               [](R r, N) -> QJsonValue {
                   return r.from.toString() + QLatin1Char(':') + QString::number(r.fromPort);
               }};
    // What find's help says of a field beyond its key.
    const QList<QPair<const char *, const char *>> notes = {
        {"mac", "empty or null for other models"},
        {"conflict", "serial numbers of the other receivers that report the same ip; CSV: "
                     "separated by spaces"},
        {"duplicateSerial", "true when the serial number answered from two addresses, ports "
                            "or MAC addresses"},
        {"reachable", "false when the receiver's ip lies outside every subnet of the interface "
                      "its reply came in on and is not this computer's: TCP needs a route to "
                      "it, 'show' says how to fix that; the NOTES column of the text table then "
                      "says: other subnet"},
        {"routed", "true when only --to reached it, through a router: it did not answer a "
                   "broadcast on the interface its reply came in on"},
        {"interface", "where its reply came in"},
        {"source", "the address and port its reply came from"},
        {"dhcp", "on/off in CSV"},
        {"altUdp", "on/off in CSV"},
    };
    for (const auto &[key, note] : notes)
        for (Field &field : f)
            if (field.key == QLatin1String(key))
                field.note = QLatin1String(note);
    return f;
}

const Field *field(const QString &key)
{
    for (const Field *f : findFields())
        if (f->key == key)
            return f;
    return nullptr;
}

} // namespace

QString cellText(const Field &f, const Receiver &r, const FindNotes &n)
{
    if (f.text)
        return f.text(r, n);
    const QJsonValue v = f.value(r, n);
    return v.isNull() ? QStringLiteral("-") : v.toVariant().toString();
}

namespace {

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
    for (const Field *f : c.fields)
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

const QList<Field> &fields()
{
    static const QList<Field> table = makeFields();
    return table;
}

const QList<const Field *> &findFields()
{
    // CSV's columns, which plans and scripts read, keep their order.
    static const QList<const Field *> columns = [] {
        QList<const Field *> c;
        const QStringList first = {"model",     "serial",          "ip",        "port",
                                   "mac",       "firmware",        "inUse",     "configurable",
                                   "conflict",  "duplicateSerial", "reachable", "routed",
                                   "interface", "source"};
        for (const QString &key : first)
            for (const Field &f : fields())
                if (f.key == key)
                    c << &f;
        for (const Field &f : fields())
            if (!f.header.isEmpty() && !first.contains(f.key))
                c << &f;
        return c;
    }();
    return columns;
}

QStringList describingKeys()
{
    QStringList keys = {QStringLiteral("found")}; // show's, beside the fields
    for (const Field &f : fields())
        if (f.key != QLatin1String("serial") && !settingWithKey(f.key))
            keys << f.key;
    return keys;
}

QString findFieldsHelp()
{
    QStringList described;
    for (const Field *f : findFields())
        described << (f->note.isEmpty() ? f->key : QStringLiteral("%1 (%2)").arg(f->key, f->note));
    return described.join(QStringLiteral(", ")) + QLatin1Char('.');
}

QString watchedNames()
{
    QStringList names;
    for (const Field &f : fields())
        if (!f.name.isEmpty())
            names << f.name;
    return names.join(QStringLiteral(", ")) + QLatin1Char('.');
}

QString showKeys()
{
    QStringList keys;
    for (const Field &f : fields())
        if (f.shown)
            keys << f.key;
    return keys.join(QStringLiteral(", "));
}

Columns columnsNamed(const QString &option, const QString &list)
{
    Columns c;
    for (const QString &name : list.split(QLatin1Char(','))) {
        const Field *f = field(name.trimmed());
        if (!f) {
            QStringList valid;
            for (const Field *o : findFields())
                valid << o->key;
            fail(QStringLiteral("%1: no field '%2' (expected some of: %3)")
                     .arg(option, quoted(name.trimmed()), valid.join(QStringLiteral(", "))));
        }
        c.fields << f;
    }
    return c;
}

Columns csvColumns()
{
    return Columns{findFields()};
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
    for (const Field *f : c.fields)
        cells << f->header;
    if (c.notes)
        cells << QStringLiteral("NOTES");
    return row(cells, widths(c));
}

QString textRow(const Receiver &r, const FindNotes &notes, const Columns &c)
{
    QStringList cells;
    for (const Field *f : c.fields)
        cells << cellText(*f, r, notes);
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
    for (const Field *f : c.fields)
        names << f->key;
    return names.join(QLatin1Char(','));
}

QString csvRow(const Receiver &r, const FindNotes &notes, const Columns &c)
{
    QStringList cells;
    for (const Field *f : c.fields) {
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
    static const QList<const Field *> sorted = [] {
        QList<const Field *> s = findFields();
        std::sort(s.begin(), s.end(),
                  [](const Field *a, const Field *b) { return a->key < b->key; });
        return s;
    }();
    QString o = QStringLiteral("{");
    o.reserve(512);
    for (const Field *f : sorted) {
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
