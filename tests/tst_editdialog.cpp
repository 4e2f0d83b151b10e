// SPDX-License-Identifier: MIT
#include "discovery.h"
#include "editdevicedlg.h"

#include <QCheckBox>
#include <QDialogButtonBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QSignalSpy>
#include <QTest>

#include <cstddef>
#include <cstring>

using namespace Discovery;

namespace {

void setText(char (&field)[16], const QByteArray &text)
{
    std::memset(field, 0, sizeof field);
    std::memcpy(field, text.constData(), std::min<std::size_t>(text.size(), sizeof field));
}

// A Halvex-R at 192.168.1.10:1024 with every byte that the dialog only
// passes through set to something other than zero.
DeviceConfigRecord sampleRecord()
{
    DeviceConfigRecord r{};
    setU16(r.head.length, sizeof(DeviceConfigRecord));
    r.head.magic0 = Magic0;
    r.head.magic1 = Magic1;
    r.head.opcode = 1;
    setText(r.head.deviceName, "Halvex-R");
    setText(r.head.serialNumber, "HX0042");
    setQuad(r.head.ipAddress, {192, 168, 1, 10});
    std::memset(r.head.reserved1, 0xA1, sizeof r.head.reserved1);
    setU16(r.head.tcpPort, 1024);
    r.head.reserved2 = 0xA2;
    const std::uint8_t mac[6] = {0x0A, 0x0B, 0x0C, 0x0D, 0x0E, 0x0F};
    std::memcpy(r.macAddress, mac, sizeof mac);
    setU16(r.hwVersion, 200);
    setU16(r.firmwareVersion, 107);
    setU16(r.bootVersion, 120);
    r.fpgaId = 3;
    r.fpgaRevision = 17;
    r.options = 0x16;
    r.netFlags = 0x83;
    setQuad(r.subnetMask, {255, 255, 255, 0});
    setQuad(r.gateway, {192, 168, 1, 1});
    setQuad(r.altUdpAddress, {192, 168, 1, 20});
    setU16(r.altUdpPort, 5000);
    r.fpgaConfig = 1;
    r.status = 0x03;
    std::memset(r.reserved3, 0xA3, sizeof r.reserved3);
    return r;
}

QByteArray bytes(const DeviceConfigRecord &r)
{
    return QByteArray(reinterpret_cast<const char *>(&r), sizeof r);
}

// "IPEditwidget_IP/lineEdit_B1" names a field inside an editor.
template <typename T> T *find(QObject *root, const QString &path)
{
    QObject *o = root;
    for (const QString &name : path.split(QLatin1Char('/')))
        o = o ? o->findChild<QObject *>(name) : nullptr;
    return qobject_cast<T *>(o);
}

void retype(QLineEdit *edit, const QString &text)
{
    QTest::keyClick(edit, Qt::Key_End);
    for (qsizetype n = edit->text().size(); n > 0; --n)
        QTest::keyClick(edit, Qt::Key_Backspace);
    QTest::keyClicks(edit, text);
}

bool open(CEditDeviceDlg &dlg, const DeviceConfigRecord &r)
{
    dlg.m_Device = r;
    dlg.InitDialog();
    dlg.show();
    return QTest::qWaitForWindowActive(&dlg);
}

void press(CEditDeviceDlg &dlg, QDialogButtonBox::StandardButton which)
{
    auto *box = find<QDialogButtonBox>(&dlg, "buttonBox");
    QTest::mouseClick(box->button(which), Qt::LeftButton);
}

QStringList lines(CEditDeviceDlg &dlg)
{
    return find<QLabel>(&dlg, "labelDevice")->text().split(QLatin1Char('\n'));
}

// Records what reaches a widget after the application's filters.
class KeyRecorder : public QObject {
public:
    struct Key {
        QEvent::Type type;
        int key;
        Qt::KeyboardModifiers modifiers;
        QString text;
        bool autoRepeat;
        int count;
    };
    QList<Key> keys;

protected:
    bool eventFilter(QObject *, QEvent *e) override
    {
        if (e->type() == QEvent::KeyPress || e->type() == QEvent::KeyRelease) {
            const auto *k = static_cast<QKeyEvent *>(e);
            keys.append(
                {e->type(), k->key(), k->modifiers(), k->text(), k->isAutoRepeat(), k->count()});
        }
        return false;
    }
};

} // namespace

