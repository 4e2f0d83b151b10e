// SPDX-License-Identifier: MIT
//
// vantrel-cli as a black box in the test's own network namespace: against the
// receiver emulator, and against a receiver played inside the test for the
// answers the emulator does not give (moved address, half-applied settings,
// malformed replies).
#include "clirun.h"
#include "discovery.h"
#include "emulatorprocess.h"
#include "replies.h"
#include "testnet.h"

#include <QApplication>
#include <QEventLoop>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QNetworkDatagram>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

#include <fcntl.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <functional>

using namespace Discovery;

namespace {

const QString Marlo = "model=Marlo,serial=MA1001,ip=192.0.2.10,port=1024";
const QString Tessa = "model=Tessa,serial=TS1,ip=192.0.2.20,port=300";

// The emulator's log after it has handled what the tool sent.
QStringList settled(EmulatorProcess &emu, const QString &text)
{
    if (!emu.barrier())
        qWarning("the emulator did not log its barrier");
    return emu.lines(text);
}

// A receiver played inside the test: answers each request with `replies` and
// hands configuration messages to `onConfig`.
class FakeReceiver {
public:
    FakeReceiver()
    {
        m_socket.bind(QHostAddress::AnyIPv4, DevicePort, QUdpSocket::ShareAddress);
        QObject::connect(&m_socket, &QUdpSocket::readyRead, [this] {
            while (m_socket.hasPendingDatagrams()) {
                const QNetworkDatagram d = m_socket.receiveDatagram();
                const QByteArray b = d.data();
                if (b.size() > 4 && b[4] == char(OpDiscover)) {
                    for (const QByteArray &r : replies)
                        m_socket.writeDatagram(r, d.senderAddress(), ReplyPort);
                    if (afterAnswer)
                        afterAnswer();
                } else if (b.size() > 4 && b[4] == char(OpConfigure) && onConfig)
                    onConfig(b);
            }
        });
    }
    QList<QByteArray> replies;
    std::function<void(const QByteArray &)> onConfig;
    std::function<void()> afterAnswer;

private:
    QUdpSocket m_socket;
};

QByteArray fakeMarlo()
{
    QByteArray r = Replies::reply({});
    setQuad(reinterpret_cast<DeviceConfigRecord *>(r.data())->subnetMask, {255, 255, 255, 0});
    return r;
}

} // namespace

class TestCli : public QObject {
    Q_OBJECT
    QTemporaryDir m_files; // @DIR@ in badArguments' rows

private slots:
    void initTestCase()
    {
        QVERIFY(mkfifo(QFile::encodeName(m_files.filePath("fifo")).constData(), 0600) == 0);
        QFile plan(m_files.filePath("plan.csv"));
        QVERIFY(plan.open(QIODevice::WriteOnly) && plan.write("serial,port\nMA1001,2000\n") > 0);
    }

    // --- find ---------------------------------------------------------------

