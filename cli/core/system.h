// SPDX-License-Identifier: MIT
//
// The operating system's services that vantrel-cli's engine needs beyond Qt,
// behind one interface with one source file per system. Where a system has
// no counterpart, the answer says so ("cannot tell") and the caller tells
// the user; nothing above this file asks which system it runs on.
#pragma once

#include <QFile>
#include <QHash>
#include <QPair>
#include <QString>

#include <functional>
#include <vector>

#include <QNetworkInterface>

namespace Cli::System {

// Who holds a UDP port of this computer, as the system tells it: "process
// 1234 (vantrel-cli find)"; empty when nobody does. `pid` gets its number, or
// 0 when the holder is a process this user may not see.
QString portHolder(quint16 port, qint64 *pid = nullptr);

// The firewall's ruleset as 'nft -j list ruleset' writes it; empty where
// there is none to read (no nft, no permission, another system).
QByteArray firewallRuleset();

// UDP datagrams the system discarded before any socket got them, counted
// since it started; -1 where it does not say.
struct UdpDiscards {
    qint64 checksum = -1; // a bad UDP checksum
    qint64 buffer = -1;   // a full receive buffer
};
UdpDiscards udpDiscards();

// An interface's name as its user knows it: the kernel's bytes as UTF-8 on
// Linux, the friendly name on Windows.
QString interfaceName(const QNetworkInterface &i);

// The gateway of the default route through each interface, by index.
QHash<int, quint32> defaultGateways();

// The IPv4 addresses of hosts that answered this computer's address
// resolution: its neighbour table's complete entries, on every interface.
QList<quint32> neighbours();

// Whether this IPv4 address is this computer's, as an address entry or (on
// Linux) a local route: a socket can be bound to it. `probe` is a socket
// kept between calls (-1: none yet); closeProbe() ends it.
bool canBind(quint32 ip, qintptr &probe);
void closeProbe(qintptr probe);

// Whether `path` is the file that descriptor `fd` (0, 1 or 2) has open,
// such as /dev/stdout; false where the system cannot tell.
bool isStream(const QString &path, int fd);

// Opens `path` for writing when it is a FIFO: only when something reads it,
// which otherwise would hold the run before anything is sent. Returns false
// with `handled` false when it is no FIFO (or the system has none).
bool openFifo(QFile &file, const QString &path, QIODevice::OpenMode mode, QString *error,
              bool *handled);

// Reading many datagrams per system call off a UDP socket.
struct Datagram {
    const char *data;
    int size;
    quint32 from;
    quint16 fromPort;
    quint32 to;         // the address it was sent to; 0 when unknown
    int interfaceIndex; // where it came in; 0 when unknown
};
class BatchReader {
public:
    // Whether this system has such a call; Qt's own read path serves where not.
    static bool available();
    // Asks the socket to tell each datagram's interface and destination.
    explicit BatchReader(qintptr socket);
    // Reads up to `max` waiting datagrams (each cut to `bufferSize`), handing
    // each to `take` until it returns false. Returns how many it read.
    int read(int max, std::size_t bufferSize, const std::function<bool(const Datagram &)> &take);

private:
    qintptr m_socket;
    std::vector<char> m_buffers;
};

// UDP datagrams to one port as they arrive on the wire, before any firewall
// of this computer, counted by interface index.
class PacketWatch {
public:
    PacketWatch() = default;
    PacketWatch(const PacketWatch &) = delete;
    PacketWatch &operator=(const PacketWatch &) = delete;
    ~PacketWatch();
    // False, with the reason, where it may not watch (root or CAP_NET_RAW on
    // Linux) or the system offers no such view: then it cannot tell.
    bool open(QString *error);
    qintptr descriptor() const
    {
        return m_fd;
    }
    // Reads what is waiting; `seen` gets the interface of each datagram to `port`.
    void read(quint16 port, const std::function<void(int interfaceIndex)> &seen);

private:
    qintptr m_fd = -1;
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

} // namespace Cli::System
