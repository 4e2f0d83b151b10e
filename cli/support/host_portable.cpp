// SPDX-License-Identifier: MIT
//
// Every system but Linux and Windows: no firewall ruleset, discard counters
// or view of the wire that this build can read.
#include "host.h"

namespace Cli::Host {

QByteArray firewallRuleset()
{
    return QByteArray();
}

UdpDiscards udpDiscards()
{
    return UdpDiscards();
}

PacketWatch::~PacketWatch() = default;

bool PacketWatch::open(QString *error)
{
    *error = QStringLiteral("this build has no view of the wire before the firewall");
    return false;
}

void PacketWatch::read(quint16, const std::function<void(int)> &) {}

} // namespace Cli::Host
