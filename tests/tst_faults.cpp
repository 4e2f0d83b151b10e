// SPDX-License-Identifier: MIT
//
// The window when its surroundings fail: the reply port held by someone else,
// damaged or unreachable settings, addresses that vanish between searches.
#include "emulatorprocess.h"
#include "mainwindow.h"
#include "testnet.h"
#include "windowdriver.h"

#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QListWidget>
#include <QLockFile>
#include <QNetworkInterface>
#include <QPushButton>
#include <QSettings>
#include <QTemporaryDir>
#include <QTest>

#include <memory>

#include <sys/stat.h>

using namespace WindowDriver;

namespace {

const QString TwoReceivers = QStringLiteral("2:model=Marlo,serial=MA,ip=192.0.2.10,port=1024");

// Both adapters as the namespace started, whatever a test did to them.
void resetAdapters()
{
    const struct {
        const char *name, *address;
    } adapters[] = {{"vt0", "192.0.2.1/24"}, {"vt1", "198.51.100.1/24"}};
    for (const auto &a : adapters) {
        if (QNetworkInterface::interfaceFromName(a.name).isValid())
            TestNet::ip({"link", "del", a.name});
        const QString name = a.name;
        TestNet::ip({"link", "add", name, "type", "veth", "peer", "name", name + "p"});
        TestNet::ip({"addr", "add", a.address, "broadcast", "+", "dev", name});
        TestNet::ip({"link", "set", name, "up"});
        TestNet::ip({"link", "set", name + "p", "up"});
    }
    TestNet::ip({"route", "replace", "default", "dev", "vt0"});
}

} // namespace

class TestFaults : public QObject {
    Q_OBJECT

    std::unique_ptr<QTemporaryDir> m_settings;

    void useSettingsIn(const QString &path)
    {
        QSettings::setPath(QSettings::NativeFormat, QSettings::UserScope, path);
    }
    QString settingsFile() const
    {
        return QSettings(QSettings::UserScope, QStringLiteral("Quorvane"),
                         QStringLiteral("Vantrel"))
            .fileName();
    }

private slots:
    void init()
    {
        m_settings = std::make_unique<QTemporaryDir>();
        useSettingsIn(m_settings->path());
    }

    // Another program holds 48322 without sharing it: the bind fails, the
    // search ends empty, and once the port is free the next search works.
    void replyPortHeldElsewhere()
    {
        EmulatorProcess emulator({"--many", TwoReceivers});
        QVERIFY(emulator.waitReady());
        QUdpSocket holder;
        QVERIFY(holder.bind(QHostAddress::Any, Discovery::ReplyPort, QUdpSocket::DontShareAddress));

        MainWindow w;
        QTRY_COMPARE(emulator.lines(" send ").size(),
                     2 * emulator.lines(" recv ", "kind=request").size());
        QTRY_VERIFY(holder.hasPendingDatagrams()); // the replies went to the holder
        QTest::qWait(2500);                        // the whole listening window
        QCOMPARE(rows(w), QStringList());

        holder.close();
        clickFind(w);
        QTRY_COMPARE(rows(w).size(), 2);
        QTRY_VERIFY_WITH_TIMEOUT(replyPortFree(), 3000);
    }

