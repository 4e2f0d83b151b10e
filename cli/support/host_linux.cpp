// SPDX-License-Identifier: MIT
#include "host.h"

#include <QProcess>
#include <QStandardPaths>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include <arpa/inet.h>
#include <linux/if_ether.h>
#include <linux/if_packet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

namespace Cli::Host {

QByteArray firewallRuleset()
{
    QString nft = QStandardPaths::findExecutable(QStringLiteral("nft"));
    if (nft.isEmpty())
        nft = QStandardPaths::findExecutable(
            QStringLiteral("nft"), {QStringLiteral("/usr/sbin"), QStringLiteral("/sbin")});
    if (nft.isEmpty())
        return QByteArray();
    QProcess p;
    p.start(nft, {QStringLiteral("-j"), QStringLiteral("list"), QStringLiteral("ruleset")});
    if (!p.waitForFinished(5000) || p.exitStatus() != QProcess::NormalExit || p.exitCode() != 0)
        return QByteArray();
    return p.readAllStandardOutput();
}

UdpDiscards udpDiscards()
{
    // "Udp: InDatagrams NoPorts InErrors ... InCsumErrors" then a line of numbers.
    QFile snmp(QStringLiteral("/proc/net/snmp"));
    UdpDiscards d;
    if (!snmp.open(QIODevice::ReadOnly))
        return d;
    QList<QByteArray> names;
    for (const QByteArray &line : snmp.readAll().split('\n')) {
        if (!line.startsWith("Udp: "))
            continue;
        const QList<QByteArray> f = line.simplified().split(' ');
        if (names.isEmpty()) {
            names = f;
            continue;
        }
        d.checksum = f.value(names.indexOf("InCsumErrors"), "-1").toLongLong();
        d.buffer = f.value(names.indexOf("RcvbufErrors"), "-1").toLongLong();
        break;
    }
    return d;
}

PacketWatch::~PacketWatch()
{
    if (m_fd >= 0)
        close(int(m_fd));
}

bool PacketWatch::open(QString *error)
{
    // Cooked packets of every interface, loopback included. Only a tap of
    // every protocol sees them before the ingress hook, where a firewall
    // may drop them too.
    m_fd = socket(AF_PACKET, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, htons(ETH_P_ALL));
    if (m_fd < 0)
        *error = QString::fromLocal8Bit(std::strerror(errno));
    return m_fd >= 0;
}

void PacketWatch::read(quint16 port, const std::function<void(int interfaceIndex)> &seen)
{
    unsigned char packet[64]; // the IPv4 and UDP heads are all it reads
    for (int n = 0; n < 256; ++n) {
        sockaddr_ll from{};
        socklen_t size = sizeof from;
        const ssize_t got = recvfrom(int(m_fd), packet, sizeof packet, MSG_TRUNC,
                                     reinterpret_cast<sockaddr *>(&from), &size);
        if (got < 0)
            return;
        // What comes in for this computer: what it sends shows on loopback
        // twice, and what is for others is none of its business.
        if (from.sll_pkttype == PACKET_OUTGOING || from.sll_pkttype == PACKET_OTHERHOST ||
            from.sll_protocol != htons(ETH_P_IP))
            continue;
        const std::size_t length = std::min<std::size_t>(std::size_t(got), sizeof packet);
        if (length < 20 || (packet[0] >> 4) != 4 || packet[9] != IPPROTO_UDP)
            continue;
        const std::size_t head = std::size_t(packet[0] & 0x0F) * 4;
        const bool first = ((packet[6] & 0x1F) | packet[7]) == 0; // no later fragment
        if (!first || head < 20 || length < head + 4)
            continue;
        if (quint16(packet[head + 2] << 8 | packet[head + 3]) == port)
            seen(from.sll_ifindex);
    }
}

} // namespace Cli::Host
