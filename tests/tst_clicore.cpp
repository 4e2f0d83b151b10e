// SPDX-License-Identifier: MIT
//
// vantrel-cli in process: the outcome judge of set and apply, the checks
// before a send, a search against a receiver played by the test, and the
// command line with its help.
#include "columns.h"
#include "command.h"
#include "configure.h"
#include "diagnosis.h"
#include "format.h"
#include "replies.h"
#include "review.h"
#include "search.h"
#include "settings.h"
#include "system.h"
#include "testnet.h"
#include "unitname.h"

#include <QApplication>
#include <QNetworkDatagram>
#include <QProcess>
#include <QRegularExpression>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

#include <unistd.h>

using namespace Discovery;
using namespace Cli;
using namespace Core;

namespace {

Receiver marlo(Ipv4 ip = {192, 0, 2, 10}, quint16 port = 1024, quint8 fpga = 0, quint8 macLast = 1)
{
    QByteArray bytes = Replies::reply({"Marlo", "MA1001", ip, port});
    auto *r = reinterpret_cast<DeviceConfigRecord *>(bytes.data());
    r->fpgaConfig = fpga;
    r->macAddress[0] = macLast;
    setQuad(r->subnetMask, {255, 255, 255, 0});
    setQuad(r->gateway, {192, 0, 2, 1});
    Receiver out = *parseReply(bytes, QHostAddress(ip.value()), 1);
    out.interfaceName = "vt0";
    return out;
}

// The same reply, heard from another address or on another interface.
Receiver heardFrom(Receiver r, Ipv4 from, const QString &interfaceName = "vt0")
{
    r.from = QHostAddress(from.value());
    r.interfaceName = interfaceName;
    return r;
}

// A reply as received on vt0, edited by `edit`.
Receiver heard(const Replies::Device &d, const std::function<void(DeviceConfigRecord &)> &edit = {})
{
    QByteArray bytes = Replies::reply(d);
    if (edit)
        edit(*reinterpret_cast<DeviceConfigRecord *>(bytes.data()));
    Receiver out = *parseReply(bytes, QHostAddress(d.ip.value()), 1);
    out.interfaceName = "vt0";
    return out;
}

// What a command wrote, run in process.
struct Ran {
    int code;
    QString out, err;
};
Ran runCli(const QStringList &args)
{
    QByteArray out, err;
    Streams streams;
    streams.data = [&out](const QByteArray &b, QString *, bool *) {
        out += b;
        return true;
    };
    streams.messages = [&err](const QByteArray &b) { err += b; };
    Output output(streams);
    const int code = run(args, output);
    return {code, QString::fromUtf8(out), QString::fromUtf8(err)};
}

Receiver withAltUdp(Receiver r)
{
    r.config.netFlags |= NetAltUdp;
    setQuad(r.config.altUdpAddress, {203, 0, 113, 99});
    return r;
}

} // namespace

class TestCliCore : public QObject {
    Q_OBJECT

private slots:
    // Replies of the verifying search, in the order they came, against what
    // was asked of the Marlo at 192.0.2.10:1024.
    void judge_data()
    {
        QTest::addColumn<QList<Receiver>>("seen");
        QTest::addColumn<QString>("asked"); // port, port+fpga, ip or dhcp
        QTest::addColumn<QString>("verdict");
        QTest::addColumn<QString>("detail"); // how it begins
        QTest::addColumn<bool>("waits");     // no verdict before the window is over
        const Receiver was = marlo(), moved = marlo({192, 0, 2, 10}, 2000);
        QTest::newRow("applied") << QList{moved} << "port"
                                 << "applied"
                                 << "MA1001 answers with the new settings at 192.0.2.10:2000"
                                 << false;
        QTest::newRow("not seen") << QList<Receiver>() << "port"
                                  << "not seen"
                                  << "MA1001 did not answer within 800 ms after the "
                                     "configuration message"
                                  << true;
        QTest::newRow("seen unchanged") << QList{was} << "port"
                                        << "seen unchanged"
                                        << "MA1001 still answers with its old settings (port is "
                                           "1024, expected 2000)"
                                        << true;
        QTest::newRow("partly applied") << QList{moved} << "port+fpga"
                                        << "partly applied"
                                        << "MA1001 answers, but fpga is 0, expected 1" << true;
        QTest::newRow("seen at another address")
            << QList{marlo({192, 0, 2, 77})} << "ip"
            << "seen at another address"
            << "MA1001 answers at 192.0.2.77, not at 192.0.2.50 (ip is 192.0.2.77, expected "
               "192.0.2.50)"
            << true;
        // The unit answered once more as it was before it took the message:
        // only the whole window tells which answer stands.
        QTest::newRow("unchanged, then changed") << QList{was, moved} << "port"
                                                 << "applied"
                                                 << "MA1001 answers with the new settings" << true;
        QTest::newRow("confirmation from a third address")
            << QList{heardFrom(moved, {192, 0, 2, 99}), was} << "port"
            << "seen unchanged"
            << "MA1001 still answers with its old settings" << true;
        QTest::newRow("only a third address answers")
            << QList{heardFrom(moved, {192, 0, 2, 99})} << "port"
            << "not seen"
            << "MA1001 did not answer within 800 ms after the configuration message (1 replies "
               "with its serial number came from elsewhere"
            << true;
        QTest::newRow("its address on another interface")
            << QList{heardFrom(moved, {192, 0, 2, 10}, "vt1")} << "port"
            << "not seen"
            << "MA1001 did not answer" << true;
        const Receiver atNew = marlo({192, 0, 2, 50});
        QTest::newRow("from the address it was given") << QList{atNew} << "ip"
                                                       << "applied"
                                                       << "MA1001 answers with the new settings "
                                                          "at 192.0.2.50:1024"
                                                       << false;
        Receiver leased = marlo({192, 0, 2, 123});
        leased.config.netFlags |= NetDhcp;
        QTest::newRow("DHCP: any address with its MAC") << QList{leased} << "dhcp"
                                                        << "applied"
                                                        << "MA1001 answers with the new settings "
                                                           "at 192.0.2.123:1024"
                                                        << false;
        leased.config.macAddress[0] = 9;
        QTest::newRow("DHCP: another MAC") << QList{leased} << "dhcp"
                                           << "not seen"
                                           << "MA1001 did not answer" << true;
        QTest::newRow("two units disagree")
            << QList{moved, heardFrom(marlo({192, 0, 2, 11}, 1024, 0, 2), {192, 0, 2, 10})}
            << "port"
            << "not confirmed"
            << "MA1001 answered as 2 units, 192.0.2.10:2000 (MAC " << true;
        QTest::newRow("a clone behind another adapter still as it was")
            << QList{moved, heardFrom(was, {192, 0, 2, 10}, "vt1")} << "port"
            << "not applied"
            << "MA1001 took the new settings, but another unit with its serial number still "
               "answers as it was, from 192.0.2.10 on vt1"
            << true;
    }
    void judge()
    {
        QFETCH(QList<Receiver>, seen);
        QFETCH(QString, asked);
        QFETCH(QString, verdict);
        QFETCH(QString, detail);
        QFETCH(bool, waits);
        Target t{marlo(), {}, {}, 1};
        t.planned = t.was.config;
        if (asked == "ip")
            t.edits.ip = Ipv4{192, 0, 2, 50};
        else if (asked == "dhcp")
            t.edits.dhcp = true;
        else
            t.edits.port = 2000;
        if (asked.contains("fpga"))
            t.edits.fpgaConfig = 1;
        applyEdits(t.planned, t.edits);
        Verification v;
        v.expect(t);
        for (const Receiver &r : seen)
            v.note(r);
        QCOMPARE(!v.judge(t, false, 800).has_value(), waits);
        const std::optional<Outcome> o = v.judge(t, true, 800);
        QVERIFY(o);
        QCOMPARE(verdictText(o->verdict), verdict);
        QVERIFY2(o->detail.startsWith(detail), qPrintable(o->detail));
    }

