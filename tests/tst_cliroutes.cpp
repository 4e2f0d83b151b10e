// SPDX-License-Identifier: MIT
//
// vantrel-cli beyond its own segment and over time: a receiver behind a
// route that only --to reaches, receivers whose address this computer cannot
// reach, the model filter, and 'watch' against a receiver played by the test.
#include "clirun.h"
#include "emulatorprocess.h"
#include "replies.h"
#include "testnet.h"

#include <QApplication>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QNetworkDatagram>
#include <QNetworkInterface>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>

#include <fcntl.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

using namespace Discovery;

namespace {

QHash<QString, QJsonObject> bySerial(const Result &r)
{
    QHash<QString, QJsonObject> out;
    for (const QJsonValue &v : QJsonDocument::fromJson(r.out.toUtf8()).array())
        out.insert(v.toObject().value("serial").toString(), v.toObject());
    return out;
}

// A router in a namespace of its own between vt0's wire (192.0.2.254) and a
// wire of its own (203.0.113.1/24) whose far end it hands to the receiver's
// namespace: the receiver is one hop away, as behind a real router.
class Router {
public:
    explicit Router(const EmulatorProcess &receiver)
    {
        m_process.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        m_process.start(
            "unshare",
            {"--net", "--", "sh", "-c",
             "while ! ip link show vt0p >/dev/null 2>&1; do sleep 0.02; done\n"
             "ip link set lo up && ip addr add 192.0.2.254/24 dev vt0p && ip link set vt0p up &&"
             " ip link add r0 type veth peer name r0p && ip addr add 203.0.113.1/24 dev r0 &&"
             " ip link set r0 up && ip link set r0p netns \"$0\" &&"
             " echo 1 >/proc/sys/net/ipv4/ip_forward && echo ready && exec sleep 1000000",
             QString::number(receiver.processId())});
    }
    ~Router()
    {
        m_process.kill();
        m_process.waitForFinished();
    }
    // Takes vt0's far end, then waits until the receiver has its wire.
    bool start()
    {
        if (!QTest::qWaitFor([this] { return m_process.processId() > 0; }) ||
            !TestNet::moveLink("vt0p", m_process.processId()))
            return false;
        TestNet::ip({"route", "add", "203.0.113.0/24", "via", "192.0.2.254", "dev", "vt0"});
        return m_process.waitForReadyRead(10000);
    }

private:
    QProcess m_process;
};

const QString RoutedMarlo =
    QStringLiteral("model=Marlo,serial=RT1,ip=203.0.113.10,port=1024,gateway=203.0.113.1,"
                   "raw=41:0102030405060708090a0b0c");
const QString BehindRouter = EmulatorProcess::farEnd(
    "r0p", "203.0.113.10/24", "ip route replace default via 203.0.113.1 dev r0p");

// A receiver with a factory address of another subnet on vt1's wire. It
// answers from that address, and hears the broadcasts of the wire's subnet as
// receivers do whatever their own address.
const QString WrongSubnet = EmulatorProcess::farEnd(
    "vt1p", "203.0.113.77/24", "ip route add broadcast 198.51.100.255 dev vt1p table local");

} // namespace

class TestCliRoutes : public QObject {
    Q_OBJECT
private slots:
    // The routed tests move wires' far ends away, and a pair dies with the
    // namespace its end went to: each test starts with vt0 of its own, and
    // without vt1.
    void cleanup()
    {
        // Either end may be going at this moment, with its peer's namespace.
        TestNet::tryIp({"link", "del", "vt1"});
        if (QNetworkInterface::interfaceFromName("vt0p").isValid())
            return;
        TestNet::tryIp({"link", "del", "vt0"});
        TestNet::addPair({"vt0", "192.0.2.1/24"});
        TestNet::ip({"route", "replace", "default", "dev", "vt0"});
    }

