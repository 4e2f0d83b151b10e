// SPDX-License-Identifier: MIT
//
// What Linux and the portable build share: POSIX calls and a POSIX shell.
#include "system.h"

#include <QRegularExpression>

#include <algorithm>

#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

namespace Core::System {

bool canBind(Discovery::Ipv4 ip, qintptr &probe)
{
    if (probe < 0) {
        // macOS has no SOCK_CLOEXEC.
        probe = socket(AF_INET, SOCK_DGRAM, 0);
        if (probe >= 0)
            fcntl(int(probe), F_SETFD, FD_CLOEXEC);
    }
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(ip.value());
    const bool own =
        probe >= 0 && bind(int(probe), reinterpret_cast<const sockaddr *>(&a), sizeof a) == 0;
    if (own) { // bound now: the next address needs a socket of its own
        close(int(probe));
        probe = -1;
    }
    return own;
}

void closeProbe(qintptr probe)
{
    if (probe >= 0)
        close(int(probe));
}

namespace Fix {

QString shellWord(const QString &w)
{
    static const QRegularExpression plain(QStringLiteral("^[A-Za-z0-9._:/@%+=,-]+$"));
    if (plain.match(w).hasMatch())
        return w;
    const auto isControl = [](QChar c) {
        return c.unicode() < 0x20 || (c.unicode() >= 0x7F && c.unicode() < 0xA0);
    };
    const bool control = std::any_of(w.begin(), w.end(), isControl);
    if (!control)
        return QLatin1Char('\'') + QString(w).replace(QLatin1Char('\''), QStringLiteral("'\\''")) +
               QLatin1Char('\'');
    // Control bytes would act on the terminal that shows the line: written
    // as escapes that bash and zsh read back as the bytes.
    QString out = QStringLiteral("$'");
    for (const QChar c : w) {
        if (isControl(c))
            out += QStringLiteral("\\x%1").arg(c.unicode(), 2, 16, QLatin1Char('0'));
        else if (c == QLatin1Char('\\') || c == QLatin1Char('\''))
            out += QLatin1Char('\\') + c;
        else
            out += c;
    }
    return out + QLatin1Char('\'');
}

// The package puts it on the search path.
QString cli()
{
    return QStringLiteral("vantrel-cli");
}

QString shellNote(const QString &)
{
    return QString();
}

QString endProcess(qint64 pid)
{
    return QStringLiteral("kill %1").arg(pid);
}

// Root's shell may have no sudo; a user's needs it once.
QString asAdministrator(const QString &command)
{
    return geteuid() == 0 ? command : QStringLiteral("sudo ") + command;
}

QString allOf(const QStringList &commands)
{
    if (commands.size() < 2)
        return asAdministrator(commands.value(0));
    return asAdministrator(QStringLiteral("sh -c ") +
                           shellWord(commands.join(QStringLiteral(" && "))));
}

} // namespace Fix

} // namespace Core::System
