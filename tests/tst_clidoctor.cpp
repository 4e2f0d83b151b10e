// SPDX-License-Identifier: MIT
//
// vantrel-cli doctor and --settle, with receivers in namespaces of their own
// at the far end of a veth pair, as real ones are.
#include "clirun.h"
#include "emulatorprocess.h"
#include "testnet.h"

#include <QApplication>
#include <QNetworkInterface>
#include <QRegularExpression>
#include <QStandardPaths>
#include <QTest>
#include <QUdpSocket>

#include <linux/capability.h>
#include <sys/prctl.h>

namespace {

// The report's verdict lines, without their fix and run lines.
QStringList verdicts(const QString &report)
{
    QStringList lines = report.split('\n', Qt::SkipEmptyParts);
    lines.removeIf([](const QString &l) { return l.startsWith(' '); });
    return lines;
}

QString nftPath()
{
    const QString found = QStandardPaths::findExecutable("nft");
    return found.isEmpty() ? QStandardPaths::findExecutable("nft", {"/usr/sbin", "/sbin"}) : found;
}

bool nft(const QString &rules)
{
    return QProcess::execute(nftPath(), {rules}) == 0;
}

} // namespace

class TestCliDoctor : public QObject {
    Q_OBJECT

    // A receiver alone on vt0's wire, answering from `address`; it hears the
    // wire's broadcasts whatever its address, as receivers do.
    std::unique_ptr<EmulatorProcess> onVt0(const QStringList &devices, const QString &address)
    {
        if (QNetworkInterface::interfaceFromName("vt0").isValid()) // the last test's, going
            TestNet::tryIp({"link", "del", "vt0"});
        TestNet::addPair({"vt0", "192.0.2.1/24"});
        QStringList args;
        for (const QString &d : devices)
            args << (d.startsWith("--") ? d.section(' ', 0, 0) : "--device")
                 << (d.startsWith("--") ? d.section(' ', 1) : d);
        auto emu = std::make_unique<EmulatorProcess>(
            args, EmulatorProcess::farEnd("vt0p", address + "/24",
                                          "ip route add broadcast 192.0.2.255 dev vt0p table "
                                          "local 2>/dev/null || true"));
        if (!emu->adopt("vt0p") || !emu->waitReady())
            return nullptr;
        return emu;
    }

private slots:
    void allWell()
    {
        const auto emu = onVt0({"model=Marlo,serial=OK1,ip=192.0.2.10,port=1024"}, "192.0.2.10");
        QVERIFY(emu);
        const Result r = cli({"doctor", "--timeout", "400"});
        QVERIFY2(r.code == 0, qPrintable(r.out + r.err));
        for (const QString &line : verdicts(r.out))
            QVERIFY2(line.startsWith("ok "), qPrintable(r.out));
        QVERIFY2(r.out.contains("ok          receiver OK1 (Marlo) at 192.0.2.10:1024: "),
                 qPrintable(r.out));
        QVERIFY(r.out.contains("ok          firewall: every datagram to UDP 48322"));
    }

    // A firewall of this computer drops the replies: told apart from a
    // receiver that is silent when the program may watch the wire.
    void firewall_data()
    {
        QTest::addColumn<bool>("privileged");
        QTest::addColumn<QString>("verdict");
        QTest::newRow("may watch the wire")
            << true
            << "problem     firewall vt0: 2 datagrams to UDP 48322 reached vt0 on the wire, but "
               "only 0 reached this program: a firewall on this computer drops them";
        QTest::newRow("may not")
            << false
            << "cannot tell firewall: cannot watch the wire for datagrams a firewall drops: "
               "Operation not permitted";
    }
    void firewall()
    {
        QFETCH(bool, privileged);
        QFETCH(QString, verdict);
        QVERIFY2(!nftPath().isEmpty(), "nft is missing: scripts/test.sh installs nftables");
        const auto emu = onVt0({"model=Marlo,serial=FW1,ip=192.0.2.10,port=1024"}, "192.0.2.10");
        QVERIFY(emu);
        QVERIFY(nft("add table inet vt; add chain inet vt input { type filter hook input "
                    "priority 0; }; add rule inet vt input udp dport 48322 drop"));
        const Result r = cli({"doctor", "--timeout", "400", "--interface", "vt0"}, [privileged] {
            if (!privileged)
                prctl(PR_CAPBSET_DROP, CAP_NET_RAW, 0, 0, 0);
        });
        QVERIFY(nft("delete table inet vt"));
        QCOMPARE(r.code, 2);
        QVERIFY2(r.out.contains(verdict + "\n"), qPrintable(r.out));
        QCOMPARE(r.out.contains("run: sudo nft insert rule inet filter input udp dport 48322 "
                                "accept\n"),
                 privileged);
    }