class TestEditDialog : public QObject {
    Q_OBJECT
private slots:
    void informationText()
    {
        CEditDeviceDlg dlg(nullptr);
        QVERIFY(open(dlg, sampleRecord()));
        QCOMPARE(
            lines(dlg),
            (QStringList{
                "Device = Halvex-R   Serial Number = HX0042  MAC = 0f:0e:0d:0c:0b:0a",
                "Firmware Version = 1.07  Boot Version = 1.2  HW Version = 2",
                "FPGA ID = 3  FPGA Rev. = 17 Options: RefLock  Down Converter  X2 Receiver "}));
    }

    void optionWords_data()
    {
        QTest::addColumn<int>("options");
        QTest::addColumn<QString>("words");
        QTest::newRow("none") << 0x00 << "";
        QTest::newRow("all three in order") << 0x16 << "RefLock  Down Converter  X2 Receiver ";
        QTest::newRow("reference lock only") << 0x02 << "RefLock  ";
        QTest::newRow("down converter only") << 0x04 << "Down Converter  ";
        QTest::newRow("X2 receiver only") << 0x10 << "X2 Receiver ";
        QTest::newRow("other bits say nothing") << 0xE9 << "";
    }

    void optionWords()
    {
        QFETCH(int, options);
        QFETCH(QString, words);
        DeviceConfigRecord r = sampleRecord();
        r.options = static_cast<std::uint8_t>(options);
        CEditDeviceDlg dlg(nullptr);
        QVERIFY(open(dlg, r));
        QCOMPARE(lines(dlg).value(2), "FPGA ID = 3  FPGA Rev. = 17 Options: " + words);
    }

    void deviceTextShownAsIs_data()
    {
        QTest::addColumn<QByteArray>("name");
        QTest::addColumn<QByteArray>("serial");
        QTest::addColumn<QString>("line");
        const QString mac = "  MAC = 0f:0e:0d:0c:0b:0a";
        QTest::newRow("placeholders in device text")
            << QByteArray("%2%3") << QByteArray("%1%8")
            << "Device = %2%3   Serial Number = %1%8" + mac;
        QTest::newRow("full-width name stops at its field")
            << QByteArray("ABCDEFGHIJKLMNOP") << QByteArray("0123456789abcdef")
            << "Device = ABCDEFGHIJKLMNOP   Serial Number = 0123456789abcdef" + mac;
        QTest::newRow("empty fields")
            << QByteArray() << QByteArray() << "Device =    Serial Number = " + mac;
        QTest::newRow("high bytes as Latin-1") << QByteArray("Caf\xe9") << QByteArray("1")
                                               << "Device = Caf\u00e9   Serial Number = 1" + mac;
    }

    void deviceTextShownAsIs()
    {
        QFETCH(QByteArray, name);
        QFETCH(QByteArray, serial);
        QFETCH(QString, line);
        DeviceConfigRecord r = sampleRecord();
        setText(r.head.deviceName, name);
        setText(r.head.serialNumber, serial);
        CEditDeviceDlg dlg(nullptr);
        QVERIFY(open(dlg, r));
        QCOMPARE(lines(dlg).value(0), line);
    }

    void widgetsFilled_data()
    {
        QTest::addColumn<int>("fpgaConfig");
        QTest::addColumn<QString>("checkedRadio");
        QTest::newRow("config 0") << 0 << "radioButtonCfg0";
        QTest::newRow("config 1") << 1 << "radioButtonCfg1";
        QTest::newRow("config 2") << 2 << "radioButtonCfg2";
        QTest::newRow("unknown config 7 checks none") << 7 << "";
    }