    // Behind a router only --to reaches it; its answer comes from outside
    // vt0's subnet and no broadcast reaches it, so it is routed, and 'set'
    // reaches it by unicast.
    void routedReceiverIsFoundAndSetByUnicast()
    {
        EmulatorProcess emu({"--device", RoutedMarlo}, BehindRouter);
        Router router(emu);
        QVERIFY(router.start());
        QVERIFY(emu.waitReady());

        Result r = cli({"find", "-j", "-t", "400ms"}); // the short forms, a time with its unit
        QCOMPARE(r.code, 2);                           // the subnet broadcast never reaches it
        QCOMPARE(bySerial(r).size(), 0);

        // A block: each of its 1022 host addresses asked, paced; one answers.
        r = cli({"find", "--json", "--timeout", "800", "--to", "203.0.112.0/22"});
        QCOMPARE(r.code, 0);
        QCOMPARE(bySerial(r).keys(), QStringList{"RT1"});
        QCOMPARE(emu.lines(" recv ", "kind=request").size(), 1);

        r = cli({"find", "--json", "--timeout", "400", "--to", "203.0.113.10"});
        QCOMPARE(r.code, 0);
        const QJsonObject found = bySerial(r).value("RT1");
        QCOMPARE(found.value("routed").toBool(), true);
        QCOMPARE(found.value("reachable").toBool(), true);
        const QByteArray reply =
            EmulatorProcess::hexOf(emu.lines(" send ", "serial=RT1").constLast());

        r = cli({"set", "RT1", "--port", "2000", "--timeout", "400", "--to", "203.0.113.10"});
        QCOMPARE(r.code, 0);
        QVERIFY2(r.err.contains("RT1 answered through a router from 203.0.113.10"),
                 qPrintable(r.err));
        QVERIFY2(r.out.contains("applied: RT1 answers with the new settings at "
                                "203.0.113.10:2000"),
                 qPrintable(r.out));
        const QStringList configs = emu.lines(" recv ", "kind=config");
        QCOMPARE(configs.size(), 1);
        QVERIFY2(configs.first().contains(" dst=203.0.113.10 "), qPrintable(configs.first()));
        QByteArray expected = reply;
        expected[4] = char(OpConfigure);
        expected[53] = char(2000 & 0xFF);
        expected[54] = char(2000 >> 8);
        QCOMPARE(EmulatorProcess::hexOf(configs.first()), expected);
    }

    // Two units with one serial number, one behind each adapter, on two
    // segments or clones with one address and MAC: two rows, and 'set'
    // sends nothing, naming both, --force or not; -i picks one, and only
    // that one changes.
    void oneSerialOnTwoSegments_data()
    {
        QTest::addColumn<QString>("second"); // the address of the unit behind vt1
        QTest::addColumn<QString>("wire");   // how it hears vt1's broadcasts
        QTest::newRow("two segments") << "198.51.100.10"
                                      << "198.51.100.10/24";
        QTest::newRow("clones behind two adapters") << "192.0.2.10"
                                                    << "192.0.2.10/24";
    }
    void oneSerialOnTwoSegments()
    {
        QFETCH(QString, second);
        QFETCH(QString, wire);
        TestNet::addPair({"vt1", "198.51.100.1/24"});
        const QString unit = "model=Marlo,serial=MA1001,port=1024,ip=";
        EmulatorProcess a({"--device", unit + "192.0.2.10"},
                          EmulatorProcess::farEnd("vt0p", "192.0.2.10/24"));
        EmulatorProcess b({"--device", unit + second},
                          EmulatorProcess::farEnd("vt1p", wire,
                                                  "ip route add broadcast 198.51.100.255 dev "
                                                  "vt1p table local 2>/dev/null || true"));
        QVERIFY(a.adopt("vt0p") && b.adopt("vt1p") && a.waitReady() && b.waitReady());

        Result r = cli({"find", "--json", "--timeout", "400"});
        QStringList rows;
        for (const QJsonValue &v : QJsonDocument::fromJson(r.out.toUtf8()).array())
            rows << v["ip"].toString() + " on " + v["interface"].toString() +
                        (v["duplicateSerial"].toBool() ? " twice" : "");
        rows.sort();
        QCOMPARE(rows, (QStringList{"192.0.2.10 on vt0 twice", second + " on vt1 twice"}));

        r = cli({"set", "MA1001", "--port", "2000", "--timeout", "400", "--force"});
        QCOMPARE(r.code, 4);
        QVERIFY2(r.err.contains("serial number MA1001 answered from 192.0.2.10 on vt0 and from " +
                                second + " on vt1") ||
                     r.err.contains("serial number MA1001 answered from " + second +
                                    " on vt1 and from 192.0.2.10 on vt0"),
                 qPrintable(r.err));
        QVERIFY(a.lines(" recv ", "kind=config").isEmpty());
        QVERIFY(b.lines(" recv ", "kind=config").isEmpty());

        r = cli({"set", "MA1001", "--port", "2000", "--timeout", "400", "-i", "vt1"});
        QVERIFY2(r.code == 0, qPrintable(r.out + r.err));
        QCOMPARE(b.lines(" recv ", "kind=config").size(), 1);
        QVERIFY(a.lines(" recv ", "kind=config").isEmpty());
    }

