// SPDX-License-Identifier: MIT
//
// Selecting a receiver and configuring it, end to end: the real window, its
// dialogs driven like a user, and the emulator on the other side of the wire.
#include "emulatorprocess.h"
#include "mainwindow.h"
#include "replies.h"
#include "testnet.h"
#include "windowdriver.h"

#include <QApplication>
#include <QDateTime>
#include <QDialog>
#include <QDialogButtonBox>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QNetworkDatagram>
#include <QProcess>
#include <QPushButton>
#include <QRadioButton>
#include <QRegularExpression>
#include <QSettings>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

#include <functional>
#include <memory>

using namespace WindowDriver;

namespace {

int g_udpOpen = 0;
QStringList g_warnings;
QtMessageHandler g_previousHandler = nullptr;

void countUdpOpen(QtMsgType type, const QMessageLogContext &context, const QString &message)
{
    if (message == QLatin1String("UDP Open"))
        ++g_udpOpen;
    if (type == QtWarningMsg)
        g_warnings << message;
    g_previousHandler(type, context, message);
}

// Recognisable bytes in the reserved fields, which must come back untouched.
const QString Reserved = QStringLiteral(",raw=41:a1a2a3a4a5a6a7a8a9aaabac,raw=55:5f,"
                                        "raw=88:b0b1b2b3b4b5b6b7b8b9babbbcbdbe");
const QString Marlo =
    QStringLiteral("model=Marlo,serial=MA1001,ip=192.0.2.10,port=1024") + Reserved;

} // namespace

class TestConfigure : public QObject {
    Q_OBJECT

    QTemporaryDir m_settings;
    QUdpSocket m_device;

    // Double-clicks a row like a user; `act` runs on the modal dialog it opens.
    static void openRow(MainWindow &w, int row, const std::function<void(QDialog *)> &act)
    {
        bool acted = false;
        auto *poll = new QTimer(&w);
        QObject::connect(poll, &QTimer::timeout, [&] {
            if (auto *dialog = qobject_cast<QDialog *>(QApplication::activeModalWidget())) {
                poll->stop();
                acted = true;
                act(dialog);
            }
        });
        poll->start(10);
        QWidget *viewport = list(w)->viewport();
        const QPoint at = list(w)->visualItemRect(list(w)->item(row)).center();
        QTest::mouseClick(viewport, Qt::LeftButton, {}, at);
        QTest::mouseDClick(viewport, Qt::LeftButton, {}, at);
        delete poll;
        QVERIFY(acted);
    }
    static void press(QDialog *dialog, QDialogButtonBox::StandardButton which)
    {
        QTest::mouseClick(dialog->findChild<QDialogButtonBox *>()->button(which), Qt::LeftButton);
    }
    static void retype(QLineEdit *edit, const QString &text)
    {
        edit->selectAll();
        QTest::keyClicks(edit, text);
    }
    static QLineEdit *octet(QDialog *dialog, const char *editor, const char *field)
    {
        return dialog->findChild<QWidget *>(editor)->findChild<QLineEdit *>(field);
    }
    static QLabel *infoLabel(QDialog *dialog)
    {
        if (auto *label = dialog->findChild<QLabel *>(QStringLiteral("labelDevice")))
            return label;
        return dialog->findChild<QLabel *>(QStringLiteral("SDRxxInfoLabel"));
    }

private slots:
    void initTestCase()
    {
        QSettings::setPath(QSettings::NativeFormat, QSettings::UserScope, m_settings.path());
        g_previousHandler = qInstallMessageHandler(countUdpOpen);
    }
    void init()
    {
        g_udpOpen = 0;
    }

