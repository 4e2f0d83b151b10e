// SPDX-License-Identifier: MIT
//
// This computer's side of a search: where the requests go, its subnets and
// default gateways, and whether an address is its own.
#pragma once

#include "checks.h"
#include "exchange.h"

#include <QList>
#include <QString>

namespace Cli {

struct SearchOptions {
    int timeoutMs = Discovery::SearchWindowMs;
    int retries = 0;
    int expect = 0; // 0: listen for the whole window
    bool alsoLimited = false;
    QString interfaceName;     // empty: every interface
    QList<Discovery::Quad> to; // --to: also asked through the routing table
    QStringList models;        // --model: hear only these
};

struct Setup {
    QList<Destination> destinations;
    QString error; // a bad --interface
};
// The broadcast address of every IPv4 address of every interface that is up
// (or of the one named), the --to addresses and the limited broadcast.
Setup destinations(const SearchOptions &s);

QList<LocalSubnet> localSubnets(bool withLoopback);

// An address this computer holds, as an address entry or a local route: it
// can bind a socket to it.
bool isOwnAddress(quint32 ip);

} // namespace Cli