    void findInEachFormat()
    {
        // OD1's name holds a quote and an escape byte: text must defuse it, JSON
        // and CSV must carry it exactly.
        EmulatorProcess emu({"--device", Marlo + ",inuse=1,mac=00:11:22:33:44:55,fw=108",
                             "--device", "model=Tessa,serial=TS1,ip=192.0.2.10,port=300,fw=210",
                             "--device", "model=Od\"d,serial=OD1,ip=192.0.2.30,port=7,raw=8:1b"});
        QVERIFY(emu.waitReady());
        const QString conflict = "vantrel-cli: warning: IP conflict: 192.0.2.10 is reported by "
                                 "MA1001, TS1\n";

        Result r = cli({"find", "--timeout", "300"});
        QCOMPARE(r.code, 0);
        QCOMPARE(r.err, conflict);
        const QStringList rows = r.out.split('\n', Qt::SkipEmptyParts);
        QCOMPARE(rows.size(), 4);
        // Two adapters: the interface a reply came in on has a column.
        QCOMPARE(rows[0].simplified(), "MODEL SERIAL IP PORT MAC FW USE IFACE NOTES");
        for (const QString &row : rows)
            QVERIFY2(row.size() <= 80, qPrintable(row));
        QCOMPARE(rows[1].simplified(),
                 "Marlo MA1001 192.0.2.10 1024 00:11:22:33:44:55 1.08 yes lo");
        // Versions keep both decimals: 2.10, not 2.1.
        QCOMPARE(rows[2].simplified(), "Tessa TS1 192.0.2.10 300 - 2.10 no lo MA1001");
        QVERIFY(rows[3].startsWith("Od\"? "));
        QVERIFY(!r.out.contains(QChar(0x1b)));

        r = cli({"find", "-jt", "300"}); // short options combined
        QCOMPARE(r.code, 0);
        const QJsonArray list = QJsonDocument::fromJson(r.out.toUtf8()).array();
        QCOMPARE(list.size(), 3);
        const QJsonObject m = list[0].toObject();
        QCOMPARE(m.value("serial").toString(), "MA1001");
        QCOMPARE(m.value("model").toString(), "Marlo");
        QCOMPARE(m.value("ip").toString(), "192.0.2.10");
        QCOMPARE(m.value("port").toInt(), 1024);
        QCOMPARE(m.value("mac").toString(), "00:11:22:33:44:55");
        QCOMPARE(m.value("firmware").toString(), "1.08");
        QCOMPARE(m.value("inUse").toBool(), true);
        QCOMPARE(m.value("configurable").toBool(), true);
        QCOMPARE(m.value("conflict").toArray(), QJsonArray({"TS1"}));
        QVERIFY(list[1].toObject().value("mac").isNull());
        QCOMPARE(list[1].toObject().value("conflict").toArray(), QJsonArray({"MA1001"}));
        QCOMPARE(list[2].toObject().value("model").toString(), QString("Od\"\x1b"));
        QCOMPARE(list[2].toObject().value("conflict").toArray(), QJsonArray());

        // Where each reply came from, and every setting a plan sets.
        QVERIFY((QStringList{"lo", "vt0", "vt1"}.contains(m.value("interface").toString())));
        QVERIFY(m.value("source").toString().endsWith(":48321"));
        QCOMPARE(m.value("mask").toString(), "255.255.255.0");
        QCOMPARE(m.value("dhcp").toBool(true), false);
        QVERIFY(list[1].toObject().value("fpga").isNull());

        r = cli({"find", "--timeout", "300", "--csv"});
        QCOMPARE(r.code, 0);
        QCOMPARE(r.out.section('\n', 0, 0),
                 "model,serial,ip,port,mac,firmware,inUse,configurable,conflict,duplicateSerial,"
                 "reachable,routed,interface,source,mask,gateway,dhcp,altUdp,altIp,altPort,fpga");
        r = cli({"find", "--timeout", "300", "--csv", "--no-header", "-o",
                 "model,serial,ip,port,mac,firmware,inUse,configurable,conflict,"
                 "duplicateSerial,reachable,routed"});
        QCOMPARE(r.code, 0);
        QCOMPARE(r.out,
                 "Marlo,MA1001,192.0.2.10,1024,00:11:22:33:44:55,1.08,true,true,TS1,false,true,"
                 "false\n"
                 "Tessa,TS1,192.0.2.10,300,,2.10,false,false,MA1001,false,true,false\n"
                 "\"Od\"\"\x1b\",OD1,192.0.2.30,7,,1.07,false,false,,false,true,false\n");
    }

    void expectStopsAtTheNthAnswer()
    {
        EmulatorProcess emu(
            {"--delay", "300", "--many", "3:model=Pentra,serial=PX,ip=192.0.2.100,port=5000"});
        QVERIFY(emu.waitReady());
        // With a window longer than cli()'s 30 s, exiting at all means exiting
        // at the third answer; how soon is the benchmark's figure.
        Result r =
            cli({"find", "--expect", "3", "--timeout", "600000", "-i", "vt0", "--directed-only"});
        QCOMPARE(r.code, 0);
        QCOMPARE(r.out.count('\n'), 4);
        QCOMPARE(settled(emu, " send ").size(), 3);

        r = cli({"find", "--expect", "4", "--timeout", "800", "--json"});
        QCOMPARE(r.code, 2);
        QCOMPARE(QJsonDocument::fromJson(r.out.toUtf8()).array().size(), 3);
        QCOMPARE(r.err, "vantrel-cli: only 3 of the 4 expected receivers answered within 800 ms\n");
    }

