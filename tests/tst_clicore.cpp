// SPDX-License-Identifier: MIT
//
// vantrel-cli's engine in process: the outcome judge of set and apply, and a
// search against a receiver played by the test.
#include "configure.h"
#include "replies.h"
#include "review.h"
#include "search.h"
#include "testnet.h"

#include <QApplication>
#include <QNetworkDatagram>
#include <QSignalSpy>
#include <QTest>

using namespace Discovery;
using namespace Cli;

namespace {

Receiver marlo(Quad ip = {192, 0, 2, 10}, quint16 port = 1024, quint8 fpga = 0, quint8 macLast = 1)
{
    QByteArray bytes = Replies::reply({"Marlo", "MA1001", ip, port});
    auto *r = reinterpret_cast<DeviceConfigRecord *>(bytes.data());
    r->fpgaConfig = fpga;
    r->macAddress[0] = macLast;
    Receiver out = *parseReply(bytes, QHostAddress(toU32(ip)), 1);
    out.interfaceName = "vt0";
    return out;
}

// The same reply, heard from another address or on another interface.
Receiver heardFrom(Receiver r, Quad from, const QString &interfaceName = "vt0")
{
    r.from = QHostAddress(toU32(from));
    r.interfaceName = interfaceName;
    return r;
}

Receiver withAltUdp(Receiver r)
{
    r.config.netFlags |= NetAltUdp;
    setQuad(r.config.altUdpAddress, {203, 0, 113, 99});
    return r;
}

} // namespace

class TestCliCore : public QObject {
    Q_OBJECT

private slots:
    // Replies of the verifying search, in the order they came, against what
    // was asked of the Marlo at 192.0.2.10:1024.
    void judge_data()
    {
        QTest::addColumn<QList<Receiver>>("seen");
        QTest::addColumn<QString>("asked"); // port, port+fpga, ip or dhcp
        QTest::addColumn<QString>("verdict");
        QTest::addColumn<QString>("detail"); // how it begins
        QTest::addColumn<bool>("waits");     // no verdict before the window is over
        const Receiver was = marlo(), moved = marlo({192, 0, 2, 10}, 2000);
        QTest::newRow("applied") << QList{moved} << "port"
                                 << "applied"
                                 << "MA1001 answers with the new settings at 192.0.2.10:2000"
                                 << false;
        QTest::newRow("not seen") << QList<Receiver>() << "port"
                                  << "not seen"
                                  << "MA1001 did not answer within 800 ms after the "
                                     "configuration message"
                                  << true;
        QTest::newRow("seen unchanged") << QList{was} << "port"
                                        << "seen unchanged"
                                        << "MA1001 still answers with its old settings (port is "
                                           "1024, expected 2000)"
                                        << true;
        QTest::newRow("partly applied") << QList{moved} << "port+fpga"
                                        << "partly applied"
                                        << "MA1001 answers, but fpga is 0, expected 1" << true;
        QTest::newRow("seen at another address")
            << QList{marlo({192, 0, 2, 77})} << "ip"
            << "seen at another address"
            << "MA1001 answers at 192.0.2.77, not at 192.0.2.50 (ip is 192.0.2.77, expected "
               "192.0.2.50)"
            << true;
        // The unit answered once more as it was before it took the message:
        // only the whole window tells which answer stands.
        QTest::newRow("unchanged, then changed") << QList{was, moved} << "port"
                                                 << "applied"
                                                 << "MA1001 answers with the new settings" << true;
        QTest::newRow("confirmation from a third address")
            << QList{heardFrom(moved, {192, 0, 2, 99}), was} << "port"
            << "seen unchanged"
            << "MA1001 still answers with its old settings" << true;
        QTest::newRow("only a third address answers")
            << QList{heardFrom(moved, {192, 0, 2, 99})} << "port"
            << "not seen"
            << "MA1001 did not answer within 800 ms after the configuration message (1 replies "
               "with its serial number came from elsewhere"
            << true;
        QTest::newRow("its address on another interface")
            << QList{heardFrom(moved, {192, 0, 2, 10}, "vt1")} << "port"
            << "not seen"
            << "MA1001 did not answer" << true;
        const Receiver atNew = marlo({192, 0, 2, 50});
        QTest::newRow("from the address it was given") << QList{atNew} << "ip"
                                                       << "applied"
                                                       << "MA1001 answers with the new settings "
                                                          "at 192.0.2.50:1024"
                                                       << false;
        Receiver leased = marlo({192, 0, 2, 123});
        leased.config.netFlags |= NetDhcp;
        QTest::newRow("DHCP: any address with its MAC") << QList{leased} << "dhcp"
                                                        << "applied"
                                                        << "MA1001 answers with the new settings "
                                                           "at 192.0.2.123:1024"
                                                        << false;
        leased.config.macAddress[0] = 9;
        QTest::newRow("DHCP: another MAC") << QList{leased} << "dhcp"
                                           << "not seen"
                                           << "MA1001 did not answer" << true;
        QTest::newRow("two units disagree")
            << QList{moved, heardFrom(marlo({192, 0, 2, 11}, 1024, 0, 2), {192, 0, 2, 10})}
            << "port"
            << "not confirmed"
            << "MA1001 answered as 2 units, 192.0.2.10:2000 (MAC " << true;
    }
    void judge()
    {
        QFETCH(QList<Receiver>, seen);
        QFETCH(QString, asked);
        QFETCH(QString, verdict);
        QFETCH(QString, detail);
        QFETCH(bool, waits);
        Target t{marlo(), {}, {}, 1};
        t.planned = t.was.config;
        if (asked == "ip")
            t.edits.ip = Quad{192, 0, 2, 50};
        else if (asked == "dhcp")
            t.edits.dhcp = true;
        else
            t.edits.port = 2000;
        if (asked.contains("fpga"))
            t.edits.fpgaConfig = 1;
        applyEdits(t.planned, t.edits);
        Verification v;
        v.expect(t);
        for (const Receiver &r : seen)
            v.note(r);
        QCOMPARE(!v.judge(t, false, 800).has_value(), waits);
        const std::optional<Outcome> o = v.judge(t, true, 800);
        QVERIFY(o);
        QCOMPARE(o->verdict, verdict);
        QVERIFY2(o->detail.startsWith(detail), qPrintable(o->detail));
    }

