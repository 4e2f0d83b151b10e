// SPDX-License-Identifier: MIT
//
// The window's form, settings and device list, fed with crafted replies.
#include "mainwindow.h"
#include "replies.h"
#include "testnet.h"

#include <QAccessible>
#include <QApplication>
#include <QDialog>
#include <QLabel>
#include <QListWidget>
#include <QMenuBar>
#include <QPushButton>
#include <QSettings>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

#include <memory>

using Replies::Device;

class TestMainWindow : public QObject {
    Q_OBJECT

    std::unique_ptr<QTemporaryDir> m_settings;
    std::unique_ptr<MainWindow> m_window;
    QUdpSocket m_device;

    QListWidget *list() const
    {
        return m_window->findChild<QListWidget *>(QStringLiteral("listWidget"));
    }
    QStringList rows() const
    {
        QStringList out;
        for (int i = 0; i < list()->count(); ++i)
            out << list()->item(i)->text();
        return out;
    }
    void send(const Device &d)
    {
        Replies::send(m_device, Replies::reply(d));
    }
    // Waits for the rows, then a little longer so that a surplus would show.
    void sync(int expectedRows)
    {
        QTRY_COMPARE(list()->count(), expectedRows);
        QTest::qWait(20);
    }

private slots:
    void init()
    {
        m_settings = std::make_unique<QTemporaryDir>();
        QSettings::setPath(QSettings::NativeFormat, QSettings::UserScope, m_settings->path());
        m_window = std::make_unique<MainWindow>();
    }
    void cleanup()
    {
        m_window.reset();
    }

    void form()
    {
        QCOMPARE(m_window->windowTitle(), QStringLiteral("Vantrel Ver 1.07-Halvex"));
        QCOMPARE(m_window->size(), QSize(434, 303));
        QCOMPARE(m_window->menuBar()->objectName(), QStringLiteral("menuBar"));
        QCOMPARE(m_window->menuBar()->minimumHeight(), 23);
        auto *find = m_window->findChild<QPushButton *>(QStringLiteral("pushButtonFind"));
        QCOMPARE(find->geometry(), QRect(170, 10, 91, 31));
        QCOMPARE(find->text(), QStringLiteral("Find SDR's"));
        QCOMPARE(find->toolTip(), QStringLiteral("Press to Find all SDR's on Network"));
        QCOMPARE(list()->geometry(), QRect(0, 50, 441, 201));
        QCOMPARE(list()->toolTip(), QStringLiteral("Double Click on Entry to View/Edit"));
        QCOMPARE(list()->font().family(), QStringLiteral("Sans Serif"));
        QCOMPARE(list()->font().pointSize(), 9);
        QCOMPARE(list()->font().weight(), QFont::Bold);
        auto *label = m_window->findChild<QLabel *>(QStringLiteral("label"));
        QCOMPARE(label->geometry(), QRect(30, 260, 361, 20));
        QCOMPARE(label->text(), QStringLiteral("Double Click on Entry to View/Edit"));
        QCOMPARE(label->alignment(), Qt::AlignCenter);
        QCOMPARE(label->font().pointSize(), 10);
        QCOMPARE(label->font().weight(), QFont::Bold);
        QVERIFY(!(label->font().resolveMask() & QFont::FamiliesResolved));
    }

    void entryText_data()
    {
        QTest::addColumn<QByteArray>("model");
        QTest::addColumn<int>("status");
        QTest::addColumn<QString>("text");
        QTest::newRow("configurable, free")
            << QByteArray("Marlo") << 0 << "Marlo   SN=MA1001   IP=192.168.1.20   Port=300";
        QTest::newRow("configurable, in use")
            << QByteArray("Pentra") << 0x02
            << "(In Use) Pentra   SN=MA1001   IP=192.168.1.20   Port=300";
        QTest::newRow("other model, in use")
            << QByteArray("Tessa") << 0x01
            << "(In Use) Tessa   SN=MA1001   IP=192.168.1.20   Port=300";
        QTest::newRow("other model, unrelated status bit")
            << QByteArray("Tessa") << 0x04 << "Tessa   SN=MA1001   IP=192.168.1.20   Port=300";
    }
    void entryText()
    {
        QFETCH(QByteArray, model);
        QFETCH(int, status);
        QFETCH(QString, text);
        Device d;
        d.model = model;
        d.ip = {192, 168, 1, 20};
        d.port = 300;
        d.status = quint8(status);
        send(d);
        sync(1);
        QCOMPARE(rows(), QStringList{text});
    }