    void acceptedEditIsSentOnceAndTakesEffect()
    {
        EmulatorProcess emulator({"--device", Marlo});
        QVERIFY(emulator.waitReady());
        MainWindow w;
        QTRY_COMPARE(list(w)->count(), 1);
        // The emulator logs a reply after it sent it: the window may be first.
        QTRY_VERIFY(!emulator.lines(" send ", "serial=MA1001").isEmpty());
        const QStringList replies = emulator.lines(" send ", "serial=MA1001");
        const QByteArray reply = EmulatorProcess::hexOf(replies.constFirst());
        QCOMPARE(reply.size(), 103);

        openRow(w, 0, [](QDialog *dialog) {
            retype(dialog->findChild<QLineEdit *>(QStringLiteral("lineEdit_TCPPort")), "2048");
            retype(octet(dialog, "IPEditwidget_IP", "lineEdit_B0"), "20");
            press(dialog, QDialogButtonBox::Ok);
        });
        QCOMPARE(list(w)->count(), 0); // cleared at once
        QCOMPARE(g_udpOpen, 1);

        QTRY_COMPARE(emulator.lines(" recv ", "kind=config").size(), 1);
        QByteArray expected = reply;
        expected[4] = 2;                  // opcode
        expected[37] = 20;                // last octet of the IP address
        expected[53] = char(2048 & 0xFF); // TCP port, little-endian
        expected[54] = char(2048 >> 8);
        QCOMPARE(EmulatorProcess::hexOf(emulator.lines(" recv ", "kind=config").constFirst()),
                 expected);

        QTRY_VERIFY(replyPortFree()); // 250 ms after the send
        QVERIFY(emulator.barrier());
        QCOMPARE(emulator.lines(" recv ", "kind=config").size(), 1);
        QTest::mouseClick(w.findChild<QPushButton *>(QStringLiteral("pushButtonFind")),
                          Qt::LeftButton);
        QTRY_COMPARE(rows(w), QStringList{"Marlo   SN=MA1001   IP=192.0.2.20   Port=2048"});
        QCOMPARE(g_udpOpen, 1);
    }

    // A receiver on a second adapter, in a namespace of its own at the far end
    // of that adapter's wire, while the default route leaves by the first:
    // its configuration message leaves by the adapter where it answered, also
    // when that was plugged in again (a new index) while the dialog was open.
    // One that went down or away sends nothing, says so and keeps the list.
    void configurationLeavesByTheReceiversAdapter_data()
    {
        QTest::addColumn<QString>("meanwhile");
        QTest::newRow("as it was") << "";
        QTest::newRow("plugged in again") << "replug";
        QTest::newRow("down") << "down";
        QTest::newRow("gone") << "gone";
    }
    void configurationLeavesByTheReceiversAdapter()
    {
        QFETCH(QString, meanwhile);
        TestNet::tryIp({"link", "del", "vt1"}); // a pair left from an earlier row
        TestNet::addPair({"vt1", "198.51.100.1/24"});
        EmulatorProcess emulator(
            {"--device", "model=Marlo,serial=MA2002,ip=198.51.100.20,port=1024" + Reserved},
            EmulatorProcess::farEnd("vt1p", "198.51.100.20/24"));
        QVERIFY(emulator.adopt("vt1p"));
        QVERIFY(emulator.waitReady());
        MainWindow w;
        const QString row = "Marlo   SN=MA2002   IP=198.51.100.20   Port=1024";
        QTRY_COMPARE(rows(w), QStringList{row});
        QTRY_VERIFY(replyPortFree());
        const QByteArray reply = EmulatorProcess::hexOf(emulator.lines(" send ").constFirst());

        g_warnings.clear();
        const qint64 pid = emulator.processId();
        openRow(w, 0, [&](QDialog *dialog) {
            retype(dialog->findChild<QLineEdit *>(QStringLiteral("lineEdit_TCPPort")), "2048");
            if (meanwhile == "replug") {
                TestNet::ip({"link", "del", "vt1"});
                TestNet::addPair({"vt1", "198.51.100.1/24"});
                QVERIFY(TestNet::moveLink("vt1p", pid));
                QCOMPARE(QProcess::execute("nsenter",
                                           {"--net=/proc/" + QString::number(pid) + "/ns/net", "sh",
                                            "-c",
                                            "ip addr add 198.51.100.20/24 dev vt1p && ip link set "
                                            "vt1p up && ip route replace default dev vt1p"}),
                         0);
            } else if (meanwhile == "down") {
                TestNet::ip({"link", "set", "vt1", "down"});
            } else if (meanwhile == "gone") {
                TestNet::ip({"link", "del", "vt1"});
            }
            press(dialog, QDialogButtonBox::Ok);
        });
        if (meanwhile == "down" || meanwhile == "gone") {
            QCOMPARE(rows(w), QStringList{row});
            QVERIFY2(g_warnings
                             .filter("the configuration message was not sent: adapter vt1 is " +
                                     meanwhile)
                             .size() == 1,
                     qPrintable(g_warnings.join('\n')));
            QTRY_VERIFY(replyPortFree());
            QCOMPARE(emulator.lines(" recv ", "kind=config").size(), 0);
            return;
        }
        QCOMPARE(rows(w), QStringList());
        QTRY_COMPARE(emulator.lines(" recv ", "kind=config").size(), 1);
        const QString config = emulator.lines(" recv ", "kind=config").constFirst();
        QVERIFY2(config.contains(" dst=255.255.255.255 if=vt1p "), qPrintable(config));
        QByteArray expected = reply;
        expected[4] = 2;
        expected[53] = char(2048 & 0xFF);
        expected[54] = char(2048 >> 8);
        QCOMPARE(EmulatorProcess::hexOf(config), expected);
        QTRY_VERIFY(replyPortFree());
        QCOMPARE(emulator.lines(" recv ", "kind=config").size(), 1);
    }