    void requestDestinations_data()
    {
        QTest::addColumn<QStringList>("args");
        QTest::addColumn<QStringList>("requests"); // "dst=... if=..." once per request
        QTest::addColumn<bool>("only");            // no other request may arrive
        const QString vt0 = "dst=192.0.2.255 if=vt0", vt1 = "dst=198.51.100.255 if=vt1";
        const QString limited0 = "dst=255.255.255.255 if=vt0",
                      limited1 = "dst=255.255.255.255 if=vt1";
        QTest::newRow("every interface")
            << QStringList() << QStringList{vt0, vt1, limited0, limited1} << false;
        QTest::newRow("one interface")
            << QStringList{"--interface", "vt1"} << QStringList{vt1, limited1} << true;
        QTest::newRow("one interface, short")
            << QStringList{"-i", "vt1", "--also-limited"} << QStringList{vt1, limited1} << true;
        QTest::newRow("directed only")
            << QStringList{"--directed-only"} << QStringList{vt0, vt1} << false;
        QTest::newRow("retries") << QStringList{"--interface", "vt0", "--retries", "2"}
                                 << QStringList{vt0, vt0, vt0, limited0, limited0, limited0}
                                 << true;
    }
    void requestDestinations()
    {
        QFETCH(QStringList, args);
        QFETCH(QStringList, requests);
        QFETCH(bool, only);
        EmulatorProcess emu({"--device", Marlo});
        QVERIFY(emu.waitReady());
        const Result r = cli(QStringList{"find", "--csv", "--timeout", "300"} + args);
        QCOMPARE(r.code, 0);
        QCOMPARE(r.out.count('\n'), 2); // replies merge by serial
        const QStringList got = settled(emu, "kind=request");
        for (const QString &want : QSet<QString>(requests.begin(), requests.end()))
            QCOMPARE(got.filter(" " + want + " ").size(), requests.count(want));
        if (only)
            QCOMPARE(got.size(), requests.size());
    }

    // --- show ---------------------------------------------------------------

    void showTellsEverything()
    {
        EmulatorProcess emu({"--device",
                             Marlo + ",mac=00:11:22:33:44:55,hw=203,fw=108,boot=104,fpgaid=7,"
                                     "fpgarev=9,options=0x16,mask=255.255.0.0,gateway=192.0.2.254,"
                                     "alt-ip=198.51.100.7,alt-port=5001,dhcp=1,fpga=2",
                             "--device", Tessa + ",status=2,fw=211,boot=105,connection=USB 2.0"});
        QVERIFY(emu.waitReady());
        // By the address it reports (Tessa reports another), as by its serial number.
        Result r = cli({"show", "192.0.2.10", "--json"});
        QCOMPARE(r.code, 0);
        const QJsonObject m = QJsonDocument::fromJson(r.out.toUtf8()).object();
        const QJsonObject expected{
            {"model", "Marlo"},
            {"serial", "MA1001"},
            {"configurable", true},
            {"ip", "192.0.2.10"},
            {"port", 1024},
            {"inUse", false},
            {"reachable", true},
            {"routed", false},
            {"firmware", "1.08"},
            {"boot", "1.04"},
            {"hardware", "2.03"},
            {"fpgaId", 7},
            {"fpgaRevision", 9},
            {"mac", "00:11:22:33:44:55"},
            {"mask", "255.255.0.0"},
            {"gateway", "192.0.2.254"},
            {"dhcp", true},
            {"altUdp", false},
            {"altIp", "198.51.100.7"},
            {"altPort", 5001},
            {"fpga", 2},
            {"options", QJsonArray{"RefLock", "Down Converter", "X2 Receiver"}},
            {"found", true}};
        QCOMPARE(m, expected);

        r = cli({"show", "TS1"});
        QCOMPARE(r.code, 0);
        QVERIFY(r.out.contains(QRegularExpression("Connection: +USB 2.0\n")));
        QVERIFY(r.out.contains(QRegularExpression("Firmware version: +2.11\n")));
        QVERIFY(r.out.contains(QRegularExpression("In use: +yes\n")));
    }

    // --- set ----------------------------------------------------------------

    // The message is the receiver's own reply with only the named bytes changed.
    void setEachField_data()
    {
        QTest::addColumn<QString>("device");
        QTest::addColumn<QStringList>("args");
        QTest::addColumn<QStringList>("changes"); // "offset:hex"
        QTest::addColumn<int>("size");
        QTest::addColumn<QString>("warning");
        const QString d = Marlo + ",flags=0x84,raw=41:a1a2a3,raw=88:b1b2b3";
        const auto row = [&](const char *tag, const QStringList &args, const QStringList &changes,
                             const QString &device = QString(), int size = 103,
                             const QString &warning = QString()) {
            QTest::newRow(tag) << (device.isEmpty() ? d : device) << args << changes << size
                               << warning;
        };
        // End to end; each setting's bytes are tst_clicore's.
        row("several", {"--port", "2000", "--dhcp", "on", "--fpga", "1"},
            {"53:d007", "71:85", "86:01"});
        row("length 90", {"--port", "2000"}, {"53:d007"}, d + ",length=90", 90);
        row("out of reach", {"--ip", "203.0.113.9", "--gateway", "0.0.0.0"},
            {"37:097100cb", "76:00000000"}, d, 103,
            "warning: 203.0.113.9 lies outside every subnet of this computer (192.0.2.0/24 on vt0, "
            "198.51.100.0/24 on vt1)");
    }
    void setEachField()
    {
        QFETCH(QString, device);
        QFETCH(QStringList, args);
        QFETCH(QStringList, changes);
        QFETCH(int, size);
        QFETCH(QString, warning);
        EmulatorProcess emu({"--device", device, "--device", Tessa});
        QVERIFY(emu.waitReady());
        const Result r = cli(QStringList{"set", "MA1001", "--timeout", "400"} + args);
        QCOMPARE(r.code, 0);
        QVERIFY2(r.out.contains("\napplied: MA1001 answers with the new settings"),
                 qPrintable(r.out + r.err));
        // stderr has the note that the message went out, and any warning.
        QVERIFY2(r.err.contains("vantrel-cli: sent the configuration message (") &&
                     r.err.count('\n') == (warning.isEmpty() ? 1 : 2) && r.err.contains(warning),
                 qPrintable(r.err));

        const QStringList configs = settled(emu, "kind=config");
        QCOMPARE(configs.size(), 1);
        QByteArray expected = EmulatorProcess::hexOf(emu.lines(" send ", "serial=MA1001").first());
        expected = expected.left(size);
        expected[4] = char(OpConfigure);
        for (const QString &c : changes) {
            const QByteArray bytes = QByteArray::fromHex(c.section(':', 1).toLatin1());
            expected.replace(c.section(':', 0, 0).toInt(), bytes.size(), bytes);
        }
        QCOMPARE(EmulatorProcess::hexOf(configs.first()).toHex(), expected.toHex());
    }

