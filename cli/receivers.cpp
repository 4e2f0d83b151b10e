// SPDX-License-Identifier: MIT
#include "receivers.h"

#include <QJsonArray>

using namespace Discovery;

namespace Cli {

QByteArray Receiver::serial() const
{
    return QByteArray::fromStdString(fieldText(head.serialNumber));
}

Quad Receiver::ip() const
{
    return quad(head.ipAddress);
}

std::optional<Receiver> parseReply(const QByteArray &datagram, const QHostAddress &from,
                                   int interfaceIndex)
{
    const auto *data = reinterpret_cast<const std::uint8_t *>(datagram.constData());
    const std::size_t size = std::size_t(datagram.size());
    Receiver r;
    if (!isValidReply(data, size) || size < sizeof(DiscoverHeader))
        return std::nullopt;
    r.inUse = storeReply(data, size, r.head, r.config, r.info);
    r.configurable = isConfigurableModel(r.head.deviceName);
    r.size = size;
    r.from = from;
    r.interfaceIndex = interfaceIndex;
    return r;
}

Identity identityOf(const Receiver &r)
{
    Identity id;
    id.ip = r.ip();
    id.port = u16(r.head.tcpPort);
    if (r.configurable)
        id.mac = macDisplayOrder(r.config.macAddress);
    return id;
}

QString identityText(const Identity &id, bool withMac)
{
    QString text = quadString(id.ip) + QLatin1Char(':') + QString::number(id.port);
    if (withMac) {
        QStringList parts;
        for (const std::uint8_t b : id.mac)
            parts << QStringLiteral("%1").arg(b, 2, 16, QLatin1Char('0'));
        text += QStringLiteral(" (MAC ") + parts.join(QLatin1Char(':')) + QLatin1Char(')');
    }
    return text;
}

int ReceiverList::add(const Receiver &r, bool *isNew, bool *newIdentity)
{
    const QByteArray serial = r.serial();
    const auto known = m_index.constFind(serial);
    if (known == m_index.constEnd() && m_receivers.size() >= MaxReceivers) {
        m_overflowed = true;
        return -1;
    }
    QList<Identity> &units = m_identities[serial];
    const Identity id = identityOf(r);
    const bool another = !units.contains(id);
    if (another && units.size() < MaxAddressesPerSerial)
        units.append(id);
    QList<Arrival> &arrived = m_arrivals[serial];
    const Arrival here{r.interfaceIndex, r.from};
    if (!arrived.contains(here) && arrived.size() < MaxAddressesPerSerial)
        arrived.append(here);
    m_byIpValid = false;
    if (isNew)
        *isNew = known == m_index.constEnd();
    if (newIdentity)
        *newIdentity = another && known != m_index.constEnd();
    if (known != m_index.constEnd()) {
        m_receivers[*known] = r;
        return *known;
    }
    m_index.insert(serial, int(m_receivers.size()));
    m_receivers.append(r);
    return int(m_receivers.size() - 1);
}

const Receiver *ReceiverList::find(const QByteArray &serial) const
{
    const auto known = m_index.constFind(serial);
    return known == m_index.constEnd() ? nullptr : &m_receivers.at(*known);
}

QList<QByteArray> ReceiverList::conflicts(int index) const
{
    const auto key = [](const Receiver &r) { return toU32(r.ip()); };
    if (!m_byIpValid) {
        m_byIp.clear();
        for (int i = 0; i < m_receivers.size(); ++i)
            m_byIp[key(m_receivers[i])] << i;
        m_byIpValid = true;
    }
    QList<QByteArray> serials;
    for (const int i : m_byIp.value(key(m_receivers.at(index))))
        if (i != index)
            serials << m_receivers[i].serial();
    return serials;
}

QList<Identity> ReceiverList::identities(const QByteArray &serial) const
{
    const Receiver *r = find(serial);
    if (!r)
        return {};
    const Identity current = identityOf(*r);
    QList<Identity> out{current};
    for (const Identity &id : m_identities.value(serial))
        if (!(id == current))
            out << id;
    return out;
}

QString displayText(const std::string &bytes)
{
    QString s = QString::fromLatin1(bytes.data(), int(bytes.size()));
    for (QChar &c : s)
        if (c.unicode() < 0x20 || (c.unicode() >= 0x7F && c.unicode() < 0xA0))
            c = QLatin1Char('?');
    return s;
}

QString displayText(const QByteArray &bytes)
{
    return displayText(bytes.toStdString());
}

QString displayList(const QList<QByteArray> &serials, const QString &separator)
{
    QStringList out;
    for (const QByteArray &s : serials)
        out << displayText(s);
    return out.join(separator);
}

QString withArticle(const QString &name)
{
    const bool vowel = !name.isEmpty() && QStringLiteral("AEIOUaeiou").contains(name.at(0));
    return (vowel ? QStringLiteral("an ") : QStringLiteral("a ")) + name;
}

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

QString version(const std::uint8_t (&field)[2])
{
    // Stored in hundredths, shown with both decimals: 1.10, not 1.1.
    const int v = u16(field);
    return QStringLiteral("%1.%2").arg(
        QString::number(v / 100), QString::number(v % 100).rightJustified(2, QLatin1Char('0')));
}

QString quadString(const Quad &q)
{
    return QString::fromStdString(quadText(q));
}

QString macString(const DeviceConfigRecord &r)
{
    QStringList parts;
    for (const std::uint8_t b : macDisplayOrder(r.macAddress))
        parts << QStringLiteral("%1").arg(b, 2, 16, QLatin1Char('0'));
    return parts.join(QLatin1Char(':'));
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

// Fits 80 columns with the usual names; a longer name pushes its row wider.
static const QList<int> TextWidths = {8, 10, 15, 5, 17, 6, 3};

QString textHeader()
{
    return columns({QStringLiteral("MODEL"), QStringLiteral("SERIAL"), QStringLiteral("IP"),
                    QStringLiteral("PORT"), QStringLiteral("MAC"), QStringLiteral("FW"),
                    QStringLiteral("USE"), QStringLiteral("CONFLICT")},
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
    // CONFLICT: the receivers reporting the same IP address, and a serial
    // number that answers as more than one unit.
    QStringList conflict;
    if (!notes.conflicts.isEmpty())
        conflict << displayList(notes.conflicts, QStringLiteral(","));
    if (notes.duplicateSerial)
        conflict << QStringLiteral("serial twice");
    cells << conflict.join(QStringLiteral("; "));
    QString row = columns(cells, TextWidths);
    if (!notes.reach.reachable)
        row += QStringLiteral(" (other subnet)");
    return row;
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

QJsonObject findJson(const Receiver &r, const FindNotes &notes)
{
    QJsonObject o;
    o[QStringLiteral("model")] = exactText(fieldText(r.head.deviceName));
    o[QStringLiteral("serial")] = exactText(fieldText(r.head.serialNumber));
    o[QStringLiteral("ip")] = quadString(r.ip());
    o[QStringLiteral("port")] = u16(r.head.tcpPort);
    o[QStringLiteral("mac")] = r.configurable ? QJsonValue(macString(r.config)) : QJsonValue();
    o[QStringLiteral("firmware")] = firmware(r);
    o[QStringLiteral("inUse")] = r.inUse;
    o[QStringLiteral("configurable")] = r.configurable;
    o[QStringLiteral("conflict")] = QJsonArray::fromStringList(exactList(notes.conflicts));
    o[QStringLiteral("duplicateSerial")] = notes.duplicateSerial;
    o[QStringLiteral("reachable")] = notes.reach.reachable;
    o[QStringLiteral("routed")] = notes.reach.routed;
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
    const auto onOff = [](bool b) { return b ? QStringLiteral("on") : QStringLiteral("off"); };
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
        add("IP address", quadString(quad(c.head.ipAddress)));
        add("TCP port", QString::number(u16(c.head.tcpPort)));
        add("Subnet mask", quadString(quad(c.subnetMask)));
        add("Gateway", quadString(quad(c.gateway)));
        add("DHCP", onOff(c.netFlags & NetDhcp));
        add("Alternative UDP", onOff(c.netFlags & NetAltUdp));
        add("Alternative UDP IP", quadString(quad(c.altUdpAddress)));
        add("Alternative UDP port", QString::number(u16(c.altUdpPort)));
        add("FPGA configuration", QString::number(c.fpgaConfig));
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
        o[QStringLiteral("mask")] = quadString(quad(c.subnetMask));
        o[QStringLiteral("gateway")] = quadString(quad(c.gateway));
        o[QStringLiteral("dhcp")] = (c.netFlags & NetDhcp) != 0;
        o[QStringLiteral("altUdp")] = (c.netFlags & NetAltUdp) != 0;
        o[QStringLiteral("altIp")] = quadString(quad(c.altUdpAddress));
        o[QStringLiteral("altPort")] = u16(c.altUdpPort);
        o[QStringLiteral("fpga")] = c.fpgaConfig;
    } else {
        o[QStringLiteral("firmware")] = version(r.info.firmwareVersion);
        o[QStringLiteral("boot")] = version(r.info.bootVersion);
        o[QStringLiteral("connection")] = exactText(fieldText(r.info.connection));
    }
    return o;
}

QList<QPair<QString, QString>> watchedFields(const Receiver &r)
{
    const auto onOff = [](bool b) { return b ? QStringLiteral("on") : QStringLiteral("off"); };
    QList<QPair<QString, QString>> f = {
        {QStringLiteral("model"), displayText(fieldText(r.head.deviceName))},
        {QStringLiteral("ip"), quadString(r.ip())},
        {QStringLiteral("port"), QString::number(u16(r.head.tcpPort))},
        {QStringLiteral("in use"), r.inUse ? QStringLiteral("yes") : QStringLiteral("no")},
        {QStringLiteral("firmware"), firmware(r)},
    };
    if (r.configurable) {
        const DeviceConfigRecord &c = r.config;
        f.append({{QStringLiteral("boot"), version(c.bootVersion)},
                  {QStringLiteral("mac"), macString(c)},
                  {QStringLiteral("mask"), quadString(quad(c.subnetMask))},
                  {QStringLiteral("gateway"), quadString(quad(c.gateway))},
                  {QStringLiteral("dhcp"), onOff(c.netFlags & NetDhcp)},
                  {QStringLiteral("alt-udp"), onOff(c.netFlags & NetAltUdp)},
                  {QStringLiteral("alt-ip"), quadString(quad(c.altUdpAddress))},
                  {QStringLiteral("alt-port"), QString::number(u16(c.altUdpPort))},
                  {QStringLiteral("fpga"), QString::number(c.fpgaConfig)}});
    } else {
        f.append({{QStringLiteral("boot"), version(r.info.bootVersion)},
                  {QStringLiteral("connection"), displayText(fieldText(r.info.connection))}});
    }
    return f;
}

} // namespace Cli
