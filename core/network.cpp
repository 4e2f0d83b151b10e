// SPDX-License-Identifier: MIT
#include "network.h"
#include "system.h"

#include <QFile>
#include <QNetworkInterface>
#include <QNetworkProxy>
#include <QUdpSocket>

#include <algorithm>

using namespace Discovery;

namespace Core {

Setup destinations(const SearchOptions &s)
{
    Setup setup;
    QList<QNetworkInterface> interfaces;
    if (!s.interfaceName.isEmpty()) {
        const QNetworkInterface named = interfaceNamed(s.interfaceName);
        if (!named.isValid()) {
            QStringList names;
            for (const QNetworkInterface &i : QNetworkInterface::allInterfaces())
                names << System::interfaceName(i);
            setup.error = QStringLiteral("--interface: no interface '%1' on this computer "
                                         "(expected one of: %2)")
                              .arg(s.interfaceName, names.join(QStringLiteral(", ")));
            return setup;
        }
        if (!(named.flags() & QNetworkInterface::IsUp)) {
            setup.error = QStringLiteral("--interface: %1 is down").arg(s.interfaceName);
            return setup;
        }
        interfaces << named;
    } else {
        interfaces = QNetworkInterface::allInterfaces();
    }
    QList<Destination> limited;
    for (const QNetworkInterface &i : interfaces) {
        if (!(i.flags() & QNetworkInterface::IsUp))
            continue;
        bool any = false;
        for (const QNetworkAddressEntry &e : i.addressEntries()) {
            if (e.ip().protocol() != QAbstractSocket::IPv4Protocol || e.broadcast().isNull())
                continue;
            any = true;
            const Destination d{e.broadcast(), i.index(), System::interfaceName(i)};
            const bool known = std::any_of(
                setup.destinations.begin(), setup.destinations.end(), [&](const Destination &o) {
                    return o.address == d.address && o.interfaceIndex == d.interfaceIndex;
                });
            if (!known)
                setup.destinations << d;
        }
        // Some receivers hear only 255.255.255.255: asked out of each
        // interface, from its own address, never along the default route.
        if (any && !s.directedOnly && !(i.flags() & QNetworkInterface::IsLoopBack) &&
            !std::any_of(setup.destinations.begin(), setup.destinations.end(),
                         [&](const Destination &o) {
                             return o.address == QHostAddress(QHostAddress::Broadcast) &&
                                    o.interfaceIndex == i.index();
                         }))
            limited << Destination{QHostAddress(QHostAddress::Broadcast), i.index(),
                                   System::interfaceName(i), true};
    }
    setup.destinations << limited;
    if (!s.interfaceName.isEmpty() && setup.destinations.isEmpty())
        setup.error = QStringLiteral("--interface: %1 has no IPv4 broadcast address (expected "
                                     "an interface with an IPv4 address)")
                          .arg(s.interfaceName);
    // Through the routing table: no interface is named, so a router is reached.
    for (const Ipv4 &q : s.to) {
        const Destination d{QHostAddress(q.value()), 0, QString()};
        const bool known = std::any_of(
            setup.destinations.begin(), setup.destinations.end(),
            [&](const Destination &o) { return o.address == d.address && o.interfaceIndex == 0; });
        if (!known)
            setup.destinations << d;
    }
    return setup;
}

QList<LocalSubnet> localSubnets(bool withLoopback)
{
    const QHash<int, Ipv4> gateways = System::defaultGateways();
    QList<LocalSubnet> subnets;
    for (const QNetworkInterface &i : QNetworkInterface::allInterfaces()) {
        const bool loopback = i.flags() & QNetworkInterface::IsLoopBack;
        if (!(i.flags() & QNetworkInterface::IsUp) || (loopback && !withLoopback))
            continue;
        for (const QNetworkAddressEntry &e : i.addressEntries())
            if (e.ip().protocol() == QAbstractSocket::IPv4Protocol)
                subnets << LocalSubnet{Ipv4(e.ip().toIPv4Address()),
                                       Ipv4(e.netmask().toIPv4Address()),
                                       System::interfaceName(i),
                                       i.index(),
                                       loopback,
                                       gateways.value(i.index())};
    }
    return subnets;
}

OwnAddresses::~OwnAddresses()
{
    System::closeProbe(m_probe);
}

bool OwnAddresses::contains(Ipv4 ip)
{
    if (ip.isZero() || ip.value() == 0xFFFFFFFFu || (ip.value() >> 28) == 0xE)
        return false;
    const auto known = m_known.constFind(ip.value());
    if (known != m_known.constEnd())
        return *known;
    const bool own = System::canBind(ip, m_probe);
    // Replies may come from any address a network cares to forge.
    if (m_known.size() >= 8192)
        m_known.clear();
    m_known.insert(ip.value(), own);
    return own;
}

} // namespace Core