    void setNothingToChange()
    {
        EmulatorProcess emu({"--device", Marlo});
        QVERIFY(emu.waitReady());
        const Result r = cli({"set", "MA1001", "--port", "1024", "--fpga", "0", "-t", "300"});
        QCOMPARE(r.code, 0);
        QCOMPARE(r.out, "MA1001 already has these settings; nothing sent\n");
        QVERIFY(settled(emu, "kind=config").isEmpty());
    }

    void refusals_data()
    {
        QTest::addColumn<QStringList>("devices");
        QTest::addColumn<QStringList>("args");
        QTest::addColumn<QString>("reason");
        QTest::addColumn<bool>("forceable");
        const QStringList two{"--device", Marlo, "--device", Tessa};
        const auto row = [&](const char *tag, const QStringList &args, const QString &reason,
                             bool forceable = true, const QStringList &devices = {}) {
            QTest::newRow(tag) << (devices.isEmpty() ? two : devices)
                               << QStringList{"set", args.first()} + args.mid(1) << reason
                               << forceable;
        };
        // End to end; every check's own rows are tst_clicore's. --force
        // concerns the unit alone: never another unit's address or serial.
        row("in use", {"MA1001", "--port", "2000"}, "receiver MA1001 is in use", true,
            {"--device", Marlo + ",inuse=1"});
        row("taken by another receiver", {"MA1001", "--ip", "192.0.2.20"},
            "--ip 192.0.2.20 is already reported by receiver TS1 (Tessa)", false);
        row("serial answered twice", {"MA1001", "--port", "2000"},
            "serial number MA1001 answered from 192.0.2.10:1024", false,
            {"--device", Marlo, "--device", "model=Marlo,serial=MA1001,ip=192.0.2.11,port=1"});
        row("port 0", {"MA1001", "--port", "0"}, "--port 0: the receiver would listen", false);
        row("other model", {"TS1", "--port", "5"}, "receiver TS1 is a Tessa; only Pentra", false);
    }
    void refusals()
    {
        QFETCH(QStringList, devices);
        QFETCH(QStringList, args);
        QFETCH(QString, reason);
        QFETCH(bool, forceable);
        EmulatorProcess emu(devices);
        QVERIFY(emu.waitReady());
        args << "--timeout"
             << "300"
             << "--verify-timeout"
             << "500";

        Result r = cli(args);
        QCOMPARE(r.code, 4);
        QCOMPARE(r.out, QString());
        QVERIFY2(r.err.contains("vantrel-cli: refused: " + reason), qPrintable(r.err));
        QVERIFY(settled(emu, "kind=config").isEmpty());

        if (forceable) { // a dry run names what --force would override
            r = cli(QStringList(args) << "--force"
                                      << "--dry-run");
            QVERIFY2(r.code == 0 && r.err.contains("--force: would send although " + reason),
                     qPrintable(r.err));
        }
        r = cli(args << "--force");
        if (forceable) {
            QVERIFY2(r.err.contains("vantrel-cli: --force: sending although " + reason),
                     qPrintable(r.err));
            QVERIFY(!r.err.contains("refused"));
            QCOMPARE(settled(emu, "kind=config").size(), 1);
        } else {
            QCOMPARE(r.code, 4);
            QVERIFY(settled(emu, "kind=config").isEmpty());
        }
    }

