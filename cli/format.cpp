// SPDX-License-Identifier: MIT
#include "format.h"
#include "columns.h"
#include "system.h"
#include "values.h"

#include <QJsonArray>
#include <QJsonDocument>

using namespace Discovery;

namespace Cli {

// Plain strings for machine-readable output: exact Latin-1 text.
static QString exactText(const std::string &bytes)
{
    return QString::fromLatin1(bytes.data(), int(bytes.size()));
}

static QString firmware(const Receiver &r)
{
    return r.configurable ? version(r.config.firmwareVersion) : version(r.info.firmwareVersion);
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
    // Interface names come from the system and may hold any byte.
    add("Reachable",
        quoted((reach.reachable ? QStringLiteral("yes: ") : QStringLiteral("no: ")) + reach.why));
    if (!reach.fix.isEmpty())
        add("To reach it", quoted(reach.fix));

    QString text;
    for (const auto &line : lines)
        text += (line.first + QLatin1Char(':')).leftJustified(21) + QLatin1Char(' ') + line.second +
                QLatin1Char('\n');
    return text;
}

QJsonObject showJson(const Receiver &r, const Reach &reach)
{
    QJsonObject o = fieldsJson(r, FindNotes{{}, false, reach},
                               {QStringLiteral("model"), QStringLiteral("serial"),
                                QStringLiteral("configurable"), QStringLiteral("ip"),
                                QStringLiteral("port"), QStringLiteral("inUse"),
                                QStringLiteral("reachable"), QStringLiteral("routed")});
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