    // The adapter is unplugged and plugged in again (a new index) while
    // 'set' searches: the message still leaves by it, found by its name.
    void adapterReplugDuringSet()
    {
        TestNet::addPair({"vt1", "198.51.100.1/24"});
        const QString wire = "ip addr add 198.51.100.10/24 dev vt1p && ip link set vt1p up && "
                             "ip route replace default dev vt1p";
        EmulatorProcess emu({"--device", "model=Marlo,serial=RP1,ip=198.51.100.10,port=1024"},
                            EmulatorProcess::farEnd("vt1p", "198.51.100.10/24"));
        QVERIFY(emu.adopt("vt1p") && emu.waitReady());
        const int before = QNetworkInterface::interfaceIndexFromName("vt1");

        QProcess set;
        set.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        set.start(CLI_PATH, {"set", "RP1", "--port", "2000", "--timeout", "3000"});
        QVERIFY(QTest::qWaitFor([&] { return !emu.lines(" send ", "serial=RP1").isEmpty(); }));
        TestNet::ip({"link", "del", "vt1"});
        TestNet::addPair({"vt1", "198.51.100.1/24"});
        QVERIFY(TestNet::moveLink("vt1p", emu.processId()));
        QCOMPARE(QProcess::execute("nsenter",
                                   {"--net=/proc/" + QString::number(emu.processId()) + "/ns/net",
                                    "sh", "-c", wire}),
                 0);
        QVERIFY(QNetworkInterface::interfaceIndexFromName("vt1") != before);

        QVERIFY(QTest::qWaitFor([&] { return set.state() == QProcess::NotRunning; }, 30000));
        const QString out = QString::fromUtf8(set.readAllStandardOutput());
        QVERIFY2(set.exitCode() == 0, qPrintable(out));
        QVERIFY(QTest::qWaitFor([&] { return !emu.lines(" recv ", "kind=config").isEmpty(); }));
        const QStringList configs = emu.lines(" recv ", "kind=config");
        QCOMPARE(configs.size(), 1);
        QVERIFY2(configs.first().contains(" if=vt1p "), qPrintable(configs.first()));
    }

    // A receiver on vt1's wire answering from an address of another subnet is
    // on that wire, not behind a router: unreachable by TCP until it moves,
    // which 'show' says how to do, and 'set' reaches it by broadcast on vt1.
    void wrongSubnetReceiverIsMovedByBroadcast()
    {
        if (!TestNet::linuxServices())
            QSKIP("Linux commands");
        TestNet::addPair({"vt1", "198.51.100.1/24"});
        EmulatorProcess emu({"--device", "model=Marlo,serial=FW1,ip=203.0.113.77,port=1024," +
                                             QStringLiteral("mask=255.255.255.0")},
                            WrongSubnet);
        QVERIFY(emu.adopt("vt1p"));
        QVERIFY(emu.waitReady());

        Result r = cli({"find", "--json", "--timeout", "400"});
        QCOMPARE(r.code, 0);
        QJsonObject found = bySerial(r).value("FW1");
        QCOMPARE(found.value("routed").toBool(), false);
        QCOMPARE(found.value("reachable").toBool(), false);
        r = cli({"show", "FW1", "--timeout", "400"});
        QVERIFY2(r.out.contains("To reach it:          give it a free address of 198.51.100.0/24 "
                                "on vt1, for example: vantrel-cli set --ip 198.51.100.2 "
                                "--mask 255.255.255.0 --gateway 0.0.0.0 -- FW1; or give this "
                                "computer an address in its "
                                "subnet 203.0.113.0/24, for example: ip addr add "
                                "203.0.113.2/24 dev vt1\n"), // .1 is its gateway
                 qPrintable(r.out));
        const QByteArray reply = EmulatorProcess::hexOf(emu.lines(" send ").constLast());

        r = cli({"set", "FW1", "--ip", "198.51.100.2", "--mask", "255.255.255.0", "--gateway",
                 "0.0.0.0", "--timeout", "400"});
        QCOMPARE(r.code, 0);
        QVERIFY2(r.out.contains("applied: FW1 answers with the new settings at "
                                "198.51.100.2:1024"),
                 qPrintable(r.out));
        const QStringList configs = emu.lines(" recv ", "kind=config");
        QCOMPARE(configs.size(), 1);
        QVERIFY2(configs.first().contains(" dst=255.255.255.255 if=vt1p "),
                 qPrintable(configs.first()));
        QByteArray expected = reply;
        expected[4] = char(OpConfigure);
        auto *record = reinterpret_cast<DeviceConfigRecord *>(expected.data());
        setQuad(record->head.ipAddress, {198, 51, 100, 2});
        setQuad(record->gateway, {0, 0, 0, 0});
        QCOMPARE(EmulatorProcess::hexOf(configs.first()), expected);
    }