    // End to end; the judge's other outcomes are tst_clicore's.
    void notConfirmed_data()
    {
        QTest::addColumn<QStringList>("emulator");
        QTest::addColumn<QStringList>("args");
        QTest::addColumn<QString>("outcome");
        QTest::newRow("ignores the message")
            << QStringList{"--ignore-config", "--device", Marlo} << QStringList{"--port", "2000"}
            << "seen unchanged: MA1001 still answers with its old settings (port is 1024, "
               "expected 2000)";
        QTest::newRow("silent afterwards")
            << QStringList{"--device", Marlo + ",delay=1000"}
            << QStringList{"--port",    "2000", "--interface",      "vt0",
                           "--timeout", "1500", "--verify-timeout", "400"}
            << "not seen: MA1001 did not answer within 400 ms after the configuration message";
    }
    void notConfirmed()
    {
        QFETCH(QStringList, emulator);
        QFETCH(QStringList, args);
        QFETCH(QString, outcome);
        EmulatorProcess emu(emulator);
        QVERIFY(emu.waitReady());
        for (const auto &[option, value] :
             {std::pair{"--timeout", "400"}, std::pair{"--verify-timeout", "600"}})
            if (!args.contains(option))
                args << option << value;
        const Result r = cli(QStringList{"set", "MA1001"} + args);
        QCOMPARE(r.code, 3);
        QVERIFY2(r.err.contains("vantrel-cli: sent the configuration message (103 bytes) to "
                                "255.255.255.255:48321"),
                 qPrintable(r.err));
        QVERIFY2(r.out.contains(outcome), qPrintable(r.out));
    }

    // What was searched and what came back, and where to look next.
    void notFound_data()
    {
        const auto asked = [](int replies) {
            return QStringLiteral(" (asked 127.255.255.255 on lo, 192.0.2.255 on vt0, "
                                  "198.51.100.255 on vt1, 255.255.255.255 on vt0, "
                                  "255.255.255.255 on vt1; %1 datagrams came back, %1 of them "
                                  "valid replies); 'vantrel-cli doctor' tells why a receiver is "
                                  "not found")
                .arg(replies);
        };
        QTest::addColumn<QStringList>("args");
        QTest::addColumn<QString>("error");
        QTest::newRow("show") << QStringList{"show", "NOPE"}
                              << "receiver NOPE did not answer within 300 ms" + asked(5) +
                                     "; serial numbers heard: MA1001";
        QTest::newRow("set") << QStringList{"set", "NOPE", "--port", "5"}
                             << "receiver NOPE did not answer within 300 ms" + asked(5) +
                                    "; serial numbers heard: MA1001";
        QTest::newRow("find, none answers")
            << QStringList{"find", "--json"} << "no receiver answered within 300 ms" + asked(0);
    }
    void notFound()
    {
        QFETCH(QStringList, args);
        QFETCH(QString, error);
        std::unique_ptr<EmulatorProcess> emu;
        if (args.first() != "find") {
            emu = std::make_unique<EmulatorProcess>(QStringList{"--device", Marlo});
            QVERIFY(emu->waitReady());
        }
        const Result r = cli(args << "--timeout"
                                  << "300");
        QCOMPARE(r.code, 2);
        QCOMPARE(r.err, "vantrel-cli: " + error + "\n");
        if (emu)
            QVERIFY(settled(*emu, "kind=config").isEmpty());
        else
            QCOMPARE(r.out, "[]\n");
    }

    // --- arguments ----------------------------------------------------------

    void badArguments_data()
    {
        QTest::addColumn<QStringList>("args");
        QTest::addColumn<QString>("error");
        const auto row = [](const char *tag, const QString &line, const QString &error) {
            QTest::newRow(tag) << line.split(' ', Qt::SkipEmptyParts) << error;
        };
        // End to end, that nothing is sent; the parser's rows are tst_clicore's.
        row("no command", "", "no command given; expected find, show, set, watch, apply or doctor");
        row("interface without IPv4", "find --interface vt0p", "vt0p has no IPv4 broadcast");
        row("log to a FIFO nobody reads", "find --log @DIR@/fifo",
            "--log: cannot write '@DIR@/fifo': it is a FIFO that nobody reads");
    }
    void badArguments()
    {
        QFETCH(QStringList, args);
        QFETCH(QString, error);
        args.replaceInStrings("@DIR@", m_files.path());
        error.replace("@DIR@", m_files.path());
        EmulatorProcess emu({"--device", Marlo});
        QVERIFY(emu.waitReady());
        const Result r = cli(args);
        QCOMPARE(r.code, 1);
        QCOMPARE(r.out, QString());
        QVERIFY2(r.err.startsWith("vantrel-cli: ") && r.err.count('\n') == 1 &&
                     r.err.contains(error),
                 qPrintable(r.err));
        QVERIFY(settled(emu, "recv").isEmpty()); // nothing was sent
    }