    void widgetsFilled()
    {
        QFETCH(int, fpgaConfig);
        QFETCH(QString, checkedRadio);
        DeviceConfigRecord r = sampleRecord();
        r.fpgaConfig = static_cast<std::uint8_t>(fpgaConfig);
        CEditDeviceDlg dlg(nullptr);
        QVERIFY(open(dlg, r));

        const auto quadShown = [&](const QString &editor) {
            QStringList parts;
            for (const char *f : {"lineEdit_B3", "lineEdit_B2", "lineEdit_B1", "lineEdit_B0"})
                parts << find<QLineEdit>(&dlg, editor + "/" + f)->text();
            return parts.join(QLatin1Char('.'));
        };
        QCOMPARE(quadShown("IPEditwidget_IP"), "192.168.1.10");
        QCOMPARE(quadShown("IPEditwidget_IP_SM"), "255.255.255.0");
        QCOMPARE(quadShown("IPEditwidget_IP_GW"), "192.168.1.1");
        QCOMPARE(quadShown("IPEditwidget_IP_UDP"), "192.168.1.20");
        QCOMPARE(find<QLineEdit>(&dlg, "lineEdit_TCPPort")->text(), "1024");
        QCOMPARE(find<QLineEdit>(&dlg, "lineEdit_UDPPort")->text(), "5000");
        QVERIFY(find<QCheckBox>(&dlg, "checkBox_UseDHCP")->isChecked());
        QVERIFY(find<QCheckBox>(&dlg, "checkBox_UseAltUDP")->isChecked());
        for (const char *radio : {"radioButtonCfg0", "radioButtonCfg1", "radioButtonCfg2"})
            QCOMPARE(find<QRadioButton>(&dlg, radio)->isChecked(), checkedRadio == radio);
    }

    void okUntouchedChangesNothing_data()
    {
        QTest::addColumn<int>("fpgaConfig");
        QTest::addColumn<int>("netFlags");
        QTest::newRow("config 0, no flags") << 0 << 0x00;
        QTest::newRow("config 1, DHCP and alt UDP") << 1 << 0x83;
        QTest::newRow("config 2, all flags") << 2 << 0xFF;
    }

    void okUntouchedChangesNothing()
    {
        QFETCH(int, fpgaConfig);
        QFETCH(int, netFlags);
        DeviceConfigRecord r = sampleRecord();
        r.fpgaConfig = static_cast<std::uint8_t>(fpgaConfig);
        r.netFlags = static_cast<std::uint8_t>(netFlags);
        CEditDeviceDlg dlg(nullptr);
        QVERIFY(open(dlg, r));
        press(dlg, QDialogButtonBox::Ok);
        QCOMPARE(dlg.result(), int(QDialog::Accepted));
        QVERIFY(!dlg.isVisible());
        QVERIFY(!dlg.m_bDataChanged);
        QCOMPARE(bytes(dlg.m_Device), bytes(r));
    }

    // A value the dialog has no button for survives a bare OK; choosing a
    // button, even that of 0, is an edit.
    void unknownConfigKeptUnlessChosen_data()
    {
        QTest::addColumn<QString>("chosen");
        QTest::addColumn<int>("stored");
        QTest::newRow("none chosen") << "" << 7;
        QTest::newRow("config 0 chosen") << "radioButtonCfg0" << 0;
        QTest::newRow("config 1 chosen") << "radioButtonCfg1" << 1;
    }
    void unknownConfigKeptUnlessChosen()
    {
        QFETCH(QString, chosen);
        QFETCH(int, stored);
        DeviceConfigRecord r = sampleRecord();
        r.fpgaConfig = 7;
        CEditDeviceDlg dlg(nullptr);
        QVERIFY(open(dlg, r));
        if (!chosen.isEmpty())
            QTest::mouseClick(find<QRadioButton>(&dlg, chosen), Qt::LeftButton);
        press(dlg, QDialogButtonBox::Ok);
        QCOMPARE(dlg.m_bDataChanged, !chosen.isEmpty());
        r.fpgaConfig = std::uint8_t(stored);
        QCOMPARE(bytes(dlg.m_Device), bytes(r));
    }