    // A unit that hears only 255.255.255.255, with a factory address, on the
    // second adapter: asked out of that adapter by default, not along the
    // default route (vt0); --directed-only asks as the window does.
    void unitHearingOnlyTheLimitedBroadcast()
    {
        TestNet::addPair({"vt1", "198.51.100.1/24"});
        EmulatorProcess emu(
            {"--limited-only", "--device", "model=Marlo,serial=LB1,ip=203.0.113.77,port=1024"},
            WrongSubnet);
        QVERIFY(emu.adopt("vt1p") && emu.waitReady());
        Result r = cli({"find", "--csv", "-t", "400", "--directed-only"});
        QCOMPARE(r.code, 2);
        r = cli({"find", "--csv", "-t", "400"});
        QVERIFY2(r.code == 0 && r.out.contains(",LB1,"), qPrintable(r.out + r.err));
        const QStringList limited = emu.lines(" recv ", "dst=255.255.255.255 if=vt1p ");
        QVERIFY2(limited.size() == 1 && limited.first().contains("kind=request result=reply"),
                 qPrintable(limited.join('\n')));
        const QStringList directed = emu.lines(" recv ", "dst=198.51.100.255 if=vt1p ");
        QVERIFY2(directed.size() == 2 && directed.filter("result=ignored").size() == 2,
                 qPrintable(directed.join('\n')));
    }

    // Units doctor can only tell how to reach: the command it prints, run
    // as printed, makes them reachable.
    void doctorsFixReachesTheUnit_data()
    {
        QTest::addColumn<QString>("device");
        QTest::addColumn<QString>("run");
        QTest::newRow("DHCP without a lease")
            << "model=Marlo,serial=DH1,ip=0.0.0.0,port=1024,flags=0x01,gateway=0.0.0.0"
            << "vantrel-cli set --dhcp off --ip 198.51.100.2 --mask 255.255.255.0 -- DH1";
        QTest::newRow("a model that takes no settings")
            << "model=Tessa,serial=TS9,ip=203.0.113.77,port=300"
            << "ip addr add 203.0.113.1/24 dev vt1";
    }
    void doctorsFixReachesTheUnit()
    {
        if (!TestNet::linuxServices())
            QSKIP("runs Linux commands");
        QFETCH(QString, device);
        QFETCH(QString, run);
        TestNet::addPair({"vt1", "198.51.100.1/24"});
        EmulatorProcess emu({"--device", device}, WrongSubnet);
        QVERIFY(emu.adopt("vt1p") && emu.waitReady());
        Result r = cli({"doctor", "-t", "400", "-i", "vt1"});
        QCOMPARE(r.code, 7);
        const QString printed = r.out.section("\n            run: ", 1).section('\n', 0, 0);
        QCOMPARE(printed, run);
        QCOMPARE(asRoot(printed), 0);
        r = cli({"find", "--json", "-t", "400", "-i", "vt1"});
        QVERIFY2(r.out.contains("\"reachable\":true"), qPrintable(r.out + r.err));
    }

