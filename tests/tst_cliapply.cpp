// SPDX-License-Identifier: MIT
//
// vantrel-cli apply against the emulator: a fleet configured from one plan,
// checked as a whole before anything is sent.
#include "clirun.h"
#include "emulatorprocess.h"
#include "testnet.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTemporaryDir>
#include <QTest>

namespace {

const QString Twenty = QStringLiteral("20:model=Pentra,serial=PX,ip=192.0.2.100,port=1024");

QString writePlan(const QTemporaryDir &dir, const QString &name, const QByteArray &text)
{
    const QString path = dir.filePath(name);
    QFile f(path);
    f.open(QIODevice::WriteOnly);
    f.write(text);
    return path;
}

QByteArray serialOf(const QByteArray &record)
{
    const QByteArray field = record.mid(21, 16);
    return field.left(field.indexOf('\0') < 0 ? 16 : field.indexOf('\0'));
}

// The first reply of each serial, as the emulator logged it.
QHash<QByteArray, QByteArray> firstReplies(const EmulatorProcess &emu)
{
    QHash<QByteArray, QByteArray> out;
    for (const QString &line : emu.lines(" send ")) {
        const QByteArray reply = EmulatorProcess::hexOf(line);
        if (!out.contains(serialOf(reply)))
            out.insert(serialOf(reply), reply);
    }
    return out;
}

QStringList settled(EmulatorProcess &emu, const QString &what)
{
    if (!emu.barrier())
        qWarning("the emulator did not log its barrier");
    return emu.lines(" recv ", what);
}

} // namespace

class TestCliApply : public QObject {
    Q_OBJECT

    QTemporaryDir m_dir;

private slots:
    // New addresses in one subnet, one row with DHCP only, one that asks for
    // what the receiver has: one byte-exact message per changed row.
    void fleetOfTwenty()
    {
        EmulatorProcess emu({"--many", Twenty});
        QVERIFY(emu.waitReady());
        QByteArray plan = "serial,ip,mask,gateway,dhcp\n";
        for (int i = 0; i < 18; ++i)
            plan += QStringLiteral("PX%1,192.0.2.%2,255.255.255.0,192.0.2.1,\n")
                        .arg(i, 2, 10, QLatin1Char('0'))
                        .arg(150 + i)
                        .toLatin1();
        plan += "PX18,,,,on\n";
        plan += "PX19,192.0.2.119,,,\n"; // its own address: unchanged
        const QString path = writePlan(m_dir, "fleet.csv", plan);

        QElapsedTimer clock;
        clock.start();
        const Result r = cli({"apply", path, "--timeout", "500"});
        qInfo("apply of 20 rows, end to end: %lld ms", clock.elapsed());
        QCOMPARE(r.code, 0);
        const QHash<QByteArray, QByteArray> before = firstReplies(emu);
        const QStringList configs = settled(emu, "kind=config");
        QCOMPARE(configs.size(), 19);
        QSet<QByteArray> seen;
        for (const QString &line : configs) {
            const QByteArray sent = EmulatorProcess::hexOf(line);
            const QByteArray serial = serialOf(sent);
            QVERIFY2(!seen.contains(serial), serial.constData()); // each once
            seen.insert(serial);
            // The receiver's own bytes, with only the opcode and its row's settings.
            QByteArray expected = before.value(serial);
            QCOMPARE(expected.size(), 103);
            expected[4] = 2;
            const int n = serial.mid(2).toInt();
            if (n < 18)
                expected[37] = char(150 + n); // the last octet; mask and gateway as they were
            else
                expected[71] = char(expected[71] | 0x01);
            QCOMPARE(sent, expected);
        }
        QVERIFY(!seen.contains("PX19"));

        const Result found = cli({"find", "--json", "--timeout", "400"});
        QHash<QString, QString> ips;
        for (const QJsonValue &v : QJsonDocument::fromJson(found.out.toUtf8()).array())
            ips.insert(v.toObject().value("serial").toString(),
                       v.toObject().value("ip").toString());
        QCOMPARE(ips.size(), 20);
        QCOMPARE(ips.value("PX00"), "192.0.2.150");
        QCOMPARE(ips.value("PX17"), "192.0.2.167");
        QCOMPARE(ips.value("PX18"), "192.0.2.118");
        const Result shown = cli({"show", "PX18", "--json", "--timeout", "400"});
        QCOMPARE(QJsonDocument::fromJson(shown.out.toUtf8()).object().value("dhcp").toBool(), true);
    }

