// SPDX-License-Identifier: MIT
//
// The one place where the window asks the system which interface a reply
// came in on; one source file per system.
#pragma once

#include <QtGlobal>

class QUdpSocket;

namespace ReplySocket {

// Called once the socket is bound: each datagram is to tell where it came in.
void askForArrivalInterface(QUdpSocket &socket);

// Reads the next datagram into `buffer` (a longer one is cut to `size`) and
// sets `interfaceIndex` (0 where the system does not say). Returns its
// size, or -1 when none is waiting or the read failed.
qint64 read(QUdpSocket &socket, char *buffer, qint64 size, int *interfaceIndex);

} // namespace ReplySocket
