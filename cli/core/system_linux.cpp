// SPDX-License-Identifier: MIT
#include "system.h"

#include "receivers.h"

#include <QDir>
#include <QNetworkInterface>
#include <QProcess>
#include <QRegularExpression>
#include <QSet>
#include <QStandardPaths>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include <arpa/inet.h>
#include <fcntl.h>
#include <linux/if_ether.h>
#include <linux/if_packet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

namespace Cli::System {

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

bool isStream(const QString &path, int fd)
{
    struct stat file {
    }, stream{};
    return ::stat(QFile::encodeName(path).constData(), &file) == 0 && ::fstat(fd, &stream) == 0 &&
           file.st_dev == stream.st_dev && file.st_ino == stream.st_ino;
}

QString interfaceName(const QNetworkInterface &i)
{
    // Qt reads the kernel's name as Latin-1; names are bytes, written as UTF-8.
    const QString name = i.humanReadableName();
    const QByteArray bytes = name.toLatin1();
    const QString utf8 = QString::fromUtf8(bytes);
    return QString::fromLatin1(bytes) == name && utf8.toUtf8() == bytes ? utf8 : name;
}

QHash<int, quint32> defaultGateways()
{
    QHash<int, quint32> gateways;
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
                            ntohl(gateway));
    }
    return gateways;
}

QList<quint32> neighbours()
{
    QList<quint32> hosts;
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
            hosts << ntohl(a.s_addr);
    }
    return hosts;
}

bool canBind(quint32 ip, qintptr &probe)
{
    if (probe < 0)
        probe = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(ip);
    const bool own =
        probe >= 0 && bind(int(probe), reinterpret_cast<const sockaddr *>(&a), sizeof a) == 0;
    if (own) { // bound now: the next address needs a socket of its own
        close(int(probe));
        probe = -1;
    }
    return own;
}

void closeProbe(qintptr probe)
{
    if (probe >= 0)
        close(int(probe));
}

bool openFifo(QFile &file, const QString &path, QIODevice::OpenMode mode, QString *error,
              bool *handled)
{
    struct stat st {};
    *handled = stat(QFile::encodeName(path).constData(), &st) == 0 && S_ISFIFO(st.st_mode);
    if (!*handled)
        return false;
    // One with a reader, such as a shell's >(gzip), is a fine place to write.
    const int fd = ::open(QFile::encodeName(path).constData(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        *error = errno == ENXIO ? QStringLiteral("it is a FIFO that nobody reads")
                                : QString::fromLocal8Bit(std::strerror(errno));
        return false;
    }
    fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK);
    if (file.open(fd, QIODevice::WriteOnly | mode, QFileDevice::AutoCloseHandle))
        return true;
    ::close(fd);
    *error = file.errorString();
    return false;
}

namespace {
constexpr int RecvBatch = 64; // per recvmmsg() call
} // namespace

bool BatchReader::available()
{
    return true;
}

BatchReader::BatchReader(qintptr socket) : m_socket(socket)
{
    const int on = 1;
    setsockopt(int(socket), IPPROTO_IP, IP_PKTINFO, &on, sizeof on);
}

