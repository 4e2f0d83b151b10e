// SPDX-License-Identifier: MIT
//
// Fuzzes the intake of datagrams: each input is a burst of datagrams (split
// at the separator "\xF0\x0D\xF0\x0D"), sent over loopback to the real
// window and read by its own ReadUDPMessages. After every datagram the list
// must equal that of an independent model of the device list (validity test,
// merge by serial, at most 32 rows, entry text with the in-use mark), and the
// protocol's store helper must have copied exactly what the datagram held.
//
// The process moves into a network namespace of its own before anything else,
// so the window's start-up broadcast stays on this process's loopback.
#include "discovery.h"
#include "mainwindow.h"
#include "testnet.h"

#include <QApplication>
#include <QListWidget>
#include <QSettings>
#include <QTemporaryDir>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

QApplication *application = nullptr;

constexpr unsigned char Separator[] = {0xF0, 0x0D, 0xF0, 0x0D};
constexpr std::size_t MaxDatagrams = 256;

MainWindow *window = nullptr;
QListWidget *list = nullptr;
int sender = -1;
sockaddr_in replyPort{};

#define CHECK(condition)                                                                           \
    do {                                                                                           \
        if (!(condition)) {                                                                        \
            std::fprintf(stderr, "fuzz_intake: %s:%d: check failed: %s\n", __FILE__, __LINE__,     \
                         #condition);                                                              \
            std::abort();                                                                          \
        }                                                                                          \
    } while (0)

std::vector<std::vector<std::uint8_t>> split(const std::uint8_t *data, std::size_t size)
{
    std::vector<std::vector<std::uint8_t>> out;
    const std::uint8_t *begin = data, *end = data + size;
    while (out.size() < MaxDatagrams) {
        const std::uint8_t *at = std::search(begin, end, Separator, Separator + sizeof Separator);
        out.emplace_back(begin, at);
        if (at == end)
            break;
        begin = at + sizeof Separator;
    }
    return out;
}

// The device list as a user sees it, built without the program's helpers.
struct ModelRow {
    std::string serial;
    QString text;
};

std::string text(const std::vector<std::uint8_t> &d, std::size_t offset, std::size_t width)
{
    std::string out;
    for (std::size_t i = offset; i < offset + width && d[i] != 0; ++i)
        out += char(d[i]);
    return out;
}

void modelIntake(std::vector<ModelRow> &rows, const std::vector<std::uint8_t> &d)
{
    if (d.size() < 56 || d[2] != 0x5A || d[3] != 0xA5)
        return; // not a reply, or no whole head to take a serial number from
    const std::string name = text(d, 5, 16);
    const std::string serial = text(d, 21, 16);
    const auto same = std::find_if(rows.begin(), rows.end(),
                                   [&](const ModelRow &r) { return r.serial == serial; });
    if (same != rows.end())
        rows.erase(same);
    if (rows.size() >= 32)
        return;
    const bool configurable = name == "Pentra" || name == "Marlo" || name == "Halvex-R";
    const std::size_t statusAt = configurable ? 87 : 100;
    const bool inUse = statusAt < d.size() && (d[statusAt] & 0x03) != 0;
    // One arg() call: a "%2" in a device's text must stay text.
    const auto number = [](int n) { return QString::number(n); };
    const QString entry =
        QStringLiteral("%1%2   SN=%3   IP=%4.%5.%6.%7   Port=%8")
            .arg(inUse ? QStringLiteral("(In Use) ") : QString(),
                 QString::fromLatin1(name.data(), qsizetype(name.size())),
                 QString::fromLatin1(serial.data(), qsizetype(serial.size())), number(d[40]),
                 number(d[39]), number(d[38]), number(d[37]), number(d[53] | (d[54] << 8)));
    rows.push_back({serial, entry});
}

// The store helper keeps the head, the reply in the layout its model selects
// (cut to the record, zero beyond the datagram), and reports the in-use bits.
void checkStore(const std::vector<std::uint8_t> &d)
{
    DiscoverHeader head;
    DeviceConfigRecord config;
    DeviceInfoRecord info;
    std::memset(&head, 0xCC, sizeof head);
    std::memset(&config, 0xCC, sizeof config);
    std::memset(&info, 0xCC, sizeof info);
    const bool inUse = Discovery::storeReply(d.data(), d.size(), head, config, info);
    if (d.size() < sizeof head) {
        CHECK(!inUse);
        return;
    }
    CHECK(std::memcmp(&head, d.data(), sizeof head) == 0);
    const bool configurable = Discovery::isConfigurableModel(head.deviceName);
    const auto *record = configurable ? reinterpret_cast<const std::uint8_t *>(&config)
                                      : reinterpret_cast<const std::uint8_t *>(&info);
    const std::size_t recordSize = configurable ? sizeof config : sizeof info;
    const std::size_t copied = std::min(d.size(), recordSize);
    CHECK(std::memcmp(record, d.data(), copied) == 0);
    CHECK(std::all_of(record + copied, record + recordSize, [](std::uint8_t b) { return b == 0; }));
    CHECK(inUse == (configurable ? (config.status & 3) != 0 : (info.status & 3) != 0));
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *argc, char ***argv)
{
    TestNet::isolate({});
    qputenv("QT_QPA_PLATFORM", "offscreen");
    static QTemporaryDir settings;
    QSettings::setPath(QSettings::NativeFormat, QSettings::UserScope, settings.path());
    // Never destroyed: at exit Qt's own statics may already be gone.
    application = new QApplication(*argc, *argv);
    // The event loop never runs, so the close timer of the start-up search
    // never fires and the reply port stays bound for the whole run.
    window = new MainWindow;
    list = window->findChild<QListWidget *>(QStringLiteral("listWidget"));
    sender = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    replyPort.sin_family = AF_INET;
    replyPort.sin_port = htons(Discovery::ReplyPort);
    replyPort.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return list && sender >= 0 ? 0 : 1;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    list->clear(); // what the Find button does at once
    std::vector<ModelRow> model;
    for (std::vector<std::uint8_t> &d : split(data, size)) {
        CHECK(sendto(sender, d.data(), d.size(), 0, reinterpret_cast<sockaddr *>(&replyPort),
                     sizeof replyPort) == ssize_t(d.size()));
        QMetaObject::invokeMethod(window, "ReadUDPMessages", Qt::DirectConnection);

        d.resize(std::min(d.size(), Discovery::ReadBufferSize)); // what the window reads
        if (Discovery::isValidReply(d.data(), d.size()))
            checkStore(d);
        else
            CHECK(d.size() < 4 || d[2] != 0x5A || d[3] != 0xA5);
        modelIntake(model, d);

        CHECK(list->count() == int(model.size()));
        for (int r = 0; r < list->count(); ++r)
            CHECK(list->item(r)->text() == model[std::size_t(r)].text);
    }
    return 0;
}
