// SPDX-License-Identifier: MIT
#include "discovery.h"

#include <QTest>

#include <cstring>

using namespace Discovery;

namespace {

std::vector<std::uint8_t> reply(const char *name, std::size_t size = sizeof(DeviceConfigRecord))
{
    std::vector<std::uint8_t> bytes(size, 0);
    bytes[0] = static_cast<std::uint8_t>(size & 0xFF);
    bytes[1] = static_cast<std::uint8_t>(size >> 8);
    bytes[2] = Magic0;
    bytes[3] = Magic1;
    std::memcpy(bytes.data() + 5, name, std::min<std::size_t>(std::strlen(name), 16));
    return bytes;
}

} // namespace

class TestProtocol : public QObject {
    Q_OBJECT
private slots:
    void request()
    {
        const auto r = discoverRequest();
        QCOMPARE(r.size(), std::size_t(56));
        const std::uint8_t head[] = {0x38, 0x00, 0x5A, 0xA5};
        QVERIFY(std::memcmp(r.data(), head, 4) == 0);
        QVERIFY(std::all_of(r.begin() + 4, r.end(), [](std::uint8_t b) { return b == 0; }));
    }

    void validity_data()
    {
        QTest::addColumn<QByteArray>("bytes");
        QTest::addColumn<bool>("valid");
        QTest::newRow("markers") << QByteArray("\0\0\x5A\xA5", 4) << true;
        QTest::newRow("swapped markers") << QByteArray("\0\0\xA5\x5A", 4) << false;
        QTest::newRow("three bytes") << QByteArray("\0\0\x5A", 3) << false;
        QTest::newRow("empty") << QByteArray() << false;
    }
    void validity()
    {
        QFETCH(QByteArray, bytes);
        QFETCH(bool, valid);
        QCOMPARE(isValidReply(reinterpret_cast<const std::uint8_t *>(bytes.constData()),
                              std::size_t(bytes.size())),
                 valid);
    }

    void layoutByModelName_data()
    {
        QTest::addColumn<QByteArray>("name");
        QTest::addColumn<bool>("configurable");
        QTest::newRow("Pentra") << QByteArray("Pentra") << true;
        QTest::newRow("Marlo") << QByteArray("Marlo") << true;
        QTest::newRow("Halvex-R") << QByteArray("Halvex-R") << true;
        QTest::newRow("lower case") << QByteArray("marlo") << false;
        QTest::newRow("prefix") << QByteArray("Marl") << false;
        QTest::newRow("longer") << QByteArray("Marlo2") << false;
        QTest::newRow("empty") << QByteArray("") << false;
        QTest::newRow("other model") << QByteArray("Tessa") << false;
    }
    void layoutByModelName()
    {
        QFETCH(QByteArray, name);
        QFETCH(bool, configurable);
        // Firmware version 1.07 at 64 in the config layout and 2.00 at 56 in the info layout.
        auto bytes = reply(name.constData(), sizeof(DeviceInfoRecord));
        bytes[64] = 107;
        bytes[56] = 200;
        DiscoverHeader head;
        DeviceConfigRecord config;
        DeviceInfoRecord info;
        storeReply(bytes.data(), bytes.size(), head, config, info);
        QCOMPARE(isConfigurableModel(head.deviceName), configurable);
        if (configurable)
            QCOMPARE(u16(config.firmwareVersion), 107);
        else
            QCOMPARE(u16(info.firmwareVersion), 200);
    }

    void fieldEncodings()
    {
        DiscoverHeader h{};
        const std::uint8_t ip[] = {0x14, 0x01, 0xA8, 0xC0};
        std::memcpy(h.ipAddress, ip, 4);
        h.tcpPort[0] = 0x2C;
        h.tcpPort[1] = 0x01;
        QCOMPARE(quad(h.ipAddress).text(), std::string("192.168.1.20"));
        QCOMPARE(u16(h.tcpPort), 300);

        setQuad(h.ipAddress, {10, 0, 0, 7});
        QCOMPARE(h.ipAddress[0], 7);
        QCOMPARE(h.ipAddress[3], 10);
        setU16(h.tcpPort, 0xBEEF);
        QCOMPARE(h.tcpPort[0], 0xEF);
        QCOMPARE(h.tcpPort[1], 0xBE);

        const std::uint8_t mac[6] = {0x0A, 0x0B, 0x0C, 0x0D, 0x0E, 0x0F};
        QCOMPARE(macDisplayOrder(mac)[0], 0x0F);
        QCOMPARE(macDisplayOrder(mac)[5], 0x0A);
    }

