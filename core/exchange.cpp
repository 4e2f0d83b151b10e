// SPDX-License-Identifier: MIT
#include "exchange.h"

using namespace Discovery;

namespace Core {

namespace {
// Datagrams read before the event loop gets its turn again, so that the
// deadline and the other timers run however fast datagrams arrive.
constexpr int ReadBatch = 256;
} // namespace

Exchange::Exchange(QObject *parent) : QObject(parent) {}

Exchange::~Exchange() = default;

bool Exchange::open(QString *error, bool *taken)
{
    // Requests leave from the reply port too, so receivers that answer the
    // request's source port are heard as well as those that answer 48322.
    // Bound exclusively: with a shared port the last process bound takes
    // every unicast reply, and a second instance would silently starve the first.
    if (bindReplyPort(m_socket, QHostAddress::AnyIPv4, QUdpSocket::DontShareAddress)) {
        m_reader = std::make_unique<Reader>(m_socket);
        connect(m_reader.get(), &Reader::readyRead, this, &Exchange::readPending);
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
    m_reader.reset();
    m_socket.close();
}

bool Exchange::send(const QByteArray &bytes, const Destination &to, QString *error)
{
    QString reason;
    const bool sent = sendTo(m_socket, bytes, to, &reason);
    if (m_tap)
        m_tap->sent(bytes, to, reason);
    if (!sent && error)
        *error = reason;
    return sent;
}

void Exchange::readPending()
{
    m_reader->drain(ReadBatch, [this](const Reader::Datagram &d) {
        const bool valid =
            isValidReply(reinterpret_cast<const std::uint8_t *>(d.data), std::size_t(d.size));
        // Invalid datagrams, the common case under a flood, cost no address object.
        if (valid || (m_tap && m_tap->wantsAll()))
            take(d);
        else
            count(d.interfaceIndex, false);
        return !m_stopped;
    });
}

void Exchange::take(const Reader::Datagram &d)
{
    const QByteArray bytes = QByteArray::fromRawData(d.data, d.size);
    const QHostAddress from(d.from);
    const bool marked =
        isValidReply(reinterpret_cast<const std::uint8_t *>(d.data), std::size_t(d.size));
    std::optional<Receiver> r = marked ? parseReply(bytes, from, d.interfaceIndex) : std::nullopt;
    if (r) {
        r->interfaceName = m_names(d.interfaceIndex);
        r->fromPort = d.fromPort;
    }
    count(d.interfaceIndex, r.has_value());
    if (m_tap && m_tap->wantsAll())
        m_tap->received(bytes, from, d.fromPort, d.to ? QHostAddress(d.to) : QHostAddress(),
                        d.interfaceIndex, m_names(d.interfaceIndex),
                        r        ? "reply"
                        : marked ? "short"
                                 : "invalid");
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

} // namespace Core