    // doctor and find name the process that holds the reply port.
    void portHeldByAnotherProcess()
    {
        QUdpSocket holder;
        QVERIFY(holder.bind(QHostAddress::AnyIPv4, 48322, QUdpSocket::DontShareAddress));
        const QString pid = QString::number(QCoreApplication::applicationPid());
        const QString who = "process " + pid + " (" + QCoreApplication::arguments().constFirst();
        Result r = cli({"doctor", "--timeout", "300"});
        QCOMPARE(r.code, 6);
        QVERIFY2(r.out.contains("problem     reply port 48322: UDP 48322 is held by " + who),
                 qPrintable(r.out));
        QVERIFY(r.out.contains("            run: kill " + pid + "\n"));
        r = cli({"find", "--timeout", "300"});
        QCOMPARE(r.code, 6);
        QVERIFY2(r.err.contains("the port is in use by " + who), qPrintable(r.err));
    }

    // An adapter without carrier, one that is down, then loopback alone.
    void idleAdapters()
    {
        TestNet::addPair({"vt1", "198.51.100.1/24"});
        TestNet::ip({"link", "set", "vt1p", "down"});
        Result r = cli({"doctor", "--timeout", "300"});
        QCOMPARE(r.code, 2);
        QVERIFY2(r.out.contains("problem     interface vt1: no carrier: no cable, or the other end "
                                "is off\n"),
                 qPrintable(r.out));
        QVERIFY(r.out.contains("problem     interface vt1p: down\n"));
        QVERIFY(r.out.contains("            run: sudo ip link set vt1p up\n"));
        TestNet::ip({"link", "del", "vt1"});
        r = cli({"doctor", "--timeout", "300"});
        QCOMPARE(r.code, 2);
        QVERIFY2(r.out.contains("problem     interface: only loopback has an IPv4 address"),
                 qPrintable(r.out));
    }

    void wrongSubnetReceiverGetsAFreeAddress()
    {
        const auto emu = onVt0({"model=Marlo,serial=WR1,ip=10.9.9.9,port=1"}, "10.9.9.9");
        QVERIFY(emu);
        const Result r = cli({"doctor", "--timeout", "400"});
        QCOMPARE(r.code, 7);
        QVERIFY2(r.out.contains("problem     receiver WR1 (Marlo) at 10.9.9.9:1: 10.9.9.9 lies "
                                "outside 192.0.2.0/24 on vt0"),
                 qPrintable(r.out));
        QVERIFY(r.out.contains("fix: give it a free address of 192.0.2.0/24 on vt0, for example: "
                               "vantrel-cli set WR1 --ip 192.0.2.2 --mask 255.255.255.0"));
    }

    // 32 receivers answer at once and one late: --settle ends the search
    // long before its --timeout, without the late one; without it, the
    // window is the window.
    void settle()
    {
        const auto emu = onVt0({"--many 32:model=Pentra,serial=ST,ip=192.0.2.20,port=1024",
                                "model=Marlo,serial=LATE,ip=192.0.2.10,port=1024,delay=1500"},
                               "192.0.2.10");
        QVERIFY(emu);
        Result r = cli({"find", "--csv", "--settle", "200", "--timeout", "60000"});
        QCOMPARE(r.code, 0);
        QCOMPARE(r.out.count(",ST"), 32);
        QVERIFY(!r.out.contains("LATE"));
        r = cli({"find", "--csv", "--timeout", "3000"});
        QCOMPARE(r.out.count(",ST"), 32);
        QVERIFY(r.out.contains(",LATE,"));
    }
};

VANTREL_NET_TEST_MAIN(TestCliDoctor, {})
#include "tst_clidoctor.moc"
