// SPDX-License-Identifier: MIT
#include "format.h"

#include <QJsonArray>

using namespace Discovery;

namespace Cli {

// Plain strings for machine-readable output: exact Latin-1 text.
static QString exactText(const std::string &bytes)
{
    return QString::fromLatin1(bytes.data(), int(bytes.size()));
}

static QStringList exactList(const QList<QByteArray> &serials)
{
    QStringList out;
    for (const QByteArray &s : serials)
        out << QString::fromLatin1(s);
    return out;
}

static QString firmware(const Receiver &r)
{
    return r.configurable ? version(r.config.firmwareVersion) : version(r.info.firmwareVersion);
}

// Columns padded one by one and joined: receiver text is never read as a
// format, so "%1" in a model name stays "%1".
static QString columns(const QStringList &cells, const QList<int> &widths)
{
    QStringList padded;
    for (int i = 0; i < cells.size(); ++i)
        padded << cells[i].leftJustified(widths.value(i, 0));
    QString row = padded.join(QLatin1Char(' '));
    while (row.endsWith(QLatin1Char(' ')))
        row.chop(1);
    return row;
}

// Fits 80 columns with the usual names and every note; a longer name pushes
// its row wider.
static const QList<int> TextWidths = {8, 8, 15, 5, 17, 5, 3};

QString textHeader()
{
    return columns({QStringLiteral("MODEL"), QStringLiteral("SERIAL"), QStringLiteral("IP"),
                    QStringLiteral("PORT"), QStringLiteral("MAC"), QStringLiteral("FW"),
                    QStringLiteral("USE"), QStringLiteral("NOTES")},
                   TextWidths);
}

QString textRow(const Receiver &r, const FindNotes &notes)
{
    QStringList cells = {displayText(fieldText(r.head.deviceName)),
                         displayText(fieldText(r.head.serialNumber)),
                         quadString(r.ip()),
                         QString::number(u16(r.head.tcpPort)),
                         r.configurable ? macString(r.config) : QStringLiteral("-"),
                         firmware(r),
                         r.inUse ? QStringLiteral("yes") : QStringLiteral("no")};
    // NOTES: the receivers reporting the same IP address, a serial number
    // that answers as more than one unit, and an address outside the subnets
    // of the interface where it answered.
    QStringList notesCell;
    if (!notes.conflicts.isEmpty())
        notesCell << displayList(notes.conflicts, QStringLiteral(","));
    if (notes.duplicateSerial)
        notesCell << QStringLiteral("serial twice");
    if (!notes.reach.reachable)
        notesCell << QStringLiteral("other subnet");
    cells << notesCell.join(QStringLiteral("; "));
    return columns(cells, TextWidths);
}

static QString csvField(const QString &s)
{
    if (!s.contains(QLatin1Char(',')) && !s.contains(QLatin1Char('"')) &&
        !s.contains(QLatin1Char('\n')) && !s.contains(QLatin1Char('\r')))
        return s;
    QString quoted = s;
    quoted.replace(QLatin1Char('"'), QStringLiteral("\"\""));
    return QLatin1Char('"') + quoted + QLatin1Char('"');
}

QString csvHeader()
{
    return QStringLiteral(
        "model,serial,ip,port,mac,firmware,inUse,configurable,conflict,duplicateSerial,reachable,"
        "routed");
}

QString csvRow(const Receiver &r, const FindNotes &notes)
{
    const auto boolText = [](bool b) {
        return b ? QStringLiteral("true") : QStringLiteral("false");
    };
    return QStringList{csvField(exactText(fieldText(r.head.deviceName))),
                       csvField(exactText(fieldText(r.head.serialNumber))),
                       quadString(r.ip()),
                       QString::number(u16(r.head.tcpPort)),
                       r.configurable ? macString(r.config) : QString(),
                       firmware(r),
                       boolText(r.inUse),
                       boolText(r.configurable),
                       csvField(exactList(notes.conflicts).join(QLatin1Char(' '))),
                       boolText(notes.duplicateSerial),
                       boolText(notes.reach.reachable),
                       boolText(notes.reach.routed)}
        .join(QLatin1Char(','));
}

// A JSON string as QJsonDocument writes it.
static QString jsonString(const QString &s)
{
    const bool plain = std::none_of(s.begin(), s.end(), [](QChar c) {
        return c.unicode() < 0x20 || c == QLatin1Char('"') || c == QLatin1Char('\\');
    });
    if (plain)
        return QLatin1Char('"') + s + QLatin1Char('"');
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

QString findJson(const Receiver &r, const FindNotes &notes)
{
    // Written directly, keys in QJsonObject's order: a thousand receivers
    // would otherwise spend their time in building and dropping objects.
    QString o;
    o.reserve(320);
    const auto key = [&o](const char *name) { o += QLatin1String(name); };
    const auto flag = [&o](bool b) { o += b ? QLatin1String("true") : QLatin1String("false"); };
    key("{\"configurable\":");
    flag(r.configurable);
    key(",\"conflict\":[");
    for (qsizetype i = 0; i < notes.conflicts.size(); ++i) {
        if (i)
            o += QLatin1Char(',');
        o += jsonString(QString::fromLatin1(notes.conflicts[i]));
    }
    key("],\"duplicateSerial\":");
    flag(notes.duplicateSerial);
    key(",\"firmware\":\"");
    o += firmware(r);
    key("\",\"inUse\":");
    flag(r.inUse);
    key(",\"ip\":\"");
    o += quadString(r.ip());
    key("\",\"mac\":");
    if (r.configurable) {
        o += QLatin1Char('"');
        o += macString(r.config);
        o += QLatin1Char('"');
    } else {
        key("null");
    }
    key(",\"model\":");
    o += jsonString(exactText(fieldText(r.head.deviceName)));
    key(",\"port\":");
    o += QString::number(u16(r.head.tcpPort));
    key(",\"reachable\":");
    flag(notes.reach.reachable);
    key(",\"routed\":");
    flag(notes.reach.routed);
    key(",\"serial\":");
    o += jsonString(exactText(fieldText(r.head.serialNumber)));
    o += QLatin1Char('}');
    return o;
}

static QStringList optionNames(std::uint8_t options)
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

QString showText(const Receiver &r, const Reach &reach)
{
    QList<QPair<QString, QString>> lines;
    const auto add = [&](const char *label, const QString &value) {
        lines.append({QLatin1String(label), value});
    };
    add("Model", displayText(fieldText(r.head.deviceName)));
    add("Serial number", displayText(fieldText(r.head.serialNumber)));
    if (r.configurable) {
        const DeviceConfigRecord &c = r.config;
        const QStringList options = optionNames(c.options);
        add("MAC address", macString(c));
        add("Firmware version", version(c.firmwareVersion));
        add("Boot version", version(c.bootVersion));
        add("Hardware version", version(c.hwVersion));
        add("FPGA ID", QString::number(c.fpgaId));
        add("FPGA revision", QString::number(c.fpgaRevision));
        add("Options",
            options.isEmpty() ? QStringLiteral("none") : options.join(QLatin1String(", ")));
        for (const Setting &s : settings())
            add(s.label, s.text(s.read(c)));
    } else {
        add("Firmware version", version(r.info.firmwareVersion));
        add("Boot version", version(r.info.bootVersion));
        add("Connection", displayText(fieldText(r.info.connection)));
        add("IP address", quadString(r.ip()));
        add("TCP port", QString::number(u16(r.head.tcpPort)));
    }
    add("In use", r.inUse ? QStringLiteral("yes") : QStringLiteral("no"));
    add("Reachable",
        (reach.reachable ? QStringLiteral("yes: ") : QStringLiteral("no: ")) + reach.why);
    if (!reach.fix.isEmpty())
        add("To reach it", reach.fix);

    QString text;
    for (const auto &line : lines)
        text += (line.first + QLatin1Char(':')).leftJustified(21) + QLatin1Char(' ') + line.second +
                QLatin1Char('\n');
    return text;
}

QJsonObject showJson(const Receiver &r, const Reach &reach)
{
    QJsonObject o;
    o[QStringLiteral("model")] = exactText(fieldText(r.head.deviceName));
    o[QStringLiteral("serial")] = exactText(fieldText(r.head.serialNumber));
    o[QStringLiteral("configurable")] = r.configurable;
    o[QStringLiteral("ip")] = quadString(r.ip());
    o[QStringLiteral("port")] = u16(r.head.tcpPort);
    o[QStringLiteral("inUse")] = r.inUse;
    o[QStringLiteral("reachable")] = reach.reachable;
    o[QStringLiteral("routed")] = reach.routed;
    if (r.configurable) {
        const DeviceConfigRecord &c = r.config;
        o[QStringLiteral("mac")] = macString(c);
        o[QStringLiteral("firmware")] = version(c.firmwareVersion);
        o[QStringLiteral("boot")] = version(c.bootVersion);
        o[QStringLiteral("hardware")] = version(c.hwVersion);
        o[QStringLiteral("fpgaId")] = c.fpgaId;
        o[QStringLiteral("fpgaRevision")] = c.fpgaRevision;
        o[QStringLiteral("options")] = QJsonArray::fromStringList(optionNames(c.options));
        for (const Setting &s : settings())
            o[QLatin1String(s.key)] = s.read(c);
    } else {
        o[QStringLiteral("firmware")] = version(r.info.firmwareVersion);
        o[QStringLiteral("boot")] = version(r.info.bootVersion);
        o[QStringLiteral("connection")] = exactText(fieldText(r.info.connection));
    }
    return o;
}

QList<Value> watchedFields(const Receiver &r)
{
    const auto field = [](const char *name, const char *key, const QJsonValue &json,
                          const QString &text) {
        return Value{QLatin1String(name), QLatin1String(key), json, text};
    };
    const QString model = exactText(fieldText(r.head.deviceName));
    QList<Value> f = {
        field("model", "model", model, displayText(fieldText(r.head.deviceName))),
        field("in use", "inUse", r.inUse, r.inUse ? QStringLiteral("yes") : QStringLiteral("no")),
        field("firmware", "firmware", firmware(r), firmware(r)),
    };
    if (r.configurable) {
        const DeviceConfigRecord &c = r.config;
        f << field("boot", "boot", version(c.bootVersion), version(c.bootVersion))
          << field("mac", "mac", macString(c), macString(c)) << namedValues(c);
    } else {
        const QString connection = exactText(fieldText(r.info.connection));
        f << field("boot", "boot", version(r.info.bootVersion), version(r.info.bootVersion))
          << field("connection", "connection", connection,
                   displayText(fieldText(r.info.connection)))
          << field("ip", "ip", quadString(r.ip()), quadString(r.ip()))
          << field("port", "port", u16(r.head.tcpPort), QString::number(u16(r.head.tcpPort)));
    }
    return f;
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
