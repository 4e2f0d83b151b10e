// SPDX-License-Identifier: MIT
//
// The receiver emulator as a black box: a child process in the test's own
// network namespace, spoken to over real sockets, its log read line by line.
#include "discovery.h"
#include "emulatorprocess.h"
#include "testnet.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QNetworkDatagram>
#include <QUdpSocket>

#include <csignal>
#include <cstring>

using namespace Discovery;

namespace {

const auto RequestBytes = discoverRequest();
const QByteArray Request(reinterpret_cast<const char *>(RequestBytes.data()), 56);
const QString Marlo = "model=Marlo,serial=MA1001,ip=192.0.2.10,port=1024";
const QString Tessa = "model=Tessa,serial=TS1,ip=192.0.2.20,port=300";

QByteArray text(const char *t, int width)
{
    return QByteArray(t) + QByteArray(width - int(std::strlen(t)), '\0');
}

// The next datagram, or a null array after `ms`; the event loop runs meanwhile.
QByteArray next(QUdpSocket &socket, qint64 ms)
{
    QElapsedTimer t;
    t.start();
    while (!socket.hasPendingDatagrams() && t.elapsed() < ms)
        QTest::qWait(1);
    return socket.hasPendingDatagrams() ? socket.receiveDatagram().data() : QByteArray();
}

// Waits for `count` datagrams, then 200 ms more to catch any surplus.
QList<QByteArray> collect(QUdpSocket &socket, int count)
{
    QList<QByteArray> got;
    QElapsedTimer t;
    t.start();
    for (QByteArray d; !(d = next(socket, got.size() < count ? 3000 - t.elapsed() : 200)).isNull();)
        got << d;
    return got;
}

template <class R> R as(const QByteArray &bytes)
{
    R r{};
    std::memcpy(&r, bytes.constData(), std::min(sizeof r, std::size_t(bytes.size())));
    return r;
}

template <class R> QByteArray bytesOf(const R &r)
{
    return QByteArray(reinterpret_cast<const char *>(&r), sizeof r);
}

// Plays the window's side: requests out to port 48321, replies in at 48322.
struct Tool {
    Tool()
    {
        QVERIFY(replies.bind(QHostAddress::AnyIPv4, ReplyPort));
    }
    void send(const QByteArray &bytes, const char *to = "192.0.2.255")
    {
        sender.writeDatagram(bytes, QHostAddress(QString(to)), DevicePort);
    }
    QUdpSocket replies, sender;
};

} // namespace