    // The first search's replies, in the order they came, and the settings
    // asked of the first one: what stops 'set' before it sends (a blocker),
    // or unless --force (a refusal).
    void review_data()
    {
        QTest::addColumn<QList<Receiver>>("heard");
        QTest::addColumn<QStringList>("edits");
        QTest::addColumn<QString>("message"); // how the first begins; empty: none
        QTest::addColumn<bool>("blocks");     // a blocker, not a refusal --force overrides
        const Receiver was = marlo();
        const QStringList port{"--port", "2000"};
        const auto row = [](const char *tag, const QList<Receiver> &heard, const QStringList &edits,
                            const QString &message, bool blocks = true) {
            QTest::newRow(tag) << heard << edits << message << blocks;
        };
        row("one unit", {was, was}, port, "");
        row("clones behind two adapters", {was, heardFrom(was, {192, 0, 2, 10}, "vt1")}, port,
            "serial number MA1001 answered from 192.0.2.10 on vt0 and from 192.0.2.10 on vt1: "
            "more than one receiver has it (expected one; -i INTERFACE");
        row("one LAN reached twice", {was, heardFrom(was, {192, 0, 2, 10}, "lan2")}, port, "");
        Receiver here = heardFrom(was, {192, 0, 2, 1}),
                 there = heardFrom(was, {198, 51, 100, 1}, "vt1");
        here.local = there.local = true;
        row("this computer on two adapters", {here, there}, port, "");
        row("one serial on two segments", {was, heardFrom(was, {198, 51, 100, 10}, "vt1")}, port,
            "serial number MA1001 answered from 192.0.2.10 on vt0 and from 198.51.100.10 on vt1: "
            "more than one receiver has it",
            true);
        row("a second sender", {was, heardFrom(withAltUdp(was), {192, 0, 2, 99})}, port,
            "serial number MA1001 answered from 192.0.2.10 on vt0 and from 192.0.2.99 on vt0",
            true);
        row("settings changed while searching", {was, withAltUdp(was)}, port,
            "receiver MA1001: its settings changed while searching (alt-udp off -> on, alt-ip "
            "0.0.0.0 -> 203.0.113.99)",
            true);
        row("ip 0.0.0.0", {was}, {"--ip", "0.0.0.0"}, "--ip 0.0.0.0 lies in 0.0.0.0/8");
        row("limited broadcast", {was}, {"--ip", "255.255.255.255"},
            "--ip 255.255.255.255 is the limited broadcast address");
        row("multicast", {was}, {"--ip", "224.0.0.251"}, "--ip 224.0.0.251 is a multicast");
        row("loopback", {was}, {"--ip", "127.0.0.2"}, "--ip 127.0.0.2 is a loopback address");
        row("network address", {was}, {"--ip", "192.0.2.0"},
            "--ip 192.0.2.0 is the network address of its subnet 192.0.2.0/24");
        row("subnet broadcast", {was}, {"--ip", "192.0.2.255"},
            "--ip 192.0.2.255 is the broadcast address of its subnet 192.0.2.0/24");
        row("this computer", {was}, {"--ip", "198.51.100.1", "--gateway", "0.0.0.0"},
            "--ip 198.51.100.1 is this computer's own address (on vt1)");
        row("taken by another receiver", {was, heard({"Tessa", "TS1", {192, 0, 2, 20}, 300})},
            {"--ip", "192.0.2.20"}, "--ip 192.0.2.20 is already reported by receiver TS1 (Tessa)");
        row("mask with a gap", {was}, {"--mask", "255.0.255.0"},
            "--mask 255.0.255.0 is not contiguous");
        row("gateway outside", {was}, {"--gateway", "198.51.100.1"},
            "the gateway 198.51.100.1 lies outside the new subnet 192.0.2.0/24 of 192.0.2.10");
        row("new subnet, old gateway", {was}, {"--ip", "198.51.100.9"},
            "the gateway 192.0.2.1 (unchanged) lies outside the new subnet 198.51.100.0/24");
        row("narrower mask strands the gateway", {was}, {"--mask", "255.255.255.252"},
            "the gateway 192.0.2.1 (unchanged) lies outside the new subnet 192.0.2.8/30");
        row("port 0", {was}, {"--port", "0"}, "--port 0: the receiver would listen on no");
        row("alt-port 0", {heard({}, [](DeviceConfigRecord &r) { setU16(r.altUdpPort, 5001); })},
            {"--alt-port", "0"}, "--alt-port 0: UDP data cannot go");
        row("one serial, one address, two ports", {was, marlo({192, 0, 2, 10}, 1025)}, port,
            "serial number MA1001 answered from 192.0.2.10:");
        row("a mask that makes the address the network's",
            {heard({"Marlo", "MA1001", {192, 0, 2, 8}, 1024})}, {"--mask", "255.255.255.248"},
            "with --mask 255.255.255.248 its address 192.0.2.8 is the network address of its "
            "subnet 192.0.2.8/29");
        row("a mask that makes the address the broadcast",
            {heard({"Marlo", "MA1001", {192, 0, 2, 15}, 1024})}, {"--mask", "255.255.255.248"},
            "with --mask 255.255.255.248 its address 192.0.2.15 is the broadcast address of its "
            "subnet 192.0.2.8/29");
        row("in use", {heard({"Marlo", "MA1001", {192, 0, 2, 10}, 1024, 0x01})}, port,
            "receiver MA1001 is in use: a program is connected to it", false);
        row("240.0.0.0/4", {was}, {"--ip", "240.0.0.1"}, "--ip 240.0.0.1 lies in 240.0.0.0/4");
        row("the unit's gateway",
            {heard({},
                   [](DeviceConfigRecord &r) {
                       setQuad(r.gateway, {192, 0, 2, 254});
                   })},
            {"--ip", "192.0.2.254"}, "--ip 192.0.2.254 is the receiver's gateway");
        row("this computer's gateway", {was}, {"--ip", "198.51.100.254", "--gateway", "0.0.0.0"},
            "--ip 198.51.100.254 is this computer's gateway (on vt1)");
        row("mask 0.0.0.0", {was}, {"--mask", "0.0.0.0"}, "--mask 0.0.0.0 puts every address");
        row("data stream broadcast", {was}, {"--alt-udp", "on", "--alt-ip", "255.255.255.255"},
            "--alt-ip 255.255.255.255 is a broadcast address");
        row("data stream to this computer's broadcast", {withAltUdp(was)},
            {"--alt-ip", "198.51.100.255"}, "--alt-ip 198.51.100.255 is a broadcast address");
        QList<Receiver> flood{was};
        for (int i = 0; i < ReceiverList::MaxReceivers; ++i)
            flood << heard({"Marlo", "F" + QByteArray::number(i), {198, 51, 100, 7}});
        row("a list that overflowed", flood, {"--ip", "192.0.2.77"},
            "more than 4096 receivers answered");
        row("ip on a DHCP unit", {heard({}, [](DeviceConfigRecord &r) { r.netFlags = NetDhcp; })},
            {"--ip", "192.0.2.50"},
            "warning: DHCP stays on: the receiver takes its address from a DHCP server, not "
            "192.0.2.50");
        row("other model", {heard({"Tessa", "MA1001", {192, 0, 2, 20}, 300})}, port,
            "receiver MA1001 is a Tessa; only Pentra", true);
        row("other model, with a vowel", {heard({"Alto", "MA1001", {192, 0, 2, 21}, 300})}, port,
            "receiver MA1001 is an Alto; only Pentra", true);
        Replies::Device shortReply{"Pentra", "MA1001", {192, 0, 2, 40}, 1};
        shortReply.size = 80;
        row("short reply", {heard(shortReply)}, port,
            "the reply of MA1001 is too short to build its configuration message from: 80 bytes "
            "with length field 80 (expected at least 87 of both)",
            true);
    }
    void review()
    {
        QFETCH(QList<Receiver>, heard);
        QFETCH(QStringList, edits);
        QFETCH(QString, message);
        QFETCH(bool, blocks);
        const Ipv4 mask(0xFFFFFF00);
        const QList<LocalSubnet> local{{Ipv4(0xC0000201), mask, "vt0", 1},
                                       {Ipv4(0xC6336401), mask, "vt1", 2, false, Ipv4(0xC63364FE)},
                                       {Ipv4(0xC0000202), mask, "lan2", 3}};
        ReceiverList list;
        list.setOneLan(oneLan(local));
        for (const Receiver &r : heard)
            list.add(r);
        const Receiver &target = *list.find("MA1001");
        NetworkEdits e;
        for (int i = 0; i + 1 < edits.size(); i += 2)
            for (const Setting &s : settings())
                if (edits[i] == QStringLiteral("--") + s.option)
                    s.give(e, edits[i], edits[i + 1]);
        DeviceConfigRecord after = target.config;
        applyEdits(after, e);
        const SetReview review = reviewSet(target, after, e, list, local.mid(0, 2));
        // "warning: ..." rows look at the warnings.
        const bool warning = message.startsWith("warning: ");
        const QStringList found = warning  ? review.warnings
                                  : blocks ? review.blockers
                                           : review.refusals;
        if (message.isEmpty())
            QCOMPARE(review.blockers + review.refusals, QStringList());
        else
            QVERIFY2(found.value(0).startsWith(message.mid(warning ? 9 : 0)),
                     qPrintable((review.blockers + review.refusals + review.warnings).join('\n')));
    }

