// SPDX-License-Identifier: MIT
#include "discovery.h"
#include "sdrxxdialog.h"

#include <QDialogButtonBox>
#include <QLabel>
#include <QPushButton>
#include <QTest>

#include <cstring>

using namespace Discovery;

namespace {

template <std::size_t N> void setText(char (&field)[N], const QByteArray &text)
{
    std::memset(field, 0, N);
    std::memcpy(field, text.constData(), std::min<std::size_t>(text.size(), N));
}

QString shown(const DeviceInfoRecord &r)
{
    CSdrxxDialog dlg;
    dlg.m_InfoRecord = r;
    dlg.ShowDeviceInfo();
    return dlg.findChild<QLabel *>("SDRxxInfoLabel")->text();
}

} // namespace

class TestInfoView : public QObject {
    Q_OBJECT
private slots:
    void text_data()
    {
        QTest::addColumn<QByteArray>("name");
        QTest::addColumn<QByteArray>("serial");
        QTest::addColumn<QByteArray>("connection");
        QTest::addColumn<QString>("expected");
        QTest::newRow("typical") << QByteArray("Corvo") << QByteArray("CV-1001")
                                 << QByteArray("Ethernet 100M")
                                 << "Device = Corvo   Serial Number = CV-1001\n"
                                    "Firmware Version = 1.07  Boot Version = 2 \n"
                                    "Connection = Ethernet 100M";
        // The bytes after each full field are not NUL either (serial number,
        // firmware version, status), so reading past the width would show them.
        QTest::newRow("full-width fields stop at their end")
            << QByteArray("ABCDEFGHIJKLMNOP") << QByteArray("QRSTUVWXYZ012345")
            << QByteArray("0123456789abcdef0123456789ABCDEF")
            << "Device = ABCDEFGHIJKLMNOP   Serial Number = QRSTUVWXYZ012345\n"
               "Firmware Version = 1.07  Boot Version = 2 \n"
               "Connection = 0123456789abcdef0123456789ABCDEF";
        QTest::newRow("placeholders in device text stay text")
            << QByteArray("%2") << QByteArray("%1") << QByteArray("%1 %2 %3")
            << "Device = %2   Serial Number = %1\n"
               "Firmware Version = 1.07  Boot Version = 2 \n"
               "Connection = %1 %2 %3";
        QTest::newRow("high bytes as Latin-1")
            << QByteArray("R\xf6hre") << QByteArray("1") << QByteArray("\xb5")
            << "Device = R\u00f6hre   Serial Number = 1\n"
               "Firmware Version = 1.07  Boot Version = 2 \n"
               "Connection = \u00b5";
    }

    void text()
    {
        QFETCH(QByteArray, name);
        QFETCH(QByteArray, serial);
        QFETCH(QByteArray, connection);
        QFETCH(QString, expected);
        DeviceInfoRecord r{};
        std::memset(&r, 0x41, sizeof r);
        setText(r.head.deviceName, name);
        setText(r.head.serialNumber, serial);
        setText(r.connection, connection);
        setU16(r.firmwareVersion, 107);
        setU16(r.bootVersion, 200);
        QCOMPARE(shown(r), expected);
    }

    void allZeroRecord()
    {
        QCOMPARE(shown(DeviceInfoRecord{}), "Device =    Serial Number = \n"
                                            "Firmware Version = 0  Boot Version = 0 \n"
                                            "Connection = ");
    }

    void versions_data()
    {
        QTest::addColumn<int>("stored");
        QTest::addColumn<QString>("text");
        QTest::newRow("107") << 107 << "1.07";
        QTest::newRow("200") << 200 << "2";
        QTest::newRow("120 drops the trailing zero") << 120 << "1.2";
        QTest::newRow("5") << 5 << "0.05";
        QTest::newRow("0") << 0 << "0";
        QTest::newRow("65535 without exponent") << 65535 << "655.35";
        QTest::newRow("high byte used") << 0x0100 << "2.56";
    }

    void versions()
    {
        QFETCH(int, stored);
        QFETCH(QString, text);
        DeviceInfoRecord r{};
        setU16(r.firmwareVersion, static_cast<std::uint16_t>(stored));
        setU16(r.bootVersion, static_cast<std::uint16_t>(65535 - stored));
        const QString boot = QString::number((65535 - stored) / 100.0, 'g', 6);
        QCOMPARE(shown(r).split('\n').value(1),
                 "Firmware Version = " + text + "  Boot Version = " + boot + " ");
    }

    void buttonsOnlyClose_data()
    {
        QTest::addColumn<int>("button");
        QTest::addColumn<int>("result");
        QTest::newRow("OK") << int(QDialogButtonBox::Ok) << int(QDialog::Accepted);
        QTest::newRow("Cancel") << int(QDialogButtonBox::Cancel) << int(QDialog::Rejected);
    }

    void buttonsOnlyClose()
    {
        QFETCH(int, button);
        QFETCH(int, result);
        DeviceInfoRecord r{};
        setText(r.head.deviceName, "Corvo");
        CSdrxxDialog dlg;
        dlg.m_InfoRecord = r;
        dlg.ShowDeviceInfo();
        dlg.show();
        QVERIFY(QTest::qWaitForWindowExposed(&dlg));
        auto *box = dlg.findChild<QDialogButtonBox *>("buttonBox");
        QTest::mouseClick(box->button(QDialogButtonBox::StandardButton(button)), Qt::LeftButton);
        QVERIFY(!dlg.isVisible());
        QCOMPARE(dlg.result(), result);
        QCOMPARE(std::memcmp(&dlg.m_InfoRecord, &r, sizeof r), 0);
    }
};

QTEST_MAIN(TestInfoView)
#include "tst_infoview.moc"