int BatchReader::read(int max, std::size_t bufferSize,
                      const std::function<bool(const Datagram &)> &take)
{
    m_buffers.resize(std::size_t(RecvBatch) * bufferSize);
    mmsghdr messages[RecvBatch];
    iovec pieces[RecvBatch];
    sockaddr_in senders[RecvBatch];
    union Control {
        cmsghdr header;
        char bytes[CMSG_SPACE(sizeof(in_pktinfo))];
    } controls[RecvBatch];
    int total = 0;
    while (total < max) {
        for (int i = 0; i < RecvBatch; ++i) {
            pieces[i] = {m_buffers.data() + std::size_t(i) * bufferSize, bufferSize};
            messages[i] = {};
            messages[i].msg_hdr.msg_name = &senders[i];
            messages[i].msg_hdr.msg_namelen = sizeof senders[i];
            messages[i].msg_hdr.msg_iov = &pieces[i];
            messages[i].msg_hdr.msg_iovlen = 1;
            messages[i].msg_hdr.msg_control = controls[i].bytes;
            messages[i].msg_hdr.msg_controllen = sizeof controls[i].bytes;
        }
        const int n = recvmmsg(int(m_socket), messages, RecvBatch, MSG_DONTWAIT, nullptr);
        for (int i = 0; i < n; ++i) {
            const msghdr &h = messages[i].msg_hdr;
            Datagram d{static_cast<const char *>(pieces[i].iov_base),
                       // A datagram longer than the buffer is cut.
                       int(std::min<std::size_t>(messages[i].msg_len, bufferSize)),
                       ntohl(senders[i].sin_addr.s_addr), ntohs(senders[i].sin_port), 0, 0};
            for (const cmsghdr *c = CMSG_FIRSTHDR(&h); c;
                 c = CMSG_NXTHDR(const_cast<msghdr *>(&h), const_cast<cmsghdr *>(c)))
                if (c->cmsg_level == IPPROTO_IP && c->cmsg_type == IP_PKTINFO) {
                    in_pktinfo info;
                    std::memcpy(&info, CMSG_DATA(c), sizeof info);
                    d.interfaceIndex = info.ipi_ifindex;
                    d.to = ntohl(info.ipi_addr.s_addr);
                }
            ++total;
            if (!take(d))
                return total;
        }
        if (n < RecvBatch)
            break; // drained, or an error: the notifier calls again when there is more
    }
    return total;
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

namespace Fix {

QString shellWord(const QString &w)
{
    static const QRegularExpression plain(QStringLiteral("^[A-Za-z0-9._:/@%+=,-]+$"));
    if (plain.match(w).hasMatch())
        return w;
    const auto isControl = [](QChar c) {
        return c.unicode() < 0x20 || (c.unicode() >= 0x7F && c.unicode() < 0xA0);
    };
    const bool control = std::any_of(w.begin(), w.end(), isControl);
    if (!control)
        return QLatin1Char('\'') + QString(w).replace(QLatin1Char('\''), QStringLiteral("'\\''")) +
               QLatin1Char('\'');
    // Control bytes would act on the terminal that shows the line: written
    // as escapes that bash and zsh read back as the bytes.
    QString out = QStringLiteral("$'");
    for (const QChar c : w) {
        if (isControl(c))
            out += QStringLiteral("\\x%1").arg(c.unicode(), 2, 16, QLatin1Char('0'));
        else if (c == QLatin1Char('\\') || c == QLatin1Char('\''))
            out += QLatin1Char('\\') + c;
        else
            out += c;
    }
    return out + QLatin1Char('\'');
}

// The package puts it on the search path.
QString cli()
{
    return QStringLiteral("vantrel-cli");
}

QString shellNote(const QString &)
{
    return QString();
}

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

QString listAddresses()
{
    return QStringLiteral("ip address");
}

QString routeTo(const QString &address)
{
    return QStringLiteral("ip route get ") + address;
}

QString endProcess(qint64 pid)
{
    return QStringLiteral("kill %1").arg(pid);
}

QString nameHolder(quint16 port)
{
    return asAdministrator(QStringLiteral("ss -ulpn 'sport = :%1'").arg(port));
}

// Root's shell may have no sudo; a user's needs it once.
QString asAdministrator(const QString &command)
{
    return geteuid() == 0 ? command : QStringLiteral("sudo ") + command;
}

QString allOf(const QStringList &commands)
{
    if (commands.size() < 2)
        return asAdministrator(commands.value(0));
    return asAdministrator(QStringLiteral("sh -c ") +
                           shellWord(commands.join(QStringLiteral(" && "))));
}

QPair<QString, QString> watchWire()
{
    return {QStringLiteral("run doctor as root, or give it CAP_NET_RAW"),
            asAdministrator(cli() + QStringLiteral(" doctor"))};
}

} // namespace Fix

} // namespace Cli::System