    // Where doctor and show send a unit outside the subnets of the interface
    // it answered on (vt1, 198.51.100.1/24): an address nobody has or is
    // offered, or this computer into its subnet.
    void addressChoice_data()
    {
        QTest::addColumn<Receiver>("unit");
        QTest::addColumn<int>("rank");             // units before it offered an address
        QTest::addColumn<quint32>("gateway");      // of vt1's default route
        QTest::addColumn<QList<quint32>>("taken"); // other receivers' addresses
        QTest::addColumn<QString>("fix");
        const auto unit = [](Ipv4 ip, Ipv4 gateway, bool dhcp, const QByteArray &model = "Marlo") {
            return heard({model, "MA1001", ip, 1024}, [=](DeviceConfigRecord &r) {
                setQuad(r.subnetMask, {255, 255, 255, 0});
                setQuad(r.gateway, gateway);
                r.netFlags = dhcp ? NetDhcp : 0;
            });
        };
        const QString computer =
            "give this computer an address in its subnet 203.0.113.0/24, for example: ip addr "
            "add ";
        const Receiver factory = unit({203, 0, 113, 77}, {203, 0, 113, 1}, false);
        QTest::newRow("factory address, its gateway kept free")
            << factory << 0 << 0u << QList<quint32>()
            << "give it a free address of 198.51.100.0/24 on vt1, for example: vantrel-cli set "
               "--ip 198.51.100.2 --mask 255.255.255.0 --gateway 0.0.0.0 -- MA1001; or " +
                   computer + "203.0.113.2/24 dev vt1";
        QTest::newRow("the second unit offered an address")
            << factory << 1 << 0u << QList<quint32>()
            << "give it a free address of 198.51.100.0/24 on vt1, for example: vantrel-cli set "
               "--ip 198.51.100.3 --mask 255.255.255.0 --gateway 0.0.0.0 -- MA1001; or " +
                   computer + "203.0.113.2/24 dev vt1";
        QTest::newRow("neither the gateway nor another receiver's address")
            << factory << 0 << 0xC6336402u << QList<quint32>{0xC6336403u, 0xCB00710Bu}
            << "give it a free address of 198.51.100.0/24 on vt1, for example: vantrel-cli set "
               "--ip 198.51.100.4 --mask 255.255.255.0 --gateway 198.51.100.2 -- MA1001; or " +
                   computer + "203.0.113.2/24 dev vt1";
        QTest::newRow("DHCP without a lease")
            << unit({0, 0, 0, 0}, {0, 0, 0, 0}, true) << 0 << 0u << QList<quint32>()
            << "give it a free address of 198.51.100.0/24 on vt1, for example: vantrel-cli set "
               "--dhcp off --ip 198.51.100.2 --mask 255.255.255.0 -- MA1001";
        QTest::newRow("a model that takes no settings")
            << unit({203, 0, 113, 77}, {0, 0, 0, 0}, false, "Tessa") << 0 << 0u << QList<quint32>()
            << computer + "203.0.113.1/24 dev vt1";
        // The serial as the option parser and the shell read it back; a
        // unit in use takes the message only with --force.
        Receiver odd =
            heard({"Marlo", "-h\x01", {0, 0, 0, 0}, 1024, 0x01}, [](DeviceConfigRecord &r) {
                setQuad(r.subnetMask, {255, 255, 255, 0});
            });
        QTest::newRow("a serial like an option, with a control byte, in use")
            << odd << 0 << 0u << QList<quint32>()
            << "give it a free address of 198.51.100.0/24 on vt1, for example: vantrel-cli set "
               "--ip 198.51.100.2 --mask 255.255.255.0 --force -- $'-h\\x01' (it is in use: its "
               "client loses the stream)";
    }
    void addressChoice()
    {
        QFETCH(Receiver, unit);
        QFETCH(int, rank);
        QFETCH(quint32, gateway);
        QFETCH(QList<quint32>, taken);
        QFETCH(QString, fix);
        if (!TestNet::linuxServices() && fix.contains(QLatin1String("ip addr")))
            QSKIP("a Linux command");
        unit.interfaceName = "vt1";
        Surroundings around;
        around.subnets = {{Ipv4(0xC6336401), Ipv4(0xFFFFFF00), "vt1", 1, false, Ipv4(gateway)}};
        around.explain = true;
        for (const quint32 t : taken)
            around.taken << Ipv4(t);
        around.rank = rank;
        const Reach reach = reachOf(unit, {}, around);
        QVERIFY(!reach.reachable);
        QCOMPARE(reach.fix, fix);
        QVERIFY(fix.contains(reach.command));
    }

