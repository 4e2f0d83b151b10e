// SPDX-License-Identifier: MIT
#include "replysocket.h"

#include <QUdpSocket>

#include <cerrno>
#include <cstring>

#include <netinet/in.h>
#include <sys/socket.h>

namespace ReplySocket {

void askForArrivalInterface(QUdpSocket &socket)
{
    // The socket is a dual-stack one.
    const int fd = int(socket.socketDescriptor());
    const int on = 1;
    setsockopt(fd, IPPROTO_IPV6, IPV6_RECVPKTINFO, &on, sizeof on);
    setsockopt(fd, IPPROTO_IP, IP_PKTINFO, &on, sizeof on);
}

// A peek for the interface, then Qt's own read: that is the fast path under
// a flood, but tells no interface.
qint64 read(QUdpSocket &socket, char *buffer, qint64 size, int *interfaceIndex)
{
    union {
        cmsghdr header;
        char bytes[CMSG_SPACE(sizeof(in6_pktinfo)) + CMSG_SPACE(sizeof(in_pktinfo))];
    } control;
    msghdr message{};
    message.msg_control = control.bytes;
    message.msg_controllen = sizeof control.bytes;
    *interfaceIndex = 0;
    if (recvmsg(int(socket.socketDescriptor()), &message, MSG_PEEK | MSG_DONTWAIT) < 0)
        return errno == EINTR && socket.hasPendingDatagrams() ? socket.readDatagram(buffer, size)
                                                              : -1;
    for (cmsghdr *c = CMSG_FIRSTHDR(&message); c; c = CMSG_NXTHDR(&message, c)) {
        if (c->cmsg_level == IPPROTO_IPV6 && c->cmsg_type == IPV6_PKTINFO) {
            in6_pktinfo info;
            std::memcpy(&info, CMSG_DATA(c), sizeof info);
            *interfaceIndex = int(info.ipi6_ifindex);
        } else if (c->cmsg_level == IPPROTO_IP && c->cmsg_type == IP_PKTINFO) {
            in_pktinfo info;
            std::memcpy(&info, CMSG_DATA(c), sizeof info);
            *interfaceIndex = info.ipi_ifindex;
        }
    }
    return socket.readDatagram(buffer, size);
}

} // namespace ReplySocket