    // Both in one search: each judged by whether a broadcast reached it.
    void routedAndWrongSubnetInOneSearch()
    {
        TestNet::addPair({"vt1", "198.51.100.1/24"});
        EmulatorProcess wrong({"--device", "model=Marlo,serial=FW1,ip=203.0.113.77,port=1024"},
                              WrongSubnet);
        QVERIFY(wrong.adopt("vt1p"));
        EmulatorProcess routed({"--device", RoutedMarlo}, BehindRouter);
        Router router(routed);
        QVERIFY(router.start());
        QVERIFY(wrong.waitReady() && routed.waitReady());

        const Result r = cli({"find", "--json", "--timeout", "400", "--to", "203.0.113.10"});
        QCOMPARE(r.code, 0);
        const auto all = bySerial(r);
        QCOMPARE(all.size(), 2);
        QCOMPARE(all.value("FW1").value("routed").toBool(), false);
        QCOMPARE(all.value("FW1").value("reachable").toBool(), false);
        QCOMPARE(all.value("RT1").value("routed").toBool(), true);
        QCOMPARE(all.value("RT1").value("reachable").toBool(), true);
    }

    // A receiver played on this computer at an address that is a local route
    // of it (not an address entry) is reachable: TCP to it stays here.
    void localRouteAddressIsReachable()
    {
        TestNet::ip({"route", "add", "local", "203.0.113.50/32", "dev", "lo"});
        EmulatorProcess emu({"--device", "model=Marlo,serial=LO1,ip=203.0.113.50,port=1024"});
        QVERIFY(emu.waitReady());
        const Result r = cli({"find", "--json", "--timeout", "400", "--to", "203.0.113.50"});
        TestNet::ip({"route", "del", "local", "203.0.113.50/32", "dev", "lo"});
        QCOMPARE(r.code, 0);
        QCOMPARE(bySerial(r).value("LO1").value("routed").toBool(), false);
        QCOMPARE(bySerial(r).value("LO1").value("reachable").toBool(), true);
    }

    // Judged by the subnet of the interface the reply came in on; a receiver
    // played on this computer answers on loopback and is judged against all.
    void reachabilityAndModelFilter()
    {
        EmulatorProcess emu({"--device", "model=Marlo,serial=IN1,ip=192.0.2.10,port=1", "--device",
                             "model=Tessa,serial=OUT1,ip=10.9.9.9,port=2", "--device",
                             "model=Pentra,serial=OUT2,ip=198.51.100.7,port=3"});
        QVERIFY(emu.waitReady());
        Result r = cli({"find", "--json", "--timeout", "400"});
        QCOMPARE(r.code, 0);
        auto all = bySerial(r);
        QCOMPARE(all.value("IN1").value("reachable").toBool(), true);
        QCOMPARE(all.value("OUT1").value("reachable").toBool(), false);
        QCOMPARE(all.value("OUT2").value("reachable").toBool(), false);
        QCOMPARE(all.value("IN1").value("routed").toBool(), false);

        r = cli({"find", "--timeout", "400"});
        for (const QString &row : r.out.split('\n')) {
            QCOMPARE(row.endsWith(" other subnet"), row.contains("OUT"));
            QVERIFY2(row.size() <= 80, qPrintable(row)); // the note included
        }

        r = cli({"show", "OUT1", "--timeout", "400"});
        QVERIFY2(r.out.contains("Reachable:            no: 10.9.9.9 lies outside 192.0.2.0/24 "
                                "on vt0, where it answered"),
                 qPrintable(r.out));

        r = cli({"find", "--json", "--timeout", "400", "--model", "Tessa", "--model", "Pentra"});
        all = bySerial(r);
        QCOMPARE(QStringList(all.keys()).size(), 2);
        QVERIFY(all.contains("OUT1") && all.contains("OUT2"));
        r = cli(
            {"find", "--json", "--timeout", "300", "--model", "marlo"}); // whole, case-sensitive
        QCOMPARE(r.code, 2);
        QVERIFY2(r.err.contains("3 receivers answered, none is model 'marlo' (models heard: "),
                 qPrintable(r.err));
    }

