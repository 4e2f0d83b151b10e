// SPDX-License-Identifier: MIT
//
// Crafted receiver replies for the window's tests.
#pragma once

#include "discovery.h"

#include <QByteArray>
#include <QHostAddress>
#include <QUdpSocket>

#include <cstddef>
#include <cstring>

namespace Replies {

struct Device {
    QByteArray model = "Marlo";
    QByteArray serial = "MA1001";
    Discovery::Ipv4 ip{192, 0, 2, 10};
    quint16 port = 1024;
    quint8 status = 0;
    int size = 0; // 0: the record size of the model's layout
};

inline QByteArray reply(const Device &d)
{
    DiscoverHeader h{};
    std::memcpy(h.deviceName, d.model.constData(), std::min<size_t>(16, size_t(d.model.size())));
    std::memcpy(h.serialNumber, d.serial.constData(),
                std::min<size_t>(16, size_t(d.serial.size())));
    const bool config = Discovery::isConfigurableModel(h.deviceName);
    const int size =
        d.size ? d.size : int(config ? sizeof(DeviceConfigRecord) : sizeof(DeviceInfoRecord));
    Discovery::setU16(h.length, quint16(size));
    h.magic0 = Discovery::Magic0;
    h.magic1 = Discovery::Magic1;
    Discovery::setQuad(h.ipAddress, d.ip);
    Discovery::setU16(h.tcpPort, d.port);

    QByteArray out(int(sizeof(DeviceInfoRecord)), '\0');
    std::memcpy(out.data(), &h, sizeof h);
    out[int(config ? offsetof(DeviceConfigRecord, status) : offsetof(DeviceInfoRecord, status))] =
        char(d.status);
    return out.leftJustified(size, '\0', true);
}

// Sends as a receiver would: to the window's reply port, here on loopback.
inline void send(QUdpSocket &socket, const QByteArray &datagram)
{
    socket.writeDatagram(datagram, QHostAddress::LocalHost, Discovery::ReplyPort);
}

} // namespace Replies
