// SPDX-License-Identifier: MIT
//
// This computer's side of a search: where the requests go, its subnets and
// default gateways, and whether an address is its own.
#pragma once

#include "exchange.h"
#include "reach.h"

#include <QHash>
#include <QList>
#include <QNetworkInterface>
#include <QString>

namespace Core {

struct SearchOptions {
    int timeoutMs = Discovery::SearchWindowMs;
    int retries = 0;
    int expect = 0;            // 0: listen for the whole window
    bool directedOnly = false; // no 255.255.255.255, as the window asks
    QString interfaceName;     // empty: every interface
    QList<Discovery::Ipv4> to; // --to: also asked through the routing table
    QStringList models;        // --model: hear only these
    int settleMs = 0;          // --settle: end this long after the last new receiver
};

struct Setup {
    QList<Destination> destinations;
    QString error; // a bad --interface
};
// The broadcast address of every IPv4 address of every interface that is up
// (or of the one named), the limited broadcast out of each of them but
// loopback, and the --to addresses.
Setup destinations(const SearchOptions &s);

QList<LocalSubnet> localSubnets(bool withLoopback);

// Whether an address is this computer's, as an address entry or a local
// route: a socket can be bound to it. The system is asked once per address,
// with one socket for as long as the binds fail, so that a thousand
// receivers cost a thousand system calls and no more.
class OwnAddresses {
public:
    OwnAddresses() = default;
    OwnAddresses(const OwnAddresses &) = delete;
    OwnAddresses &operator=(const OwnAddresses &) = delete;
    ~OwnAddresses();
    bool contains(Discovery::Ipv4 ip);

private:
    QHash<quint32, bool> m_known; // by address
    qintptr m_probe = -1;         // a socket not bound yet
};

} // namespace Core
