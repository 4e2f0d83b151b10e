// SPDX-License-Identifier: MIT
//
// vantrel-cli where it has to hold: a flood on its reply port, a second
// instance beside it, receiver text that looks like format placeholders or
// carries control characters, and output that cannot be written.
#include "clirun.h"
#include "discovery.h"
#include "emulatorprocess.h"
#include "replies.h"
#include "testnet.h"

#include <QApplication>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QNetworkDatagram>
#include <QTemporaryDir>
#include <QTest>
#include <QUdpSocket>

#include <fcntl.h>
#include <unistd.h>

namespace {

const QString Marlo = "model=Marlo,serial=MA1001,ip=192.0.2.10,port=1024";

QJsonArray jsonList(const Result &r)
{
    return QJsonDocument::fromJson(r.out.toUtf8()).array();
}

// Child set-up: standard output onto a file, or closed.
std::function<void()> stdoutTo(const char *path)
{
    return [path] {
        if (!path) {
            close(STDOUT_FILENO);
            return;
        }
        const int fd = open(path, O_WRONLY);
        dup2(fd, STDOUT_FILENO);
        close(fd);
    };
}

} // namespace

class TestCliRobust : public QObject {
    Q_OBJECT
    QTemporaryDir m_dir;
    QString m_plan; // MA1001 to port 2000

private slots:
    void initTestCase()
    {
        m_plan = m_dir.filePath("plan.csv");
        QFile plan(m_plan);
        QVERIFY(plan.open(QIODevice::WriteOnly) && plan.write("serial,port\nMA1001,2000\n") > 0);
    }

    // 32 receivers answer while the flood sender hits the reply port, from
    // before the search until after its deadline: all are listed, and the
    // tool ends its search though the flood goes on. Paced to what a
    // sanitizer build on a busy machine reads, so that the kernel drops no
    // reply; the full-speed drain and the time to exit are the benchmark's.
    void allListedUnderFlood()
    {
        EmulatorProcess emu(
            {"--many", "32:model=Pentra,serial=PX,ip=192.0.2.100,port=1024", "--delay", "500"});
        QVERIFY(emu.waitReady());
        QProcess flood;
        flood.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        flood.start(QStringLiteral(FLOOD_PATH),
                    {"--to", "127.0.0.1", "--count", "50000", "--ms", "4500", "--rate", "50000"});
        QVERIFY(flood.waitForReadyRead(5000)); // "start T": the flood is on

        QProcess tool;
        tool.start(QStringLiteral(CLI_PATH), {"find", "--json", "--timeout", "2250"});
        const auto bound = [] { return TestNet::udpPortBound(Discovery::ReplyPort); };
        QVERIFY(TestNet::whenTrue(bound) > 0);
        const qint64 released = TestNet::whenTrue([&] { return !bound(); });
        QVERIFY(released > 0);
        QVERIFY(tool.waitForFinished(10000));
        QCOMPARE(tool.exitCode(), 0);
        QCOMPARE(QJsonDocument::fromJson(tool.readAllStandardOutput()).array().size(), 32);

        QVERIFY(flood.state() == QProcess::NotRunning || flood.waitForFinished(10000));
        const QList<QByteArray> out = flood.readAll().split('\n');
        const qint64 floodEnd = out.value(1).mid(out.value(1).lastIndexOf("end=") + 4).toLongLong();
        const QStringList requests = emu.lines(" recv ", "kind=request");
        QVERIFY(!requests.isEmpty());
        const qint64 took = released - EmulatorProcess::timeOf(requests.constFirst());
        qInfo("find under flood: 32 of 32, port released %lld ms after the first request; "
              "flood %s",
              took, out.value(1).constData());
        // It listened the whole window, and ended: how soon after the deadline
        // is scripts/bench.sh's "cli exit after --timeout, flood".
        QVERIFY2(took >= 2250 - 50, qPrintable(QString::number(took)));
        // The flood went on past the deadline.
        QVERIFY2(floodEnd > released, out.value(1).constData());
    }