    void help_data()
    {
        QTest::addColumn<QStringList>("args");
        QTest::addColumn<QString>("usage");
        QTest::newRow("program") << QStringList{"--help"} << "Usage: vantrel-cli COMMAND";
        QTest::newRow("find") << QStringList{"find", "--help"} << "Usage: vantrel-cli find";
        QTest::newRow("show") << QStringList{"show", "-h"} << "Usage: vantrel-cli show RECEIVER";
        QTest::newRow("set, despite a bad value")
            << QStringList{"set", "--ip", "bad", "--help"} << "Usage: vantrel-cli set RECEIVER";
        QTest::newRow("help") << QStringList{"help"} << "Usage: vantrel-cli COMMAND";
        QTest::newRow("help find") << QStringList{"help", "find"} << "Usage: vantrel-cli find";
        QTest::newRow("help apply")
            << QStringList{"help", "apply"} << "Usage: vantrel-cli apply PLAN";
        QTest::newRow("watch -h") << QStringList{"watch", "-h"} << "Usage: vantrel-cli watch";
        QTest::newRow("-h") << QStringList{"-h"} << "Usage: vantrel-cli COMMAND";
    }
    void help()
    {
        QFETCH(QStringList, args);
        QFETCH(QString, usage);
        const Result r = cli(args);
        QCOMPARE(r.code, 0);
        QVERIFY(r.out.startsWith(usage));
        QVERIFY(r.out.contains("Exit status"));
        QCOMPARE(r.err, QString());
    }

    void version()
    {
        for (const char *flag : {"--version", "-V"}) {
            const Result r = cli({flag});
            QCOMPARE(r.code, 0);
            QVERIFY2(QRegularExpression("^vantrel-cli \\d+\\.\\d+\n$").match(r.out).hasMatch(),
                     qPrintable(r.out));
        }
        const Result r = cli({"help", "list"});
        QCOMPARE(r.code, 1);
        QVERIFY(r.err.contains("unknown command 'list'"));
    }

    // --- robustness, log, terminal -------------------------------------------

    void malformedRepliesAreDropped()
    {
        FakeReceiver receiver;
        Replies::Device shortOne, big;
        shortOne.serial = "SH1";
        shortOne.size = 60;
        big.model = "Pentra";
        big.serial = "BIG1";
        big.size = 4000;
        receiver.replies = {QByteArray("\0\0\x5a", 3), fakeMarlo().left(55),
                            QByteArray("\0\0\xa5\x5a", 4) + QByteArray(99, 'x'),
                            Replies::reply(shortOne), Replies::reply(big)};
        QTemporaryDir dir;
        const QString log = dir.filePath("log");
        Result r = cli({"find", "--json", "--timeout", "400", "--interface", "vt0", "--log", log,
                        "--directed-only"});
        QCOMPARE(r.code, 0);
        const QJsonArray list = QJsonDocument::fromJson(r.out.toUtf8()).array();
        QCOMPARE(list.size(), 2);
        QCOMPARE(list[0].toObject().value("serial").toString(), "SH1");
        QCOMPARE(list[1].toObject().value("serial").toString(), "BIG1");
        QFile f(log);
        QVERIFY(f.open(QIODevice::ReadOnly));
        const QString text = QString::fromUtf8(f.readAll());
        QCOMPARE(text.count(" result=invalid "), 2);
        QCOMPARE(text.count(" result=short "), 1);
        QCOMPARE(text.count(" result=reply "), 2);
    }

    void logRecordsEveryDatagram()
    {
        EmulatorProcess emu({"--device", Marlo});
        QVERIFY(emu.waitReady());
        QTemporaryDir dir;
        const QString log = dir.filePath("log");
        // By the receiver's MAC address, with -v writing the log's lines on stderr too.
        const Result r = cli({"set", "02-56-54-00-00-01", "--port", "2000", "-i", "vt0", "-t",
                              "300", "--log", log, "-v"});
        QCOMPARE(r.code, 0);
        QFile f(log);
        QVERIFY(f.open(QIODevice::ReadOnly));
        const QString text = QString::fromUtf8(f.readAll());
        for (const QString &line : text.split('\n', Qt::SkipEmptyParts))
            QVERIFY2(r.err.contains(line + '\n'), qPrintable(line));
        const QByteArray request = "38005aa5" + QByteArray(104, '0');
        const QByteArray reply = EmulatorProcess::hexOf(emu.lines(" send ").first()).toHex();
        const QByteArray config =
            EmulatorProcess::hexOf(settled(emu, "kind=config").first()).toHex();
        const QString time = "\\d{4}-\\d\\d-\\d\\dT\\d\\d:\\d\\d:\\d\\d\\.\\d{3}Z";
        QVERIFY(text.contains(QRegularExpression(
            time + " send from=0.0.0.0:48322 to=192.0.2.255:48321 if=vt0 size=56 hex=" + request)));
        QVERIFY(text.contains(QRegularExpression(
            time +
            " recv from=192.0.2.1:48321 to=192.0.2.1:48322 if=vt0 size=103 result=reply hex=" +
            reply)));
        QVERIFY(text.contains(QRegularExpression(
            time +
            " send from=0.0.0.0:48322 to=255.255.255.255:48321 if=vt0 size=103 hex=" + config)));
    }