    // Words from the network in a command line: as the shell reads them
    // back, and no byte that acts on a terminal.
    void shellWords_data()
    {
        QTest::addColumn<QString>("word");
        QTest::addColumn<QString>("quoted");
        QTest::newRow("plain") << "eth1"
                               << "eth1";
        QTest::newRow("a command") << "$(reboot)"
                                   << "'$(reboot)'";
        QTest::newRow("a quote") << "it's"
                                 << "'it'\\''s'";
        QTest::newRow("UTF-8") << "ünï"
                               << "'ünï'";
        QTest::newRow("an escape") << "a\x1b[31m'b"
                                   << "$'a\\x1b[31m\\'b'";
    }
    void shellWords()
    {
        QFETCH(QString, word);
        QFETCH(QString, quoted);
        QCOMPARE(System::Fix::shellWord(word), quoted);
        QProcess bash;
        bash.start("bash", {"-c", "printf %s " + quoted});
        QVERIFY(bash.waitForFinished(10000));
        QCOMPARE(QString::fromUtf8(bash.readAllStandardOutput()), word);
    }

    // Each setting writes its own bytes of the receiver's record and no
    // other: the message is the reply with opcode 2 and those bytes changed,
    // no longer than the reply nor the record.
    void settingBytes_data()
    {
        QTest::addColumn<QStringList>("args");
        QTest::addColumn<QStringList>("changes"); // "offset:hex"
        QTest::addColumn<int>("length");          // of the reply, in its length field too
        QTest::addColumn<int>("size");            // of the message
        QTest::addColumn<bool>("unknownFpga");    // the reply holds FPGA configuration 7
        const auto row = [](const char *tag, const QStringList &args, const QStringList &changes,
                            int length = 103, int size = 103, bool unknownFpga = false) {
            QTest::newRow(tag) << args << changes << length << size << unknownFpga;
        };
        row("ip", {"--ip", "192.0.2.50"}, {"37:320200c0"});
        row("port", {"--port", "2000"}, {"53:d007"});
        row("mask", {"--mask", "255.255.0.0"}, {"72:0000ffff"});
        row("gateway", {"--gateway", "192.0.2.254"}, {"76:fe0200c0"});
        row("dhcp on", {"--dhcp", "on"}, {"71:85"});
        row("alt-udp on", {"--alt-udp", "on"}, {"71:86"});
        row("alt-ip", {"--alt-ip", "198.51.100.7"}, {"80:076433c6"});
        row("alt-port", {"--alt-port", "5001"}, {"84:8913"});
        row("fpga", {"--fpga", "2"}, {"86:02"});
        row("unknown fpga kept", {"--port", "2000"}, {"53:d007"}, 103, 103, true);
        row("length 90", {"--port", "2000"}, {"53:d007"}, 90, 90);
        row("length 200", {"--port", "2000"}, {"53:d007"}, 200, 103);
    }
    void settingBytes()
    {
        QFETCH(QStringList, args);
        QFETCH(QStringList, changes);
        QFETCH(int, length);
        QFETCH(int, size);
        QFETCH(bool, unknownFpga);
        Replies::Device d;
        d.size = length;
        QByteArray bytes = Replies::reply(d);
        bytes[71] = char(0x84);
        bytes.replace(41, 3, "\xa1\xa2\xa3");
        if (length > 90)
            bytes.replace(88, 3, "\xb1\xb2\xb3");
        if (unknownFpga)
            bytes[86] = 7;
        const Receiver r = *parseReply(bytes, QHostAddress(0xC000020A), 1);
        NetworkEdits e;
        for (int i = 0; i + 1 < args.size(); i += 2)
            for (const Setting &s : settings())
                if (args[i] == QStringLiteral("--") + s.option)
                    s.give(e, args[i], args[i + 1]);
        DeviceConfigRecord after = r.config;
        QVERIFY(applyEdits(after, e));
        const std::vector<std::uint8_t> message = configMessage(after, std::size_t(r.size));
        QByteArray expected = bytes.left(size);
        expected[4] = char(OpConfigure);
        for (const QString &c : changes) {
            const QByteArray b = QByteArray::fromHex(c.section(':', 1).toLatin1());
            expected.replace(c.section(':', 0, 0).toInt(), b.size(), b);
        }
        QCOMPARE(
            QByteArray(reinterpret_cast<const char *>(message.data()), int(message.size())).toHex(),
            expected.toHex());
    }

