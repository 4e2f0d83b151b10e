// SPDX-License-Identifier: MIT
#include "capture.h"
#include "logfile.h"

#include "system.h"

#include <QNetworkInterface>
#include <QNetworkProxy>
#include <QUdpSocket>

#include <chrono>
#include <cstring>

namespace Cli {

namespace {

constexpr quint32 SectionHeader = 0x0A0D0D0A;
constexpr quint32 InterfaceDescription = 1;
constexpr quint32 EnhancedPacket = 6;
constexpr quint16 LinkTypeRaw = 101; // raw IPv4, no link-layer head
constexpr quint16 OptionName = 2;    // if_name

void put16(QByteArray &b, quint16 v)
{
    b.append(reinterpret_cast<const char *>(&v), 2);
}

void put32(QByteArray &b, quint32 v)
{
    b.append(reinterpret_cast<const char *>(&v), 4);
}

void pad(QByteArray &b)
{
    while (b.size() % 4)
        b.append('\0');
}

// A block: type, length, body, length again; pcapng is read in the byte
// order the section header's magic shows, so the host's order serves.
QByteArray block(quint32 type, const QByteArray &body)
{
    QByteArray b;
    const quint32 length = quint32(12 + body.size());
    put32(b, type);
    put32(b, length);
    b += body;
    put32(b, length);
    return b;
}

quint16 checksum(const unsigned char *head, int size)
{
    quint32 sum = 0;
    for (int i = 0; i + 1 < size; i += 2)
        sum += quint32(head[i] << 8 | head[i + 1]);
    while (sum >> 16)
        sum = (sum & 0xFFFF) + (sum >> 16);
    return quint16(~sum);
}

// The address a datagram to `to` leaves from, as the routing table chooses.
quint32 sourceFor(const QHostAddress &to, int interfaceIndex)
{
    if (interfaceIndex > 0)
        for (const QNetworkAddressEntry &e :
             QNetworkInterface::interfaceFromIndex(interfaceIndex).addressEntries())
            if (e.ip().protocol() == QAbstractSocket::IPv4Protocol)
                return e.ip().toIPv4Address();
    QUdpSocket probe;
    probe.setProxy(QNetworkProxy::NoProxy);
    probe.connectToHost(to, 9);
    return probe.localAddress().toIPv4Address();
}

} // namespace

bool Capture::open(const QString &path, QString *error)
{
    if (!openOutput(m_file, path, {}, error))
        return false;
    QByteArray body;
    put32(body, 0x1A2B3C4D); // byte-order magic
    put16(body, 1);          // version 1.0
    put16(body, 0);
    put32(body, 0xFFFFFFFF); // section length: not given
    put32(body, 0xFFFFFFFF);
    write(block(SectionHeader, body)); // a failure is told as any later one
    return true;
}

int Capture::interfaceId(int index)
{
    const auto known = m_interfaces.constFind(index);
    if (known != m_interfaces.constEnd())
        return *known;
    const QString name =
        index > 0 ? Core::System::interfaceName(QNetworkInterface::interfaceFromIndex(index))
                  : QStringLiteral("any");
    QByteArray body;
    put16(body, LinkTypeRaw);
    put16(body, 0);
    put32(body, 0); // no snapshot limit
    const QByteArray text = name.toUtf8();
    put16(body, OptionName);
    put16(body, quint16(text.size()));
    body += text;
    pad(body);
    put32(body, 0); // end of options
    write(block(InterfaceDescription, body));
    const int id = int(m_interfaces.size());
    m_interfaces.insert(index, id);
    return id;
}

void Capture::sent(const QByteArray &payload, quint16 fromPort, const QHostAddress &to,
                   quint16 toPort, int interfaceIndex)
{
    if (isOpen())
        packet(payload, sourceFor(to, interfaceIndex), fromPort, to.toIPv4Address(), toPort,
               interfaceIndex);
}

void Capture::received(const QByteArray &payload, const QHostAddress &from, quint16 fromPort,
                       const QHostAddress &to, quint16 toPort, int interfaceIndex)
{
    if (isOpen())
        packet(payload, from.toIPv4Address(), fromPort, to.toIPv4Address(), toPort, interfaceIndex);
}

void Capture::packet(const QByteArray &payload, quint32 from, quint16 fromPort, quint32 to,
                     quint16 toPort, int interfaceIndex)
{
    // A datagram's payload is at most 65507 bytes, so the sizes fit their fields.
    const int size = 28 + int(payload.size());
    unsigned char head[28] = {0x45, 0, quint8(size >> 8), quint8(size), 0, 0, 0x40, 0, 64, 17};
    const quint32 addresses[2] = {from, to};
    for (int a = 0; a < 2; ++a)
        for (int i = 0; i < 4; ++i)
            head[12 + a * 4 + i] = quint8(addresses[a] >> (24 - 8 * i));
    const quint16 sum = checksum(head, 20);
    head[10] = quint8(sum >> 8);
    head[11] = quint8(sum);
    const int udp = size - 20;
    const unsigned char ports[8] = {quint8(fromPort >> 8),
                                    quint8(fromPort),
                                    quint8(toPort >> 8),
                                    quint8(toPort),
                                    quint8(udp >> 8),
                                    quint8(udp),
                                    0,
                                    0}; // no UDP checksum: allowed in IPv4
    std::memcpy(head + 20, ports, sizeof ports);

    const int id = interfaceId(interfaceIndex);
    const quint64 micros = quint64(std::chrono::duration_cast<std::chrono::microseconds>(
                                       std::chrono::system_clock::now().time_since_epoch())
                                       .count());
    QByteArray body;
    put32(body, quint32(id));
    put32(body, quint32(micros >> 32));
    put32(body, quint32(micros));
    put32(body, quint32(size));
    put32(body, quint32(size));
    body.append(reinterpret_cast<const char *>(head), sizeof head);
    body += payload;
    pad(body);
    write(block(EnhancedPacket, body));
}

void Capture::write(const QByteArray &bytes)
{
    if (m_file.isOpen())
        writeOutput(m_file, bytes, onFailure);
}

} // namespace Cli
