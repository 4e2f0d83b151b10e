// SPDX-License-Identifier: MIT
#include "settings.h"

#include "values.h"

#include <algorithm>

using namespace Discovery;

namespace Core {

namespace {

template <class T>
void parseInto(std::optional<T> &to, Setting::Type type, const QString &what, const QString &text)
{
    if constexpr (std::is_same_v<T, Ipv4>) {
        to = address(what, text);
    } else if constexpr (std::is_same_v<T, bool>) {
        to = onOff(what, text);
    } else if (type == Setting::Fpga) {
        if (text != QLatin1String("0") && text != QLatin1String("1") && text != QLatin1String("2"))
            fail(QStringLiteral("%1: '%2' is not 0, 1 or 2").arg(what, quoted(text)));
        to = T(text.toInt());
    } else {
        to = T(number(what, text, 0, 0xFFFF));
    }
}

template <auto Field> bool named(const NetworkEdits &e)
{
    return (e.*Field).has_value();
}

template <auto Field> void clear(NetworkEdits &e)
{
    (e.*Field).reset();
}

template <auto Field>
void parse(NetworkEdits &e, Setting::Type type, const QString &what, const QString &text)
{
    parseInto(e.*Field, type, what, text);
}

} // namespace

const QList<Setting> &settings()
{
    using R = const DeviceConfigRecord &;
    using E = NetworkEdits;
    static const QList<Setting> table = {
        {"ip", "ip", "IP address", "A.B.C.D", "TCP control IP address", Setting::Address,
         named<&E::ip>, clear<&E::ip>, parse<&E::ip>,
         [](R r) -> QJsonValue { return quadString(quad(r.head.ipAddress)); }},
        {"port", "port", "TCP port", "N", "TCP control port (1 to 65535)", Setting::Port,
         named<&E::port>, clear<&E::port>, parse<&E::port>,
         [](R r) -> QJsonValue { return u16(r.head.tcpPort); }},
        {"mask", "mask", "Subnet mask", "A.B.C.D", "subnet mask", Setting::Address, named<&E::mask>,
         clear<&E::mask>, parse<&E::mask>,
         [](R r) -> QJsonValue { return quadString(quad(r.subnetMask)); }},
        {"gateway", "gateway", "Gateway", "A.B.C.D", "gateway (0.0.0.0: none)", Setting::Address,
         named<&E::gateway>, clear<&E::gateway>, parse<&E::gateway>,
         [](R r) -> QJsonValue { return quadString(quad(r.gateway)); }},
        {"dhcp", "dhcp", "DHCP", "on|off", "obtain the IP address by DHCP", Setting::Flag,
         named<&E::dhcp>, clear<&E::dhcp>, parse<&E::dhcp>,
         [](R r) -> QJsonValue { return (r.netFlags & NetDhcp) != 0; }},
        {"alt-udp", "altUdp", "Alternative UDP", "on|off",
         "send UDP data to the alternative destination", Setting::Flag, named<&E::altUdp>,
         clear<&E::altUdp>, parse<&E::altUdp>,
         [](R r) -> QJsonValue { return (r.netFlags & NetAltUdp) != 0; }},
        {"alt-ip", "altIp", "Alternative UDP IP", "A.B.C.D",
         "alternative UDP data destination address", Setting::Address, named<&E::altIp>,
         clear<&E::altIp>, parse<&E::altIp>,
         [](R r) -> QJsonValue { return quadString(quad(r.altUdpAddress)); }},
        {"alt-port", "altPort", "Alternative UDP port", "N",
         "alternative UDP data destination port (1 to 65535)", Setting::Port, named<&E::altPort>,
         clear<&E::altPort>, parse<&E::altPort>,
         [](R r) -> QJsonValue { return u16(r.altUdpPort); }},
        {"fpga", "fpga", "FPGA configuration", "0|1|2", "FPGA configuration loaded at start",
         Setting::Fpga, named<&E::fpgaConfig>, clear<&E::fpgaConfig>, parse<&E::fpgaConfig>,
         [](R r) -> QJsonValue { return r.fpgaConfig; }},
    };
    return table;
}

QString Setting::text(const QJsonValue &value) const
{
    if (value.isNull() || value.isUndefined())
        return QString();
    switch (type) {
    case Flag:
        return onOffText(value.toBool());
    case Port:
    case Fpga:
        return QString::number(value.toInt());
    case Address:
        break;
    }
    return value.toString();
}

const Setting *settingWithKey(const QString &key)
{
    for (const Setting &s : settings())
        if (key == QLatin1String(s.key))
            return &s;
    return nullptr;
}

bool hasEdits(const NetworkEdits &e)
{
    return std::any_of(settings().begin(), settings().end(),
                       [&](const Setting &s) { return s.named(e); });
}

QString settingKeys()
{
    QStringList names;
    for (const Setting &s : settings())
        names << QLatin1String(s.key);
    return names.join(QStringLiteral(", "));
}

QString settingOptions()
{
    QStringList names;
    for (const Setting &s : settings())
        names << QStringLiteral("--") + QLatin1String(s.option);
    return names.join(QStringLiteral(", "));
}

QList<Value> namedValues(const DeviceConfigRecord &r, const NetworkEdits *e)
{
    QList<Value> values;
    for (const Setting &s : settings()) {
        if (e && !s.named(*e))
            continue;
        const QJsonValue v = s.read(r);
        values.append({QLatin1String(s.option), QLatin1String(s.key), v, s.text(v)});
    }
    return values;
}

QList<Change> changesBetween(const QList<Value> &before, const QList<Value> &after)
{
    QList<Change> changes;
    for (const Value &now : after) {
        const auto was = std::find_if(before.begin(), before.end(),
                                      [&](const Value &b) { return b.name == now.name; });
        const Value from = was == before.end() ? Value{} : *was;
        if (from.text != now.text)
            changes.append({now.name, now.key, from.json, now.json, from.text, now.text});
    }
    return changes;
}

NetworkEdits changingEdits(const DeviceConfigRecord &before, const DeviceConfigRecord &after,
                           const NetworkEdits &e)
{
    NetworkEdits changing = e;
    for (const Setting &s : settings())
        if (s.named(e) && s.read(before) == s.read(after))
            s.clear(changing);
    return changing;
}

QStringList differences(const DeviceConfigRecord &seen, const DeviceConfigRecord &wanted,
                        const NetworkEdits &e)
{
    QStringList out;
    for (const Change &c : changesBetween(namedValues(seen, &e), namedValues(wanted, &e)))
        out << QStringLiteral("%1 is %2, expected %3").arg(c.setting, c.fromText, c.toText);
    return out;
}

} // namespace Core