class TestEmulator : public QObject {
    Q_OBJECT
private slots:
    void answersEveryRequestOncePerDevice()
    {
        EmulatorProcess emu({"--device",
                             Marlo +
                                 ",inuse=1,mac=00:11:22:33:44:55,hw=203,fw=108,boot=104,"
                                 "fpgaid=7,fpgarev=9,options=0x16,mask=255.255.0.0,gateway=192.0.2."
                                 "254,alt-ip=198.51.100.7,alt-port=5001,dhcp=1,fpga=2,raw=41:a1a2",
                             "--device", Tessa + ",status=2,fw=211,boot=105,connection=USB 2.0",
                             "--many", "32:model=Halvex-R,serial=FX,ip=192.0.2.100,port=1030"});
        QVERIFY(emu.waitReady());
        Tool tool;
        tool.send(Request, "192.0.2.255");
        tool.send(Request, "198.51.100.255");
        const QList<QByteArray> got = collect(tool.replies, 68);
        QCOMPARE(got.size(), 68);
        QCOMPARE(got.mid(34), got.mid(0, 34));

        // Byte for byte in wire order: two-byte numbers, addresses and MAC low byte first.
        QCOMPARE(got[0], QByteArray::fromHex("6700 5aa5 00") + text("Marlo", 16) +
                             text("MA1001", 16) +
                             QByteArray::fromHex("0a0200c0 a1a2 00000000 00000000 0000 0004 00"
                                                 "554433221100 cb00 6c00 6800 07 09 16 01"
                                                 "0000ffff fe0200c0 076433c6 8913 02 01") +
                             QByteArray(15, '\0'));
        QCOMPARE(got[1], QByteArray::fromHex("7400 5aa5 00") + text("Tessa", 16) + text("TS1", 16) +
                             QByteArray::fromHex("140200c0") + QByteArray(12, '\0') +
                             QByteArray::fromHex("2c01 00 d300 6900") + QByteArray(8, '\0') +
                             text("USB 2.0", 32) + QByteArray::fromHex("02") +
                             QByteArray(15, '\0'));
        QSet<QByteArray> macs;
        for (int i = 0; i < 32; ++i) {
            const auto r = as<DeviceConfigRecord>(got[2 + i]);
            QCOMPARE(fieldText(r.head.serialNumber), QString::asprintf("FX%02d", i).toStdString());
            QCOMPARE(quad(r.head.ipAddress), (Ipv4{192, 0, 2, std::uint8_t(100 + i)}));
            QCOMPARE(quad(r.gateway), (Ipv4{192, 0, 2, 1}));
            macs.insert(QByteArray(reinterpret_cast<const char *>(r.macAddress), 6));
        }
        QCOMPARE(macs.size(), 32);

        QTRY_COMPARE(emu.lines(" send ").size(), 68);
        const QStringList requests = emu.lines(" recv ", "kind=request result=reply");
        QCOMPARE(requests.size(), 2);
        QVERIFY(requests[0].contains(" dst=192.0.2.255 if=vt0 size=56 op=0 "));
        QVERIFY(requests[1].contains(" dst=198.51.100.255 if=vt1 size=56 op=0 "));
        for (int i = 0; i < 68; ++i) {
            const QString sent = emu.lines(" send ")[i];
            QCOMPARE(EmulatorProcess::hexOf(sent), got[i]);
            QVERIFY(sent.contains(i < 34 ? " to=192.0.2.1:48322 " : " to=198.51.100.1:48322 "));
        }
    }

    void lengthSetsReplySize_data()
    {
        QTest::addColumn<QString>("device");
        QTest::addColumn<int>("size");
        QTest::addColumn<int>("recordSize");
        QTest::newRow("configurable, padded") << Marlo + ",length=200" << 200 << 103;
        QTest::newRow("information, padded") << Tessa + ",length=150" << 150 << 116;
        QTest::newRow("shorter than the record") << Marlo + ",length=60" << 60 << 103;
    }
    void lengthSetsReplySize()
    {
        QFETCH(QString, device);
        QFETCH(int, size);
        QFETCH(int, recordSize);
        EmulatorProcess emu({"--device", device});
        QVERIFY(emu.waitReady());
        Tool tool;
        tool.send(Request);
        const QList<QByteArray> got = collect(tool.replies, 1);
        QCOMPARE(got.size(), 1);
        QCOMPARE(got[0].size(), size);
        QCOMPARE(u16(as<DiscoverHeader>(got[0]).length), size);
        if (size > recordSize)
            QCOMPARE(got[0].mid(recordSize), QByteArray(size - recordSize, '\xee'));
    }

    // A device's delay=0 overrides --delay: it answers before the others.
    // Only lower bounds, from the emulator's own log, which load cannot break:
    // the delay is honoured, and the fast one did not wait it too.
    void delays()
    {
        EmulatorProcess emu({"--delay", "2000", "--device", Marlo, "--device",
                             "model=Marlo,serial=FAST,ip=192.0.2.11,port=1,delay=0"});
        QVERIFY(emu.waitReady());
        Tool tool;
        tool.send(Request);
        QList<std::string> serials;
        for (QByteArray d; serials.size() < 2 && !(d = next(tool.replies, 10000)).isNull();)
            serials << fieldText(as<DiscoverHeader>(d).serialNumber);
        QCOMPARE(serials, (QList<std::string>{"FAST", "MA1001"}));
        QTRY_COMPARE(emu.lines(" send ").size(), 2);
        const qint64 request = EmulatorProcess::timeOf(emu.lines(" recv ").constFirst());
        const qint64 fast = EmulatorProcess::timeOf(emu.lines(" send ", "serial=FAST").first());
        const qint64 slow = EmulatorProcess::timeOf(emu.lines(" send ", "serial=MA1001").first());
        QVERIFY2(slow - request >= 1999, qPrintable(QString::number(slow - request)));
        QVERIFY2(slow - fast >= 1000, qPrintable(QString::number(slow - fast)));
    }

