// SPDX-License-Identifier: MIT
//
// vantrel-cli's engine in process: the outcome judge of set and apply, and a
// search against a receiver played by the test.
#include "configure.h"
#include "replies.h"
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
    return *parseReply(bytes, QHostAddress(toU32(ip)), 1);
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
        QTest::addColumn<QString>("asked"); // port, port+fpga or ip
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
        // The unit answered once more as it was before it took the message.
        QTest::newRow("answer before applying") << QList{was, moved} << "port"
                                                << "applied"
                                                << "MA1001 answers with the new settings" << false;
        QTest::newRow("two units disagree")
            << QList{moved, marlo({192, 0, 2, 11}, 1024, 0, 2)} << "port"
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
        else
            t.edits.port = 2000;
        if (asked.contains("fpga"))
            t.edits.fpgaConfig = 1;
        applyEdits(t.planned, t.edits);
        Verification v;
        for (const Receiver &r : seen)
            v.note(r);
        const Receiver *last = seen.isEmpty() ? nullptr : &seen.last();
        QCOMPARE(!v.judge(t, last, false, 800).has_value(), waits);
        const std::optional<Outcome> o = v.judge(t, last, true, 800);
        QVERIFY(o);
        QCOMPARE(o->verdict, verdict);
        QVERIFY2(o->detail.startsWith(detail), qPrintable(o->detail));
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
