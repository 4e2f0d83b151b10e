// SPDX-License-Identifier: MIT
//
// The window under load: 32 emulated receivers answering while another
// process floods the reply port with invalid datagrams, and 32 receivers
// answering on two adapters at once.
#include "emulatorprocess.h"
#include "mainwindow.h"
#include "testnet.h"
#include "windowdriver.h"

#include <QApplication>
#include <QEventLoop>
#include <QFile>
#include <QListWidget>
#include <QProcess>
#include <QSet>
#include <QSettings>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

using namespace WindowDriver;

namespace {

const QString ThirtyTwo = QStringLiteral("32:model=Pentra,serial=PX,ip=192.0.2.100,port=1024");

QStringList expectedRows()
{
    QStringList out;
    for (int i = 0; i < 32; ++i)
        out << QString::asprintf("Pentra   SN=PX%02d   IP=192.0.2.%d   Port=1024", i, 100 + i);
    return out;
}

// One counter of the namespace's UDP statistics ("InDatagrams", "RcvbufErrors").
qint64 udpCounter(const char *name)
{
    QFile snmp(QStringLiteral("/proc/net/snmp"));
    if (!snmp.open(QIODevice::ReadOnly))
        return -1;
    const QList<QByteArray> lines = snmp.readAll().split('\n');
    for (int i = 0; i + 1 < lines.size(); ++i) {
        if (!lines[i].startsWith("Udp: ") || !lines[i + 1].startsWith("Udp: "))
            continue;
        const int at = lines[i].simplified().split(' ').indexOf(name);
        return at < 0 ? -1 : lines[i + 1].simplified().split(' ').value(at).toLongLong();
    }
    return -1;
}

// Runs the event loop like the program's own exec() until `done` holds. Not
// QTRY_*: its waits sleep between rounds of events, which no running program does.
template <typename Done> bool runUntil(Done done, int timeoutMs)
{
    QEventLoop loop;
    QTimer check;
    QObject::connect(&check, &QTimer::timeout, [&] {
        if (done())
            loop.quit();
    });
    QTimer::singleShot(timeoutMs, &loop, &QEventLoop::quit);
    check.start(5);
    loop.exec();
    return done();
}

} // namespace

class TestFlood : public QObject {
    Q_OBJECT

    QTemporaryDir m_settings;

private slots:
    void initTestCase()
    {
        QSettings::setPath(QSettings::NativeFormat, QSettings::UserScope, m_settings.path());
    }

    void allListedUnderFlood()
    {
        // The replies leave 500 ms after the request, well inside the flood,
        // which ends early enough for the window to read what is queued
        // before its listening window closes. The flood is paced to what a
        // sanitizer build on a busy machine reads: a sender at full speed
        // measures the machine (scripts/bench.sh does), not whether the
        // window takes every reply the kernel hands it.
        EmulatorProcess emulator({"--many", ThirtyTwo, "--delay", "500"});
        QVERIFY(emulator.waitReady());

        const qint64 takenBefore = udpCounter("InDatagrams");
        const qint64 dropsBefore = udpCounter("RcvbufErrors");
        MainWindow w;
        QProcess flood;
        flood.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        flood.start(QStringLiteral(FLOOD_PATH),
                    {"--to", "127.0.0.1", "--count", "60000", "--ms", "1500", "--rate", "40000"});
        QVERIFY(runUntil([&] { return flood.state() == QProcess::NotRunning; }, 20000));
        const QList<QByteArray> out = flood.readAll().split('\n');
        QVERIFY(out.size() >= 2 && out[0].startsWith("start ") && out[1].startsWith("done "));
        const qint64 floodStart = out[0].mid(6).toLongLong();
        const qint64 sent = out[1].split(' ').value(1).mid(5).toLongLong();
        const qint64 floodEnd = out[1].mid(out[1].lastIndexOf("end=") + 4).toLongLong();
        QVERIFY2(sent >= 60000, out[1].constData());

        // The flood really ran while the receivers answered.
        QVERIFY(runUntil([&] { return emulator.lines(" send ").size() >= 32; }, 5000));
        const QStringList replies = emulator.lines(" send ");
        QVERIFY2(EmulatorProcess::timeOf(replies.constFirst()) >= floodStart,
                 qPrintable(replies.constFirst()));
        QVERIFY2(EmulatorProcess::timeOf(replies.constLast()) <= floodEnd, out[1].constData());

        QVERIFY(runUntil([&] { return rows(w).size() == 32; }, 3000));
        QStringList listed = rows(w);
        listed.sort();
        QCOMPARE(listed, expectedRows());
        qInfo("flood: %lld sent, %lld taken off the port, %lld dropped by the kernel", sent,
              udpCounter("InDatagrams") - takenBefore, udpCounter("RcvbufErrors") - dropsBefore);
    }

    // Each receiver hears the request on both adapters (and on loopback) and
    // answers each one: the answers merge into one row per receiver.
    void twoAdaptersListEachReceiverOnce()
    {
        EmulatorProcess emulator({"--many", ThirtyTwo});
        QVERIFY(emulator.waitReady());
        MainWindow w;
        QTRY_COMPARE(emulator.lines(" recv ", " if=vt0 ").filter("kind=request").size(), 1);
        QTRY_COMPARE(emulator.lines(" recv ", " if=vt1 ").filter("kind=request").size(), 1);
        const int requests = emulator.lines(" recv ", "kind=request").size();
        QTRY_COMPARE(emulator.lines(" send ").size(), 32 * requests);
        QCOMPARE(emulator.lines(" send ", " to=192.0.2.1:48322 ").size(), 32);
        QCOMPARE(emulator.lines(" send ", " to=198.51.100.1:48322 ").size(), 32);

        QTRY_COMPARE(rows(w).size(), 32);
        QTest::qWait(100); // a duplicate would show by now
        QStringList listed = rows(w);
        QCOMPARE(QSet<QString>(listed.begin(), listed.end()).size(), 32);
        listed.sort();
        QCOMPARE(listed, expectedRows());
    }
};

VANTREL_NET_TEST_MAIN(TestFlood, {{"vt0", "192.0.2.1/24"}, {"vt1", "198.51.100.1/24"}})
#include "tst_flood.moc"