    // The test plays the receiver and decides, search by search, what it
    // answers; a second unit answers twice, and junk arrives in between.
    void watchReportsEachChange()
    {
        QUdpSocket device;
        QVERIFY(device.bind(QHostAddress::AnyIPv4, DevicePort, QUdpSocket::ShareAddress));
        int search = 0;
        connect(&device, &QUdpSocket::readyRead, [&] {
            while (device.hasPendingDatagrams()) {
                const QNetworkDatagram d = device.receiveDatagram();
                ++search; // one adapter, no retries: one request per search
                const auto answer = [&](const QByteArray &bytes) {
                    device.writeDatagram(bytes, d.senderAddress(), ReplyPort);
                };
                answer("junk that is no reply");
                answer(Replies::reply({"Pentra", "TWICE", {192, 0, 2, 20}, 5000}));
                // Two units with one serial, in turns: a duplicate, not changes.
                const QByteArray duo30 = Replies::reply({"Pentra", "DUO", {192, 0, 2, 30}, 1});
                const QByteArray duo31 = Replies::reply({"Pentra", "DUO", {192, 0, 2, 31}, 1});
                answer(search % 2 ? duo30 : duo31);
                answer(search % 2 ? duo31 : duo30);
                if (search == 1)
                    answer(Replies::reply({"Marlo", "W1", {192, 0, 2, 10}, 1024}));
                else if (search == 2)
                    answer(Replies::reply({"Marlo", "W1", {192, 0, 2, 10}, 1024, 0x01}));
                else if (search >= 5)
                    answer(Replies::reply({"Marlo", "W1", {192, 0, 2, 10}, 2000, 0x01}));
            }
        });

        // One request a search: the played receiver counts searches by them.
        const Result r = cli({"watch", "--json", "--count", "6", "--interval", "400", "--timeout",
                              "300", "--missed", "2", "--interface", "vt0", "--directed-only"});
        QCOMPARE(r.code, 0);
        QStringList events;
        for (const QString &line : r.out.split('\n', Qt::SkipEmptyParts)) {
            QJsonParseError error;
            const QJsonObject o = QJsonDocument::fromJson(line.toUtf8(), &error).object();
            QVERIFY2(error.error == QJsonParseError::NoError, qPrintable(line));
            QVERIFY(o.value("time").toString().endsWith('Z'));
            QStringList fields;
            for (const QJsonValue &c : o.value("changes").toArray())
                fields << c.toObject().value("setting").toString() + "=" +
                              c.toObject().value("to").toVariant().toString();
            events << QStringLiteral("%1 %2 %3")
                          .arg(o.value("event").toString(), o.value("serial").toString(),
                               fields.join(','));
        }
        QCOMPARE(events,
                 (QStringList{"appeared TWICE ", "appeared DUO ", "duplicate DUO ", "appeared W1 ",
                              "changed W1 inUse=true", "gone W1 ", "back W1 port=2000"}));
    }

    // watch holds the reply port only while it searches: find and set work
    // between its searches, and its next search still hears the receiver.
    void watchLetsThePortGoBetweenSearches()
    {
        EmulatorProcess emu({"--device", "model=Marlo,serial=WB1,ip=192.0.2.10,port=1024"});
        QVERIFY(emu.waitReady());
        QProcess watch;
        watch.start(QStringLiteral(CLI_PATH), {"watch", "--json", "-t", "300", "--interval",
                                               "60000", "--directed-only", "-i", "vt0"});
        QVERIFY(QTest::qWaitFor([] { return TestNet::udpPortBound(48322); }));
        QVERIFY(QTest::qWaitFor([] { return !TestNet::udpPortBound(48322); }));
        QVERIFY(cli({"find", "--csv", "-t", "300"}).out.contains(",WB1,"));
        const Result r = cli({"set", "WB1", "--port", "2000", "-t", "300"});
        QVERIFY2(r.code == 0, qPrintable(r.err));
        ::kill(pid_t(watch.processId()), SIGTERM);
        QVERIFY(watch.waitForFinished(5000));
        QCOMPARE(watch.exitCode(), 0);
        QVERIFY(watch.readAllStandardOutput().contains("\"event\":\"appeared\""));
    }

