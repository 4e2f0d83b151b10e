// SPDX-License-Identifier: MIT
//
// Network isolation for tests. The program broadcasts on every interface of
// the host, so a test that touches the network first moves its whole process
// into a network namespace of its own, with veth pairs carrying addresses from
// the documentation ranges. It refuses to run when that cannot be done.
#pragma once

#include <QString>
#include <QStringList>

namespace TestNet {

struct Adapter {
    QString name;    // e.g. "vt0"; its peer is named name + "p"
    QString address; // e.g. "192.0.2.1/24"
};

// Must run first thing in main, before any thread exists.
void isolate(const QList<Adapter> &adapters);

// Runs `ip` with the arguments inside the namespace; fails the process on error.
void ip(const QStringList &args);

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
