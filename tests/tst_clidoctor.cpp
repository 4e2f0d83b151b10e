// SPDX-License-Identifier: MIT
//
// vantrel-cli doctor and --settle, with receivers in namespaces of their own
// at the far end of a veth pair, as real ones are.
#include "clirun.h"
#include "emulatorprocess.h"
#include "testnet.h"

#include <QApplication>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QNetworkInterface>
#include <QRegularExpression>
#include <QStandardPaths>
#include <QTest>
#include <QUdpSocket>

#include <QSocketNotifier>

#include <arpa/inet.h>
#include <linux/capability.h>
#include <linux/if_ether.h>
#include <linux/if_packet.h>
#include <net/if.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>
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

    // A firewall of this computer drops the replies, in whichever table and
    // chain: doctor names it, and its printed command, run as printed in a
    // root shell, lets the receiver be found. Without the right to watch the
    // wire it cannot tell.
    void firewall_data()
    {
        QTest::addColumn<bool>("privileged");
        QTest::addColumn<QString>("rules");
        QTest::addColumn<QString>("verdict");
        QTest::addColumn<QString>("run"); // empty: none
        const QString seen = "problem     firewall vt0: 2 datagrams to UDP 48322 reached vt0 on "
                             "the wire, but only 0 reached this program: the firewall of this "
                             "computer drops them in ";
        QTest::newRow("a rule in a table of its own")
            << true
            << "add table inet vt; add chain inet vt input { type filter hook input priority 0; "
               "}; add rule inet vt input udp dport 48322 drop"
            << seen + "inet vt input (rule in input)"
            << "nft insert rule inet vt input udp dport 48322 accept";
        QTest::newRow("a second table beside inet filter")
            << true
            << "add table inet filter; add chain inet filter input { type filter hook input "
               "priority 0; policy accept; }; add table inet second; add chain inet second in "
               "{ type filter hook input priority 10; }; add chain inet second blocked; add rule "
               "inet second in meta l4proto udp jump blocked; add rule inet second blocked udp "
               "dport { 48320-48330 } reject"
            << seen + "inet second in (rule in blocked)"
            << "nft insert rule inet second in udp dport 48322 accept";
        QTest::newRow("the policy of ip myfw")
            << true
            << "add table ip myfw; add chain ip myfw input { type filter hook input priority 0; "
               "policy drop; }; add rule ip myfw input tcp dport 22 accept"
            << seen + "ip myfw input (policy)"
            << "nft insert rule ip myfw input udp dport 48322 accept";
        QTest::newRow("an ingress chain of the adapter")
            << true
            << "add table netdev vt; add chain netdev vt in { type filter hook ingress device "
               "vt0 priority 0; }; add rule netdev vt in udp dport 48322 drop"
            << seen + "netdev vt in (rule in in)"
            << "nft insert rule netdev vt in udp dport 48322 accept";
        QTest::newRow("may not watch the wire")
            << false
            << "add table inet vt; add chain inet vt input { type filter hook input priority 0; "
               "}; add rule inet vt input udp dport 48322 drop"
            << "cannot tell firewall: cannot watch the wire for datagrams a firewall drops: "
               "Operation not permitted"
            << "vantrel-cli doctor";
    }
    void firewall()
    {
        QFETCH(bool, privileged);
        QFETCH(QString, rules);
        QFETCH(QString, verdict);
        QFETCH(QString, run);
        QVERIFY2(!nftPath().isEmpty(), "nft is missing: scripts/test.sh installs nftables");
        const auto emu = onVt0({"model=Marlo,serial=FW1,ip=192.0.2.10,port=1024"}, "192.0.2.10");
        QVERIFY(emu);
        QVERIFY(nft("flush ruleset; " + rules));
        const Result r = cli({"doctor", "--timeout", "400", "--interface", "vt0"}, [privileged] {
            if (!privileged)
                prctl(PR_CAPBSET_DROP, CAP_NET_RAW, 0, 0, 0);
        });
        QCOMPARE(r.code, 2);
        QVERIFY2(r.out.contains(verdict + "\n"), qPrintable(r.out));
        const QString printed = r.out.section("\n            run: ", 1).section('\n', 0, 0);
        QCOMPARE(printed, run);
        if (privileged) {
            QCOMPARE(asRoot(printed), 0);
            QVERIFY2(cli({"find", "--csv", "-t", "400"}).out.contains(",FW1,"),
                     qPrintable(printed));
        } else {
            QCOMPARE(asRoot(printed), 2); // sees the wire now: the firewall, no receiver
        }
        QVERIFY(nft("flush ruleset"));
    }

    // Datagrams that the kernel discards for their checksum are no
    // firewall's doing: doctor tells them apart.
    void badChecksumsAreNoFirewall()
    {
        if (QNetworkInterface::interfaceFromName("vt0").isValid()) // the last test's
            TestNet::tryIp({"link", "del", "vt0"});
        TestNet::addPair({"vt0", "192.0.2.1/24"});
        // vt0p stays here: the test answers each request on it with a reply
        // whose UDP checksum is wrong.
        const int fd = socket(AF_PACKET, SOCK_RAW, htons(ETH_P_IP));
        QVERIFY(fd >= 0);
        sockaddr_ll at{};
        at.sll_family = AF_PACKET;
        at.sll_protocol = htons(ETH_P_IP);
        at.sll_ifindex = int(if_nametoindex("vt0p"));
        QVERIFY(bind(fd, reinterpret_cast<sockaddr *>(&at), sizeof at) == 0);
        QSocketNotifier requests(fd, QSocketNotifier::Read);
        int answered = 0;
        connect(&requests, &QSocketNotifier::activated, this, [&] {
            char in[2048];
            // Ethernet, then IPv4: its protocol byte at 14 + 9.
            if (recv(fd, in, sizeof in, 0) < 42 || quint8(in[23]) != IPPROTO_UDP)
                return;
            // To every station, from a made-up local address.
            QByteArray frame = QByteArray::fromHex("ffffffffffff0200000000010800");
            QByteArray ip = QByteArray::fromHex("4500002400004000401100000000000000000000");
            ip.replace(12, 4, QByteArray::fromHex("c000020a")); // from 192.0.2.10
            ip.replace(16, 4, QByteArray::fromHex("c0000201")); // to 192.0.2.1
            quint32 sum = 0;
            for (int i = 0; i < 20; i += 2)
                sum += quint8(ip[i]) << 8 | quint8(ip[i + 1]);
            sum = ~((sum & 0xFFFF) + (sum >> 16)) & 0xFFFF;
            ip[10] = char(sum >> 8);
            ip[11] = char(sum);
            // UDP 48321 -> 48322, 16 bytes, checksum 0x1234: wrong.
            const QByteArray udp = QByteArray::fromHex("bcc1bcc2001012340000000000000000");
            frame += ip + udp;
            sockaddr_ll to = at;
            to.sll_halen = 6;
            std::memset(to.sll_addr, 0xff, 6);
            if (sendto(fd, frame.constData(), size_t(frame.size()), 0,
                       reinterpret_cast<sockaddr *>(&to), sizeof to) == frame.size())
                ++answered;
        });
        const Result r = cli({"doctor", "--timeout", "400", "--interface", "vt0"});
        close(fd);
        TestNet::ip({"link", "del", "vt0"});
        QVERIFY(answered > 0);
        // Counted as the search saw them: a frame answering its last request may
        // come after the search, so the test's own count is no bound.
        static const QRegularExpression kernel(
            "problem     kernel vt0: (\\d+) datagrams to UDP 48322 reached vt0 on the wire, but "
            "only 0 reached this program: the kernel discarded them \\(\\1 with a bad UDP "
            "checksum\\), no firewall\n");
        QVERIFY2(kernel.match(r.out).hasMatch(), qPrintable(r.out));
        QVERIFY(!r.out.contains("problem     firewall"));
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

    // Held by another user's program, with doctor not root: it cannot name
    // the program, and prints the command that does.
    void portHeldByAnotherUser()
    {
        QProcess holder;
        holder.setChildProcessModifier([] {
            if (setgid(65534) != 0 || setuid(65534) != 0)
                _exit(99);
        });
        holder.start(QStringLiteral(CLI_PATH), {"find", "-t", "60000", "-i", "lo"});
        QVERIFY(QTest::qWaitFor([] { return TestNet::udpPortBound(48322); }));
        const Result r = cli({"doctor", "-t", "300"}, [] {
            if (setgid(65533) != 0 || setuid(65533) != 0)
                _exit(99);
        });
        QCOMPARE(r.code, 6);
        QVERIFY2(r.out.contains("problem     reply port 48322: UDP 48322 is held by a process of "
                                "another user, which only root may name\n"),
                 qPrintable(r.out));
        const QString printed =
            r.out.section("reply port 48322: ", 1).section("run: ", 1).section('\n', 0, 0);
        QCOMPARE(printed, "sudo ss -ulpn 'sport = :48322'");
        QProcess ss;
        ss.start("bash", {"-c", "command -v sudo >/dev/null || sudo() { \"$@\"; }; " + printed});
        QVERIFY(ss.waitForFinished(10000));
        QVERIFY2(ss.readAllStandardOutput().contains("vantrel-cli"), "ss names the holder");
        holder.kill();
        holder.waitForFinished();
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
        QVERIFY(r.out.contains("            run: ip link set dev vt1p up\n"));
        // Nothing came in on the wire: no firewall was put to the test.
        QVERIFY(r.out.contains("cannot tell firewall: no datagram to UDP 48322 came in"));
        // A down interface named with -i, its name in UTF-8: diagnosed, and
        // the printed command, run as printed, brings it up.
        TestNet::ip({"link", "set", "vt1", "down"});
        TestNet::ip({"link", "set", "vt1", "name", "ünï"});
        r = cli({"doctor", "-t", "300", "-i", "ünï", "--json"});
        QCOMPARE(r.code, 6);
        QJsonObject down;
        for (const QJsonValue &c : QJsonDocument::fromJson(r.out.toUtf8())["checks"].toArray())
            if (c["subject"] == "ünï")
                down = c.toObject();
        QCOMPARE(down["detail"].toString(), "down");
        QCOMPARE(down["command"].toString(), "ip link set dev 'ünï' up");
        QCOMPARE(asRoot(down["command"].toString()), 0);
        QVERIFY(cli({"find", "-t", "300", "-i", "ünï"}).code != 6); // up: searched
        TestNet::ip({"link", "del", "ünï"});
        r = cli({"doctor", "--timeout", "300"});
        QCOMPARE(r.code, 2);
        QVERIFY2(r.out.contains("problem     interface: only loopback has an IPv4 address"),
                 qPrintable(r.out));
    }

    void wrongSubnetReceiverGetsAFreeAddress()
    {
        const auto emu = onVt0({"model=Marlo,serial=WR1,ip=10.9.9.9,port=1"}, "10.9.9.9");
        QVERIFY(emu);
        // 192.0.2.2 answered address resolution: a live host, never offered.
        TestNet::ip({"neigh", "replace", "192.0.2.2", "lladdr", "02:00:00:00:00:02", "dev", "vt0",
                     "nud", "reachable"});
        const Result r = cli({"doctor", "--timeout", "400"});
        QCOMPARE(r.code, 7);
        QVERIFY2(r.out.contains("problem     receiver WR1 (Marlo) at 10.9.9.9:1: 10.9.9.9 lies "
                                "outside 192.0.2.0/24 on vt0"),
                 qPrintable(r.out));
        QVERIFY(r.out.contains("fix: give it a free address of 192.0.2.0/24 on vt0, for example: "
                               "vantrel-cli set --ip 192.0.2.3 --mask 255.255.255.0"));
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
