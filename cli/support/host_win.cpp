// SPDX-License-Identifier: MIT
#include "host.h"

namespace Cli::Host {

// Named pipes are no files here: every path opens as one.
bool openFifo(QFile &, const QString &, QIODevice::OpenMode, QString *, bool *handled)
{
    *handled = false;
    return false;
}

PacketWatch::~PacketWatch() = default;

bool PacketWatch::open(QString *error)
{
    *error = QStringLiteral("Windows offers this program no view of the wire before its "
                            "firewall");
    return false;
}

void PacketWatch::read(quint16, const std::function<void(int)> &) {}

QByteArray firewallRuleset()
{
    return QByteArray(); // Windows Firewall keeps no nftables ruleset
}

UdpDiscards udpDiscards()
{
    return UdpDiscards(); // not told apart from other receive errors
}

// Windows has no /dev/stdout: a file name never names a standard stream.
bool isStream(const QString &, int)
{
    return false;
}

} // namespace Cli::Host
