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
#include <QTest>

using namespace Discovery;

namespace {

QHash<QString, QJsonObject> bySerial(const Result &r)
{
    QHash<QString, QJsonObject> out;
    for (const QJsonValue &v : QJsonDocument::fromJson(r.out.toUtf8()).array())
        out.insert(v.toObject().value("serial").toString(), v.toObject());
    return out;
}

// The peer of vt0 moves into the emulator's own namespace as 203.0.113.10, a
// subnet this computer has no address in: only a request sent there through
// the routing table reaches it.
const QString BehindRoute = QStringLiteral(
    "while ! ip link show vt0p >/dev/null 2>&1; do sleep 0.02; done\n"
    "ip link set lo up && ip addr add 203.0.113.10/24 dev vt0p && ip link set vt0p up &&\n"
    "ip route add default dev vt0p");

} // namespace

class TestCliRoutes : public QObject {
    Q_OBJECT
private slots:
    // The routed test moves vt0's peer away, and the pair dies with the
    // emulator's namespace: each test starts with a pair of its own.
    void cleanup()
    {
        if (QNetworkInterface::interfaceFromName("vt0p").isValid())
            return;
        if (QNetworkInterface::interfaceFromName("vt0").isValid())
            TestNet::ip({"link", "del", "vt0"}); // its peer may not have gone yet
        TestNet::ip({"link", "add", "vt0", "type", "veth", "peer", "name", "vt0p"});
        TestNet::ip({"addr", "add", "192.0.2.1/24", "broadcast", "+", "dev", "vt0"});
        TestNet::ip({"link", "set", "vt0", "up"});
        TestNet::ip({"link", "set", "vt0p", "up"});
        TestNet::ip({"route", "replace", "default", "dev", "vt0"});
    }

    void routedReceiverIsFoundAndSetByUnicast()
    {
        EmulatorProcess emu({"--device", "model=Marlo,serial=RT1,ip=203.0.113.10,port=1024,"
                                         "gw=203.0.113.1,raw=41:0102030405060708090a0b0c"},
                            BehindRoute);
        QTRY_VERIFY(emu.processId() > 0);
        TestNet::ip({"link", "set", "vt0p", "netns", QString::number(emu.processId())});
        QVERIFY(emu.waitReady());

        Result r = cli({"find", "--json", "--timeout", "400"});
        QCOMPARE(r.code, 2); // the subnet broadcast never reaches it
        QCOMPARE(bySerial(r).size(), 0);

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
        for (const QString &row : r.out.split('\n'))
            QCOMPARE(row.endsWith(" (other subnet)"), row.contains("OUT"));

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
                if (search == 1)
                    answer(Replies::reply({"Marlo", "W1", {192, 0, 2, 10}, 1024}));
                else if (search == 2)
                    answer(Replies::reply({"Marlo", "W1", {192, 0, 2, 10}, 1024, 0x01}));
                else if (search >= 5)
                    answer(Replies::reply({"Marlo", "W1", {192, 0, 2, 10}, 2000, 0x01}));
            }
        });

        const Result r = cli({"watch", "--json", "--count", "6", "--interval", "400", "--timeout",
                              "300", "--missed", "2", "--interface", "vt0"});
        QCOMPARE(r.code, 0);
        QStringList events;
        for (const QString &line : r.out.split('\n', Qt::SkipEmptyParts)) {
            QJsonParseError error;
            const QJsonObject o = QJsonDocument::fromJson(line.toUtf8(), &error).object();
            QVERIFY2(error.error == QJsonParseError::NoError, qPrintable(line));
            QVERIFY(o.value("time").toString().endsWith('Z'));
            QStringList fields;
            for (const QJsonValue &c : o.value("changes").toArray())
                fields << c.toObject().value("field").toString() + "=" +
                              c.toObject().value("to").toString();
            events << QStringLiteral("%1 %2 %3")
                          .arg(o.value("event").toString(), o.value("serial").toString(),
                               fields.join(','));
        }
        QCOMPARE(events, (QStringList{"appeared TWICE ", "appeared W1 ", "changed W1 in use=yes",
                                      "gone W1 ", "back W1 port=2000"}));
    }

    void watchTextLines()
    {
        EmulatorProcess emu({"--device", "model=Marlo,serial=T1,ip=192.0.2.10,port=1024,inuse=1"});
        QVERIFY(emu.waitReady());
        const Result r = cli({"watch", "--count", "2", "--interval", "300", "--timeout", "200"});
        QCOMPARE(r.code, 0);
        QVERIFY2(
            QRegularExpression("^\\d{4}-\\d\\d-\\d\\dT\\d\\d:\\d\\d:\\d\\d\\.\\d{3}Z appeared T1 "
                               "Marlo 192\\.0\\.2\\.10:1024 in use\\n$")
                .match(r.out)
                .hasMatch(),
            qPrintable(r.out));
    }
};

VANTREL_NET_TEST_MAIN(TestCliRoutes, {{"vt0", "192.0.2.1/24"}})
#include "tst_cliroutes.moc"
