// SPDX-License-Identifier: MIT
#include "testnet.h"

#include <QByteArray>
#include <QFile>

#include <cstdio>
#include <cstdlib>
#include <sched.h>
#include <sys/wait.h>
#include <unistd.h>

namespace TestNet {

[[noreturn]] static void refuse(const char *why)
{
    std::fprintf(stderr,
                 "refusing to run: %s; run the tests through scripts/test.sh, which gives them a "
                 "private network namespace\n",
                 why);
    std::exit(2);
}

void ip(const QStringList &args)
{
    if (!tryIp(args)) {
        std::fprintf(stderr, "ip %s failed\n", qPrintable(args.join(QLatin1Char(' '))));
        std::exit(2);
    }
}

bool tryIp(const QStringList &args)
{
    QList<QByteArray> storage;
    for (const QString &a : args)
        storage.append(a.toLocal8Bit());
    std::vector<char *> argv;
    char name[] = "ip";
    argv.push_back(name);
    for (QByteArray &a : storage)
        argv.push_back(a.data());
    argv.push_back(nullptr);

    const pid_t pid = fork();
    if (pid == 0) {
        for (const char *path : {"/usr/sbin/ip", "/sbin/ip", "/usr/bin/ip", "/bin/ip"})
            execv(path, argv.data());
        _exit(127);
    }
    int status = 0;
    return pid > 0 && waitpid(pid, &status, 0) == pid && WIFEXITED(status) &&
           WEXITSTATUS(status) == 0;
}

bool udpPortBound(quint16 port)
{
    // "  sl  local_address rem_address ...": the local port is the hex after the
    // colon. A socket bound to QHostAddress::Any is an IPv6 one, listed in udp6.
    const QByteArray wanted = ':' + QByteArray::number(port, 16).toUpper().rightJustified(4, '0');
    for (const char *path : {"/proc/net/udp", "/proc/net/udp6"}) {
        QFile table(QString::fromLatin1(path));
        if (!table.open(QIODevice::ReadOnly))
            continue;
        const QList<QByteArray> lines = table.readAll().split('\n');
        for (qsizetype i = 1; i < lines.size(); ++i) {
            const QList<QByteArray> fields = lines[i].simplified().split(' ');
            if (fields.size() > 1 && fields[1].endsWith(wanted))
                return true;
        }
    }
    return false;
}

namespace {

QByteArray netNamespace(const QByteArray &pid)
{
    const QByteArray path = "/proc/" + pid + "/ns/net";
    char target[64] = {};
    const ssize_t n = readlink(path.constData(), target, sizeof target - 1);
    return n > 0 ? QByteArray(target, int(n)) : QByteArray();
}

} // namespace

bool moveLink(const QString &link, qint64 pid)
{
    const QByteArray own = netNamespace("self"), theirs = QByteArray::number(pid);
    const bool apart = whenTrue(
                           [&] {
                               const QByteArray ns = netNamespace(theirs);
                               return pid > 0 && !ns.isEmpty() && ns != own;
                           },
                           5000) > 0;
    if (apart)
        ip({"link", "set", link, "netns", QString::number(pid)});
    return apart;
}

void addPair(const Adapter &a)
{
    ip({"link", "add", a.name, "type", "veth", "peer", "name", a.name + "p"});
    ip({"addr", "add", a.address, "broadcast", "+", "dev", a.name});
    ip({"link", "set", a.name, "up"});
    ip({"link", "set", a.name + "p", "up"});
}

void isolate(const QList<Adapter> &adapters)
{
    if (unshare(CLONE_NEWNET) != 0)
        refuse("cannot create a private network namespace");
    ip({"link", "set", "lo", "up"});
    for (const Adapter &a : adapters)
        addPair(a);
    // The limited broadcast 255.255.255.255 needs a route to leave by.
    if (!adapters.isEmpty())
        ip({"route", "add", "default", "dev", adapters.constFirst().name});
}

} // namespace TestNet