    // Machine output is one document on standard output and nothing else,
    // in success and in failure; everything for a person goes to stderr.
    // `outcome`: the object's outcome (set), or the first row's (apply).
    void machineOutputIsOneDocument_data()
    {
        QTest::addColumn<QStringList>("args");
        QTest::addColumn<int>("code");
        QTest::addColumn<QString>("outcome");
        const auto row = [](const char *tag, const QString &line, int code, const char *outcome) {
            QTest::newRow(tag) << line.split(' ') << code << QString::fromLatin1(outcome);
        };
        row("find", "find --json", 0, "");
        row("doctor", "doctor --json", 7, ""); // vt0p and vt1p have no address
        row("find, csv", "find --csv", 0, "");
        row("find, none of the model", "find --json --model Pentra", 2, "");
        row("find, csv, none of the model", "find --csv --model Pentra", 2, "");
        row("find, csv, chosen fields", "find --csv --no-header -o serial,interface,source", 0, "");
        row("show", "show MA1001 --json", 0, "");
        row("show by address", "show 192.0.2.10 --json", 0, "");
        row("show, not found", "show NOPE --json", 2, "");
        row("set, applied", "set MA1001 --port 2000 --json", 0, "applied");
        row("set, unchanged", "set MA1001 --port 1024 --json", 0, "unchanged");
        row("set, dry run", "set MA1001 --port 2001 --json --dry-run", 0, "dry run");
        row("set, refused", "set TS1 --port 5 --json", 4, "refused");
        row("set, refused although forced", "set MA1001 --port 0 --json --force", 4, "refused");
        row("set, not found", "set NOPE --port 5 --json", 2, "not found");
        row("set by an address", "set 192.0.2.20 --port 5 --json", 4, "refused"); // TS1
        row("apply, applied", "apply serial,port|MA1001,2000 --json", 0, "applied");
        row("apply, dry run", "apply serial,port|MA1001,2000 --json --dry-run", 0, "send");
        row("apply, unchanged", "apply serial,port|TS1,300|MA1001,1024 --json", 0, "unchanged");
        row("apply, refused", "apply serial,port|MA1001,0 --json", 4, "refused");
        row("apply, not found", "apply serial,port|NOPE,5 --json", 2, "not found");
        row("apply, not confirmed", "apply serial,port|MA1001,2000 --json", 3, "seen unchanged");
    }
    void machineOutputIsOneDocument()
    {
        QFETCH(QStringList, args);
        QFETCH(int, code);
        QFETCH(QString, outcome);
        const bool ignores = QByteArray(QTest::currentDataTag()).contains("not confirmed");
        EmulatorProcess emu(QStringList{"--device", Marlo, "--device", Tessa} +
                            (ignores ? QStringList{"--ignore-config"} : QStringList()));
        QVERIFY(emu.waitReady());
        if (args.first() == "apply") {
            QFile plan(m_files.filePath("plan.csv"));
            QVERIFY(plan.open(QIODevice::WriteOnly | QIODevice::Truncate));
            plan.write(args[1].replace('|', '\n').toUtf8() + "\n");
            args[1] = plan.fileName();
        }
        if (args.first() == "set" || args.first() == "apply")
            args << "--verify-timeout"
                 << "500";
        const Result r = cli(args << "--timeout"
                                  << "300");
        QVERIFY2(r.code == code, qPrintable(r.out + r.err));
        if (args.contains("--csv")) {
            const QStringList lines = r.out.split('\n', Qt::SkipEmptyParts);
            QVERIFY2(lines.value(0).startsWith("model,serial,ip,") != args.contains("--no-header"),
                     qPrintable(r.out));
            for (const QString &line : lines)
                QCOMPARE(line.count(','), lines.first().count(','));
            return;
        }
        QJsonParseError error;
        const QJsonDocument doc = QJsonDocument::fromJson(r.out.toUtf8(), &error);
        QVERIFY2(error.error == QJsonParseError::NoError, qPrintable(r.out + r.err));
        if (args.first() == "show")
            QCOMPARE(doc.object().value("found").toBool(), code == 0);
        const QJsonObject first = doc.isArray() ? doc.array().first().toObject() : doc.object();
        if (!outcome.isEmpty())
            QCOMPARE(first.value(first.contains("outcome") ? "outcome" : "verdict").toString(),
                     outcome);
        if (args.first() == "apply")
            QCOMPARE(first.value("row").toInt(), 2);
        const bool sent = doc.isArray()
                              ? first.contains("outcome") && first.value("verdict") == "send"
                              : doc.object().value("sent").toBool();
        QCOMPARE(settled(emu, "kind=config").size(), sent ? 1 : 0);
    }

