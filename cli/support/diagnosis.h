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
        quint32 ip = 0;
        int prefix = 0;
        quint32 broadcast = 0; // 0: none
    };
    QList<Address> ipv4;
};
QList<InterfaceState> interfaceStates();

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