    // Two receivers may swap addresses; two rows may not give one address.
    void swapAcceptedCollisionRefused()
    {
        EmulatorProcess emu({"--many", "3:model=Marlo,serial=SW,ip=192.0.2.20,port=1"});
        QVERIFY(emu.waitReady());
        Result r = cli(
            {"apply", writePlan(m_dir, "swap.csv", "serial,ip\nSW00,192.0.2.21\nSW01,192.0.2.20\n"),
             "--timeout", "400"});
        QCOMPARE(r.code, 0);
        QCOMPARE(settled(emu, "kind=config").size(), 2);

        r = cli(
            {"apply",
             writePlan(
                 m_dir, "clash.json",
                 R"([{"serial": "SW00", "ip": "192.0.2.60"}, {"serial": "SW02", "ip": "192.0.2.60"}])"),
             "--timeout", "400"});
        QCOMPARE(r.code, 4);
        QVERIFY2(r.out.contains("refused: 2 rows give the IP address 192.0.2.60: element 1 (SW00), "
                                "element 2 (SW02)"),
                 qPrintable(r.out));
        // Taking the address of a receiver that keeps it.
        r = cli({"apply", writePlan(m_dir, "take.csv", "serial,ip\nSW02,192.0.2.20\n"), "--timeout",
                 "400"});
        QCOMPARE(r.code, 4);
        QCOMPARE(settled(emu, "kind=config").size(), 2); // nothing more was sent
    }

    // A receiver that does not take its settings: its row is not confirmed.
    void receiverThatIgnoresItsRow()
    {
        EmulatorProcess takes({"--many", "2:model=Pentra,serial=OK,ip=192.0.2.30,port=1"});
        EmulatorProcess ignores(
            {"--ignore-config", "--device", "model=Marlo,serial=DEAF,ip=192.0.2.40,port=1"});
        QVERIFY(takes.waitReady() && ignores.waitReady());
        const Result r =
            cli({"apply",
                 writePlan(m_dir, "deaf.csv", "serial,port\nOK00,2000\nOK01,2001\nDEAF,2002\n"),
                 "--timeout", "400", "--verify-timeout", "1000", "--json"});
        QCOMPARE(r.code, 3);
        QHash<QString, QString> outcome;
        for (const QJsonValue &v :
             QJsonDocument::fromJson(r.out.toUtf8()).array()) // stdout is the document alone
            outcome.insert(v.toObject().value("serial").toString(),
                           v.toObject().value("outcome").toString());
        QCOMPARE(outcome.value("OK00"), "applied");
        QCOMPARE(outcome.value("OK01"), "applied");
        QCOMPARE(outcome.value("DEAF"), "seen unchanged");
    }

    // Two units answer with one serial, and two rows give one address:
    // nothing is sent, --force or not, since another unit would suffer.
    void rowsThatHarmAnotherUnitAreRefused()
    {
        EmulatorProcess twins({"--device", "model=Marlo,serial=TW1,ip=192.0.2.30,port=1",
                               "--device", "model=Marlo,serial=TW1,ip=192.0.2.31,port=1", "--many",
                               "2:model=Pentra,serial=OK,ip=192.0.2.50,port=1"});
        QVERIFY(twins.waitReady());
        const Result r =
            cli({"apply",
                 writePlan(m_dir, "twin.csv",
                           "serial,port,ip\nTW1,2001,\nOK00,,192.0.2.77\nOK01,,192.0.2.77\n"),
                 "--force", "--timeout", "400", "--verify-timeout", "800"});
        QCOMPARE(r.code, 4);
        for (const char *row : {"line 2 +TW1 +Marlo +refused", "line 3 +OK00 +Pentra +refused",
                                "line 4 +OK01 +Pentra +refused"})
            QVERIFY2(r.out.contains(QRegularExpression(row)), qPrintable(r.out + r.err));
        QVERIFY(settled(twins, "kind=config").isEmpty());
    }