    // A receiver named by its serial number, the address it reports or its
    // MAC address in any usual spelling; a name that fits several receivers,
    // or none, names nothing.
    void unitNames_data()
    {
        QTest::addColumn<QString>("name");
        QTest::addColumn<QList<Receiver>>("heard");
        QTest::addColumn<QByteArray>("serial"); // empty: none
        QTest::addColumn<bool>("ambiguous");
        const QList<Receiver> one{marlo()};
        for (const char *n : {"MA1001", "192.0.2.10", "00:00:00:00:00:01", "00-00-00-00-00-01",
                              "0000.0000.0001", "000000000001"})
            QTest::newRow(n) << n << one << QByteArray("MA1001") << false;
        for (const char *n : {"MA100", "192.0.2.1", "192.0.2.010", "01:00:00:00:00:00"})
            QTest::newRow(n) << n << one << QByteArray() << false;
        const Receiver blank = heard({"Marlo", "", {192, 0, 2, 40}});
        QTest::newRow("a typo beside an unprogrammed unit")
            << "GOOD2" << QList{marlo(), blank} << QByteArray() << false;
        QTest::newRow("an address nobody reports beside an unprogrammed unit")
            << "192.0.2.99" << QList{marlo(), blank} << QByteArray() << false;
        QTest::newRow("one's serial, another's address")
            << "192.0.2.101"
            << QList{heard({"Marlo", "192.0.2.101", {192, 0, 2, 7}}),
                     heard({"Marlo", "MB2", {192, 0, 2, 101}})}
            << QByteArray() << true;
        QTest::newRow("one's serial, another's MAC")
            << "000000000001" << QList{heard({"Marlo", "000000000001", {192, 0, 2, 7}}), marlo()}
            << QByteArray() << true;
        QTest::newRow("one address, two units") << "192.0.2.100"
                                                << QList{heard({"Marlo", "A1", {192, 0, 2, 100}}),
                                                         heard({"Pentra", "B2", {192, 0, 2, 100}})}
                                                << QByteArray() << true;
        QTest::newRow("clones: their serial, left to the checks")
            << "MA1001" << QList{marlo(), heardFrom(marlo(), {192, 0, 2, 10}, "vt1")}
            << QByteArray("MA1001") << false;
    }
    void unitNames()
    {
        QFETCH(QString, name);
        QFETCH(QList<Receiver>, heard);
        QFETCH(QByteArray, serial);
        QFETCH(bool, ambiguous);
        ReceiverList list;
        for (const Receiver &r : heard)
            list.add(r);
        const Resolved named = resolve(unitName(name), list);
        QCOMPARE(named.found() ? named.serial : QByteArray(), serial);
        QCOMPARE(named.ambiguous, ambiguous);
        QCOMPARE(closestSerials("MA1010",
                                {marlo(), ::heard({"Marlo", "XB9"}), ::heard({"Marlo", "MA1011"})}),
                 "MA1011, MA1001, XB9");
    }

