// SPDX-License-Identifier: MIT
//
// Where Qt itself asks for the arrival interface (Windows: WSARecvMsg with
// IP_PKTINFO), its datagram object tells it.
#include "replysocket.h"

#include <QNetworkDatagram>
#include <QUdpSocket>

#include <cstring>

namespace ReplySocket {

void askForArrivalInterface(QUdpSocket &) {}

qint64 read(QUdpSocket &socket, char *buffer, qint64 size, int *interfaceIndex)
{
    if (!socket.hasPendingDatagrams())
        return -1;
    const QNetworkDatagram datagram = socket.receiveDatagram(size);
    if (!datagram.isValid())
        return -1;
    const QByteArray data = datagram.data();
    std::memcpy(buffer, data.constData(), std::size_t(data.size()));
    *interfaceIndex = datagram.interfaceIndex() > 0 ? int(datagram.interfaceIndex()) : 0;
    return data.size();
}

} // namespace ReplySocket