    // The reply port is taken while the first instance listens: the second
    // is turned away at once, naming the first, which still hears every receiver.
    void secondInstanceIsTurnedAway()
    {
        if (!TestNet::linuxServices())
            QSKIP("names the port's holder");
        EmulatorProcess emu(
            {"--many", "5:model=Marlo,serial=MA,ip=192.0.2.20,port=1024", "--delay", "2000"});
        QVERIFY(emu.waitReady());
        QProcess first;
        first.start(QStringLiteral(CLI_PATH),
                    {"find", "--json", "--timeout", "30000", "--expect", "5"});
        QVERIFY(QTest::qWaitFor([] { return TestNet::udpPortBound(Discovery::ReplyPort); }));
        const qint64 holder = first.processId();
        const Result second = cli({"find", "--json", "--timeout", "1000"});
        QVERIFY(first.state() == QProcess::NotRunning || first.waitForFinished(20000));
        QCOMPARE(second.code, 6); // the network cannot be used
        QVERIFY2(second.err.contains(QStringLiteral("cannot listen for replies on UDP port 48322: "
                                                    "the port is in use by process %1 (")
                                         .arg(holder)) &&
                     second.err.contains("vantrel-cli find --json --timeout 30000 --expect 5)"),
                 qPrintable(second.err));
        QCOMPARE(first.exitCode(), 0);
        QCOMPARE(QJsonDocument::fromJson(first.readAllStandardOutput()).array().size(), 5);
    }

    // Placeholders in a model or serial number stay text in every line.
    void placeholdersStayText()
    {
        EmulatorProcess emu({"--device", "model=%7,serial=P%1,ip=192.0.2.30,port=300", "--device",
                             "model=%L1,serial=%9,ip=192.0.2.31,port=301", "--device",
                             "model=Marlo,serial=X%3,ip=192.0.2.32,port=1024"});
        QVERIFY(emu.waitReady());
        Result r = cli({"find", "--timeout", "400"});
        QCOMPARE(r.code, 0);
        QVERIFY2(r.out.contains(QRegularExpression("\n%7 +P%1 +192\\.0\\.2\\.30 +300 ")),
                 qPrintable(r.out));
        QVERIFY2(r.out.contains(QRegularExpression("\n%L1 +%9 +192\\.0\\.2\\.31 +301 ")),
                 qPrintable(r.out));

        r = cli({"show", "%9", "--timeout", "400"});
        QCOMPARE(r.code, 0);
        QVERIFY2(r.out.startsWith("Model:                %L1\nSerial number:        %9\n"),
                 qPrintable(r.out));

        r = cli({"set", "X%3", "--port", "2000", "--timeout", "300"});
        QCOMPARE(r.code, 0);
        QVERIFY2(r.out.contains("applied: X%3 answers with the new settings at 192.0.2.32:2000\n"),
                 qPrintable(r.out));
        QVERIFY2(r.out.startsWith("X%3 (Marlo at 192.0.2.32): port 1024 -> 2000\n"),
                 qPrintable(r.out));
    }

    // A serial number with a control character is the same text in its own
    // record and in the other receiver's conflict list; a serial number heard
    // from two addresses is flagged, not folded away.
    void serialsWrittenAlikeEverywhere()
    {
        EmulatorProcess emu({"--device", "model=Marlo,serial=ab,ip=192.0.2.40,port=1,raw=22:0162",
                             "--device", "model=Marlo,serial=CD,ip=192.0.2.40,port=2", "--device",
                             "model=Pentra,serial=TWIN,ip=192.0.2.41,port=3", "--device",
                             "model=Pentra,serial=TWIN,ip=192.0.2.42,port=3"});
        QVERIFY(emu.waitReady());
        Result r = cli({"find", "--json", "--timeout", "400"});
        QCOMPARE(r.code, 0);
        QHash<QString, QJsonObject> bySerial;
        for (const QJsonValue &v : jsonList(r))
            bySerial.insert(v.toObject().value("serial").toString(), v.toObject());
        const QString odd = QStringLiteral("a\x01") + QLatin1Char('b');
        QVERIFY(bySerial.contains(odd));
        QCOMPARE(bySerial.value("CD").value("conflict").toArray(), QJsonArray({odd}));
        QCOMPARE(bySerial.value(odd).value("conflict").toArray(), QJsonArray({"CD"}));
        QCOMPARE(bySerial.value("TWIN").value("duplicateSerial").toBool(), true);
        QCOMPARE(bySerial.value("CD").value("duplicateSerial").toBool(), false);

        r = cli({"find", "--csv", "--timeout", "400"});
        QVERIFY2(r.out.contains(",CD,192.0.2.40,2,") &&
                     r.out.contains("," + odd + ",false,true,false,vt0,") &&
                     r.out.contains(",TWIN,"),
                 qPrintable(r.out));

        r = cli({"find", "--timeout", "400"});
        QCOMPARE(r.out.count("TWIN"), 2); // one row per unit
        QVERIFY2(r.err.contains("warning: serial number TWIN answers as 2 units: 192.0.2."),
                 qPrintable(r.err));
    }

