// SPDX-License-Identifier: MIT
//
// What 'doctor' looks at besides a search: the state of each interface, and
// the datagrams to the reply port on the wire, seen by a packet socket before
// any firewall of this computer can drop them.
#pragma once

#include <QHash>
#include <QList>
#include <QObject>
#include <QString>

#include "discovery.h"
#include "firewall.h"
#include "host.h"
#include "system.h"

namespace Cli {

// The engine's names are this program's words.
using namespace Core;

// One finding of the doctor: what was checked, on what, and the verdict; for
// a problem the fix in words and, where there is one, the command.
struct Check {
    enum Verdict { Ok, Problem, CannotTell };
    QString check, subject;
    Verdict verdict = Ok;
    QString detail, fix, command;
};
// "ok", "problem", "cannot tell": as text and JSON write them.
QString verdictText(Check::Verdict v);
// Whether any check found a problem.
bool anyProblem(const QList<Check> &checks);

struct InterfaceState {
    QString name;
    int index = 0;
    bool up = false;
    bool carrier = false; // the link is running: a cable, a peer
    bool loopback = false;
    struct Address {
        Discovery::Ipv4 ip;
        int prefix = 0;
        Discovery::Ipv4 broadcast; // zero: none
    };
    QList<Address> ipv4;
};
QList<InterfaceState> interfaceStates();

// doctor's rules, each a table read from the top: the first row that
// applies gives the check.
template <class Facts> struct Rule {
    bool (*applies)(const Facts &);
    Check (*check)(const Facts &);
};
template <class Facts, std::size_t N> Check firstRule(const Rule<Facts> (&rules)[N], const Facts &f)
{
    for (const Rule<Facts> &r : rules)
        if (r.applies(f))
            return r.check(f);
    return Check{};
}

// One interface, and the valid replies that came in on it.
struct InterfaceFacts {
    InterfaceState state;
    int replies = 0;
};
Check judgeInterface(const InterfaceFacts &f);

// What came in on one interface (0: unknown) on the reply port.
struct ArrivalFacts {
    QString interfaceName;
    int replies = 0, others = 0;
};
Check judgeArrivals(const ArrivalFacts &f);

// After the search: the datagrams to the reply port on the wire against
// those this program read, the kernel's discards meanwhile and the
// firewall's drops (read only when datagrams went missing).
struct WireFacts {
    QString watchError; // empty: the wire was watched
    int onWire = 0, taken = 0;
    QString where;                     // the interfaces they came in on
    qint64 checksum = -1, buffer = -1; // discarded meanwhile; -1: not told
    QList<FirewallDrop> drops;
    bool missing() const
    {
        return watchError.isEmpty() && onWire > taken;
    }
};
Check judgeWire(const WireFacts &f);

// UDP datagrams to one port, counted by the interface they came in on.
class WireWatch : public QObject {
    Q_OBJECT
public:
    using QObject::QObject;
    // False, with the system's reason, when it may not watch the wire
    // (a packet socket needs root or CAP_NET_RAW; Windows offers none).
    bool open(quint16 port, QString *error);
    const QHash<int, int> &seen() const
    {
        return m_seen;
    }

private:
    void read();

    Host::PacketWatch m_packets;
    quint16 m_port = 0;
    QHash<int, int> m_seen;
};

} // namespace Cli