    void configuration_data()
    {
        QTest::addColumn<QString>("option");
        QTest::addColumn<QByteArray>("serial");
        QTest::addColumn<int>("opcode");
        QTest::addColumn<int>("size");
        QTest::addColumn<QString>("result");
        const QByteArray ma = "MA1001";
        QTest::newRow("applied") << "" << ma << 2 << 103 << "kind=config result=applied";
        QTest::newRow("unknown serial")
            << "" << QByteArray("MA1002") << 2 << 103 << "kind=config result=unknown-serial";
        QTest::newRow("serial prefix")
            << "" << QByteArray("MA100") << 2 << 103 << "kind=config result=unknown-serial";
        QTest::newRow("--ignore-config")
            << "--ignore-config" << ma << 2 << 103 << "kind=config result=ignored";
        QTest::newRow("without fpgaConfig")
            << "" << ma << 2 << 86 << "kind=config result=too-short";
        QTest::newRow("information model")
            << "" << QByteArray("TS1") << 2 << 103 << "kind=config result=not-configurable";
        QTest::newRow("opcode 3") << "" << ma << 3 << 103 << "kind=other result=dropped";
    }
    void configuration()
    {
        QFETCH(QString, option);
        QFETCH(QByteArray, serial);
        QFETCH(int, opcode);
        QFETCH(int, size);
        QFETCH(QString, result);
        EmulatorProcess emu(
            QStringList{"--device", Marlo + ",flags=0xf0,raw=88:c0c1", "--device", Tessa} +
            (option.isEmpty() ? QStringList() : QStringList{option}));
        QVERIFY(emu.waitReady());
        Tool tool;
        tool.send(Request);
        const QList<QByteArray> before = collect(tool.replies, 2);
        QCOMPARE(before.size(), 2);

        const auto edit = [](DeviceConfigRecord &r) {
            setQuad(r.head.ipAddress, {192, 0, 2, 77});
            setU16(r.head.tcpPort, 2000);
            setQuad(r.subnetMask, {255, 255, 0, 0});
            setQuad(r.gateway, {192, 0, 2, 254});
            setQuad(r.altUdpAddress, {198, 51, 100, 9});
            setU16(r.altUdpPort, 5000);
            r.fpgaConfig = 1;
        };
        auto applied = as<DeviceConfigRecord>(before[0]);
        edit(applied);
        applied.netFlags = 0xf3; // bits 0 and 1 from the message, the rest kept
        auto message = as<DeviceConfigRecord>(before[0]);
        edit(message);
        message.head.opcode = std::uint8_t(opcode);
        std::memset(message.head.serialNumber, 0, 16);
        std::memcpy(message.head.serialNumber, serial.constData(), std::size_t(serial.size()));
        message.netFlags = 0x0f;
        // Fields a receiver keeps whatever the message carries.
        message.macAddress[0] ^= 0xff;
        setU16(message.firmwareVersion, 999);
        message.options = 0xff;
        message.status = 3;
        message.reserved3[0] = 0;
        tool.send(bytesOf(message).left(size), "255.255.255.255");

        QTRY_COMPARE(emu.lines(" recv ", result).size(), 1);
        const QString line = emu.lines(" recv ", result)[0];
        QVERIFY(line.contains(" dst=255.255.255.255 "));
        QCOMPARE(EmulatorProcess::hexOf(line), bytesOf(message).left(size));

        tool.send(Request);
        const QList<QByteArray> after = collect(tool.replies, 2);
        QCOMPARE(after.size(), 2);
        QCOMPARE(after[0], result.endsWith("applied") ? bytesOf(applied) : before[0]);
        QCOMPARE(after[1], before[1]);
    }

