// SPDX-License-Identifier: MIT
#include "exchange.h"

#include <algorithm>
#include <cstring>

#include <QDateTime>
#include <QDir>
#include <QSet>

#include <QNetworkDatagram>
#include <QNetworkInterface>
#include <QNetworkProxy>

#ifdef Q_OS_LINUX
#include <netinet/in.h>
#include <sys/socket.h>
#endif
#ifdef Q_OS_UNIX
#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

using namespace Discovery;

namespace Cli {

namespace {
// Datagrams read before the event loop gets its turn again, so that the
// deadline and the other timers run however fast datagrams arrive.
constexpr int ReadBatch = 256;
#ifdef Q_OS_LINUX
constexpr int RecvBatch = 64; // per recvmmsg() call
#endif
} // namespace

bool openOutput(QFile &file, const QString &path, QIODevice::OpenMode mode, QString *error)
{
    file.setFileName(path);
#ifdef Q_OS_UNIX
    // A FIFO nobody reads would hold the run before anything is sent. One
    // with a reader, such as a shell's >(gzip), is a fine place to write.
    struct stat st {};
    if (stat(QFile::encodeName(path).constData(), &st) == 0 && S_ISFIFO(st.st_mode)) {
        const int fd =
            ::open(QFile::encodeName(path).constData(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);
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
#endif
    if (file.open(QIODevice::WriteOnly | QIODevice::Truncate | mode))
        return true;
    *error = file.errorString();
    return false;
}

bool Log::open(const QString &path, QString *error)
{
    return openOutput(m_file, path, QIODevice::Text, error);
}

void Log::line(const QString &text)
{
    if (!m_file.isOpen())
        return;
    const QString time = QDateTime::currentDateTimeUtc().toString(Qt::ISODateWithMs);
    const QByteArray bytes = (time + QLatin1Char(' ') + text + QLatin1Char('\n')).toUtf8();
    writeOutput(m_file, bytes, onFailure);
}

void writeOutput(QFile &file, const QByteArray &bytes,
                 const std::function<void(const QString &)> &onFailure)
{
    if (file.write(bytes) == bytes.size() && file.flush())
        return;
    const QString reason = file.errorString();
    file.close();
    if (onFailure)
        onFailure(reason);
}

Exchange::Exchange(Log &log, QObject *parent) : QObject(parent), m_log(log)
{
    connect(&m_socket, &QUdpSocket::readyRead, this, &Exchange::readPending);
}

bool Exchange::open(QString *error)
{
    // Requests leave from the reply port too, so receivers that answer the
    // request's source port are heard as well as those that answer 48322.
    // Bound exclusively: with a shared port the last process bound takes
    // every unicast reply, and a second instance would silently starve the first.
    if (m_socket.bind(QHostAddress::AnyIPv4, ReplyPort, QUdpSocket::DontShareAddress)) {
        // The window's room for replies that arrive within a flood of stray datagrams.
        m_socket.setSocketOption(QAbstractSocket::ReceiveBufferSizeSocketOption, 4 << 20);
#ifdef Q_OS_LINUX
        // Nothing reads through Qt, so after its first readyRead Qt's own
        // notifier stays off; this one takes over.
        disconnect(&m_socket, &QUdpSocket::readyRead, this, &Exchange::readPending);
        const int fd = int(m_socket.socketDescriptor());
        const int on = 1;
        setsockopt(fd, IPPROTO_IP, IP_PKTINFO, &on, sizeof on);
        m_buffers.resize(std::size_t(RecvBatch) * ReadBufferSize);
        m_notifier = new QSocketNotifier(m_socket.socketDescriptor(), QSocketNotifier::Read, this);
        connect(m_notifier, &QSocketNotifier::activated, this, &Exchange::readBatches);
#endif
        return true;
    }
    if (m_socket.error() == QAbstractSocket::AddressInUseError) {
        const QString holder = portHolder(ReplyPort);
        *error = QStringLiteral("the port is in use by %1")
                     .arg(holder.isEmpty() ? QStringLiteral("another program") : holder);
    } else {
        *error = m_socket.errorString();
    }
    return false;
}

QString portHolder(quint16 port, qint64 *holder)
{
#ifdef Q_OS_LINUX
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
#else
    Q_UNUSED(port);
    Q_UNUSED(holder);
#endif
    return QString();
}

QString Exchange::interfaceName(int index) const
{
    if (index <= 0)
        return QString();
    // Asking the system costs a walk of every interface; a reply per
    // receiver must not. An index never comes back with another name.
    const auto known = m_names.constFind(index);
    if (known != m_names.constEnd())
        return *known;
    // The name a user knows; Qt's own is "ethernet_3" on Windows.
    const QString name = QNetworkInterface::interfaceFromIndex(index).humanReadableName();
    if (m_names.size() < 1024 && !name.isEmpty())
        m_names.insert(index, name);
    return name;
}

bool Exchange::send(const QByteArray &bytes, const Destination &to, QString *error)
{
    QNetworkDatagram datagram(bytes, to.address, DevicePort);
    if (to.interfaceIndex > 0)
        datagram.setInterfaceIndex(uint(to.interfaceIndex));
    QUdpSocket *via = &m_socket;
    QUdpSocket bound;
    if (to.fromInterfaceAddress && to.interfaceIndex > 0)
        for (const QNetworkAddressEntry &e :
             QNetworkInterface::interfaceFromIndex(to.interfaceIndex).addressEntries())
            if (e.ip().protocol() == QAbstractSocket::IPv4Protocol) {
                bound.setProxy(QNetworkProxy::NoProxy);
                if (bound.bind(e.ip(), 0))
                    via = &bound;
                break;
            }
    errno = 0;
    const bool sent = via->writeDatagram(datagram) == bytes.size();
    // The system's reason, where Qt's would be a generic "unable to send".
    const QString reason =
        errno ? QString::fromLocal8Bit(std::strerror(errno)) : via->errorString();
    QString failure;
    if (!sent)
        failure = QStringLiteral(" error=") + QString(reason).replace(' ', '_');
    m_log.line(QStringLiteral("send from=0.0.0.0:%1 to=%2:%3 if=%4 size=%5%6 hex=%7")
                   .arg(ReplyPort)
                   .arg(to.address.toString())
                   .arg(DevicePort)
                   .arg(to.interfaceIndex > 0 ? to.interfaceName : QStringLiteral("-"))
                   .arg(bytes.size())
                   .arg(failure, QString::fromLatin1(bytes.toHex())));
    if (sent && m_capture)
        m_capture->sent(bytes, ReplyPort, to.address, DevicePort, to.interfaceIndex);
    if (!sent && error)
        *error = reason;
    return sent;
}

void Exchange::readPending()
{
    for (int n = 0; n < ReadBatch && !m_stopped && m_socket.hasPendingDatagrams(); ++n) {
        // The size is given, so Qt does not peek at each datagram first; a
        // longer one is cut, as in the window.
        const QNetworkDatagram datagram = m_socket.receiveDatagram(qint64(ReadBufferSize));
        if (!datagram.isValid())
            break; // a failed read has dropped its datagram
        const QByteArray bytes = datagram.data();
        take(bytes.constData(), int(bytes.size()), datagram.senderAddress(),
             quint16(datagram.senderPort()), datagram.destinationAddress(),
             datagram.interfaceIndex() > 0 ? int(datagram.interfaceIndex()) : 0);
    }
}

#ifdef Q_OS_LINUX
void Exchange::readBatches()
{
    const int fd = int(m_socket.socketDescriptor());
    mmsghdr messages[RecvBatch];
    iovec pieces[RecvBatch];
    sockaddr_in senders[RecvBatch];
    union Control {
        cmsghdr header;
        char bytes[CMSG_SPACE(sizeof(in_pktinfo))];
    } controls[RecvBatch];
    for (int round = 0; round < ReadBatch / RecvBatch && !m_stopped; ++round) {
        for (int i = 0; i < RecvBatch; ++i) {
            pieces[i] = {m_buffers.data() + std::size_t(i) * ReadBufferSize, ReadBufferSize};
            messages[i] = {};
            messages[i].msg_hdr.msg_name = &senders[i];
            messages[i].msg_hdr.msg_namelen = sizeof senders[i];
            messages[i].msg_hdr.msg_iov = &pieces[i];
            messages[i].msg_hdr.msg_iovlen = 1;
            messages[i].msg_hdr.msg_control = controls[i].bytes;
            messages[i].msg_hdr.msg_controllen = sizeof controls[i].bytes;
        }
        const int n = recvmmsg(fd, messages, RecvBatch, MSG_DONTWAIT, nullptr);
        for (int i = 0; i < n && !m_stopped; ++i) {
            const msghdr &h = messages[i].msg_hdr;
            const char *data = static_cast<const char *>(pieces[i].iov_base);
            // A datagram longer than the buffer is cut, as in the window.
            const int size = int(std::min<unsigned>(messages[i].msg_len, ReadBufferSize));
            int index = 0;
            QHostAddress to;
            for (const cmsghdr *c = CMSG_FIRSTHDR(&h); c;
                 c = CMSG_NXTHDR(const_cast<msghdr *>(&h), const_cast<cmsghdr *>(c)))
                if (c->cmsg_level == IPPROTO_IP && c->cmsg_type == IP_PKTINFO) {
                    in_pktinfo info;
                    std::memcpy(&info, CMSG_DATA(c), sizeof info);
                    index = info.ipi_ifindex;
                    to = QHostAddress(ntohl(info.ipi_addr.s_addr));
                }
            // Invalid datagrams, the common case under a flood, cost no address object.
            const bool wanted =
                m_log.isOpen() || (m_capture && m_capture->isOpen()) ||
                isValidReply(reinterpret_cast<const std::uint8_t *>(data), std::size_t(size));
            if (!wanted)
                count(index, false);
            else
                take(data, size, QHostAddress(ntohl(senders[i].sin_addr.s_addr)),
                     ntohs(senders[i].sin_port), to, index);
        }
        if (n < RecvBatch)
            return; // drained, or an error: the notifier calls again when there is more
    }
}
#endif

void Exchange::take(const char *data, int size, const QHostAddress &from, quint16 fromPort,
                    const QHostAddress &to, int interfaceIndex)
{
    const auto *raw = reinterpret_cast<const std::uint8_t *>(data);
    const bool marked = isValidReply(raw, std::size_t(size));
    if (m_capture && m_capture->isOpen()) // no copy for nothing under a flood
        m_capture->received(QByteArray(data, size), from, fromPort, to, ReplyPort, interfaceIndex);
    if (!marked && !m_log.isOpen()) {
        count(interfaceIndex, false);
        return; // the common case under a flood: nothing to do
    }
    const QByteArray bytes = QByteArray::fromRawData(data, size);
    std::optional<Receiver> r = marked ? parseReply(bytes, from, interfaceIndex) : std::nullopt;
    if (r)
        r->interfaceName = interfaceName(interfaceIndex);
    count(interfaceIndex, r.has_value());
    if (m_log.isOpen()) {
        const char *result = r ? "reply" : marked ? "short" : "invalid";
        m_log.line(QStringLiteral("recv from=%1:%2 to=%3:%4 if=%5 size=%6 result=%7 hex=%8")
                       .arg(from.toString(), QString::number(fromPort), to.toString(),
                            QString::number(ReplyPort), logName(interfaceIndex),
                            QString::number(size), QLatin1String(result),
                            QString::fromLatin1(bytes.toHex())));
    }
    if (r)
        emit replyReceived(*r);
}

void Exchange::count(int interfaceIndex, bool reply)
{
    // The kernel names the interfaces; a bound keeps a confused one from growing this.
    if (m_tally.size() >= 1024 && !m_tally.contains(interfaceIndex))
        interfaceIndex = 0;
    Tally &t = m_tally[interfaceIndex];
    ++(reply ? t.replies : t.others);
}

} // namespace Cli