    void dryRunSendsNothing()
    {
        EmulatorProcess emu({"--many", "2:model=Pentra,serial=DR,ip=192.0.2.70,port=1"});
        QVERIFY(emu.waitReady());
        const Result r = cli(
            {"apply", writePlan(m_dir, "dry.csv", "serial,ip,port\nDR00,192.0.2.80,\nDR01,,1\n"),
             "--dry-run", "--timeout", "400"});
        QCOMPARE(r.code, 0);
        QVERIFY2(
            r.out.contains(QRegularExpression("line 2 +DR00 +Pentra +send +ip 192\\.0\\.2\\.70 -> "
                                              "192\\.0\\.2\\.80\n")),
            qPrintable(r.out));
        QVERIFY2(r.out.contains(QRegularExpression("line 3 +DR01 +Pentra +unchanged +-\n")),
                 qPrintable(r.out));
        QVERIFY(settled(emu, "kind=config").isEmpty());

        // show's JSON, every key of it, is a plan that changes nothing.
        const Result shown = cli({"show", "DR00", "--json", "--timeout", "400"});
        const Result again =
            cli({"apply", writePlan(m_dir, "shown.json", "[" + shown.out.toUtf8() + "]"),
                 "--dry-run", "--timeout", "400"});
        QVERIFY2(again.code == 0 &&
                     again.out.contains(QRegularExpression("DR00 +Pentra +unchanged")),
                 qPrintable(again.err));
    }