    // Each row damages the settings before the window starts; the window
    // opens with the form's size, not minimised, and closes cleanly.
    void damagedSettings_data()
    {
        QTest::addColumn<QString>("damage");
        QTest::newRow("binary garbage") << "garbage";
        QTest::newRow("geometry not a geometry") << "bad geometry";
        QTest::newRow("geometry cut short") << "short geometry";
        QTest::newRow("a directory in place of the file") << "directory";
        QTest::newRow("in a place that cannot be created") << "unwritable";
        // The store would block on these for minutes, or for good.
        QTest::newRow("a FIFO in place of the file") << "fifo";
        QTest::newRow("a directory in place of the lock") << "lock directory";
        QTest::newRow("the lock held by a live process") << "lock held";
    }
    void damagedSettings()
    {
        QFETCH(QString, damage);
        const QString file = settingsFile();
        QVERIFY(QDir().mkpath(QFileInfo(file).path()));
        auto write = [&](const QByteArray &bytes) {
            QFile f(file);
            QVERIFY(f.open(QIODevice::WriteOnly));
            f.write(bytes);
        };
        if (damage == "garbage") {
            QByteArray junk;
            for (int i = 0; i < 4096; ++i)
                junk += char((i * 167 + 13) % 256);
            write("[MainWindow]\n" + junk);
        } else if (damage == "bad geometry") {
            write("[MainWindow]\ngeometry=@ByteArray(\\x1\\xd9\\xd0\\xcb\\0\\x3\\0\\0zz)\n"
                  "minstate=false\n");
        } else if (damage == "short geometry") {
            QWidget probe;
            probe.setGeometry(100, 100, 600, 400);
            const QByteArray real = probe.saveGeometry();
            QSettings s(QSettings::UserScope, QStringLiteral("Quorvane"),
                        QStringLiteral("Vantrel"));
            s.setValue(QStringLiteral("MainWindow/geometry"), real.left(real.size() / 2));
        } else if (damage == "directory") {
            // Root reads through chmod 000, so a directory stands in for a
            // file that cannot be read or written.
            QVERIFY(QDir().mkpath(file));
        } else if (damage == "unwritable") {
            // Below a regular file no directory can be made, not even by root.
            write("not a directory");
            useSettingsIn(file + QStringLiteral("/settings"));
        } else if (damage == "fifo") {
            QCOMPARE(::mkfifo(QFile::encodeName(file).constData(), 0600), 0);
        } else if (damage == "lock directory") {
            write("[MainWindow]\nminstate=false\n");
            QVERIFY(QDir().mkpath(file + QStringLiteral(".lock")));
        }
        // A lock of this process's own counts as live: it is never stale.
        QLockFile held(file + QStringLiteral(".lock"));
        if (damage == "lock held")
            QVERIFY(held.lock());
        // Never opened when it is not a regular file: a FIFO would block the read.
        const auto contents = [&] {
            QFile f(file);
            return QFileInfo(file).isFile() && f.open(QIODevice::ReadOnly) ? f.readAll()
                                                                           : QByteArray();
        };
        const QByteArray stored = contents();

        QElapsedTimer clock;
        clock.start();
        auto w = std::make_unique<MainWindow>();
        QCOMPARE(w->size(), QSize(434, 303));
        QVERIFY(!w->isMinimized());
        w->show();
        QVERIFY(QTest::qWaitForWindowExposed(w.get()));
        w->move(50, 60);
        const QRect geometry = w->geometry();
        w->close();
        w.reset(); // saves, or fails to, without a word
        // A FIFO or a lock nobody frees would hold the window for ever; the
        // lock wait it may do is one second.
        QVERIFY2(clock.elapsed() < 20000, qPrintable(QString::number(clock.elapsed())));

        if (damage == "directory")
            QVERIFY(QFileInfo(file).isDir());
        if (damage == "fifo")
            QVERIFY(!QFileInfo(file).isFile());
        if (damage == "lock directory" || damage == "lock held")
            QCOMPARE(contents(), stored); // saving was skipped, not half done
        // Once the file is sound again, what was written is read back.
        if (damage == "garbage" || damage == "bad geometry" || damage == "short geometry") {
            w = std::make_unique<MainWindow>();
            QCOMPARE(w->geometry(), geometry);
        }
    }

    // An adapter or address that goes away between two searches: the next
    // search still serves the addresses that remain, and the receivers answer.
    void addressGoneBeforeNextSearch_data()
    {
        QTest::addColumn<QStringList>("fault");
        QTest::addColumn<QString>("gone");
        QTest::addColumn<QString>("left");
        QTest::newRow("second veth pair deleted")
            << QStringList{"link", "del", "vt1"} << "198.51.100.255"
            << "192.0.2.255";
        QTest::newRow("first veth pair deleted")
            << QStringList{"link", "del", "vt0"} << "192.0.2.255"
            << "198.51.100.255";
        QTest::newRow("address removed, link stays")
            << QStringList{"addr", "del", "198.51.100.1/24", "dev", "vt1"} << "198.51.100.255"
            << "192.0.2.255";
        QTest::newRow("first adapter down")
            << QStringList{"link", "set", "vt0", "down"} << "192.0.2.255"
            << "198.51.100.255";
    }
    void addressGoneBeforeNextSearch()
    {
        QFETCH(QStringList, fault);
        QFETCH(QString, gone);
        QFETCH(QString, left);
        EmulatorProcess emulator({"--many", TwoReceivers});
        QVERIFY(emulator.waitReady());
        MainWindow w;
        QTRY_COMPARE(emulator.lines(" recv ", " dst=" + gone + " ").size(), 1);
        QTRY_COMPARE(rows(w).size(), 2);
        QTRY_VERIFY_WITH_TIMEOUT(replyPortFree(), 3000);

        TestNet::ip(fault);
        const int before = emulator.lines(" recv ", " dst=" + left + " ").size();
        clickFind(w);
        QCOMPARE(rows(w), QStringList());
        QTRY_COMPARE(emulator.lines(" recv ", " dst=" + left + " ").size(), before + 1);
        QTRY_COMPARE(rows(w).size(), 2);
        QTest::qWait(100);
        QCOMPARE(emulator.lines(" recv ", " dst=" + gone + " ").size(), 1);
    }
    void cleanup()
    {
        resetAdapters();
    }
};

VANTREL_NET_TEST_MAIN(TestFaults, {{"vt0", "192.0.2.1/24"}, {"vt1", "198.51.100.1/24"}})
#include "tst_faults.moc"