    // A write that fails is an error with its own status, never a silent 0.
    void failedOutputIsReported_data()
    {
        QTest::addColumn<QStringList>("args");
        QTest::addColumn<QString>("stdoutPath"); // "closed": no standard output at all
        QTest::addColumn<QString>("error");
        QTest::newRow("find --json to a full disk")
            << QStringList{"find", "--json"} << "/dev/full"
            << "cannot write to standard output: No space left on device";
        QTest::newRow("show --json to a full disk")
            << QStringList{"show", "MA1001", "--json"} << "/dev/full"
            << "cannot write to standard output: No space left on device";
        QTest::newRow("find with stdout closed") << QStringList{"find"} << "closed"
                                                 << "cannot write to standard output: it is closed";
        QTest::newRow("a log on a full disk")
            << QStringList{"find", "--log", "/dev/full"} << "/dev/null"
            << "--log: cannot write '/dev/full'";
        QTest::newRow("a capture on a full disk")
            << QStringList{"find", "--pcap", "/dev/full"} << "/dev/null"
            << "--pcap: cannot write '/dev/full': No space left on device";
        QTest::newRow("set to a full disk: nothing sent")
            << QStringList{"set", "MA1001", "--port", "2000"} << "/dev/full"
            << "cannot write to standard output";
        QTest::newRow("apply with stdout closed: nothing sent")
            << QStringList{"apply", "@PLAN@"} << "closed"
            << "cannot write to standard output: it is closed";
    }

    // A reader that closed the pipe ends the run quietly, as SIGPIPE would,
    // and before anything is sent.
    void closedPipeEndsQuietly_data()
    {
        QTest::addColumn<QStringList>("args");
        QTest::newRow("find") << QStringList{"find"};
        QTest::newRow("find --json") << QStringList{"find", "--json"};
        QTest::newRow("set: nothing sent") << QStringList{"set", "MA1001", "--port", "2000"};
        QTest::newRow("set --json: nothing sent")
            << QStringList{"set", "MA1001", "--port", "2000", "--json"};
    }
    void closedPipeEndsQuietly()
    {
        QFETCH(QStringList, args);
        EmulatorProcess emu({"--device", Marlo});
        QVERIFY(emu.waitReady());
        // The pipe's reader is gone before the tool starts; the shell around
        // it reports how it ended, on stderr.
        QProcess shell;
        shell.setChildProcessModifier([] {
            int ends[2];
            if (pipe(ends) != 0)
                _exit(99);
            close(ends[0]);
            dup2(ends[1], STDOUT_FILENO);
        });
        shell.start("bash", QStringList{"-c", "\"$0\" \"$@\"; echo \"status $?\" >&2", CLI_PATH} +
                                args + QStringList{"--timeout", "300"});
        QVERIFY(shell.waitForFinished(10000));
        QCOMPARE(QString::fromUtf8(shell.readAllStandardError()), "status 141\n");
        QVERIFY(emu.barrier());
        QVERIFY(emu.lines(" recv ", "kind=config").isEmpty());
    }
    void failedOutputIsReported()
    {
        QFETCH(QStringList, args);
        QFETCH(QString, stdoutPath);
        QFETCH(QString, error);
        args.replaceInStrings("@PLAN@", m_plan);
        EmulatorProcess emu({"--device", Marlo});
        QVERIFY(emu.waitReady());
        const QByteArray path = stdoutPath.toLocal8Bit();
        const Result r = cli(args << "--timeout"
                                  << "300",
                             stdoutTo(stdoutPath == "closed" ? nullptr : path.constData()));
        QCOMPARE(r.code, 5);
        QVERIFY2(r.err.contains("vantrel-cli: " + error), qPrintable(r.err));
        QVERIFY(emu.barrier());
        QVERIFY(emu.lines(" recv ", "kind=config").isEmpty());
    }

