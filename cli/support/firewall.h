// SPDX-License-Identifier: MIT
//
// Which chains of an nftables ruleset drop a UDP datagram to one port, read
// from 'nft -j list ruleset', and the command that lets it in where it is
// dropped: in that chain, or through ufw or firewalld where they manage it.
// Plain functions of the ruleset's text.
#pragma once

#include <QByteArray>
#include <QList>
#include <QString>

namespace Cli {

struct FirewallDrop {
    QString family, table, chain; // the base chain the datagram enters
    QString by;                   // "rule in CHAIN" or "policy"
    QString manager;              // "ufw", "firewalld" or empty: nft itself
    QString command;              // what lets the datagram in there, as the administrator
};

// Each base chain on the input path whose rules or policy drop (or reject) a
// new UDP datagram to `port` arriving on a network interface.
QList<FirewallDrop> firewallDrops(const QByteArray &nftJson, quint16 port);

} // namespace Cli