    void badPlans_data()
    {
        QTest::addColumn<QByteArray>("plan");
        QTest::addColumn<QString>("error");
        QTest::newRow("unknown column")
            << QByteArray("serial,colour\nDR00,red\n") << "PLAN line 1: unknown column 'colour'";
        QTest::newRow("bad value") << QByteArray("serial,port\nDR00,1\nDR01,65536\n")
                                   << "PLAN line 3, column 'port': '65536' is not a number";
        QTest::newRow("bad flag") << QByteArray("[{\"serial\": \"DR00\", \"dhcp\": \"yes\"}]")
                                  << "PLAN element 1, key 'dhcp': 'yes' is neither on nor off";
        QTest::newRow("missing serial") << QByteArray("serial,ip\n,192.0.2.9\n")
                                        << "PLAN line 2, column 'serial': the serial number is "
                                           "empty";
        QTest::newRow("no serial column")
            << QByteArray("ip\n192.0.2.9\n") << "PLAN line 1: no 'serial' column";
        QTest::newRow("empty") << QByteArray("\n\n") << "PLAN is empty";
        QTest::newRow("header only")
            << QByteArray("serial,ip\n") << "PLAN has a header but no receiver";
        QTest::newRow("quote never closed") << QByteArray("serial,ip\nDR00,\"192.0.2.9\n")
                                            << "PLAN line 2: a quoted field is never closed";
        QTest::newRow("quote inside a field") << QByteArray("serial,ip\nDR00,19\"2\n")
                                              << "PLAN line 2: a quote inside an unquoted field";
        QTest::newRow("fields missing") << QByteArray("serial,ip,port\nDR00,192.0.2.9\n")
                                        << "PLAN line 2: 2 fields, but the header has 3";
        QTest::newRow("malformed JSON")
            << QByteArray("[\n{\"serial\": \"DR00\",}\n]") << "PLAN line 2: malformed JSON";
        QTest::newRow("JSON not a list")
            << QByteArray("{\"serial\": \"DR00\"}") << "PLAN: expected a JSON array";
        QTest::newRow("unreadable") << QByteArray() << "PLAN: cannot read";
        QTest::newRow("column twice") << QByteArray("serial,ip,serial\nDR00,192.0.2.9,DR01\n")
                                      << "PLAN line 1: the column 'serial' is given twice";
        QTest::newRow("key twice")
            << QByteArray("[{\"serial\": \"DR00\", \"port\": 1, \"port\": 2}]")
            << "PLAN element 1: the key 'port' is given twice";
        QTest::newRow("a flag with a line break")
            << QByteArray("serial,dhcp\nDR00,\"o\nn\"\n")
            << "PLAN line 2, column 'dhcp': 'o\\nn' is neither on nor off";
        QTest::newRow("true for a port") << QByteArray("[{\"serial\": \"DR00\", \"port\": true}]")
                                         << "PLAN element 1, key 'port': expected a number or "
                                            "address, not true";
        QTest::newRow("a NUL in a serial")
            << QByteArray("[{\"serial\": \"DR\\u0000\"}]")
            << "PLAN element 1, key 'serial': serial number 'DR\\x00' holds a NUL byte";
        QTest::newRow("JSON after a byte-order mark")
            << QByteArray("\xEF\xBB\xBF[{\"serial\": \"DR00\", \"dhcp\": \"yes\"}]")
            << "PLAN element 1, key 'dhcp': 'yes' is neither on nor off";
        QTest::newRow("number beyond any integer")
            << QByteArray("[{\"serial\": \"DR00\", \"port\": 1e300}]")
            << "PLAN element 1, key 'port': expected a string, a whole number, true or false";
    }
    void badPlans()
    {
        QFETCH(QByteArray, plan);
        QFETCH(QString, error);
        EmulatorProcess emu({"--many", "2:model=Pentra,serial=DR,ip=192.0.2.70,port=1"});
        QVERIFY(emu.waitReady());
        const QString path =
            plan.isEmpty() ? m_dir.filePath("missing.csv") : writePlan(m_dir, "bad.plan", plan);
        const Result r = cli({"apply", path, "--timeout", "300"});
        QCOMPARE(r.code, 1);
        QVERIFY2(r.err.startsWith("vantrel-cli: " + error) && r.err.count('\n') == 1,
                 qPrintable(r.err));
        QVERIFY(settled(emu, "recv").isEmpty()); // not even a request
    }

    // find's own CSV is a plan: unedited, every row is unchanged, whatever the
    // model; edited, it changes what was edited; a serial is matched exactly.
    void findOutputIsAPlan()
    {
        EmulatorProcess emu({"--many", "2:model=Marlo,serial=FO,ip=192.0.2.90,port=1024",
                             "--device", "model=Tessa,serial=FOT,ip=192.0.2.95,port=300"});
        QVERIFY(emu.waitReady());
        Result r = cli({"find", "--csv", "--timeout", "400"});
        QCOMPARE(r.code, 0);
        const auto apply = [](const QString &plan) {
            QProcess p;
            p.start(QStringLiteral(CLI_PATH), {"apply", "-", "--timeout", "400"});
            p.write(plan.toUtf8());
            p.closeWriteChannel();
            return p.waitForFinished(10000) ? p.exitCode() : -1;
        };
        QCOMPARE(apply(r.out), 0);
        QCOMPARE(apply("serial,port\nFO00  ,2000\n"), 2); // not FO00
        QVERIFY(settled(emu, "kind=config").isEmpty());

        QString csv = r.out;
        csv.replace(",192.0.2.91,1024,", ",192.0.2.99,1024,");
        QCOMPARE(apply(csv), 0);
        const QStringList configs = settled(emu, "kind=config");
        QCOMPARE(configs.size(), 1);
        QCOMPARE(serialOf(EmulatorProcess::hexOf(configs.first())), QByteArray("FO01"));
    }
};

VANTREL_NET_TEST_MAIN(TestCliApply, {{"vt0", "192.0.2.1/24"}})
#include "tst_cliapply.moc"
