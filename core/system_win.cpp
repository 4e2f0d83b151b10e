// SPDX-License-Identifier: MIT
// Winsock must come before anything that includes windows.h; the IP helper's
// newer tables need Vista's API level (_WIN32_WINNT, set in CMakeLists.txt).
#include <winsock2.h>
// Before the IP helper: its tables of routes are declared only after it.
#include <ws2ipdef.h>

#include "system.h"

#include "receivers.h"

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <QNetworkInterface>

#include <iphlpapi.h>
#include <netioapi.h>
#include <windows.h>

#include <vector>

namespace Core::System {

QString portHolder(quint16 port, qint64 *holder)
{
    // The system's UDP table with the owning process of each socket.
    ULONG size = 0;
    GetExtendedUdpTable(nullptr, &size, FALSE, AF_INET, UDP_TABLE_OWNER_PID, 0);
    std::vector<char> buffer(size);
    auto *table = reinterpret_cast<MIB_UDPTABLE_OWNER_PID *>(buffer.data());
    if (size == 0 ||
        GetExtendedUdpTable(table, &size, FALSE, AF_INET, UDP_TABLE_OWNER_PID, 0) != NO_ERROR)
        return QString();
    for (DWORD i = 0; i < table->dwNumEntries; ++i) {
        const MIB_UDPROW_OWNER_PID &row = table->table[i];
        if (ntohs(u_short(row.dwLocalPort)) != port)
            continue;
        if (holder)
            *holder = qint64(row.dwOwningPid);
        QString name;
        if (HANDLE process =
                OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, row.dwOwningPid)) {
            wchar_t path[MAX_PATH];
            DWORD length = MAX_PATH;
            if (QueryFullProcessImageNameW(process, 0, path, &length))
                name = QFileInfo(QString::fromWCharArray(path, int(length))).fileName();
            CloseHandle(process);
        }
        return name.isEmpty() ? QStringLiteral("process %1").arg(row.dwOwningPid)
                              : QStringLiteral("process %1 (%2)")
                                    .arg(row.dwOwningPid)
                                    .arg(displayText(name.toLatin1()));
    }
    return QString();
}

QString interfaceName(const QNetworkInterface &i)
{
    return i.humanReadableName();
}

QHash<int, Discovery::Ipv4> defaultGateways()
{
    QHash<int, Discovery::Ipv4> gateways;
    MIB_IPFORWARD_TABLE2 *table = nullptr;
    if (GetIpForwardTable2(AF_INET, &table) != NO_ERROR)
        return gateways;
    for (ULONG i = 0; i < table->NumEntries; ++i) {
        const MIB_IPFORWARD_ROW2 &row = table->Table[i];
        const quint32 gateway = ntohl(row.NextHop.Ipv4.sin_addr.s_addr);
        if (row.DestinationPrefix.PrefixLength == 0 && gateway != 0)
            gateways.insert(int(row.InterfaceIndex), Discovery::Ipv4(gateway));
    }
    FreeMibTable(table);
    return gateways;
}

QList<Discovery::Ipv4> neighbours()
{
    QList<Discovery::Ipv4> hosts;
    MIB_IPNET_TABLE2 *table = nullptr;
    if (GetIpNetTable2(AF_INET, &table) != NO_ERROR)
        return hosts;
    for (ULONG i = 0; i < table->NumEntries; ++i) {
        const MIB_IPNET_ROW2 &row = table->Table[i];
        if (row.State != NlnsUnreachable && row.State != NlnsIncomplete)
            hosts << Discovery::Ipv4(ntohl(row.Address.Ipv4.sin_addr.s_addr));
    }
    FreeMibTable(table);
    return hosts;
}

// The address entries, not a bind: Wine binds an address that is not the
// computer's as if it were.
bool canBind(Discovery::Ipv4 ip, qintptr &)
{
    return QNetworkInterface::allAddresses().contains(QHostAddress(ip.value()));
}