    // doctor's rules, read from the top: the first that applies gives the
    // verdict. Each row is one rule of the interface, arrivals or wire table.
    void doctorRules_data()
    {
        QTest::addColumn<QString>("table");
        QTest::addColumn<QVariantList>("facts");
        QTest::addColumn<int>("verdict");
        QTest::addColumn<QString>("detail");
        const QVariantList lan{"eth0", true, true, false, 0xC0000201u, 0};
        const auto iface = [](const char *name, bool up, bool carrier, bool loopback, quint32 ip,
                              int replies) {
            return QVariantList{name, up, carrier, loopback, ip, replies};
        };
        QTest::newRow("interface down, however else it is")
            << "interface" << iface("eth0", false, false, false, 0xC0000201u, 3)
            << int(Check::Problem) << "down";
        QTest::newRow("interface without carrier")
            << "interface" << iface("eth0", true, false, false, 0xC0000201u, 0)
            << int(Check::Problem) << "no carrier";
        QTest::newRow("loopback needs no carrier")
            << "interface" << iface("lo", true, false, true, 0x7F000001u, 0) << int(Check::Ok)
            << "loopback, up, 127.0.0.1/8";
        QTest::newRow("interface without IPv4")
            << "interface" << iface("eth0", true, true, false, 0, 0) << int(Check::Problem)
            << "without an IPv4 address";
        QTest::newRow("link-local only, nobody answered")
            << "interface" << iface("eth0", true, true, false, 0xA9FE0102u, 0)
            << int(Check::Problem) << "only a link-local address (169.254.1.2/8): DHCP failed";
        QTest::newRow("link-local only, receivers answered")
            << "interface" << iface("eth0", true, true, false, 0xA9FE0102u, 2) << int(Check::Ok)
            << "; receivers answered on it";
        QTest::newRow("interface as it should be")
            << "interface" << lan << int(Check::Ok) << "up, carrier, 192.0.2.1/8";
        QTest::newRow("arrivals: only strangers")
            << "arrivals" << QVariantList{0, 5} << int(Check::Problem)
            << "valid replies: 0, other datagrams: 5";
        QTest::newRow("arrivals: replies among strangers")
            << "arrivals" << QVariantList{1, 5} << int(Check::Ok) << "valid replies: 1";
        // watch error, on wire, taken, checksum, buffer, a drop
        QTest::newRow("wire: not watched, however much went missing")
            << "wire" << QVariantList{"no permission", 9, 0, -1, -1, true} << int(Check::CannotTell)
            << "cannot watch the wire for datagrams a firewall drops";
        QTest::newRow("wire: nothing came")
            << "wire" << QVariantList{"", 0, 0, 0, 0, false} << int(Check::CannotTell)
            << "no datagram to UDP 48322 came in on the wire";
        QTest::newRow("wire: every datagram read")
            << "wire" << QVariantList{"", 4, 4, 0, 0, true} << int(Check::Ok)
            << "every datagram to UDP 48322 on the wire (4)";
        QTest::newRow("wire: bad checksums explain the loss, not the firewall")
            << "wire" << QVariantList{"", 4, 1, 3, 0, true} << int(Check::Problem)
            << "the kernel discarded them (3 with a bad UDP checksum), no firewall";
        QTest::newRow("wire: a full buffer explains the loss")
            << "wire" << QVariantList{"", 4, 1, 0, 3, false} << int(Check::Problem)
            << "(3 for a full receive buffer)";
        QTest::newRow("wire: discards not told, a chain drops them")
            << "wire" << QVariantList{"", 4, 1, -1, -1, true} << int(Check::Problem)
            << "drops them in inet filter input (policy)";
        QTest::newRow("wire: too few discards, no chain found")
            << "wire" << QVariantList{"", 4, 1, 1, 0, false} << int(Check::Problem)
            << ": a firewall on this computer drops them";
    }
    void doctorRules()
    {
        QFETCH(QString, table);
        QFETCH(QVariantList, facts);
        QFETCH(int, verdict);
        QFETCH(QString, detail);
        Check c;
        if (table == "interface") {
            InterfaceFacts f;
            f.state = {facts[0].toString(), 1, facts[1].toBool(), facts[2].toBool(),
                       facts[3].toBool(),   {}};
            if (facts[4].toUInt())
                f.state.ipv4 << InterfaceState::Address{Discovery::Ipv4(facts[4].toUInt()), 8, {}};
            f.replies = facts[5].toInt();
            c = judgeInterface(f);
        } else if (table == "arrivals") {
            c = judgeArrivals({"eth0", facts[0].toInt(), facts[1].toInt()});
        } else {
            WireFacts f{facts[0].toString(),
                        facts[1].toInt(),
                        facts[2].toInt(),
                        "'eth0'",
                        facts[3].toLongLong(),
                        facts[4].toLongLong(),
                        {}};
            if (facts[5].toBool())
                f.drops << FirewallDrop{"inet", "filter", "input", "policy", {}, "nft add rule"};
            c = judgeWire(f);
        }
        QCOMPARE(int(c.verdict), verdict);
        QVERIFY2(c.detail.contains(detail), qPrintable(c.detail));
    }

    // Bytes from interface names and serial numbers reach the terminal
    // escaped: doctor's report and show's text hold no control byte but
    // the line ends.
    void terminalTextIsEscaped()
    {
        if (!TestNet::linuxServices())
            QSKIP("Linux commands");
        const QString esc = QStringLiteral("e\x1b[2J\x07\u009b0");
        const QString report =
            checksText({{"request", "192.0.2.255 on " + esc, Check::Problem, "failed on " + esc,
                         "check " + esc, System::Fix::bringUp(esc)}});
        Reach reach;
        reach.why = "192.0.2.10 lies in 192.0.2.0/24 on " + esc;
        for (const QString &text : {report, showText(marlo(), reach)})
            for (const QChar c : text)
                QVERIFY2(c == '\n' || (c.unicode() >= 0x20 && c.unicode() != 0x7F &&
                                       (c.unicode() < 0x80 || c.unicode() >= 0xA0)),
                         qPrintable(text));
        QVERIFY2(report.contains("run: ip link set dev $'e\\x1b[2J\\x07\\x9b0' up"),
                 qPrintable(report));
    }