    void textFieldsStopAtTheirWidth()
    {
        DiscoverHeader h{};
        std::memset(h.deviceName, 'N', 16);
        std::memcpy(h.serialNumber, "SN1", 3);
        QCOMPARE(fieldText(h.deviceName), std::string(16, 'N'));
        QCOMPARE(fieldText(h.serialNumber), std::string("SN1"));
    }

    void entryText_data()
    {
        QTest::addColumn<bool>("inUse");
        QTest::addColumn<QString>("text");
        QTest::newRow("free") << false << "Marlo   SN=A%2   IP=192.168.1.20   Port=300";
        QTest::newRow("in use") << true << "(In Use) Marlo   SN=A%2   IP=192.168.1.20   Port=300";
    }
    void entryText()
    {
        QFETCH(bool, inUse);
        QFETCH(QString, text);
        DiscoverHeader h{};
        std::memcpy(h.deviceName, "Marlo", 5);
        std::memcpy(h.serialNumber, "A%2", 3); // device text is never read as a format
        setQuad(h.ipAddress, {192, 168, 1, 20});
        setU16(h.tcpPort, 300);
        QCOMPARE(QString::fromStdString(Discovery::entryText(h, inUse)), text);
    }

    void inUseByLayout_data()
    {
        QTest::addColumn<QByteArray>("name");
        QTest::addColumn<int>("offset");
        QTest::addColumn<int>("status");
        QTest::addColumn<bool>("inUse");
        QTest::newRow("config bit 1") << QByteArray("Pentra") << 87 << 0x02 << true;
        QTest::newRow("config bit 2 only") << QByteArray("Pentra") << 87 << 0x04 << false;
        QTest::newRow("config, info offset") << QByteArray("Pentra") << 100 << 0x01 << false;
        QTest::newRow("info bit 0") << QByteArray("Tessa") << 100 << 0x01 << true;
        QTest::newRow("info bit 2 only") << QByteArray("Tessa") << 100 << 0x04 << false;
        QTest::newRow("info, config offset") << QByteArray("Tessa") << 87 << 0x03 << false;
    }
    void inUseByLayout()
    {
        QFETCH(QByteArray, name);
        QFETCH(int, offset);
        QFETCH(int, status);
        QFETCH(bool, inUse);
        auto bytes = reply(name.constData(), sizeof(DeviceInfoRecord));
        bytes[std::size_t(offset)] = std::uint8_t(status);
        DiscoverHeader head;
        DeviceConfigRecord config;
        DeviceInfoRecord info;
        QCOMPARE(storeReply(bytes.data(), bytes.size(), head, config, info), inUse);
    }

    // A short reply must not inherit bytes of the reply stored before it.
    void storeReplyLeavesNothingStale()
    {
        DiscoverHeader head;
        DeviceConfigRecord config;
        DeviceInfoRecord info;
        auto busy = reply("Tessa", sizeof(DeviceInfoRecord));
        std::fill(busy.begin() + 56, busy.end(), 0xFF);
        QVERIFY(storeReply(busy.data(), busy.size(), head, config, info));

        auto shortReply = reply("Tessa", 60);
        QVERIFY(!storeReply(shortReply.data(), shortReply.size(), head, config, info));
        const auto *raw = reinterpret_cast<const std::uint8_t *>(&info);
        QVERIFY(std::all_of(raw + 60, raw + sizeof info, [](std::uint8_t b) { return b == 0; }));

        auto tooShort = reply("Tessa", 55);
        std::memcpy(head.serialNumber, "KEEP", 4);
        QVERIFY(!storeReply(tooShort.data(), tooShort.size(), head, config, info));
        QCOMPARE(fieldText(head.serialNumber), std::string("KEEP"));
    }

    void storeReplyCopiesAtMostTheRecord()
    {
        auto huge = reply("Marlo", 2048);
        std::fill(huge.begin() + 56, huge.end(), 0x01);
        struct {
            DeviceConfigRecord config;
            std::uint8_t guard[16];
        } slot{};
        DiscoverHeader head;
        DeviceInfoRecord info;
        QVERIFY(storeReply(huge.data(), huge.size(), head, slot.config, info));
        QVERIFY(std::all_of(std::begin(slot.guard), std::end(slot.guard),
                            [](std::uint8_t b) { return b == 0; }));
    }

