// SPDX-License-Identifier: MIT
#include "exchange.h"

#include <QDateTime>
#include <QNetworkDatagram>
#include <QNetworkInterface>

using namespace Discovery;

namespace Cli {

namespace {
constexpr int ReadBatch = 256;
}

bool Log::open(const QString &path, QString *error)
{
    m_file.setFileName(path);
    if (m_file.open(QIODevice::WriteOnly | QIODevice::Truncate | QIODevice::Text))
        return true;
    *error = m_file.errorString();
    return false;
}

void Log::line(const QString &text)
{
    if (!m_file.isOpen())
        return;
    const QString time = QDateTime::currentDateTimeUtc().toString(Qt::ISODateWithMs);
    const QByteArray bytes = (time + QLatin1Char(' ') + text + QLatin1Char('\n')).toUtf8();
    // Flushed at once: a support log must survive a crash or kill.
    if (m_file.write(bytes) == bytes.size() && m_file.flush())
        return;
    const QString reason = m_file.errorString();
    m_file.close();
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
        return true;
    }
    *error = m_socket.error() == QAbstractSocket::AddressInUseError
                 ? QStringLiteral("the port is in use by another program (another vantrel-cli, "
                                  "or the Vantrel window)")
                 : m_socket.errorString();
    return false;
}

QString Exchange::interfaceName(int index) const
{
    const QString name = index > 0 ? QNetworkInterface::interfaceNameFromIndex(index) : QString();
    return name.isEmpty() ? QStringLiteral("-") : name;
}

bool Exchange::send(const QByteArray &bytes, const Destination &to, QString *error)
{
    QNetworkDatagram datagram(bytes, to.address, DevicePort);
    if (to.interfaceIndex > 0)
        datagram.setInterfaceIndex(uint(to.interfaceIndex));
    const bool sent = m_socket.writeDatagram(datagram) == bytes.size();
    QString failure;
    if (!sent)
        failure = QStringLiteral(" error=") + QString(m_socket.errorString()).replace(' ', '_');
    m_log.line(QStringLiteral("send from=0.0.0.0:%1 to=%2:%3 if=%4 size=%5%6 hex=%7")
                   .arg(ReplyPort)
                   .arg(to.address.toString())
                   .arg(DevicePort)
                   .arg(to.interfaceIndex > 0 ? to.interfaceName : QStringLiteral("-"))
                   .arg(bytes.size())
                   .arg(failure, QString::fromLatin1(bytes.toHex())));
    if (!sent && error)
        *error = m_socket.errorString();
    return sent;
}

void Exchange::readPending()
{
    // A bounded batch: however fast datagrams arrive, the deadline and the
    // other timers run between batches. The socket signals again for the rest.
    for (int n = 0; n < ReadBatch && m_socket.hasPendingDatagrams(); ++n) {
        // The size is given, so Qt does not peek at each datagram first; a
        // longer one is cut, as in the window.
        const QNetworkDatagram datagram = m_socket.receiveDatagram(qint64(ReadBufferSize));
        if (!datagram.isValid())
            break; // a failed read has dropped its datagram
        const QByteArray bytes = datagram.data();
        const auto *raw = reinterpret_cast<const std::uint8_t *>(bytes.constData());
        const bool marked = isValidReply(raw, std::size_t(bytes.size()));
        if (!marked && !m_log.isOpen())
            continue; // the common case under a flood: nothing to do
        const int index = datagram.interfaceIndex() > 0 ? int(datagram.interfaceIndex()) : 0;
        const std::optional<Receiver> r =
            marked ? parseReply(bytes, datagram.senderAddress(), index) : std::nullopt;
        const char *result = r ? "reply" : marked ? "short" : "invalid";
        if (m_log.isOpen())
            m_log.line(QStringLiteral("recv from=%1:%2 to=%3:%4 if=%5 size=%6 result=%7 hex=%8")
                           .arg(datagram.senderAddress().toString())
                           .arg(datagram.senderPort())
                           .arg(datagram.destinationAddress().toString())
                           .arg(ReplyPort)
                           .arg(interfaceName(index))
                           .arg(bytes.size())
                           .arg(QLatin1String(result), QString::fromLatin1(bytes.toHex())));
        if (r)
            emit replyReceived(*r);
    }
}

} // namespace Cli
