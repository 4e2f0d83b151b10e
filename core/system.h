// SPDX-License-Identifier: MIT
//
// The operating system's services that the exchange and its advice need
// beyond Qt, behind one interface with one source file per system (Linux,
// Windows, and a portable one of Qt and POSIX for every other). Where a
// system has no counterpart, the answer says so ("cannot tell") and the
// caller tells the user; nothing above this file asks which system it runs on.
#pragma once

#include "discovery.h"

#include <QHash>
#include <QPair>
#include <QString>

#include <vector>

#include <QNetworkInterface>

namespace Core::System {

// Who holds a UDP port of this computer, as the system tells it: "process
// 1234 (vantrel-cli find)"; empty when nobody does. `pid` gets its number, or
// 0 when the holder is a process this user may not see.
QString portHolder(quint16 port, qint64 *pid = nullptr);

// An interface's name as its user knows it: the kernel's bytes as UTF-8 on
// Linux, the friendly name on Windows.
QString interfaceName(const QNetworkInterface &i);

// The gateway of the default route through each interface, by index.
QHash<int, Discovery::Ipv4> defaultGateways();

// The IPv4 addresses of hosts that answered this computer's address
// resolution: its neighbour table's complete entries, on every interface.
QList<Discovery::Ipv4> neighbours();

// Whether this IPv4 address is this computer's, as an address entry or (on
// Linux) a local route: a socket can be bound to it. `probe` is a socket
// kept between calls (-1: none yet); closeProbe() ends it.
bool canBind(Discovery::Ipv4 ip, qintptr &probe);
void closeProbe(qintptr probe);

// Reading many datagrams per system call off a UDP socket.
struct Datagram {
    const char *data;
    int size;
    quint32 from; // 0 for an IPv6 sender
    quint16 fromPort;
    quint32 to;         // the address it was sent to; 0 when unknown
    int interfaceIndex; // where it came in; 0 when unknown
};
class BatchReader {
public:
    // Whether this system has such a call; Qt's own read path serves where not.
    static bool available();
    // Asks the socket (IPv4, or dual-stack) to tell each datagram's
    // interface and destination.
    BatchReader(qintptr socket, std::size_t bufferSize);
    // One call: what is waiting, up to Batch datagrams, each cut to the
    // buffer size; they stay valid until the next call.
    static constexpr int Batch = 64;
    int read(Datagram *out);

private:
    qintptr m_socket;
    std::size_t m_bufferSize;
    std::vector<char> m_buffers;
};

// The commands a person runs to mend what doctor and show find, in this
// system's own terms, with words from the network quoted for its shell.
namespace Fix {
// A word this system's shell takes as it is, quoted where it must be.
QString shellWord(const QString &word);
// How that shell calls vantrel-cli: by name where it is on the search path,
// else by its full path.
QString cli();
// Where a printed command runs, when it is not the shell doctor ran in:
// " in PowerShell as administrator", or empty.
QString shellNote(const QString &command);
QString bringUp(const QString &interfaceName);
// `address` and `prefix` may be placeholders such as ADDRESS and PREFIX.
QString addAddress(const QString &address, const QString &prefix, const QString &interfaceName);
QString allowReplies(quint16 port);
// What shows the firewall's rules.
QString listFirewall();
QString listAddresses();
// How the system would send to `address`: the route and interface it takes.
QString routeTo(const QString &address);
QString endProcess(qint64 pid);
// How to learn which process holds a UDP port when this user may not see it.
QString nameHolder(quint16 port);
// As the administrator: with sudo for a user on Linux, as it is for root.
QString asAdministrator(const QString &command);
// Several commands as one line for the administrator, each after the one before succeeded.
QString allOf(const QStringList &commands);
// What lets doctor see the wire when it cannot: the advice and its command.
QPair<QString, QString> watchWire();
} // namespace Fix

} // namespace Core::System