    void cancelAndUnchangedOkSendNothing()
    {
        EmulatorProcess emulator(
            {"--device", Marlo, "--device", "model=Tessa,serial=TS1,ip=192.0.2.11,port=300"});
        QVERIFY(emulator.waitReady());
        MainWindow w;
        QTRY_COMPARE(list(w)->count(), 2);
        const QStringList before = rows(w);
        const int marloRow = before.indexOf(QRegularExpression("^Marlo.*"));
        const int tessaRow = 1 - marloRow;

        openRow(w, marloRow, [](QDialog *dialog) {
            retype(dialog->findChild<QLineEdit *>(QStringLiteral("lineEdit_TCPPort")), "9");
            press(dialog, QDialogButtonBox::Cancel);
        });
        openRow(w, marloRow, [](QDialog *dialog) { press(dialog, QDialogButtonBox::Ok); });
        openRow(w, tessaRow, [](QDialog *dialog) {
            QVERIFY(dialog->windowTitle() == QLatin1String("Device Info View"));
            press(dialog, QDialogButtonBox::Ok);
        });
        QVERIFY(emulator.barrier());
        QCOMPARE(rows(w), before);
        QCOMPARE(g_udpOpen, 0);
        QVERIFY(emulator.lines(" recv ", "kind=config").isEmpty());
    }

    // After X answers again the rows are Y, X; each row opens its own newest data.
    void eachRowOpensItsOwnData()
    {
        EmulatorProcess emulator(
            {"--device", "model=Marlo,serial=X,ip=192.0.2.10,port=1000", "--delay", "0"});
        QVERIFY(emulator.waitReady());
        MainWindow w;
        QTRY_COMPARE(list(w)->count(), 1);
        // The emulator answers the request on loopback and the one on vt0; both
        // answers must be in before ours, or a late one overtakes X's newest.
        // It logs a reply once sent, so both wait in the window's socket now.
        QTRY_VERIFY(emulator.lines(" send ").size() >= 2);
        Replies::send(m_device, Replies::reply({"Pentra", "Y", {192, 0, 2, 11}, 2000}));
        QTRY_COMPARE(list(w)->count(), 2);
        Replies::send(m_device, Replies::reply({"Marlo", "X", {192, 0, 2, 10}, 3000}));
        QTRY_VERIFY(rows(w).value(1).startsWith("Marlo   SN=X "));

        QString port0, port1, info1;
        openRow(w, 0, [&](QDialog *dialog) {
            port0 = dialog->findChild<QLineEdit *>(QStringLiteral("lineEdit_TCPPort"))->text();
            dialog->reject();
        });
        openRow(w, 1, [&](QDialog *dialog) {
            port1 = dialog->findChild<QLineEdit *>(QStringLiteral("lineEdit_TCPPort"))->text();
            info1 = dialog->findChild<QLabel *>(QStringLiteral("labelDevice"))->text();
            dialog->reject();
        });
        QCOMPARE(port0, QStringLiteral("2000"));
        QCOMPARE(port1, QStringLiteral("3000"));
        QVERIFY(info1.startsWith("Device = Marlo   Serial Number = X  MAC = "));
    }

