// SPDX-License-Identifier: MIT
#include "system.h"

#include "receivers.h" // displayText

#include <QDir>
#include <QNetworkInterface>
#include <QSet>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

namespace Core::System {

QString portHolder(quint16 port, qint64 *holder)
{
    // The sockets bound to the port, by inode, from the kernel's tables...
    QSet<QByteArray> inodes;
    const QByteArray wanted = ':' + QByteArray::number(port, 16).toUpper().rightJustified(4, '0');
    for (const char *path : {"/proc/net/udp", "/proc/net/udp6"}) {
        QFile table(QString::fromLatin1(path));
        if (!table.open(QIODevice::ReadOnly))
            continue;
        const QList<QByteArray> lines = table.readAll().split('\n');
        for (qsizetype i = 1; i < lines.size(); ++i) {
            const QList<QByteArray> f = lines[i].simplified().split(' ');
            if (f.size() > 9 && f[1].endsWith(wanted) && f[9] != "0")
                inodes.insert("socket:[" + f[9] + ']');
        }
    }
    if (inodes.isEmpty())
        return QString();
    // ...then the process with one of them open. Others' are hidden unless we may see them.
    const QStringList pids = QDir(QStringLiteral("/proc")).entryList(QDir::Dirs);
    for (const QString &pid : pids) {
        if (pid.isEmpty() || !pid.at(0).isDigit())
            continue;
        const QString fds = QStringLiteral("/proc/%1/fd").arg(pid);
        for (const QString &fd : QDir(fds).entryList(QDir::System | QDir::NoDotAndDotDot)) {
            char target[64] = {};
            const QByteArray link = QFile::encodeName(fds + QLatin1Char('/') + fd);
            const ssize_t n = readlink(link.constData(), target, sizeof target - 1);
            if (n <= 0 || !inodes.contains(QByteArray(target, int(n))))
                continue;
            QFile cmdline(QStringLiteral("/proc/%1/cmdline").arg(pid));
            QByteArray command =
                cmdline.open(QIODevice::ReadOnly) ? cmdline.read(200) : QByteArray();
            command.replace('\0', ' ');
            if (holder)
                *holder = pid.toLongLong();
            return QStringLiteral("process %1 (%2)").arg(pid, displayText(command.trimmed()));
        }
    }
    if (holder)
        *holder = 0;
    return QStringLiteral("a process of another user, which only root may name");
}

QString interfaceName(const QNetworkInterface &i)
{
    // Qt reads the kernel's name as Latin-1; names are bytes, written as UTF-8.
    const QString name = i.humanReadableName();
    const QByteArray bytes = name.toLatin1();
    const QString utf8 = QString::fromUtf8(bytes);
    return QString::fromLatin1(bytes) == name && utf8.toUtf8() == bytes ? utf8 : name;
}

QHash<int, Discovery::Ipv4> defaultGateways()
{
    QHash<int, Discovery::Ipv4> gateways;
    QFile table(QStringLiteral("/proc/net/route"));
    if (!table.open(QIODevice::ReadOnly))
        return gateways;
    // "Iface Destination Gateway Flags ...": addresses as the kernel holds them, in hex.
    const QList<QByteArray> lines = table.readAll().split('\n');
    for (qsizetype i = 1; i < lines.size(); ++i) {
        const QList<QByteArray> f = lines[i].simplified().split(' ');
        bool ok = false;
        const quint32 gateway = f.size() > 7 ? f[2].toUInt(&ok, 16) : 0;
        if (ok && gateway && f[1] == "00000000" && f[7] == "00000000")
            gateways.insert(QNetworkInterface::interfaceIndexFromName(QString::fromLatin1(f[0])),
                            Discovery::Ipv4(ntohl(gateway)));
    }
    return gateways;
}

QList<Discovery::Ipv4> neighbours()
{
    QList<Discovery::Ipv4> hosts;
    QFile table(QStringLiteral("/proc/net/arp"));
    if (!table.open(QIODevice::ReadOnly))
        return hosts;
    // "IP address  HW type  Flags  HW address  Mask  Device"; flag 0x2: complete.
    const QList<QByteArray> lines = table.readAll().split('\n');
    for (qsizetype i = 1; i < lines.size(); ++i) {
        const QList<QByteArray> f = lines[i].simplified().split(' ');
        bool ok = false;
        in_addr a{};
        if (f.size() > 2 && (f[2].toUInt(&ok, 16) & 0x2) && ok &&
            inet_pton(AF_INET, f[0].constData(), &a) == 1)
            hosts << Discovery::Ipv4(ntohl(a.s_addr));
    }
    return hosts;
}

bool BatchReader::available()
{
    return true;
}

BatchReader::BatchReader(qintptr socket, std::size_t bufferSize)
    : m_socket(socket), m_bufferSize(bufferSize), m_buffers(std::size_t(Batch) * bufferSize)
{
    // A dual-stack socket tells IPv4 datagrams' interface either way; an
    // IPv4 one refuses the IPv6 option.
    const int on = 1;
    setsockopt(int(socket), IPPROTO_IP, IP_PKTINFO, &on, sizeof on);
    setsockopt(int(socket), IPPROTO_IPV6, IPV6_RECVPKTINFO, &on, sizeof on);
}

namespace {
// An IPv4 address, also one mapped into IPv6; 0 for any other.
quint32 ipv4Of(const sockaddr_storage &a)
{
    if (a.ss_family == AF_INET)
        return ntohl(reinterpret_cast<const sockaddr_in &>(a).sin_addr.s_addr);
    const auto &v6 = reinterpret_cast<const sockaddr_in6 &>(a);
    if (a.ss_family != AF_INET6 || !IN6_IS_ADDR_V4MAPPED(&v6.sin6_addr))
        return 0;
    quint32 ip;
    std::memcpy(&ip, v6.sin6_addr.s6_addr + 12, sizeof ip);
    return ntohl(ip);
}
} // namespace

int BatchReader::read(Datagram *out)
{
    mmsghdr messages[Batch];
    iovec pieces[Batch];
    sockaddr_storage senders[Batch];
    union Control {
        cmsghdr header;
        char bytes[CMSG_SPACE(sizeof(in6_pktinfo)) + CMSG_SPACE(sizeof(in_pktinfo))];
    } controls[Batch];
    for (int i = 0; i < Batch; ++i) {
        pieces[i] = {m_buffers.data() + std::size_t(i) * m_bufferSize, m_bufferSize};
        messages[i] = {};
        messages[i].msg_hdr.msg_name = &senders[i];
        messages[i].msg_hdr.msg_namelen = sizeof senders[i];
        messages[i].msg_hdr.msg_iov = &pieces[i];
        messages[i].msg_hdr.msg_iovlen = 1;
        messages[i].msg_hdr.msg_control = controls[i].bytes;
        messages[i].msg_hdr.msg_controllen = sizeof controls[i].bytes;
    }
    const int n = recvmmsg(int(m_socket), messages, Batch, MSG_DONTWAIT, nullptr);
    for (int i = 0; i < n; ++i) {
        msghdr &h = messages[i].msg_hdr;
        const sockaddr_storage &from = senders[i];
        Datagram &d = out[i];
        d = {static_cast<const char *>(pieces[i].iov_base),
             // A datagram longer than the buffer is cut.
             int(std::min<std::size_t>(messages[i].msg_len, m_bufferSize)), ipv4Of(from),
             ntohs(from.ss_family == AF_INET6
                       ? reinterpret_cast<const sockaddr_in6 &>(from).sin6_port
                       : reinterpret_cast<const sockaddr_in &>(from).sin_port),
             0, 0};
        for (cmsghdr *c = CMSG_FIRSTHDR(&h); c; c = CMSG_NXTHDR(&h, c)) {
            if (c->cmsg_level == IPPROTO_IP && c->cmsg_type == IP_PKTINFO) {
                in_pktinfo info;
                std::memcpy(&info, CMSG_DATA(c), sizeof info);
                d.interfaceIndex = info.ipi_ifindex;
                d.to = ntohl(info.ipi_addr.s_addr);
            } else if (c->cmsg_level == IPPROTO_IPV6 && c->cmsg_type == IPV6_PKTINFO &&
                       !d.interfaceIndex) {
                in6_pktinfo info;
                std::memcpy(&info, CMSG_DATA(c), sizeof info);
                d.interfaceIndex = int(info.ipi6_ifindex);
            }
        }
    }
    return std::max(n, 0);
}

namespace Fix {

QString bringUp(const QString &interfaceName)
{
    return asAdministrator(QStringLiteral("ip link set dev %1 up").arg(shellWord(interfaceName)));
}

QString addAddress(const QString &address, const QString &prefix, const QString &interfaceName)
{
    return asAdministrator(
        QStringLiteral("ip addr add %1/%2 dev %3").arg(address, prefix, shellWord(interfaceName)));
}

QString allowReplies(quint16)
{
    // Only the ruleset names the chain that drops it: no command fits them all.
    return QString();
}

QString listFirewall()
{
    return asAdministrator(QStringLiteral("nft list ruleset"));
}

QString listAddresses()
{
    return QStringLiteral("ip address");
}

QString routeTo(const QString &address)
{
    return QStringLiteral("ip route get ") + address;
}

QString nameHolder(quint16 port)
{
    return asAdministrator(QStringLiteral("ss -ulpn 'sport = :%1'").arg(port));
}

QPair<QString, QString> watchWire()
{
    return {QStringLiteral("run doctor as root, or give it CAP_NET_RAW"),
            asAdministrator(cli() + QStringLiteral(" doctor"))};
}

} // namespace Fix

} // namespace Core::System
