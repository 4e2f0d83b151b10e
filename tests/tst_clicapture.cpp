// SPDX-License-Identifier: MIT
//
// vantrel-cli --pcap, read back by tshark with the shipped dissector: the
// fields the emulator was started with, junk and a truncated reply marked,
// and the addresses and interfaces of the --log of the same run.
#include "clirun.h"
#include "emulatorprocess.h"
#include "testnet.h"

#include <QApplication>
#include <QFile>
#include <QRegularExpression>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>

class TestCliCapture : public QObject {
    Q_OBJECT

private slots:
    void captureDecodes()
    {
        const QString tshark = QStandardPaths::findExecutable("tshark");
        QVERIFY2(!tshark.isEmpty(), "tshark is missing: scripts/test.sh installs it");
        TestNet::addPair({"vt0", "192.0.2.1/24"});
        EmulatorProcess emu(
            {"--device",
             "model=Marlo,serial=MA1,ip=192.0.2.10,port=1024,fw=107,options=0x16,dhcp=1",
             "--device", "model=Tessa,serial=TS1,ip=192.0.2.11,port=300,connection=USB 2.0",
             "--device", "model=Marlo,serial=JK1,ip=192.0.2.12,port=1,raw=2:0000", "--device",
             "model=Pentra,serial=SH1,ip=192.0.2.13,port=5,length=60"},
            EmulatorProcess::farEnd("vt0p", "192.0.2.10/24"));
        QVERIFY(emu.adopt("vt0p") && emu.waitReady());
        QTemporaryDir dir;
        const QString capture = dir.filePath("c.pcapng"), log = dir.filePath("c.log");
        const Result r = cli({"set", "MA1", "--port", "2000", "--timeout", "400",
                              "--verify-timeout", "800", "--pcap", capture, "--log", log});
        QVERIFY2(r.code == 0, qPrintable(r.err));

        QProcess read;
        QStringList fields{"frame.interface_name",
                           "ip.src",
                           "udp.srcport",
                           "ip.dst",
                           "udp.dstport",
                           "vantrel.opcode",
                           "vantrel.serial",
                           "vantrel.model",
                           "vantrel.ip",
                           "vantrel.port",
                           "vantrel.firmware",
                           "vantrel.options.x2",
                           "vantrel.netflags.dhcp",
                           "vantrel.connection",
                           "vantrel.invalid",
                           "vantrel.truncated"};
        QStringList args{"-r", capture,  "-X", "lua_script:" DISSECTOR,
                         "-T", "fields", "-E", "separator=|"};
        for (const QString &f : fields)
            args << "-e" << f;
        read.start(tshark, args);
        QVERIFY(read.waitForFinished(30000));
        QCOMPARE(read.exitCode(), 0);
        const QStringList rows =
            QString::fromUtf8(read.readAllStandardOutput()).split('\n', Qt::SkipEmptyParts);
        QVERIFY2(!read.readAllStandardError().contains("Lua"), "the dissector does not load");
        // Nor does it fail on any datagram, short and junk ones included.
        QProcess summary;
        summary.start(tshark, {"-r", capture, "-X", "lua_script:" DISSECTOR, "-V"});
        QVERIFY(summary.waitForFinished(30000));
        const QByteArray tree = summary.readAllStandardOutput();
        QVERIFY2(!tree.contains("Lua Error") && !tree.contains("Malformed"), tree.constData());
        const auto has = [&](const QString &row) { return rows.contains(row); };
        QVERIFY2(has("vt0|192.0.2.1|48322|192.0.2.255|48321|0|||0.0.0.0|0||||||"),
                 qPrintable(rows.join('\n')));
        QVERIFY(has("vt0|192.0.2.10|48321|192.0.2.1|48322|0|MA1|Marlo|192.0.2.10|1024|107|1|1|||"));
        QVERIFY(has("vt0|192.0.2.10|48321|192.0.2.1|48322|0|TS1|Tessa|192.0.2.11|300|107|||"
                    "USB 2.0||"));
        QVERIFY(has("vt0|192.0.2.10|48321|192.0.2.1|48322||||||||||1|"));
        QVERIFY(has("vt0|192.0.2.10|48321|192.0.2.1|48322|0|SH1|Pentra|192.0.2.13|5||||||1"));
        QVERIFY(has("vt0|192.0.2.1|48322|255.255.255.255|48321|2|MA1|Marlo|192.0.2.10|2000|107|1|"
                    "1|||"));

        // Datagram by datagram, the capture says what the log says.
        QFile text(log);
        QVERIFY(text.open(QIODevice::ReadOnly));
        QStringList logged;
        static const QRegularExpression line(
            " (send|recv) from=([0-9.]+):(\\d+) to=([0-9.]+):(\\d+) if=(\\S+) ");
        for (const QString &l : QString::fromUtf8(text.readAll()).split('\n')) {
            const QRegularExpressionMatch m = line.match(l);
            // A send's source is its interface's address, where the log has 0.0.0.0.
            const QString own = m.captured(6) == "lo" ? "127.0.0.1" : "192.0.2.1";
            if (m.hasMatch())
                logged << QStringList{m.captured(6), m.captured(1) == "send" ? own : m.captured(2),
                                      m.captured(3), m.captured(4), m.captured(5)}
                              .join('|');
        }
        QStringList captured;
        for (const QString &row : rows)
            captured << row.section('|', 0, 4);
        QCOMPARE(captured, logged);
    }
};

VANTREL_NET_TEST_MAIN(TestCliCapture, {})
#include "tst_clicapture.moc"
