// SPDX-License-Identifier: MIT
#include "diagnosis.h"

#include "system.h"

#include <algorithm>

#include <QNetworkInterface>
#include <QSocketNotifier>

namespace Cli {

QList<InterfaceState> interfaceStates()
{
    QList<InterfaceState> states;
    for (const QNetworkInterface &i : QNetworkInterface::allInterfaces()) {
        InterfaceState s;
        s.name = System::interfaceName(i);
        s.index = i.index();
        s.up = i.flags() & QNetworkInterface::IsUp;
        s.carrier = i.flags() & QNetworkInterface::IsRunning;
        s.loopback = i.flags() & QNetworkInterface::IsLoopBack;
        for (const QNetworkAddressEntry &e : i.addressEntries())
            if (e.ip().protocol() == QAbstractSocket::IPv4Protocol)
                s.ipv4 << InterfaceState::Address{e.ip().toIPv4Address(), e.prefixLength(),
                                                  e.broadcast().toIPv4Address()};
        states << s;
    }
    return states;
}

bool WireWatch::open(quint16 port, QString *error)
{
    if (!m_packets.open(error))
        return false;
    m_port = port;
    auto *notifier = new QSocketNotifier(m_packets.descriptor(), QSocketNotifier::Read, this);
    connect(notifier, &QSocketNotifier::activated, this, &WireWatch::read);
    return true;
}

void WireWatch::read()
{
    m_packets.read(m_port, [this](int interfaceIndex) {
        // Bounded by the interfaces the kernel has.
        if (m_seen.size() < 1024 || m_seen.contains(interfaceIndex))
            ++m_seen[interfaceIndex];
    });
}

QString verdictText(Check::Verdict v)
{
    switch (v) {
    case Check::Ok:
        return QStringLiteral("ok");
    case Check::Problem:
        return QStringLiteral("problem");
    case Check::CannotTell:
        break;
    }
    return QStringLiteral("cannot tell");
}

bool anyProblem(const QList<Check> &checks)
{
    return std::any_of(checks.begin(), checks.end(),
                       [](const Check &c) { return c.verdict == Check::Problem; });
}

} // namespace Cli