    void repliesToSourcePortWhenAsked()
    {
        EmulatorProcess emu({"--reply-to-source", "--device", Marlo});
        QVERIFY(emu.waitReady());
        Tool tool;
        QUdpSocket own;
        QVERIFY(own.bind(QHostAddress::AnyIPv4, 45000));
        own.writeDatagram(Request, QHostAddress("192.0.2.255"), DevicePort);
        QCOMPARE(collect(own, 1).size(), 1);
        QVERIFY(collect(tool.replies, 0).isEmpty());
        QCOMPARE(emu.lines(" send to=192.0.2.1:45000 ").size(), 1);
    }

    void survivesGarbage()
    {
        EmulatorProcess emu({"--device", Marlo});
        QVERIFY(emu.waitReady());
        QByteArray huge(65000, '\0');
        for (int i = 0; i < huge.size(); ++i)
            huge[i] = char(i * 37 + 11);
        QByteArray swapped = Request, opcode1 = Request;
        std::swap(swapped[2], swapped[3]);
        opcode1[4] = 1;
        const QList<QByteArray> sent{{},
                                     QByteArray("\0\0\x5a", 3),
                                     QByteArray("\0\0\x5a\xa5", 4),
                                     swapped,
                                     opcode1,
                                     huge,
                                     QByteArray("\0\0\x5a\xa5\x02", 5),
                                     Request};
        const QStringList kinds{"invalid",
                                "invalid",
                                "invalid",
                                "invalid",
                                "other",
                                "invalid",
                                "config result=too-short",
                                "request"};
        Tool tool;
        for (const QByteArray &bytes : sent)
            tool.send(bytes);
        // No event loop here, so nobody reads the log, which is by now beyond a
        // pipe's capacity: the reply must not wait for its reader.
        QVERIFY(tool.replies.waitForReadyRead(3000));
        QCOMPARE(collect(tool.replies, 1).size(), 1);
        QTRY_COMPARE(emu.lines(" recv ").size(), sent.size());
        for (int i = 0; i < sent.size(); ++i) {
            const QString line = emu.lines(" recv ")[i];
            QVERIFY2(line.contains(QString(" size=%1 ").arg(sent[i].size())) &&
                         line.contains(" kind=" + kinds[i]),
                     qPrintable(line.left(200)));
            QCOMPARE(EmulatorProcess::hexOf(line), sent[i]);
        }
    }

    void exitsOnSignal_data()
    {
        QTest::addColumn<int>("signal");
        QTest::addColumn<QString>("name");
        QTest::newRow("SIGINT") << int(SIGINT) << "INT";
        QTest::newRow("SIGTERM") << int(SIGTERM) << "TERM";
    }
    void exitsOnSignal()
    {
        QFETCH(int, signal);
        QFETCH(QString, name);
        // A reply still waiting for its delay must not hold the emulator back.
        QProcess p;
        p.start(EMULATOR_PATH, {"--delay", "5000", "--device", Marlo});
        QByteArray out;
        while (!out.contains(" ready ") && p.waitForReadyRead(3000))
            out += p.readAll();
        Tool tool;
        tool.send(Request);
        while (!out.contains(" kind=request ") && p.waitForReadyRead(3000))
            out += p.readAll();
        ::kill(pid_t(p.processId()), signal);
        QVERIFY(p.waitForFinished(3000));
        QCOMPARE(p.exitStatus(), QProcess::NormalExit);
        QCOMPARE(p.exitCode(), 0);
        QVERIFY((out + p.readAll()).trimmed().endsWith(" exit signal=" + name.toLatin1()));
    }