    // Arguments that end the run before anything is sent, in process: one
    // line on stderr, nothing on standard output, status 1.
    void badArguments_data()
    {
        QTest::addColumn<QStringList>("args");
        QTest::addColumn<QString>("error");
        const auto row = [](const char *tag, const QString &line, const QString &error) {
            QTest::newRow(tag) << line.split(' ', Qt::SkipEmptyParts) << error;
        };
        row("unknown command", "list",
            "unknown command 'list'; expected find, show, set, watch, apply or doctor");
        row("option before command", "--json find", "unknown option '--json' before the command");
        row("find with an argument", "find MA1001", "find: unexpected argument 'MA1001'");
        row("show without serial", "show --json", "show: the serial number of the receiver is");
        row("two serials", "show A B", "show: unexpected argument 'B' after the receiver");
        row("serial too long", "show ABCDEFGHIJKLMNOPQ", "is longer than the 16 bytes");
        row("set without settings", "set MA1001 --force",
            "set: no setting to change; expected at least one of --ip, --port, --mask, "
            "--gateway, --dhcp, --alt-udp, --alt-ip, --alt-port, --fpga");
        row("octet above 255", "set MA1001 --ip 192.0.2.256", "--ip: '192.0.2.256' is not an IPv4");
        row("three octets", "set MA1001 --gateway 192.0.2", "--gateway: '192.0.2' is not an IPv4");
        row("leading zero", "set MA1001 --mask 255.255.255.000",
            "--mask: '255.255.255.000' is not");
        row("port above 65535", "set MA1001 --port 65536",
            "--port: '65536' is not a number from 0");
        row("port not a number", "set MA1001 --alt-port 12ab",
            "--alt-port: '12ab' is not a number");
        row("dhcp yes", "set MA1001 --dhcp yes", "--dhcp: 'yes' is neither on nor off");
        row("fpga 3", "set MA1001 --fpga 3", "--fpga: '3' is not 0, 1 or 2");
        row("timeout 0", "find --timeout 0", "--timeout: '0' is not a number from 1 to 600000");
        row("timeout negative", "find --timeout=-5", "--timeout: '-5' is not a number from 1");
        row("timeout in minutes", "find -t 2m",
            "--timeout: '2m' is not a number from 1 to 600000 ms");
        row("timeout past the limit", "find --timeout 601s", "--timeout: '601s' is not a number");
        row("short json and csv", "find -j --csv", "--json and --csv exclude each other");
        row("combined, value missing", "find -jt", "find: --timeout needs a value");
        row("combined, value attached", "find -jt0", "--timeout: '0' is not a number from 1");
        row("combined, a flag after a value", "find -tj", "--timeout: 'j' is not a number");
        row("combined, twice", "find -jj", "find: --json is given twice");
        row("combined, unknown", "find -jx", "find: unknown option '-x'");
        row("expect 0", "find --expect 0", "--expect: '0' is not a number from 1");
        row("retries above 100", "find --retries 101",
            "--retries: '101' is not a number from 0 to");
        row("value missing", "find --timeout", "find: --timeout needs a value");
        row("flag with a value", "find --json=yes", "find: --json takes no value");
        row("given twice", "set MA1001 --port 1 --port 2", "set: --port is given twice");
        row("json and csv", "find --json --csv", "--json and --csv exclude each other");
        row("option of another command", "show MA1001 --ip 192.0.2.1",
            "show: --ip does not apply to this command");
        row("unknown option", "find --fast", "find: unknown option '--fast'");
        row("unknown interface", "find --interface eth9", "--interface: no interface 'eth9'");
        row("log in a missing folder", "find --log /nonexistent/dir/log",
            "--log: cannot write '/nonexistent/dir/log'");
        row("capture to standard output", "find --pcap -",
            "--pcap: '-' would be standard output, which holds the data; give a file name");
        row("capture in a missing folder", "find --pcap /nonexistent/dir/c",
            "--pcap: cannot write '/nonexistent/dir/c'");
        row("log onto the plan", "apply @DIR@/plan.csv --log @DIR@/plan.csv",
            "--log: '@DIR@/plan.csv' is the plan itself");
        row("capture onto the plan by a hard link",
            "apply @DIR@/plan.csv --dry-run --pcap @DIR@/hard",
            "--pcap: '@DIR@/hard' is the plan itself");
        row("log and capture one file", "find --log @DIR@/x --pcap @DIR@/./x",
            "--log and --pcap name one file, '@DIR@/x'");
        row("capture through a link to the log to be", "find --log @DIR@/x --pcap @DIR@/link",
            "--log and --pcap name one file, '@DIR@/x'");
        row("log to standard output by name", "find --json --log /dev/stdout",
            "--log: '/dev/stdout' is standard output or error");
        row("capture to standard error by name", "find --pcap /dev/stderr",
            "--pcap: '/dev/stderr' is standard output or error");
        row("log onto the plan read from standard input", "apply - --log /dev/stdin",
            "--log: '/dev/stdin' is the plan itself");
        row("to without a value", "find --to", "find: --to needs a value");
        row("to with three octets", "find --to 1.2.3", "--to: '1.2.3' is not an IPv4 address");
        row("to, a block past a /22", "find --to 203.0.112.0/21",
            "--to: '203.0.112.0/21' holds 2048 addresses; at most a /22");
        row("to, a prefix past 32", "find --to 203.0.113.0/33", "is not a number from 0 to 32");
        row("to the limited broadcast", "find --to 255.255.255.255",
            "--to: '255.255.255.255' is the limited broadcast address");
        row("to multicast groups", "find --to 224.0.0.0/22",
            "--to: '224.0.0.0/22' is a multicast address");
        row("to 0.0.0.0", "find --to 0.0.0.0", "--to: '0.0.0.0' is in 0.0.0.0/8");
        row("to 240.0.0.0/4", "find --to 240.0.0.9", "--to: '240.0.0.9' is in 240.0.0.0/4");
        row("to loopback", "find --to 127.0.0.1", "--to: '127.0.0.1' is a loopback address");
        row("to, more than 1024 in all", "find --to 203.0.112.0/22 --to 198.51.100.0/24",
            "--to: 1276 addresses in all; at most 1024 are asked");
        row("interval 0", "watch --interval 0", "--interval: '0' is not a number from 1");
        row("interval inside the search", "watch --interval 1000",
            "watch: --interval 1000 is shorter than the search window of 2250 ms");
        row("missed 0", "watch --missed 0", "--missed: '0' is not a number from 1 to 1000");
        row("model on show", "show MA1001 --model Marlo", "show: --model does not apply");
        row("apply without a plan", "apply --dry-run", "apply: the plan file is missing");
        row("unknown field", "find -o serial,bogus",
            "--fields: no field 'bogus' (expected some of: model, serial, ip, port, mac,");
        row("fields with json", "find --json --fields serial",
            "find: --json writes every field with its name");
        row("apply with two plans", "apply a.csv b.csv", "apply: unexpected argument 'b.csv'");
        // A final newline is not the end of the string.
        row("timeout with a newline", "find --timeout 100\n",
            "--timeout: '100\\n' is not a number from 1");
        row("ip with a newline", "set MA1001 --ip 1.2.3.4\n", "--ip: '1.2.3.4\\n' is not an IPv4");
        row("dhcp with a newline", "set MA1001 --dhcp on\n",
            "--dhcp: 'on\\n' is neither on nor off");
        row("a command with an escape", "li\x1bst", "unknown command 'li\\x1bst'");
    }
    void badArguments()
    {
        QFETCH(QStringList, args);
        QFETCH(QString, error);
        QTemporaryDir dir;
        QFile plan(dir.filePath("plan.csv"));
        QVERIFY(plan.open(QIODevice::WriteOnly) && plan.write("serial,port\nMA1001,2000\n") > 0);
        plan.close();
        QVERIFY(::link(QFile::encodeName(plan.fileName()).constData(),
                       QFile::encodeName(dir.filePath("hard")).constData()) == 0);
        QVERIFY(QFile::link("x", dir.filePath("link"))); // x does not exist yet
        args.replaceInStrings("@DIR@", dir.path());
        error.replace("@DIR@", dir.path());
        const Ran r = runCli(args);
        QCOMPARE(r.code, 1);
        QCOMPARE(r.out, QString());
        QVERIFY2(r.err.startsWith("vantrel-cli: ") && r.err.count('\n') == 1 &&
                     r.err.contains(error),
                 qPrintable(r.err));
    }