void closeProbe(qintptr) {}

bool BatchReader::available()
{
    return false;
}

BatchReader::BatchReader(qintptr socket, std::size_t bufferSize)
    : m_socket(socket), m_bufferSize(bufferSize)
{
}

int BatchReader::read(Datagram *)
{
    return 0;
}

namespace Fix {

// A PowerShell string: single quotes, each one inside doubled.
QString shellWord(const QString &w)
{
    return QLatin1Char('\'') + QString(w).replace(QLatin1Char('\''), QStringLiteral("''")) +
           QLatin1Char('\'');
}

// The installer leaves PATH alone unless asked; the full path works either way.
QString cli()
{
    const QString folder = QDir::toNativeSeparators(QCoreApplication::applicationDirPath());
    const QStringList path =
        QString::fromLocal8Bit(qgetenv("PATH")).split(QLatin1Char(';'), Qt::SkipEmptyParts);
    for (const QString &p : path)
        if (QDir::toNativeSeparators(QDir::cleanPath(p)).compare(folder, Qt::CaseInsensitive) == 0)
            return QStringLiteral("vantrel-cli");
    return QStringLiteral("& ") +
           shellWord(QDir::toNativeSeparators(QCoreApplication::applicationFilePath()));
}

// The commands are PowerShell's; those that change the network need an
// administrator.
QString shellNote(const QString &command)
{
    for (const char *verb : {"New-NetFirewallRule", "New-NetIPAddress", "Enable-NetAdapter"})
        if (command.startsWith(QLatin1String(verb)))
            return QStringLiteral(" in PowerShell as administrator");
    return QStringLiteral(" in PowerShell");
}

QString bringUp(const QString &interfaceName)
{
    return QStringLiteral("Enable-NetAdapter -Name %1").arg(shellWord(interfaceName));
}

QString addAddress(const QString &address, const QString &prefix, const QString &interfaceName)
{
    return QStringLiteral("New-NetIPAddress -InterfaceAlias %1 -IPAddress %2 -PrefixLength %3")
        .arg(shellWord(interfaceName), address, prefix);
}

// For this program only, named as the installer names its rule, so that
// the uninstaller removes it.
QString allowReplies(quint16 port)
{
    return QStringLiteral("New-NetFirewallRule -DisplayName 'vantrel-cli replies (UDP %1)' "
                          "-Direction Inbound -Protocol UDP -LocalPort %1 -Program %2 "
                          "-Action Allow")
        .arg(QString::number(port),
             shellWord(QDir::toNativeSeparators(QCoreApplication::applicationFilePath())));
}

QString nameHolder(quint16 port)
{
    return QStringLiteral("Get-NetUDPEndpoint -LocalPort %1 | Select-Object OwningProcess")
        .arg(port);
}

QString listFirewall()
{
    return QStringLiteral("Get-NetFirewallRule -Enabled True -Direction Inbound");
}

QString listAddresses()
{
    return QStringLiteral("ipconfig");
}

QString routeTo(const QString &address)
{
    return QStringLiteral("Find-NetRoute -RemoteIPAddress ") + address;
}

QString endProcess(qint64 pid)
{
    return QStringLiteral("Stop-Process -Id %1").arg(pid);
}

// Windows has no sudo: the same command from a prompt run as administrator.
QString asAdministrator(const QString &command)
{
    return command;
}

QString allOf(const QStringList &commands)
{
    return commands.join(QStringLiteral("; "));
}

// Nothing lets it see the wire here: what it can say is where replies stop.
QPair<QString, QString> watchWire()
{
    return {QStringLiteral("make sure Windows Firewall lets UDP %1 in (the installer adds "
                           "such a rule for both programs)")
                .arg(Discovery::ReplyPort),
            allowReplies(Discovery::ReplyPort)};
}

} // namespace Fix

} // namespace Core::System