    // find started while watch's search holds the reply port waits for it,
    // says so, and then finds.
    void findWaitsForWatchsSearch()
    {
        if (!TestNet::linuxServices())
            QSKIP("names the port's holder");
        EmulatorProcess emu({"--device", "model=Marlo,serial=WB2,ip=192.0.2.10,port=1024"});
        QVERIFY(emu.waitReady());
        QProcess watch;
        watch.start(QStringLiteral(CLI_PATH),
                    {"watch", "-t", "1500", "--interval", "60000", "-i", "vt0"});
        QVERIFY(QTest::qWaitFor([] { return TestNet::udpPortBound(48322); }));
        const Result r = cli({"find", "--csv", "-t", "5000", "--expect", "1"});
        QVERIFY2(r.code == 0 && r.out.contains(",WB2,"), qPrintable(r.err));
        QVERIFY2(r.err.contains("waiting for UDP port 48322: the port is in use by process "),
                 qPrintable(r.err));
        ::kill(pid_t(watch.processId()), SIGTERM);
        QVERIFY(watch.waitForFinished(5000));
    }

    // A capture FIFO whose reader takes nothing blocks find; Ctrl-C still
    // ends it at once.
    void findEndsOnSignalWhileItsCaptureIsBlocked()
    {
        EmulatorProcess emu({"--many", "1000:model=Pentra,serial=BC,ip=192.0.2.100,port=1"});
        QVERIFY(emu.waitReady());
        QTemporaryDir dir;
        const QByteArray fifo = QFile::encodeName(dir.filePath("fifo"));
        QVERIFY(mkfifo(fifo.constData(), 0600) == 0);
        const int reader = open(fifo.constData(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
        QVERIFY(reader >= 0);
        QProcess find;
        find.start(QStringLiteral(CLI_PATH), {"find", "--json", "-t", "60000", "--pcap", fifo});
        QVERIFY(QTest::qWaitFor([&] {
            int queued = 0;
            return ioctl(reader, FIONREAD, &queued) == 0 && queued >= 65536 - 4096;
        }));
        ::kill(pid_t(find.processId()), SIGINT);
        QVERIFY(find.waitForFinished(5000));
        close(reader);
        QCOMPARE(find.exitStatus(), QProcess::NormalExit);
        QCOMPARE(find.exitCode(), 130);
    }

    // A reader that takes nothing blocks watch's output; Ctrl-C still ends it
    // at once, with status 0.
    void watchEndsOnSignalWhileItsOutputIsBlocked()
    {
        EmulatorProcess emu({"--many", "1000:model=Pentra,serial=BL,ip=192.0.2.100,port=1"});
        QVERIFY(emu.waitReady());
        int ends[2];
        QVERIFY(pipe2(ends, O_CLOEXEC) == 0);
        QProcess watch;
        watch.setChildProcessModifier([&] { dup2(ends[1], STDOUT_FILENO); });
        watch.start(QStringLiteral(CLI_PATH), {"watch", "--json", "--timeout", "300"});
        close(ends[1]);
        // The pipe holds 64 KiB; 1000 events are more.
        QVERIFY(QTest::qWaitFor([&] {
            int queued = 0;
            return ioctl(ends[0], FIONREAD, &queued) == 0 && queued >= 65536 - 4096;
        }));
        ::kill(pid_t(watch.processId()), SIGINT);
        QVERIFY(watch.waitForFinished(5000));
        close(ends[0]);
        QCOMPARE(watch.exitStatus(), QProcess::NormalExit);
        QCOMPARE(watch.exitCode(), 0);
    }

    void watchTextLines()
    {
        EmulatorProcess emu({"--device", "model=Marlo,serial=T1,ip=192.0.2.10,port=1024,inuse=1"});
        QVERIFY(emu.waitReady());
        const Result r = cli({"watch", "--count", "2", "--interval", "300", "--timeout", "200"});
        QCOMPARE(r.code, 0);
        QVERIFY2(
            QRegularExpression("^\\d{4}-\\d\\d-\\d\\dT\\d\\d:\\d\\d:\\d\\d\\.\\d{3}Z appeared T1 "
                               "Marlo 192\\.0\\.2\\.10:1024 on lo in use\\n$")
                .match(r.out)
                .hasMatch(),
            qPrintable(r.out));
    }
};

VANTREL_NET_TEST_MAIN(TestCliRoutes, {{"vt0", "192.0.2.1/24"}})
#include "tst_cliroutes.moc"