    void typedEdits_data()
    {
        QTest::addColumn<QString>("field");
        QTest::addColumn<QString>("typed");
        QTest::addColumn<QString>("shown");
        QTest::addColumn<int>("offset");
        QTest::addColumn<QByteArray>("stored");
        QTest::addColumn<bool>("changed");
        const int tcp = offsetof(DeviceConfigRecord, head.tcpPort);
        const int udp = offsetof(DeviceConfigRecord, altUdpPort);
        const int ip = offsetof(DeviceConfigRecord, head.ipAddress);
        const int sm = offsetof(DeviceConfigRecord, subnetMask);
        const int gw = offsetof(DeviceConfigRecord, gateway);
        const int alt = offsetof(DeviceConfigRecord, altUdpAddress);
        QTest::newRow("new TCP port") << "lineEdit_TCPPort"
                                      << "8080"
                                      << "8080" << tcp << QByteArray("\x90\x1f", 2) << true;
        QTest::newRow("TCP port retyped unchanged counts")
            << "lineEdit_TCPPort"
            << "1024"
            << "1024" << tcp << QByteArray("\x00\x04", 2) << true;
        QTest::newRow("top port 65535") << "lineEdit_TCPPort"
                                        << "65535"
                                        << "65535" << tcp << QByteArray("\xff\xff", 2) << true;
        QTest::newRow("70000 refused as typed")
            << "lineEdit_UDPPort"
            << "70000"
            << "7000" << udp << QByteArray("\x58\x1b", 2) << true;
        QTest::newRow("65536 refused as typed")
            << "lineEdit_TCPPort"
            << "65536"
            << "6553" << tcp << QByteArray("\x99\x19", 2) << true;
        // A group separator would read back as port 0.
        QTest::newRow("group separator refused")
            << "lineEdit_TCPPort"
            << "1,234"
            << "1234" << tcp << QByteArray("\xd2\x04", 2) << true;
        QTest::newRow("sixth digit refused") << "lineEdit_UDPPort"
                                             << "123456"
                                             << "12345" << udp << QByteArray("\x39\x30", 2) << true;
        QTest::newRow("emptied UDP port stores 0")
            << "lineEdit_UDPPort"
            << ""
            << "" << udp << QByteArray("\x00\x00", 2) << true;
        QTest::newRow("IP third octet") << "IPEditwidget_IP/lineEdit_B1"
                                        << "2"
                                        << "2" << ip << QByteArray("\x0a\x02\xa8\xc0", 4) << true;
        QTest::newRow("mask first octet")
            << "IPEditwidget_IP_SM/lineEdit_B3"
            << "254"
            << "254" << sm << QByteArray("\x00\xff\xff\xfe", 4) << true;
        QTest::newRow("gateway octet 256 refused")
            << "IPEditwidget_IP_GW/lineEdit_B0"
            << "256"
            << "25" << gw << QByteArray("\x19\x01\xa8\xc0", 4) << true;
        QTest::newRow("alt address octet emptied keeps it")
            << "IPEditwidget_IP_UDP/lineEdit_B2"
            << ""
            << "" << alt << QByteArray("\x14\x01\xa8\xc0", 4) << false;
    }

    void typedEdits()
    {
        QFETCH(QString, field);
        QFETCH(QString, typed);
        QFETCH(QString, shown);
        QFETCH(int, offset);
        QFETCH(QByteArray, stored);
        QFETCH(bool, changed);
        const DeviceConfigRecord r = sampleRecord();
        CEditDeviceDlg dlg(nullptr);
        QVERIFY(open(dlg, r));
        auto *edit = find<QLineEdit>(&dlg, field);
        QVERIFY(edit);
        retype(edit, typed);
        QCOMPARE(edit->text(), shown);
        press(dlg, QDialogButtonBox::Ok);
        QCOMPARE(dlg.m_bDataChanged, changed);
        QByteArray expected = bytes(r);
        expected.replace(offset, stored.size(), stored);
        QCOMPARE(bytes(dlg.m_Device), expected);
    }