    void configMessage_data()
    {
        QTest::addColumn<int>("length");
        QTest::addColumn<int>("received");
        QTest::addColumn<int>("size");
        QTest::newRow("as reported") << 103 << 103 << 103;
        QTest::newRow("shorter") << 90 << 103 << 90;
        QTest::newRow("beyond the record") << 200 << 200 << 103;
        // The zeros behind a short reply were never sent by the receiver.
        QTest::newRow("reply shorter than its length") << 103 << 60 << 60;
        QTest::newRow("length shorter than a short reply") << 58 << 60 << 58;
    }
    void configMessage()
    {
        QFETCH(int, length);
        QFETCH(int, received);
        QFETCH(int, size);
        DeviceConfigRecord r;
        auto *raw = reinterpret_cast<std::uint8_t *>(&r);
        for (std::size_t i = 0; i < sizeof r; ++i)
            raw[i] = std::uint8_t(i * 7 + 3);
        setU16(r.head.length, std::uint16_t(length));
        const auto msg = Discovery::configMessage(r, std::size_t(received));
        QCOMPARE(int(msg.size()), size);
        QCOMPARE(msg[4], OpConfigure);
        for (std::size_t i = 0; i < msg.size(); ++i) {
            if (i != 4)
                QCOMPARE(msg[i], raw[i]);
        }
    }

    // Each edit writes its own bytes and nothing else; the other netFlags bits pass.
    void applyEditsTouchesOnlyItsField_data()
    {
        QTest::addColumn<int>("edit");
        QTest::addColumn<QList<int>>("offsets");
        QTest::newRow("ip") << 0 << QList<int>{37, 38, 39, 40};
        QTest::newRow("port") << 1 << QList<int>{53, 54};
        QTest::newRow("mask") << 2 << QList<int>{72, 73, 74, 75};
        QTest::newRow("gateway") << 3 << QList<int>{76, 77, 78, 79};
        QTest::newRow("alt ip") << 4 << QList<int>{80, 81, 82, 83};
        QTest::newRow("alt port") << 5 << QList<int>{84, 85};
        QTest::newRow("dhcp off") << 6 << QList<int>{71};
        QTest::newRow("alt udp on") << 7 << QList<int>{71};
        QTest::newRow("fpga") << 8 << QList<int>{86};
    }
    void applyEditsTouchesOnlyItsField()
    {
        QFETCH(int, edit);
        QFETCH(QList<int>, offsets);
        DeviceConfigRecord r;
        auto *raw = reinterpret_cast<std::uint8_t *>(&r);
        for (std::size_t i = 0; i < sizeof r; ++i)
            raw[i] = std::uint8_t(i * 7 + 3);
        r.netFlags = 0xFD; // DHCP on, alternative UDP off, every other bit set
        const DeviceConfigRecord before = r;

        NetworkEdits e;
        switch (edit) {
        case 0:
            e.ip = Ipv4{192, 0, 2, 50};
            break;
        case 1:
            e.port = 0x1234;
            break;
        case 2:
            e.mask = Ipv4{255, 255, 0, 0};
            break;
        case 3:
            e.gateway = Ipv4{192, 0, 2, 254};
            break;
        case 4:
            e.altIp = Ipv4{198, 51, 100, 7};
            break;
        case 5:
            e.altPort = 0x4321;
            break;
        case 6:
            e.dhcp = false;
            break;
        case 7:
            e.altUdp = true;
            break;
        case 8:
            e.fpgaConfig = 2;
            break;
        }
        QVERIFY(applyEdits(r, e));
        const auto *old = reinterpret_cast<const std::uint8_t *>(&before);
        for (int i = 0; i < int(sizeof r); ++i) {
            if (!offsets.contains(i))
                QCOMPARE(raw[i], old[i]);
        }
        if (edit == 6)
            QCOMPARE(r.netFlags, 0xFC);
        if (edit == 7)
            QCOMPARE(r.netFlags, 0xFF);
        // Applying the same edits again finds nothing to change.
        QVERIFY(!applyEdits(r, e));
    }
};

QTEST_APPLESS_MAIN(TestProtocol)
#include "tst_protocol.moc"