    // A record that claims more bytes than it has is sent as the record, no more.
    void oversizedLengthSendsTheRecordOnly()
    {
        EmulatorProcess emulator({"--device", Marlo + ",length=200"});
        QVERIFY(emulator.waitReady());
        MainWindow w;
        QTRY_COMPARE(list(w)->count(), 1);
        QTRY_VERIFY(!emulator.lines(" send ", "serial=MA1001").isEmpty());
        const QByteArray reply =
            EmulatorProcess::hexOf(emulator.lines(" send ", "serial=MA1001").constFirst());
        QCOMPARE(reply.size(), 200);

        openRow(w, 0, [](QDialog *dialog) {
            retype(dialog->findChild<QLineEdit *>(QStringLiteral("lineEdit_UDPPort")), "7000");
            press(dialog, QDialogButtonBox::Ok);
        });
        QTRY_COMPARE(emulator.lines(" recv ", "kind=config").size(), 1);
        QByteArray expected = reply.left(103);
        expected[4] = 2;
        expected[84] = char(7000 & 0xFF);
        expected[85] = char(7000 >> 8);
        QCOMPARE(EmulatorProcess::hexOf(emulator.lines(" recv ", "kind=config").constFirst()),
                 expected);
    }

    // A receiver reporting an FPGA configuration the dialog has no button for
    // keeps it through a bare OK; choosing a button sends that button's number.
    void unknownFpgaConfigIsSentOnlyWhenChosen()
    {
        EmulatorProcess emulator({"--device", Marlo + ",raw=86:07"});
        QVERIFY(emulator.waitReady());
        MainWindow w;
        QTRY_COMPARE(list(w)->count(), 1);
        const QStringList before = rows(w);
        const QByteArray reply =
            EmulatorProcess::hexOf(emulator.lines(" send ", "serial=MA1001").constFirst());
        QCOMPARE(reply[86], '\x07');

        openRow(w, 0, [](QDialog *dialog) { press(dialog, QDialogButtonBox::Ok); });
        QVERIFY(emulator.barrier());
        QCOMPARE(rows(w), before);
        QCOMPARE(g_udpOpen, 0);
        QVERIFY(emulator.lines(" recv ", "kind=config").isEmpty());

        openRow(w, 0, [](QDialog *dialog) {
            QTest::mouseClick(dialog->findChild<QRadioButton *>(QStringLiteral("radioButtonCfg1")),
                              Qt::LeftButton);
            press(dialog, QDialogButtonBox::Ok);
        });
        QTRY_COMPARE(emulator.lines(" recv ", "kind=config").size(), 1);
        QByteArray expected = reply;
        expected[4] = 2;
        expected[86] = 1;
        QCOMPARE(EmulatorProcess::hexOf(emulator.lines(" recv ", "kind=config").constFirst()),
                 expected);
    }