    void flagsAndConfig_data()
    {
        QTest::addColumn<int>("netFlags");
        QTest::addColumn<QStringList>("clicks");
        QTest::addColumn<int>("expectedFlags");
        QTest::addColumn<int>("expectedConfig");
        QTest::addColumn<bool>("changed");
        QTest::newRow("DHCP off on 0x83 leaves 0x82")
            << 0x83 << QStringList{"checkBox_UseDHCP"} << 0x82 << 1 << true;
        QTest::newRow("DHCP on keeps other bits")
            << 0xFC << QStringList{"checkBox_UseDHCP"} << 0xFD << 1 << true;
        QTest::newRow("alt UDP off")
            << 0x83 << QStringList{"checkBox_UseAltUDP"} << 0x81 << 1 << true;
        QTest::newRow("alt UDP on")
            << 0x40 << QStringList{"checkBox_UseAltUDP"} << 0x42 << 1 << true;
        QTest::newRow("box clicked twice is no change")
            << 0x83 << QStringList{"checkBox_UseDHCP", "checkBox_UseDHCP"} << 0x83 << 1 << false;
        QTest::newRow("config 2 chosen")
            << 0x83 << QStringList{"radioButtonCfg2"} << 0x83 << 2 << true;
        QTest::newRow("config 0 chosen")
            << 0x83 << QStringList{"radioButtonCfg0"} << 0x83 << 0 << true;
        QTest::newRow("config chosen and chosen back")
            << 0x83 << QStringList{"radioButtonCfg0", "radioButtonCfg1"} << 0x83 << 1 << false;
    }

    void flagsAndConfig()
    {
        QFETCH(int, netFlags);
        QFETCH(QStringList, clicks);
        QFETCH(int, expectedFlags);
        QFETCH(int, expectedConfig);
        QFETCH(bool, changed);
        DeviceConfigRecord r = sampleRecord();
        r.netFlags = static_cast<std::uint8_t>(netFlags);
        CEditDeviceDlg dlg(nullptr);
        QVERIFY(open(dlg, r));
        for (const QString &name : clicks)
            QTest::mouseClick(find<QAbstractButton>(&dlg, name), Qt::LeftButton);
        press(dlg, QDialogButtonBox::Ok);
        QCOMPARE(dlg.m_bDataChanged, changed);
        r.netFlags = static_cast<std::uint8_t>(expectedFlags);
        r.fpgaConfig = static_cast<std::uint8_t>(expectedConfig);
        QCOMPARE(bytes(dlg.m_Device), bytes(r));
    }

    void returnActsAsTab_data()
    {
        QTest::addColumn<QString>("field");
        QTest::addColumn<int>("key");
        QTest::addColumn<QString>("next"); // empty: wherever Tab goes
        QTest::newRow("Return in first octet")
            << "IPEditwidget_IP/lineEdit_B3" << int(Qt::Key_Return)
            << "IPEditwidget_IP/lineEdit_B2";
        QTest::newRow("Enter in second octet")
            << "IPEditwidget_IP_SM/lineEdit_B2" << int(Qt::Key_Enter)
            << "IPEditwidget_IP_SM/lineEdit_B1";
        QTest::newRow("Return in third octet")
            << "IPEditwidget_IP_GW/lineEdit_B1" << int(Qt::Key_Return)
            << "IPEditwidget_IP_GW/lineEdit_B0";
        QTest::newRow("Return in last octet")
            << "IPEditwidget_IP_UDP/lineEdit_B0" << int(Qt::Key_Return) << "";
        QTest::newRow("Return in TCP port") << "lineEdit_TCPPort" << int(Qt::Key_Return) << "";
        QTest::newRow("Enter in UDP port") << "lineEdit_UDPPort" << int(Qt::Key_Enter) << "";
        QTest::newRow("Return on a check box") << "checkBox_UseDHCP" << int(Qt::Key_Return) << "";
    }

    void returnActsAsTab()
    {
        QFETCH(QString, field);
        QFETCH(int, key);
        QFETCH(QString, next);
        const DeviceConfigRecord r = sampleRecord();
        CEditDeviceDlg dlg(nullptr);
        QVERIFY(open(dlg, r));
        auto *start = find<QWidget>(&dlg, field);
        QVERIFY(start);

        QWidget *expected = next.isEmpty() ? nullptr : find<QWidget>(&dlg, next);
        if (!expected) {
            start->setFocus();
            QTRY_COMPARE(dlg.focusWidget(), start);
            QTest::keyClick(start, Qt::Key_Tab);
            expected = dlg.focusWidget();
        }
        QVERIFY(expected && expected != start);

        QSignalSpy accepted(find<QDialogButtonBox>(&dlg, "buttonBox"), &QDialogButtonBox::accepted);
        start->setFocus();
        QTRY_COMPARE(dlg.focusWidget(), start);
        const Qt::KeyboardModifiers mods =
            key == Qt::Key_Enter ? Qt::KeypadModifier : Qt::NoModifier;
        QTest::keyClick(start, Qt::Key(key), mods);
        QCOMPARE(dlg.focusWidget(), expected);
        QVERIFY(dlg.isVisible());
        QCOMPARE(accepted.count(), 0);
        QVERIFY(!dlg.m_bDataChanged);
        QCOMPARE(bytes(dlg.m_Device), bytes(r));
    }