    // Ctrl-C ends find's search: what it heard is written, and the status says why.
    void interruptedFindWritesWhatItFound()
    {
        EmulatorProcess emu({"--device", Marlo});
        QVERIFY(emu.waitReady());
        QTemporaryDir dir;
        QProcess find;
        find.start(QStringLiteral(CLI_PATH),
                   {"find", "--json", "--timeout", "60000", "--log", dir.filePath("log")});
        QFile log(dir.filePath("log"));
        QVERIFY(QTest::qWaitFor([&] {
            return (log.isOpen() || log.open(QIODevice::ReadOnly)) &&
                   (log.seek(0), log.readAll().contains(" result=reply "));
        }));
        ::kill(pid_t(find.processId()), SIGINT);
        QVERIFY(find.waitForFinished(5000));
        QCOMPARE(find.exitStatus(), QProcess::NormalExit);
        QCOMPARE(find.exitCode(), 130);
        const QJsonArray found = QJsonDocument::fromJson(find.readAllStandardOutput()).array();
        QCOMPARE(found.size(), 1);
        QCOMPARE(found.first().toObject().value("serial").toString(), "MA1001");
    }

    void progressOnlyOnATerminal()
    {
        EmulatorProcess emu({"--device", Marlo});
        QVERIFY(emu.waitReady());
        const int master = posix_openpt(O_RDWR | O_NOCTTY);
        QVERIFY(master >= 0 && grantpt(master) == 0 && unlockpt(master) == 0);
        const QByteArray terminal = ptsname(master);
        fcntl(master, F_SETFL, O_NONBLOCK);
        const auto screen = [&] {
            QByteArray seen;
            char buf[4096];
            for (ssize_t n; (n = read(master, buf, sizeof buf)) > 0;)
                seen.append(buf, int(n));
            return QString::fromUtf8(seen);
        };
        const auto onTerminal = [&](bool out, bool err) {
            return [&terminal, out, err] {
                const int fd = open(terminal.constData(), O_RDWR | O_NOCTTY);
                if (out)
                    dup2(fd, 1);
                if (err)
                    dup2(fd, 2);
                close(fd);
            };
        };
        const QStringList find{"find", "--timeout", "400"};

        QCOMPARE(cli(find, onTerminal(true, true)).code, 0);
        QString shown = screen();
        QVERIFY2(shown.contains(QRegularExpression("searching: 0\\.\\d s left, \\d found")),
                 qPrintable(shown));
        QVERIFY(shown.contains("MA1001"));

        // Ctrl-C while searching: the progress line goes before the program does.
        QProcess running;
        running.setChildProcessModifier(onTerminal(true, true));
        running.start(QStringLiteral(CLI_PATH), {"find", "--timeout", "20000"});
        QVERIFY(running.waitForStarted());
        // Once the receiver's row is out and the progress line is back under it.
        shown.clear();
        QVERIFY(QTest::qWaitFor([&] {
            shown += screen();
            return shown.contains("MA1001") &&
                   shown.lastIndexOf("searching") > shown.lastIndexOf("MA1001");
        }));
        ::kill(pid_t(running.processId()), SIGINT);
        QVERIFY(running.waitForFinished(5000));
        QVERIFY(running.exitStatus() == QProcess::NormalExit && running.exitCode() == 130);
        shown = screen();
        QVERIFY2(shown.endsWith("\r\x1b[K"), qPrintable(shown.toUtf8().toHex()));

        const Result piped = cli(find, onTerminal(false, true));
        QCOMPARE(piped.code, 0);
        QVERIFY(piped.out.contains("MA1001"));
        shown = screen();
        QVERIFY2(!shown.contains("searching"), qPrintable(shown));
        close(master);
    }
};

VANTREL_NET_TEST_MAIN(TestCli, {{"vt0", "192.0.2.1/24"}, {"vt1", "198.51.100.1/24"}})
#include "tst_cli.moc"
