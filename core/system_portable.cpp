// SPDX-License-Identifier: MIT
//
// Every system but Linux and Windows (macOS, the BSDs): Qt and POSIX only.
// What only a system's own tables tell, this build cannot tell.
#include "system.h"

#include "receivers.h" // Discovery::ReplyPort

namespace Core::System {

QString portHolder(quint16, qint64 *holder)
{
    if (holder)
        *holder = 0;
    return QString();
}

QString interfaceName(const QNetworkInterface &i)
{
    return i.humanReadableName();
}

QHash<int, Discovery::Ipv4> defaultGateways()
{
    return {};
}

QList<Discovery::Ipv4> neighbours()
{
    return {};
}

bool BatchReader::available()
{
    return false;
}

BatchReader::BatchReader(qintptr socket, std::size_t bufferSize)
    : m_socket(socket), m_bufferSize(bufferSize)
{
}

int BatchReader::read(Datagram *)
{
    return 0;
}

// BSD's and macOS's ifconfig and route.
namespace Fix {

QString bringUp(const QString &interfaceName)
{
    return asAdministrator(QStringLiteral("ifconfig %1 up").arg(shellWord(interfaceName)));
}

QString addAddress(const QString &address, const QString &prefix, const QString &interfaceName)
{
    return asAdministrator(
        QStringLiteral("ifconfig %1 alias %2/%3").arg(shellWord(interfaceName), address, prefix));
}

QString allowReplies(quint16)
{
    return QString(); // one command per firewall; this build cannot tell which
}

// pf, which macOS and the BSDs share.
QString listFirewall()
{
    return asAdministrator(QStringLiteral("pfctl -s rules"));
}

QString listAddresses()
{
    return QStringLiteral("ifconfig");
}

QString routeTo(const QString &address)
{
    return QStringLiteral("route get ") + address;
}

QString nameHolder(quint16 port)
{
    return asAdministrator(QStringLiteral("lsof -nP -iUDP:%1").arg(port));
}

QPair<QString, QString> watchWire()
{
    return {QStringLiteral("make sure the firewall lets UDP %1 in").arg(Discovery::ReplyPort),
            QString()};
}

} // namespace Fix

} // namespace Core::System
