// SPDX-License-Identifier: MIT
#include "udp.h"

#include "discovery.h"

#include <QNetworkDatagram>
#include <QNetworkInterface>
#include <QNetworkProxy>
#include <QSocketNotifier>
#include <QUdpSocket>

#include <cerrno>
#include <cstring>

namespace Core {

bool bindReplyPort(QUdpSocket &socket, const QHostAddress &address, QAbstractSocket::BindMode mode)
{
    socket.setProxy(QNetworkProxy::NoProxy);
    if (!socket.bind(address, Discovery::ReplyPort, mode))
        return false;
    socket.setSocketOption(QAbstractSocket::ReceiveBufferSizeSocketOption, 4 << 20);
    return true;
}

bool sendTo(QUdpSocket &socket, const QByteArray &bytes, const Destination &to, QString *error)
{
    QNetworkDatagram datagram(bytes, to.address, Discovery::DevicePort);
    if (to.interfaceIndex > 0)
        datagram.setInterfaceIndex(uint(to.interfaceIndex));
    QUdpSocket *via = &socket;
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
    if (!sent && error)
        *error = errno ? QString::fromLocal8Bit(std::strerror(errno)) : via->errorString();
    return sent;
}

QNetworkInterface interfaceNamed(const QString &name)
{
    const QNetworkInterface byName = QNetworkInterface::interfaceFromName(name);
    if (byName.isValid())
        return byName;
    for (const QNetworkInterface &i : QNetworkInterface::allInterfaces())
        if (System::interfaceName(i) == name)
            return i;
    return QNetworkInterface();
}

Destination broadcastOn(const QString &interfaceName, QString *gone)
{
    Destination to{QHostAddress(QHostAddress::Broadcast), 0, QString()};
    gone->clear();
    if (interfaceName.isEmpty())
        return to;
    const QNetworkInterface now = interfaceNamed(interfaceName);
    if (!now.isValid())
        *gone = QStringLiteral("is gone");
    else if (!(now.flags() & QNetworkInterface::IsUp))
        *gone = QStringLiteral("is down");
    else {
        to.interfaceIndex = now.index();
        to.interfaceName = interfaceName;
        to.fromInterfaceAddress = !(now.flags() & QNetworkInterface::IsLoopBack);
    }
    return to;
}

QString InterfaceNames::operator()(int index) const
{
    if (index <= 0)
        return QString();
    const auto known = m_names.constFind(index);
    if (known != m_names.constEnd())
        return *known;
    // The name a user knows; Qt's own is "ethernet_3" on Windows.
    const QString name = System::interfaceName(QNetworkInterface::interfaceFromIndex(index));
    if (m_names.size() < 1024 && !name.isEmpty())
        m_names.insert(index, name);
    return name;
}

Reader::Reader(QUdpSocket &socket, QObject *parent) : QObject(parent), m_socket(socket)
{
    if (!System::BatchReader::available()) {
        connect(&socket, &QUdpSocket::readyRead, this, &Reader::readyRead);
        return;
    }
    // Nothing reads through Qt, so after its first readyRead Qt's own
    // notifier stays off; this one takes over.
    m_batches =
        std::make_unique<System::BatchReader>(socket.socketDescriptor(), Discovery::ReadBufferSize);
    m_notifier = new QSocketNotifier(socket.socketDescriptor(), QSocketNotifier::Read, this);
    connect(m_notifier, &QSocketNotifier::activated, this, &Reader::readyRead);
}

Reader::~Reader() = default;

int Reader::fill()
{
    if (m_batches)
        return m_batches->read(m_batch);
    int n = 0;
    for (; n < System::BatchReader::Batch; ++n) {
        // With its size given, Qt reads without a peek; a longer datagram is cut.
        const QNetworkDatagram d = m_socket.receiveDatagram(qint64(Discovery::ReadBufferSize));
        if (!d.isValid())
            break; // none waiting, or a failed read that dropped its datagram
        m_copies[n] = d.data();
        m_batch[n] = {m_copies[n].constData(),
                      int(m_copies[n].size()),
                      d.senderAddress().toIPv4Address(),
                      quint16(d.senderPort()),
                      d.destinationAddress().toIPv4Address(),
                      d.interfaceIndex() > 0 ? int(d.interfaceIndex()) : 0};
    }
    return n;
}

} // namespace Core