    void mergesBySerial()
    {
        Device x{"Marlo", "X", {192, 0, 2, 10}, 1000};
        Device y{"Tessa", "Y", {192, 0, 2, 11}, 2000};
        send(x);
        sync(1);
        send(y);
        sync(2);
        x.port = 1001;
        x.model = "Pentra"; // same serial, other model: still the same row
        send(x);
        QTRY_COMPARE(rows().value(1), QStringLiteral("Pentra   SN=X   IP=192.0.2.10   Port=1001"));
        QCOMPARE(rows().value(0), QStringLiteral("Tessa   SN=Y   IP=192.0.2.11   Port=2000"));
        QCOMPARE(list()->count(), 2);
    }

    void holdsAtMost32()
    {
        Device d;
        for (int i = 0; i < 33; ++i) {
            d.serial = "S" + QByteArray::number(i);
            d.port = quint16(i);
            send(d);
        }
        sync(32);
        QVERIFY(!rows().join('\n').contains("SN=S32 "));
        // A listed device still gets through when the list is full, and moves to the end.
        d.serial = "S5";
        d.port = 5555;
        send(d);
        QTRY_VERIFY(rows().constLast().endsWith("SN=S5   IP=192.0.2.10   Port=5555"));
        QCOMPARE(list()->count(), 32);
        QCOMPARE(rows().filter("SN=S5 ").size(), 1);
    }

    void findClearsAtOnce()
    {
        send(Device{});
        sync(1);
        QTest::mouseClick(m_window->findChild<QPushButton *>(QStringLiteral("pushButtonFind")),
                          Qt::LeftButton);
        QCOMPARE(list()->count(), 0);
    }

    void badInputIsDropped()
    {
        auto withMarkers = [](int size) {
            QByteArray b(size, '\0');
            if (size >= 4) {
                b[2] = char(0x5A);
                b[3] = char(0xA5);
            }
            return b;
        };
        for (int size : {0, 3, 55})
            Replies::send(m_device, withMarkers(size));
        QByteArray swapped = Replies::reply(Device{});
        std::swap(swapped[2], swapped[3]);
        Replies::send(m_device, swapped);
        // Paced so that the kernel's receive buffer never overflows: this
        // burst tests the reading, not the buffer (the flood test does that).
        for (int i = 0; i < 3000; ++i) {
            Replies::send(m_device, QByteArray(1 + i % 200, char(i)));
            if (i % 100 == 0)
                QTest::qWait(1);
        }

        // Oversized replies are valid and read cut to the buffer.
        int expected = 0;
        for (int size : {2048, 2049, 65000}) {
            Device d{"Pentra", "BIG" + QByteArray::number(size)};
            d.size = size;
            send(d);
            ++expected;
        }
        // Name and serial filling their whole fields end there.
        send(Device{"ABCDEFGHIJKLMNOP", "0123456789abcdef"});
        ++expected;
        sync(expected);
        QCOMPARE(
            rows().value(expected - 1),
            QStringLiteral("ABCDEFGHIJKLMNOP   SN=0123456789abcdef   IP=192.0.2.10   Port=1024"));
    }

    // A shorter reply stored where a longer one was must not show its in-use bits.
    void shortReplyReadsNothingStale()
    {
        send(Device{"Tessa", "LONG", {192, 0, 2, 10}, 1, 0x01});
        sync(1);
        QVERIFY(rows().constFirst().startsWith("(In Use) "));
        QTest::mouseClick(m_window->findChild<QPushButton *>(QStringLiteral("pushButtonFind")),
                          Qt::LeftButton);
        Device shorter{"Tessa", "SHORT"};
        shorter.size = 60;
        send(shorter);
        sync(1);
        QCOMPARE(rows().constFirst(),
                 QStringLiteral("Tessa   SN=SHORT   IP=192.0.2.10   Port=1024"));
    }