    // The first search's replies for the target, in the order they came:
    // what stops 'set' before it sends.
    void review_data()
    {
        QTest::addColumn<QList<Receiver>>("heard");
        QTest::addColumn<QString>("blocker"); // how it begins; empty: none
        const Receiver was = marlo();
        QTest::newRow("one unit") << QList{was, was} << "";
        QTest::newRow("one source on two adapters")
            << QList{was, heardFrom(was, {192, 0, 2, 10}, "vt1")} << "";
        Receiver here = heardFrom(was, {192, 0, 2, 1}),
                 there = heardFrom(was, {198, 51, 100, 1}, "vt1");
        here.local = there.local = true;
        QTest::newRow("this computer on two adapters") << QList{here, there} << "";
        QTest::newRow("one serial on two segments")
            << QList{was, heardFrom(was, {198, 51, 100, 10}, "vt1")}
            << "serial number MA1001 answered from 192.0.2.10 on vt0 and from 198.51.100.10 on "
               "vt1: more than one receiver has it";
        QTest::newRow("a second sender") << QList{was, heardFrom(withAltUdp(was), {192, 0, 2, 99})}
                                         << "serial number MA1001 answered from 192.0.2.10 on vt0 "
                                            "and from 192.0.2.99 on vt0";
        QTest::newRow("settings changed while searching")
            << QList{was, withAltUdp(was)}
            << "receiver MA1001: its settings changed while searching (alt-udp off -> on, alt-ip "
               "0.0.0.0 -> 203.0.113.99)";
    }
    void review()
    {
        QFETCH(QList<Receiver>, heard);
        QFETCH(QString, blocker);
        ReceiverList list;
        for (const Receiver &r : heard)
            list.add(r);
        const Receiver &target = *list.find("MA1001");
        DeviceConfigRecord after = target.config;
        NetworkEdits edits;
        edits.port = 2000;
        applyEdits(after, edits);
        const SetReview review =
            reviewSet(target, after, edits, list, {{0xC0000201, 0xFFFFFF00, "vt0", 1}});
        if (blocker.isEmpty())
            QCOMPARE(review.blockers, QStringList());
        else
            QVERIFY2(review.blockers.value(0).startsWith(blocker),
                     qPrintable(review.blockers.join('\n')));
    }

    // Replies merge by serial over the resent requests; --model leaves the
    // others out but counts them.
    void searchMergesBySerialAndFiltersByModel()
    {
        QUdpSocket receiver;
        QVERIFY(receiver.bind(QHostAddress::AnyIPv4, DevicePort));
        int requests = 0;
        connect(&receiver, &QUdpSocket::readyRead, this, [&] {
            while (receiver.hasPendingDatagrams()) {
                const QNetworkDatagram d = receiver.receiveDatagram();
                ++requests;
                for (const QByteArray &model : {QByteArray("Marlo"), QByteArray("Tessa")})
                    receiver.writeDatagram(Replies::reply({model, model + "1"}), d.senderAddress(),
                                           ReplyPort);
            }
        });
        Log log;
        Exchange exchange(log);
        SearchOptions options;
        options.timeoutMs = 600;
        options.retries = 2;
        options.models = {"Marlo"};
        Search search(exchange, options);
        QVERIFY(search.prepare().isEmpty());
        QString error;
        QVERIFY2(exchange.open(&error), qPrintable(error));
        QSignalSpy received(&search, &Search::received), ended(&search, &Search::windowEnded);
        QVERIFY(search.begin() > 0);
        QVERIFY(ended.wait(5000));
        QCOMPARE(requests, 3 * int(search.destinations().size()));
        QCOMPARE(search.heard().all().size(), 1);
        QCOMPARE(received.first().at(2).toBool(), true); // isNew, once
        QCOMPARE(search.filteredCount(), 1);
        QCOMPARE(search.modelsHeard(), QStringList{"Tessa"});
        bool concluded = false;
        search.conclude(search.serials(), [&] { concluded = true; }); // no --to: at once
        QVERIFY(concluded);
        QCOMPARE(ended.size(), 1);
    }
};

VANTREL_NET_TEST_MAIN(TestCliCore, {{"vt0", "192.0.2.1/24"}})
#include "tst_clicore.moc"