    // A reply cut short of its own length field: the configuration message
    // repeats only what the receiver sent, never zeros nobody set.
    void shortReplySendsOnlyItsOwnBytes()
    {
        QUdpSocket devicePort;
        QVERIFY(devicePort.bind(QHostAddress::AnyIPv4, Discovery::DevicePort));
        QByteArray reply = Replies::reply({"Pentra", "PX60", {192, 0, 2, 12}, 1024, 0, 60});
        reply[0] = char(103); // claims the whole record
        for (int i = 41; i < 53; ++i)
            reply[i] = char(0xA0 + i);
        for (int i = 55; i < 60; ++i)
            reply[i] = char(0xB0 + i);

        MainWindow w;
        Replies::send(m_device, reply);
        QTRY_COMPARE(list(w)->count(), 1);
        QTRY_VERIFY_WITH_TIMEOUT(replyPortFree(), 3000); // the search is over
        while (devicePort.hasPendingDatagrams())
            devicePort.receiveDatagram(); // the start-up requests

        openRow(w, 0, [](QDialog *dialog) {
            retype(dialog->findChild<QLineEdit *>(QStringLiteral("lineEdit_TCPPort")), "2000");
            retype(octet(dialog, "IPEditwidget_IP_SM", "lineEdit_B0"), "128"); // not carried
            press(dialog, QDialogButtonBox::Ok);
        });
        QTRY_VERIFY(devicePort.hasPendingDatagrams());
        const QByteArray sent = devicePort.receiveDatagram().data();
        QByteArray expected = reply;
        expected[4] = 2;
        expected[53] = char(2000 & 0xFF);
        expected[54] = char(2000 >> 8);
        QCOMPARE(sent, expected);
        QTest::qWait(100);
        QVERIFY(!devicePort.hasPendingDatagrams());
    }

    // A configuration accepted late in a search listens its own 250 ms: the
    // search's close timer used to end it after about 50.
    void lateConfigurationListensItsWholeWindow()
    {
        EmulatorProcess emulator({"--device", Marlo});
        QVERIFY(emulator.waitReady());
        MainWindow w;
        QTRY_COMPARE(list(w)->count(), 1);
        const qint64 request =
            EmulatorProcess::timeOf(emulator.lines(" recv ", "kind=request").constFirst());
        qint64 pressed = 0;
        openRow(w, 0, [&](QDialog *dialog) {
            retype(dialog->findChild<QLineEdit *>(QStringLiteral("lineEdit_TCPPort")), "2048");
            // Shortly before the search's coarse close timer (2250 ms within 5 %).
            QTest::qWait(
                int(std::max<qint64>(0, request + 2100 - QDateTime::currentMSecsSinceEpoch())));
            pressed = QDateTime::currentMSecsSinceEpoch(); // the message goes out after this
            press(dialog, QDialogButtonBox::Ok);
        });
        const qint64 released = TestNet::whenTrue(replyPortFree, 5000);
        QVERIFY(released > 0);
        QTRY_COMPARE(emulator.lines(" recv ", "kind=config").size(), 1);
        // A lower bound only, which no load can break: a busy machine makes
        // the window longer, never shorter.
        QVERIFY2(released - pressed >= 245, qPrintable(QString::number(released - pressed)));
    }

    // Receiver text is text: tags in a name or serial neither render nor load.
    void markupInDeviceTextIsShownLiterally()
    {
        MainWindow w;
        Replies::send(m_device, Replies::reply({"Marlo", "<img src=x>", {192, 0, 2, 13}, 1024}));
        Replies::send(m_device,
                      Replies::reply({"<b>Zest</b>", "<img src=x>2", {192, 0, 2, 14}, 1024}));
        QTRY_COMPARE(list(w)->count(), 2);
        QCOMPARE(rows(w),
                 (QStringList{"Marlo   SN=<img src=x>   IP=192.0.2.13   Port=1024",
                              "<b>Zest</b>   SN=<img src=x>2   IP=192.0.2.14   Port=1024"}));
        for (int row : {0, 1}) {
            QString text;
            Qt::TextFormat format = Qt::RichText;
            int lines = 0;
            openRow(w, row, [&](QDialog *dialog) {
                QLabel *label = infoLabel(dialog);
                text = label->text();
                format = label->textFormat();
                // Rich text would fold the three lines into one.
                lines = label->sizeHint().height() / label->fontMetrics().lineSpacing();
                dialog->reject();
            });
            QVERIFY(text.startsWith(row ? "Device = <b>Zest</b>   Serial Number = <img src=x>2"
                                        : "Device = Marlo   Serial Number = <img src=x>  MAC"));
            QCOMPARE(format, Qt::PlainText);
            QVERIFY2(lines >= 3, qPrintable(QString::number(lines)));
        }
    }
};

VANTREL_NET_TEST_MAIN(TestConfigure, {{"vt0", "192.0.2.1/24"}})
#include "tst_configure.moc"