    // The help of each command: its options from the tables, in 80 columns;
    // the man page (its option sections written from the tables, its prose by
    // hand) and the bash completion name exactly those options.
    void optionsAreDocumented()
    {
        QFile manPage(QStringLiteral(CLI_DIR "/vantrel-cli.1"));
        QVERIFY(manPage.open(QIODevice::ReadOnly));
        const QString man = QString::fromUtf8(manPage.readAll())
                                .remove(QRegularExpression("\\\\f[BIRP]"))
                                .replace("\\-", "-");
        QSet<QString> inTables, inMan;
        for (const QRegularExpressionMatch &m :
             QRegularExpression("(?<![\\w-])--[a-z][a-z-]*").globalMatch(man))
            inMan << m.captured();
        QStringList helps{runCli({"--help"}).out};
        for (const CommandSpec &c : commands()) {
            const Ran help = runCli({"help", c.name});
            QCOMPARE(help.code, 0);
            helps << help.out;
            QStringList names = c.optionNames();
            for (const QString &name : std::as_const(names)) {
                QVERIFY2(help.out.contains("  " + name) || help.out.contains(", " + name),
                         qPrintable(c.name + ' ' + name));
                inTables << name;
            }
            // What the completion offers after the command and "--".
            QProcess bash;
            bash.start("bash", {"-c",
                                "PATH=" CLI_DIR ":$PATH; source \"$0\"; "
                                "COMP_WORDS=(vantrel-cli \"$1\" --); "
                                "COMP_CWORD=2; _vantrel_cli; printf '%s\\n' \"${COMPREPLY[@]}\"",
                                QStringLiteral(CLI_SOURCE_DIR "/vantrel-cli.bash"), c.name});
            QVERIFY(bash.waitForFinished(10000));
            QStringList offered =
                QString::fromUtf8(bash.readAllStandardOutput()).split('\n', Qt::SkipEmptyParts);
            offered.sort();
            names.sort();
            QCOMPARE(offered, names);
        }
        // What the words typed exclude is not offered: an option given
        // already (but one that repeats), the other of --json and --csv.
        const auto offeredAfter = [](const QString &typed, const QString &word = "--") {
            QProcess bash;
            bash.start("bash", {"-c",
                                "PATH=" CLI_DIR ":$PATH; source \"$0\"; "
                                "COMP_WORDS=(vantrel-cli $1 \"$2\"); "
                                "COMP_CWORD=$((${#COMP_WORDS[@]} - 1)); _vantrel_cli; "
                                "printf '%s\\n' \"${COMPREPLY[@]}\"",
                                QStringLiteral(CLI_SOURCE_DIR "/vantrel-cli.bash"), typed, word});
            bash.waitForFinished(10000);
            return QString::fromUtf8(bash.readAllStandardOutput()).split('\n', Qt::SkipEmptyParts);
        };
        const QStringList afterJson = offeredAfter("find -j --to 192.0.2.7");
        for (const char *excluded : {"--json", "--csv", "--fields", "--no-header"})
            QVERIFY2(!afterJson.contains(excluded), excluded);
        QVERIFY(afterJson.contains("--to") && afterJson.contains("--expect"));
        QVERIFY(!offeredAfter("find --csv").contains("--json"));
        QVERIFY(!offeredAfter("set MA1001 --port 2000").contains("--port"));
        // Values with a fixed set, as the program gives them.
        QCOMPARE(offeredAfter("set MA1001 --dhcp", ""), QStringList({"on", "off"}));
        QCOMPARE(offeredAfter("find --model", ""), QStringList({"Pentra", "Marlo", "Halvex-R"}));
        QCOMPARE(offeredAfter("find -o", "model,se"), QStringList{"model,serial"});
        inMan.remove("--version");
        inMan.remove("--completion");
        QCOMPARE(inMan, inTables);
        // The fields the page describes by hand: every one of find's, and
        // every name watch gives a change.
        for (const Field &f : fields())
            for (const QString &word : {f.header.isEmpty() ? QString() : f.key, f.name})
                QVERIFY2(word.isEmpty() || man.contains(QRegularExpression("\\b" + word + "\\b")),
                         qPrintable(word));
        for (const QString &help : std::as_const(helps))
            for (const QString &line : help.split('\n'))
                QVERIFY2(line.size() <= 80, qPrintable(line));
    }

    // Replies merge by serial over the resent requests; --model leaves the
    // others out but counts them.
    void searchMergesBySerialAndFiltersByModel()
    {
        QUdpSocket receiver;
        QVERIFY(receiver.bind(QHostAddress::AnyIPv4, DevicePort));
        int requests = 0;
        connect(&receiver, &QUdpSocket::readyRead, this, [&] {
            while (receiver.hasPendingDatagrams()) {
                const QNetworkDatagram d = receiver.receiveDatagram();
                ++requests;
                for (const QByteArray &model : {QByteArray("Marlo"), QByteArray("Tessa")})
                    receiver.writeDatagram(Replies::reply({model, model + "1"}), d.senderAddress(),
                                           ReplyPort);
            }
        });
        Exchange exchange;
        SearchOptions options;
        options.timeoutMs = 600;
        options.retries = 2;
        options.models = {"Marlo"};
        Search search(exchange, options);
        QVERIFY(search.prepare().isEmpty());
        QString error;
        QVERIFY2(exchange.open(&error), qPrintable(error));
        QSignalSpy received(&search, &Search::received), ended(&search, &Search::windowEnded);
        QVERIFY(search.begin() > 0);
        QVERIFY(ended.wait(5000));
        QCOMPARE(requests, 3 * int(search.destinations().size()));
        QCOMPARE(search.heard().all().size(), 1);
        QCOMPARE(received.first().at(2).toBool(), true); // isNew, once
        QCOMPARE(search.filteredCount(), 1);
        QCOMPARE(search.modelsHeard(), QStringList{"Tessa"});
        bool concluded = false;
        search.conclude(search.serials(), [&] { concluded = true; }); // no --to: at once
        QVERIFY(concluded);
        QCOMPARE(ended.size(), 1);
    }
};

VANTREL_NET_TEST_MAIN(TestCliCore, {{"vt0", "192.0.2.1/24"}})
#include "tst_clicore.moc"