    void rejectsBadArguments_data()
    {
        QTest::addColumn<QStringList>("args");
        QTest::addColumn<QString>("message");
        const QString m = "model=Marlo,serial=A,ip=192.0.2.10,port=1";
        QTest::newRow("none") << QStringList() << "no receivers";
        QTest::newRow("unknown option") << QStringList{"--colour"} << "unknown argument '--colour'";
        QTest::newRow("value missing")
            << QStringList{"--device", m, "--delay"} << "--delay: value missing";
        QTest::newRow("required key") << QStringList{"--device", "model=Marlo,ip=192.0.2.1,port=1"}
                                      << "--device #1: serial= is missing";
        QTest::newRow("key twice") << QStringList{"--device", m, "--device", Marlo + ",ip=1"}
                                   << "--device #2: key 'ip' given twice";
        QTest::newRow("octet above 255")
            << QStringList{"--device", "model=X,serial=A,ip=192.0.2.256,port=1"}
            << "ip: '192.0.2.256' is not an IPv4 address";
        QTest::newRow("port") << QStringList{"--device", "model=X,serial=A,ip=192.0.2.1,port=65536"}
                              << "port: '65536' is not a number from 0 to 65535";
        QTest::newRow("fpga 3") << QStringList{"--device", m + ",fpga=3"}
                                << "fpga: '3' is not a number from 0 to 2";
        QTest::newRow("unknown key")
            << QStringList{"--device", m + ",colour=red"} << "unknown key 'colour'";
        QTest::newRow("other layout's key") << QStringList{"--device", Tessa + ",mask=255.0.0.0"}
                                            << "key 'mask' does not apply to model 'Tessa'";
        QTest::newRow("serial of 17 bytes")
            << QStringList{"--many", "2:model=X,serial=ABCDEFGHIJKLMNO,ip=192.0.2.1,port=1"}
            << "'ABCDEFGHIJKLMNO00' is longer than 16 bytes";
        QTest::newRow("no receivers in --many")
            << QStringList{"--many", "0:" + m} << "'0' is not a number from 1 to 1024";
        QTest::newRow("too many in --many")
            << QStringList{"--many", "1025:" + m} << "'1025' is not a number from 1 to 1024";
        QTest::newRow("MACs past the last")
            << QStringList{"--many", "2:" + m + ",mac=ff:ff:ff:ff:ff:ff"}
            << "2 consecutive MAC addresses run past ff:ff:ff:ff:ff:ff";
        QTest::newRow("length beyond a datagram") << QStringList{"--device", m + ",length=65508"}
                                                  << "'65508' is not a number from 0 to 65507";
        QTest::newRow("raw past the record")
            << QStringList{"--device", m + ",raw=100:01020304"} << "runs past byte 102";
        QTest::newRow("mac") << QStringList{"--device", m + ",mac=00:11:22:33:44"}
                             << "is not a MAC address";
    }
    void rejectsBadArguments()
    {
        QFETCH(QStringList, args);
        QFETCH(QString, message);
        QProcess p;
        p.start(EMULATOR_PATH, args);
        QVERIFY(p.waitForFinished(5000));
        QCOMPARE(p.exitCode(), 1);
        const QString err = QString::fromLatin1(p.readAllStandardError());
        QVERIFY2(err.startsWith("vantrel-emulator: ") && err.count('\n') == 1 &&
                     err.endsWith('\n') && err.contains(message),
                 qPrintable(err));
        QVERIFY(p.readAllStandardOutput().isEmpty());
    }

    void help()
    {
        QProcess p;
        p.start(EMULATOR_PATH, {"--device", "junk", "--help"});
        QVERIFY(p.waitForFinished(5000));
        QCOMPARE(p.exitCode(), 0);
        QVERIFY(p.readAllStandardOutput().startsWith("Usage: vantrel-emulator"));
    }
};

VANTREL_NET_TEST_MAIN(TestEmulator, {{"vt0", "192.0.2.1/24"}, {"vt1", "198.51.100.1/24"}})

#include "tst_emulator.moc"
