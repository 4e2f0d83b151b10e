// SPDX-License-Identifier: MIT
//
// Network isolation for tests. The program broadcasts on every interface of
// the host, so a test that touches the network first moves its whole process
// into a network namespace of its own, with veth pairs carrying addresses from
// the documentation ranges. It refuses to run when that cannot be done.
#pragma once

#include <QCoreApplication>
#include <QDateTime>
#include <QElapsedTimer>
#include <QString>
#include <QStringList>
#include <QThread>

namespace TestNet {

struct Adapter {
    QString name;    // e.g. "vt0"; its peer is named name + "p"
    QString address; // e.g. "192.0.2.1/24"
};

// Must run first thing in main, before any thread exists.
void isolate(const QList<Adapter> &adapters);

// Runs `ip` with the arguments inside the namespace; fails the process on error.
void ip(const QStringList &args);
// The same, for a step that may find its work done: whether it succeeded.
bool tryIp(const QStringList &args);

// Adds the veth pair, its address and both ends up. A pair whose peer went to
// another namespace dies with it; a test that moves one builds it anew.
void addPair(const Adapter &adapter);

// Moves this namespace's veth end `link` into the namespace of process
// `pid`, once that process has one of its own (it may not have unshared yet).
// False when it does not within a few seconds.
bool moveLink(const QString &link, qint64 pid);

// Whether any socket of the namespace is bound to this UDP port, as the kernel
// lists it in /proc/net/udp: what a test waits on instead of sleeping.
bool udpPortBound(quint16 port);

// Runs the event loop until `done` holds, looking about every half millisecond
// (QTRY_* looks every 50). Returns the wall clock, in milliseconds since the
// epoch as the programs' logs have it, when it was first seen to hold; -1 if
// it did not within `timeoutMs`.
template <typename Done> qint64 whenTrue(Done done, int timeoutMs = 10000)
{
    QElapsedTimer clock;
    clock.start();
    while (!done()) {
        if (clock.elapsed() > timeoutMs)
            return -1;
        QCoreApplication::processEvents();
        QThread::usleep(500);
    }
    return QDateTime::currentMSecsSinceEpoch();
}

// Whether the programs were built with Linux's services, which print Linux's
// commands and name a port's holder; the portable build's cannot.
inline bool linuxServices()
{
    return qstrcmp(VANTREL_SYSTEM, "linux") == 0;
}

} // namespace TestNet

// main() for a test that needs the network: a private namespace, then QTest.
#define VANTREL_NET_TEST_MAIN(TestClass, ...)                                                      \
    int main(int argc, char **argv)                                                                \
    {                                                                                              \
        TestNet::isolate(__VA_ARGS__);                                                             \
        QApplication app(argc, argv);                                                              \
        TestClass tc;                                                                              \
        QTEST_SET_MAIN_SOURCE_PATH                                                                 \
        return QTest::qExec(&tc, argc, argv);                                                      \
    }