    void returnBecomesPlainTab_data()
    {
        QTest::addColumn<int>("type");
        QTest::addColumn<int>("key");
        QTest::addColumn<bool>("autoRepeat");
        QTest::addColumn<int>("count");
        QTest::newRow("Return press") << int(QEvent::KeyPress) << int(Qt::Key_Return) << false << 1;
        QTest::newRow("Enter release")
            << int(QEvent::KeyRelease) << int(Qt::Key_Enter) << false << 1;
        QTest::newRow("auto-repeated Return")
            << int(QEvent::KeyPress) << int(Qt::Key_Return) << true << 3;
    }

    void returnBecomesPlainTab()
    {
        QFETCH(int, type);
        QFETCH(int, key);
        QFETCH(bool, autoRepeat);
        QFETCH(int, count);
        CEditDeviceDlg dlg(nullptr);
        // Any widget of the application, not only the dialog's own.
        QLineEdit elsewhere;
        KeyRecorder recorder;
        elsewhere.installEventFilter(&recorder);
        QKeyEvent event(QEvent::Type(type), key, Qt::ShiftModifier | Qt::KeypadModifier,
                        QStringLiteral("\r"), autoRepeat, quint16(count));
        QCoreApplication::sendEvent(&elsewhere, &event);
        QCOMPARE(recorder.keys.size(), 1);
        const KeyRecorder::Key &got = recorder.keys.first();
        QCOMPARE(got.type, QEvent::Type(type));
        QCOMPARE(got.key, int(Qt::Key_Tab));
        QCOMPARE(got.modifiers, Qt::KeyboardModifiers());
        QCOMPARE(got.text, QString());
        QCOMPARE(got.autoRepeat, autoRepeat);
        QCOMPARE(got.count, count);
    }

    void returnIsPlainAfterDialogGone()
    {
        QLineEdit elsewhere;
        KeyRecorder recorder;
        elsewhere.installEventFilter(&recorder);
        {
            CEditDeviceDlg dlg(nullptr);
        }
        QTest::keyClick(&elsewhere, Qt::Key_Return);
        QCOMPARE(recorder.keys.size(), 2);
        QCOMPARE(recorder.keys.first().key, int(Qt::Key_Return));
    }

    void closingWithoutOkChangesNothing_data()
    {
        QTest::addColumn<bool>("escape");
        QTest::newRow("Cancel button") << false;
        QTest::newRow("Escape key") << true;
    }

    void closingWithoutOkChangesNothing()
    {
        QFETCH(bool, escape);
        const DeviceConfigRecord r = sampleRecord();
        CEditDeviceDlg dlg(nullptr);
        QVERIFY(open(dlg, r));
        auto *port = find<QLineEdit>(&dlg, "lineEdit_TCPPort");
        retype(port, "8080");
        retype(find<QLineEdit>(&dlg, "IPEditwidget_IP/lineEdit_B0"), "99");
        QTest::mouseClick(find<QCheckBox>(&dlg, "checkBox_UseDHCP"), Qt::LeftButton);
        QTest::mouseClick(find<QRadioButton>(&dlg, "radioButtonCfg2"), Qt::LeftButton);
        if (escape)
            QTest::keyClick(port, Qt::Key_Escape);
        else
            press(dlg, QDialogButtonBox::Cancel);
        QVERIFY(!dlg.isVisible());
        QCOMPARE(dlg.result(), int(QDialog::Rejected));
        QVERIFY(!dlg.m_bDataChanged);
        QCOMPARE(bytes(dlg.m_Device), bytes(r));
    }
};

QTEST_MAIN(TestEditDialog)
#include "tst_editdialog.moc"
