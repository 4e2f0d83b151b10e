// SPDX-License-Identifier: MIT
//
// The receivers heard in one search, merged by serial number, and how their
// device text is shown safely.
#pragma once

#include "discovery.h"

#include <QByteArray>
#include <QHash>
#include <QHostAddress>
#include <QList>
#include <QString>
#include <QStringList>

#include <array>
#include <functional>
#include <optional>

namespace Core {

struct Receiver {
    DiscoverHeader head{};
    DeviceConfigRecord config{}; // filled for the configurable models
    DeviceInfoRecord info{};     // filled for every other model
    bool configurable = false;
    bool inUse = false;
    std::size_t size = 0; // bytes of the datagram
    QHostAddress from;
    quint16 fromPort = 0;
    int interfaceIndex = 0; // where the reply came in; 0 when unknown
    // Its name then: an adapter unplugged and plugged in again keeps its
    // name but gets a new index.
    QString interfaceName;
    bool local = false; // sent from one of this computer's own addresses

    QByteArray serial() const;
    Discovery::Ipv4 ip() const;
};

// What tells two units with one serial number apart: the address their
// replies come from, the address and port they report and, for the
// configurable models, their MAC address.
struct Identity {
    Discovery::Ipv4 ip{};
    quint16 port = 0;
    std::array<std::uint8_t, 6> mac{}; // display order; zero for other models
    Discovery::Ipv4 source;            // zero: this computer, whichever of its addresses
    bool operator==(const Identity &o) const
    {
        return ip == o.ip && port == o.port && mac == o.mac && source == o.source;
    }
};
Identity identityOf(const Receiver &r);
QString identityText(const Identity &id, bool withMac);
// "192.0.2.7 on eth1", "this computer on lo".
QString sourceText(bool local, const QHostAddress &from, const QString &interfaceName);

// A valid reply of at least the head's 56 bytes; nothing beyond a record's
// size is read.
std::optional<Receiver> parseReply(const QByteArray &datagram, const QHostAddress &from,
                                   int interfaceIndex);

// A row of the list is one unit: a serial number with the address, port
// and MAC it reports, answering from one source on one adapter. One source
// heard on two adapters is one unit only where it lies in a subnet of both
// (one LAN reached twice): two wires may each hold a clone.
class ReceiverList {
public:
    // Bounds memory and time when a network floods the reply port.
    static constexpr int MaxReceivers = 4096;
    static constexpr int MaxAddressesPerSerial = 16;

    // Whether `source` lies in a subnet of both adapters; without it, two
    // adapters are two wires.
    using OneLan = std::function<bool(Discovery::Ipv4 source, const QString &a, const QString &b)>;
    void setOneLan(OneLan oneLan)
    {
        m_oneLan = std::move(oneLan);
    }

    // Takes a reply in: a known unit keeps its place and gets the newest data.
    // Returns the row's index, or -1 when the list is full. `isNew` tells a
    // unit not heard before, `newIdentity` a new unit of a known serial.
    int add(const Receiver &r, bool *isNew = nullptr, bool *newIdentity = nullptr);
    bool overflowed() const
    {
        return m_overflowed;
    }
    const QList<Receiver> &all() const
    {
        return m_receivers;
    }
    // The first unit heard with this serial number.
    const Receiver *find(const QByteArray &serial) const;
    // The rows of every unit with this serial number.
    QList<int> units(const QByteArray &serial) const;
    // Serial numbers, exactly as sent, of the other receivers that report the
    // same IP address.
    QList<QByteArray> conflicts(int index) const;
    // Every identity this serial answered as, in the order first heard.
    QList<Identity> identities(const QByteArray &serial) const
    {
        return m_identities.value(serial);
    }
    // The earlier reply, when a later one of the same unit reported other
    // settings: a message built from either may not be what the unit has.
    const Receiver *changedFrom(const QByteArray &serial) const
    {
        const auto it = m_changedFrom.constFind(serial);
        return it == m_changedFrom.constEnd() ? nullptr : &*it;
    }
    bool duplicateSerial(const QByteArray &serial) const
    {
        return m_moreRows.contains(serial) || m_identities.value(serial).size() > 1;
    }
    // Where this serial's replies came in: interface and sender, each once.
    struct Arrival {
        int interfaceIndex = 0;
        QHostAddress from;
        QString interfaceName;
        bool local = false;
        bool operator==(const Arrival &o) const
        {
            return interfaceIndex == o.interfaceIndex && from == o.from &&
                   interfaceName == o.interfaceName;
        }
    };
    QList<Arrival> arrivals(const QByteArray &serial) const
    {
        return m_arrivals.value(serial);
    }

private:
    bool sameUnit(const Receiver &a, const Receiver &b) const;

    QList<Receiver> m_receivers;
    // serial -> its first unit's row; the rows of further units, rare, apart
    QHash<QByteArray, int> m_index;
    QHash<QByteArray, QList<int>> m_moreRows;
    QHash<QByteArray, QList<Identity>> m_identities; // serial -> units seen
    QHash<QByteArray, QList<Arrival>> m_arrivals;    // serial -> where replies came in
    QHash<QByteArray, Receiver> m_changedFrom;       // serial -> reply before a change
    // IP address -> indices, built when asked after a change, so that the
    // conflicts of a thousand receivers are not a million comparisons.
    mutable QHash<quint32, QList<int>> m_byIp;
    mutable bool m_byIpValid = false;
    bool m_overflowed = false;
    OneLan m_oneLan;
};

// Device text as it may be shown on a terminal: Latin-1, control characters
// replaced, so that a receiver cannot send escape sequences to the terminal.
QString displayText(const std::string &bytes);
QString displayText(const QByteArray &bytes);
// Serial numbers for a text line, defused.
QString displayList(const QList<QByteArray> &serials, const QString &separator);
// "a Marlo", "an Alto".
QString withArticle(const QString &name);
QString version(const std::uint8_t (&field)[2]);
QString quadString(Discovery::Ipv4 ip);
QString macText(const std::array<std::uint8_t, 6> &mac); // display order
QString macString(const DeviceConfigRecord &r);
QString onOffText(bool on);

// Where a receiver stands from this computer, judged by the interface its
// reply came in on.
struct Reach {
    // It answered only a request sent through the routing table (--to), from
    // beyond that interface's subnets: through a router.
    bool routed = false;
    // Its reported IP lies in one of that interface's subnets (every subnet
    // of this computer for a reply on loopback) or is this computer's own,
    // or it is routed.
    bool reachable = true;
    QString why;     // one sentence
    QString fix;     // for an unreachable one: what to do, with commands
    QString command; // the first of them, to run as it stands
};

} // namespace Core

// Plain records and Qt's own relocatable types: a growing list moves its
// receivers as bytes, not one copy each (1000 answers at once are common).
Q_DECLARE_TYPEINFO(Core::Receiver, Q_RELOCATABLE_TYPE);
