// SPDX-License-Identifier: MIT
//
// Where a receiver stands from this computer: whether its address lies in
// the subnets of the interface it answered on, came through a router, and
// how to reach one that is not reachable. Plain functions of what was heard,
// without sockets.
#pragma once

#include "receivers.h"

#include <QList>
#include <QString>

#include <functional>

namespace Core {

struct LocalSubnet {
    Discovery::Ipv4 address{};
    Discovery::Ipv4 mask{};
    QString interfaceName;
    int interfaceIndex = 0;
    bool loopback = false;
    Discovery::Ipv4 gateway{}; // of the default route through this interface, if any
};

// Whether a source lies in a subnet of both adapters: one LAN reached twice.
ReceiverList::OneLan oneLan(const QList<LocalSubnet> &subnets);

// What judging where a receiver stands needs besides its replies.
struct Surroundings {
    QList<LocalSubnet> subnets; // this computer's, loopback included
    // It answered a broadcast request (and not only one sent with --to).
    bool viaBroadcast = true;
    // Whether an address is this computer's; asked only when it matters.
    std::function<bool(Discovery::Ipv4)> isOwnAddress;
    QList<Discovery::Ipv4> taken; // addresses of the other receivers heard
    int rank = 0;                 // receivers before it offered a free address: each gets its own
    bool explain = false;         // also say why, and how to reach one that is not reachable
};

// Whether every reply came from outside the subnets of the interface it came
// in on: from a receiver with a wrong address on that wire, or through a router.
bool answeredFromOutside(const QList<ReceiverList::Arrival> &arrivals,
                         const QList<LocalSubnet> &subnets);

// Judged over every way the receiver's replies came in (`arrivals`; none:
// the reply `r` itself): routed when no broadcast reached it and its replies
// came from outside; otherwise reachable when its IP lies in the subnets of
// an interface it answered on, or is this computer's own.
Reach reachOf(const Receiver &r, const QList<ReceiverList::Arrival> &arrivals,
              const Surroundings &around);

// Subnet arithmetic on masks as receivers report them: any 32 bits.
bool contiguous(Discovery::Ipv4 mask);
int prefixLength(Discovery::Ipv4 mask);
// "192.0.2.0/24", or "192.0.2.0 mask 255.0.255.0" for a mask with a gap.
QString subnetText(Discovery::Ipv4 address, Discovery::Ipv4 mask);

} // namespace Core