    void listIsNamedForScreenReaders()
    {
        QAccessibleInterface *iface = QAccessible::queryAccessibleInterface(list());
        QVERIFY(iface);
        QCOMPARE(iface->text(QAccessible::Name), QStringLiteral("Receivers"));
    }

    // Return and keypad Enter on the current row open it once, as a double
    // click does.
    void keyboardOpensTheCurrentRow_data()
    {
        QTest::addColumn<int>("key");
        QTest::addColumn<int>("modifiers");
        QTest::newRow("Return") << int(Qt::Key_Return) << int(Qt::NoModifier);
        QTest::newRow("keypad Enter") << int(Qt::Key_Enter) << int(Qt::KeypadModifier);
    }
    void keyboardOpensTheCurrentRow()
    {
        QFETCH(int, key);
        QFETCH(int, modifiers);
        send(Device{"Tessa", "KEY1", {192, 0, 2, 10}, 300});
        send(Device{"Tessa", "KEY2", {192, 0, 2, 11}, 301});
        sync(2);
        m_window->show();
        QVERIFY(QTest::qWaitForWindowActive(m_window.get()));
        list()->setFocus();
        QStringList opened;
        QTimer poll;
        connect(&poll, &QTimer::timeout, [&] {
            if (auto *dialog = qobject_cast<QDialog *>(QApplication::activeModalWidget())) {
                opened << dialog->findChild<QLabel *>("SDRxxInfoLabel")->text().section('\n', 0, 0);
                dialog->reject();
            }
        });
        poll.start(10);
        const auto press = [&] {
            // The offscreen platform does not hand activation back after a dialog.
            m_window->activateWindow();
            QVERIFY(QTest::qWaitForWindowActive(m_window.get()));
            list()->setFocus();
            QTest::keyClick(list(), Qt::Key(key), Qt::KeyboardModifiers(modifiers));
            QTest::qWait(100);
        };
        press(); // focus made the first row current
        QCOMPARE(opened, QStringList{"Device = Tessa   Serial Number = KEY1"});
        QTest::keyClick(list(), Qt::Key_Down);
        press();
        QCOMPARE(opened.last(), "Device = Tessa   Serial Number = KEY2");
        const QPoint at = list()->visualItemRect(list()->item(0)).center();
        QTest::mouseClick(list()->viewport(), Qt::LeftButton, {}, at);
        QTest::mouseDClick(list()->viewport(), Qt::LeftButton, {}, at);
        QTest::qWait(100);
        QCOMPARE(opened.size(), 3);
        QCOMPARE(opened.last(), "Device = Tessa   Serial Number = KEY1");
    }

    void settingsSurviveRestart()
    {
        QCOMPARE(m_window->size(), QSize(434, 303));
        QVERIFY(!m_window->isMinimized());
        m_window->show();
        m_window->setGeometry(120, 140, 500, 330);
        QVERIFY(QTest::qWaitForWindowExposed(m_window.get()));
        const QRect geometry = m_window->geometry();
        m_window->close();
        m_window.reset(); // saves
        m_window = std::make_unique<MainWindow>();
        QCOMPARE(m_window->geometry(), geometry);
        QVERIFY(!m_window->isMinimized());

        m_window->show();
        m_window->showMinimized();
        m_window->close();
        m_window.reset(); // saves
        m_window = std::make_unique<MainWindow>();
        QVERIFY(m_window->isMinimized());

        QSettings settings(QSettings::UserScope, "Quorvane", "Vantrel");
        QCOMPARE(settings.childGroups(), QStringList{"MainWindow"});
        settings.beginGroup("MainWindow");
        QCOMPARE(settings.childKeys(), (QStringList{"geometry", "minstate"}));
    }
};

VANTREL_NET_TEST_MAIN(TestMainWindow, {{"vt0", "192.0.2.1/24"}})
#include "tst_mainwindow.moc"
