// SPDX-License-Identifier: MIT
#include "diagnosis.h"

#include <QNetworkInterface>
#include <QSocketNotifier>

#include <cerrno>
#include <cstring>

#ifdef Q_OS_LINUX
#include <arpa/inet.h>
#include <linux/if_ether.h>
#include <linux/if_packet.h>
#include <sys/socket.h>
#include <unistd.h>
#endif

namespace Cli {

QList<InterfaceState> interfaceStates()
{
    QList<InterfaceState> states;
    for (const QNetworkInterface &i : QNetworkInterface::allInterfaces()) {
        InterfaceState s;
        s.name = i.humanReadableName();
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

WireWatch::~WireWatch()
{
#ifdef Q_OS_LINUX
    if (m_fd >= 0)
        close(m_fd);
#endif
}

bool WireWatch::open(quint16 port, QString *error)
{
#ifdef Q_OS_LINUX
    // Cooked IPv4 packets of every interface, loopback included.
    m_fd = socket(AF_PACKET, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, htons(ETH_P_IP));
    if (m_fd < 0) {
        *error = QString::fromLocal8Bit(std::strerror(errno));
        return false;
    }
    m_port = port;
    auto *notifier = new QSocketNotifier(m_fd, QSocketNotifier::Read, this);
    connect(notifier, &QSocketNotifier::activated, this, &WireWatch::read);
    return true;
#else
    Q_UNUSED(port);
    *error = QStringLiteral("no packet sockets on this system");
    return false;
#endif
}

void WireWatch::read()
{
#ifdef Q_OS_LINUX
    unsigned char packet[64]; // the IPv4 and UDP heads are all it reads
    for (int n = 0; n < 256; ++n) {
        sockaddr_ll from{};
        socklen_t size = sizeof from;
        const ssize_t got = recvfrom(m_fd, packet, sizeof packet, MSG_TRUNC,
                                     reinterpret_cast<sockaddr *>(&from), &size);
        if (got < 0)
            return;
        // What comes in for this computer: what it sends shows on loopback
        // twice, and what is for others is none of its business.
        if (from.sll_pkttype == PACKET_OUTGOING || from.sll_pkttype == PACKET_OTHERHOST)
            continue;
        const std::size_t length = std::min<std::size_t>(std::size_t(got), sizeof packet);
        if (length < 20 || (packet[0] >> 4) != 4 || packet[9] != IPPROTO_UDP)
            continue;
        const std::size_t head = std::size_t(packet[0] & 0x0F) * 4;
        const bool first = ((packet[6] & 0x1F) | packet[7]) == 0; // no later fragment
        if (!first || head < 20 || length < head + 4)
            continue;
        const quint16 to = quint16(packet[head + 2] << 8 | packet[head + 3]);
        if (to != m_port)
            continue;
        // Bounded by the interfaces the kernel has.
        if (m_seen.size() < 1024 || m_seen.contains(from.sll_ifindex))
            ++m_seen[from.sll_ifindex];
    }
#endif
}

} // namespace Cli
