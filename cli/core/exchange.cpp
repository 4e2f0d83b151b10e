// SPDX-License-Identifier: MIT
#include "exchange.h"
#include "system.h"

#include <algorithm>
#include <cstring>

#include <QSet>

#include <QNetworkDatagram>
#include <QNetworkInterface>
#include <QNetworkProxy>

#include <cerrno>

using namespace Discovery;

namespace Cli {

namespace {
// Datagrams read before the event loop gets its turn again, so that the
// deadline and the other timers run however fast datagrams arrive.
constexpr int ReadBatch = 256;
} // namespace

Exchange::Exchange(Log &log, QObject *parent) : QObject(parent), m_log(log)
{
    connect(&m_socket, &QUdpSocket::readyRead, this, &Exchange::readPending);
}

Exchange::~Exchange() = default;

bool Exchange::open(QString *error, bool *taken)
{
    // Requests leave from the reply port too, so receivers that answer the
    // request's source port are heard as well as those that answer 48322.
    // Bound exclusively: with a shared port the last process bound takes
    // every unicast reply, and a second instance would silently starve the first.
    if (m_socket.bind(QHostAddress::AnyIPv4, ReplyPort, QUdpSocket::DontShareAddress)) {
        // The window's room for replies that arrive within a flood of stray datagrams.
        m_socket.setSocketOption(QAbstractSocket::ReceiveBufferSizeSocketOption, 4 << 20);
        if (System::BatchReader::available()) {
            // Nothing reads through Qt, so after its first readyRead Qt's own
            // notifier stays off; this one takes over.
            disconnect(&m_socket, &QUdpSocket::readyRead, this, &Exchange::readPending);
            m_batches = std::make_unique<System::BatchReader>(m_socket.socketDescriptor());
            m_notifier =
                new QSocketNotifier(m_socket.socketDescriptor(), QSocketNotifier::Read, this);
            connect(m_notifier, &QSocketNotifier::activated, this, &Exchange::readBatches);
        }
        return true;
    }
    if (taken)
        *taken = m_socket.error() == QAbstractSocket::AddressInUseError;
    if (m_socket.error() == QAbstractSocket::AddressInUseError) {
        const QString holder = System::portHolder(ReplyPort);
        *error = QStringLiteral("the port is in use by %1")
                     .arg(holder.isEmpty() ? QStringLiteral("another program") : holder);
    } else {
        *error = m_socket.errorString();
    }
    return false;
}

void Exchange::close()
{
    delete m_notifier;
    m_notifier = nullptr;
    m_batches.reset();
    m_socket.close();
    connect(&m_socket, &QUdpSocket::readyRead, this, &Exchange::readPending, Qt::UniqueConnection);
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
    const QString name = System::interfaceName(QNetworkInterface::interfaceFromIndex(index));
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

void Exchange::readBatches()
{
    m_batches->read(ReadBatch, ReadBufferSize, [this](const System::Datagram &d) {
        // Invalid datagrams, the common case under a flood, cost no address object.
        const bool wanted =
            m_log.isOpen() || (m_capture && m_capture->isOpen()) ||
            isValidReply(reinterpret_cast<const std::uint8_t *>(d.data), std::size_t(d.size));
        if (!wanted)
            count(d.interfaceIndex, false);
        else
            take(d.data, d.size, QHostAddress(d.from), d.fromPort,
                 d.to ? QHostAddress(d.to) : QHostAddress(), d.interfaceIndex);
        return !m_stopped;
    });
}

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
    if (r) {
        r->interfaceName = interfaceName(interfaceIndex);
        r->fromPort = fromPort;
    }
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
