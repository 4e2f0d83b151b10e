// SPDX-License-Identifier: MIT
//
// Fuzzes the configuration message: the first 103 bytes of an input are a
// stored DeviceConfigRecord (zero-filled when shorter), the rest is a script
// of user edits on the real setup dialog: typing into a port or octet field
// (through the validators, which refuse what they refuse), erasing, ticking
// the check boxes, choosing an FPGA configuration. Then OK, and the message.
// Whatever the edits, the message keeps every byte that the dialog does not
// edit, and an OK without a change gives back the record unchanged.
#include "discovery.h"
#include "editdevicedlg.h"

#include <QApplication>
#include <QCheckBox>
#include <QLineEdit>
#include <QRadioButton>
#include <QTest>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

namespace {

QApplication *application = nullptr;

#define CHECK(condition)                                                                           \
    do {                                                                                           \
        if (!(condition)) {                                                                        \
            std::fprintf(stderr, "fuzz_config: %s:%d: check failed: %s\n", __FILE__, __LINE__,     \
                         #condition);                                                              \
            std::abort();                                                                          \
        }                                                                                          \
    } while (0)

constexpr std::size_t MaxSteps = 64;

// Offsets that the dialog may change: the opcode (set to 2 for the message),
// the address, port, mask, gateway, UDP destination and FPGA configuration.
// netFlags (71) is checked bit by bit.
bool editable(std::size_t offset)
{
    return offset == 4 || (offset >= 37 && offset <= 40) || offset == 53 || offset == 54 ||
           offset == 71 || (offset >= 72 && offset <= 86);
}

class Script {
public:
    Script(const std::uint8_t *data, std::size_t size) : m_at(data), m_end(data + size) {}
    bool done() const
    {
        return m_at == m_end;
    }
    std::uint8_t byte()
    {
        return m_at == m_end ? 0 : *m_at++;
    }

private:
    const std::uint8_t *m_at;
    const std::uint8_t *m_end;
};

QLineEdit *field(CEditDeviceDlg &dlg, unsigned which)
{
    static const char *const editors[] = {"IPEditwidget_IP", "IPEditwidget_IP_SM",
                                          "IPEditwidget_IP_GW", "IPEditwidget_IP_UDP"};
    static const char *const octets[] = {"lineEdit_B3", "lineEdit_B2", "lineEdit_B1",
                                         "lineEdit_B0"};
    if (which == 0)
        return dlg.findChild<QLineEdit *>(QStringLiteral("lineEdit_TCPPort"));
    if (which == 1)
        return dlg.findChild<QLineEdit *>(QStringLiteral("lineEdit_UDPPort"));
    which -= 2;
    auto *editor = dlg.findChild<QWidget *>(QLatin1String(editors[which / 4]));
    return editor->findChild<QLineEdit *>(QLatin1String(octets[which % 4]));
}

// One user action per step, chosen and parametrised by the script's bytes.
void act(CEditDeviceDlg &dlg, Script &script)
{
    const std::uint8_t op = script.byte();
    const unsigned target = unsigned(script.byte()) % 18;
    switch (op % 6) {
    case 0:
    case 1: { // type up to 7 keys, mostly digits, some other printable ones
        QLineEdit *edit = field(dlg, target);
        const unsigned n = script.byte() % 8;
        for (unsigned i = 0; i < n; ++i) {
            const std::uint8_t c = script.byte();
            if (c == 0xFF)
                QTest::keyClick(edit, Qt::Key_Return); // becomes Tab while the dialog exists
            else
                QTest::keyClick(edit, c < 0xC0 ? char('0' + c % 10) : char(' ' + c % 95));
        }
        break;
    }
    case 2: { // select all or move, then erase some characters
        QLineEdit *edit = field(dlg, target);
        const std::uint8_t how = script.byte();
        if (how & 1)
            QTest::keyClick(edit, Qt::Key_A, Qt::ControlModifier);
        else
            QTest::keyClick(edit, (how & 2) ? Qt::Key_Home : Qt::Key_End);
        for (unsigned i = 0; i < unsigned(how >> 2) % 6; ++i)
            QTest::keyClick(edit, (how & 2) ? Qt::Key_Delete : Qt::Key_Backspace);
        break;
    }
    case 3:
        dlg.findChild<QCheckBox *>(QStringLiteral("checkBox_UseDHCP"))->click();
        break;
    case 4:
        dlg.findChild<QCheckBox *>(QStringLiteral("checkBox_UseAltUDP"))->click();
        break;
    case 5:
        dlg.findChild<QRadioButton *>(QStringLiteral("radioButtonCfg%1").arg(target % 3))->click();
        break;
    }
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *argc, char ***argv)
{
    qputenv("QT_QPA_PLATFORM", "offscreen");
    // Never destroyed: at exit Qt's own statics may already be gone.
    application = new QApplication(*argc, *argv);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    DeviceConfigRecord in{};
    std::memcpy(&in, data, std::min(size, sizeof in));
    Script script(data + std::min(size, sizeof in), size - std::min(size, sizeof in));

    // Deferred deletions and other posted events of the last dialog, as an
    // event loop would have delivered them.
    QCoreApplication::sendPostedEvents();
    CEditDeviceDlg dlg(nullptr);
    dlg.m_Device = in;
    dlg.InitDialog();
    for (std::size_t step = 0; step < MaxSteps && !script.done(); ++step)
        act(dlg, script);

    // What the validators let through: digits only, within range.
    for (unsigned f = 0; f < 18; ++f) {
        const QString t = field(dlg, f)->text();
        const unsigned top = f < 2 ? 65535 : 255;
        CHECK(t.size() <= (f < 2 ? 5 : 3));
        CHECK(std::all_of(t.begin(), t.end(), [](QChar c) { return c.isDigit(); }));
        CHECK(t.isEmpty() || t.toUInt() <= top);
    }

    dlg.accept();
    const DeviceConfigRecord &out = dlg.m_Device;
    const auto *before = reinterpret_cast<const std::uint8_t *>(&in);
    const auto *after = reinterpret_cast<const std::uint8_t *>(&out);

    for (std::size_t i = 0; i < sizeof in; ++i)
        CHECK(editable(i) || after[i] == before[i]);
    CHECK(out.head.opcode == in.head.opcode);
    CHECK((out.netFlags & ~0x03) == (in.netFlags & ~0x03));
    CHECK(((out.netFlags & Discovery::NetDhcp) != 0) ==
          dlg.findChild<QCheckBox *>(QStringLiteral("checkBox_UseDHCP"))->isChecked());
    CHECK(((out.netFlags & Discovery::NetAltUdp) != 0) ==
          dlg.findChild<QCheckBox *>(QStringLiteral("checkBox_UseAltUDP"))->isChecked());
    CHECK(out.fpgaConfig == in.fpgaConfig || out.fpgaConfig <= 2);
    if (!dlg.m_bDataChanged)
        CHECK(std::memcmp(&in, &out, sizeof in) == 0);

    const std::vector<std::uint8_t> message = Discovery::configMessage(out);
    const std::size_t length = Discovery::u16(in.head.length);
    CHECK(message.size() == std::min<std::size_t>(length, sizeof in));
    for (std::size_t i = 0; i < message.size(); ++i) {
        if (i == 4)
            CHECK(message[i] == Discovery::OpConfigure);
        else
            CHECK(message[i] == after[i]);
    }
    return 0;
}
