// SPDX-License-Identifier: MIT
#include "receivers.h"

#include <cstdio>
#include <cstring>

using namespace Discovery;

namespace Core {

QByteArray Receiver::serial() const
{
    return QByteArray::fromStdString(fieldText(head.serialNumber));
}

Ipv4 Receiver::ip() const
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
    id.source = r.local ? Ipv4() : Ipv4(r.from.toIPv4Address());
    return id;
}

QString sourceText(bool local, const QHostAddress &from, const QString &interfaceName)
{
    return QStringLiteral("%1 on %2")
        .arg(local ? QStringLiteral("this computer") : from.toString(),
             interfaceName.isEmpty() ? QStringLiteral("an unknown interface") : interfaceName);
}

namespace {

// Everything a configuration message repeats, without the in-use status,
// which a unit changes as clients come and go.
bool sameSettings(const DeviceConfigRecord &a, const DeviceConfigRecord &b)
{
    DeviceConfigRecord x = a, y = b;
    x.status = y.status = 0;
    x.head.opcode = y.head.opcode = 0;
    return std::memcmp(&x, &y, sizeof x) == 0;
}

} // namespace

QString identityText(const Identity &id, bool withMac)
{
    QString text = quadString(id.ip) + QLatin1Char(':') + QString::number(id.port);
    if (withMac)
        text += QStringLiteral(" (MAC ") + macText(id.mac) + QLatin1Char(')');
    if (!id.source.isZero() && id.source != id.ip)
        text += QStringLiteral(" from ") + quadString(id.source);
    return text;
}

bool ReceiverList::sameUnit(const Receiver &a, const Receiver &b) const
{
    if (!(identityOf(a) == identityOf(b)))
        return false;
    // A unit played here answers each adapter from that adapter's address.
    if (a.local || a.interfaceName == b.interfaceName)
        return true;
    return m_oneLan && m_oneLan(Ipv4(a.from.toIPv4Address()), a.interfaceName, b.interfaceName);
}

int ReceiverList::add(const Receiver &r, bool *isNew, bool *newIdentity)
{
    const QByteArray serial = r.serial();
    const QList<int> rows = units(serial);
    int known = -1;
    for (const int i : rows)
        if (sameUnit(m_receivers[i], r))
            known = i;
    if (isNew)
        *isNew = known < 0;
    if (newIdentity)
        *newIdentity = known < 0 && !rows.isEmpty();
    if (known < 0 && (m_receivers.size() >= MaxReceivers || rows.size() >= MaxAddressesPerSerial)) {
        m_overflowed = true;
        return -1;
    }
    QList<Identity> &ids = m_identities[serial];
    const Identity id = identityOf(r);
    if (!ids.contains(id) && ids.size() < MaxAddressesPerSerial)
        ids.append(id);
    QList<Arrival> &arrived = m_arrivals[serial];
    const Arrival here{r.interfaceIndex, r.from, r.interfaceName, r.local};
    if (!arrived.contains(here) && arrived.size() < MaxAddressesPerSerial)
        arrived.append(here);
    m_byIpValid = false;
    if (known >= 0) {
        const Receiver &before = m_receivers[known];
        if (r.configurable && before.configurable && !sameSettings(before.config, r.config) &&
            !m_changedFrom.contains(serial))
            m_changedFrom.insert(serial, before);
        m_receivers[known] = r;
        return known;
    }
    if (rows.isEmpty())
        m_index.insert(serial, int(m_receivers.size()));
    else
        m_moreRows[serial].append(int(m_receivers.size()));
    m_receivers.append(r);
    return int(m_receivers.size() - 1);
}

const Receiver *ReceiverList::find(const QByteArray &serial) const
{
    const auto first = m_index.constFind(serial);
    return first == m_index.constEnd() ? nullptr : &m_receivers.at(*first);
}

QList<int> ReceiverList::units(const QByteArray &serial) const
{
    const auto first = m_index.constFind(serial);
    if (first == m_index.constEnd())
        return {};
    return QList<int>{*first} + m_moreRows.value(serial);
}

QList<QByteArray> ReceiverList::conflicts(int index) const
{
    const auto key = [](const Receiver &r) { return r.ip().value(); };
    if (!m_byIpValid) {
        m_byIp.clear();
        for (int i = 0; i < m_receivers.size(); ++i)
            m_byIp[key(m_receivers[i])] << i;
        m_byIpValid = true;
    }
    QList<QByteArray> serials;
    for (const int i : m_byIp.value(key(m_receivers.at(index))))
        if (m_receivers[i].serial() != m_receivers.at(index).serial())
            serials << m_receivers[i].serial();
    return serials;
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

QString version(const std::uint8_t (&field)[2])
{
    // Stored in hundredths, shown with both decimals: 1.10, not 1.1.
    const int v = u16(field);
    char text[8];
    std::snprintf(text, sizeof text, "%d.%02d", v / 100, v % 100);
    return QString::fromLatin1(text);
}

QString quadString(Ipv4 ip)
{
    return QString::fromStdString(ip.text());
}

QString macText(const std::array<std::uint8_t, 6> &mac)
{
    char text[18];
    std::snprintf(text, sizeof text, "%02x:%02x:%02x:%02x:%02x:%02x", mac[0], mac[1], mac[2],
                  mac[3], mac[4], mac[5]);
    return QString::fromLatin1(text);
}

QString macString(const DeviceConfigRecord &r)
{
    return macText(macDisplayOrder(r.macAddress));
}

QString onOffText(bool on)
{
    return on ? QStringLiteral("on") : QStringLiteral("off");
}

} // namespace Core