    // Once apply's messages are out, a full disk loses neither the outcomes
    // nor their status.
    void applyOutcomesSurviveAFullDisk()
    {
        EmulatorProcess emu({"--ignore-config", "--device", Marlo});
        QVERIFY(emu.waitReady());
        const Result r = cli({"apply", m_plan, "--timeout", "300", "--verify-timeout", "600"},
                             stdoutTo("/dev/full"));
        QCOMPARE(r.code, 3);
        QVERIFY2(r.err.contains("cannot write to standard output: No space left on device") &&
                     r.err.contains(QRegularExpression("line 2 +MA1001 +Marlo +seen unchanged")),
                 qPrintable(r.err));
        QTRY_COMPARE(emu.lines(" recv ", "kind=config").size(), 1);
    }

    // 'set | head -c 5': the reader leaves after five bytes, the configuration
    // message is out, and the outcome still decides the status and is shown.
    // The receiver, played here, answers the verifying search only once the
    // reader has gone.
    void setOutlivesABrokenPipe()
    {
        QUdpSocket device;
        QVERIFY(
            device.bind(QHostAddress::AnyIPv4, Discovery::DevicePort, QUdpSocket::ShareAddress));
        bool readerGone = false;
        int configs = 0;
        QList<QHostAddress> waiting;
        const auto answer = [&](const QHostAddress &to) {
            const quint16 port = configs ? 2000 : 1024;
            device.writeDatagram(Replies::reply({"Marlo", "MA1001", {192, 0, 2, 10}, port}), to,
                                 Discovery::ReplyPort);
        };
        connect(&device, &QUdpSocket::readyRead, [&] {
            while (device.hasPendingDatagrams()) {
                const QNetworkDatagram d = device.receiveDatagram();
                const char op = d.data().size() > 4 ? d.data().at(4) : 0;
                if (op == char(Discovery::OpConfigure))
                    ++configs;
                else if (op == char(Discovery::OpDiscover) && configs && !readerGone)
                    waiting << d.senderAddress();
                else if (op == char(Discovery::OpDiscover))
                    answer(d.senderAddress());
            }
        });

        int ends[2];
        QVERIFY(pipe2(ends, O_CLOEXEC | O_NONBLOCK) == 0);
        QProcess tool;
        tool.setChildProcessModifier([&] { dup2(ends[1], STDOUT_FILENO); });
        // The verifying search ends at the first good reply; its full length
        // is room for a slow machine, not a wait.
        tool.start(QStringLiteral(CLI_PATH), {"set", "MA1001", "--port", "2000", "--timeout", "400",
                                              "--verify-timeout", "20000"});
        close(ends[1]);
        QByteArray head;
        QVERIFY(QTest::qWaitFor([&] {
            char c[5];
            const ssize_t n = read(ends[0], c, std::size_t(5 - head.size()));
            head.append(c, n > 0 ? n : 0);
            return head.size() == 5;
        }));
        close(ends[0]);
        readerGone = true;
        for (const QHostAddress &to : std::as_const(waiting))
            answer(to);

        // With the event loop running: the receiver answers the requests yet to come.
        QVERIFY(QTest::qWaitFor([&] { return tool.state() == QProcess::NotRunning; }, 30000));
        const QString err = QString::fromUtf8(tool.readAllStandardError());
        QCOMPARE(head, QByteArray("MA100"));
        QVERIFY2(tool.exitCode() == 0, qPrintable(err));
        QVERIFY2(err.contains("cannot write to standard output: Broken pipe") &&
                     err.contains("vantrel-cli: applied: MA1001 answers with the new settings "
                                  "at 192.0.2.10:2000"),
                 qPrintable(err));
        QCOMPARE(configs, 1);
    }
};

VANTREL_NET_TEST_MAIN(TestCliRobust, {{"vt0", "192.0.2.1/24"}})
#include "tst_clirobust.moc"
