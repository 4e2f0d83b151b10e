// SPDX-License-Identifier: MIT
#include "devices.h"

#include "discovery.h"

#include <algorithm>
#include <cctype>
#include <cstddef>
#include <cstring>
#include <map>

using namespace Discovery;

const char *const UsageText =
    R"(Usage: vantrel-emulator [OPTION]... --device SPEC [--device SPEC]...
Plays networked radio receivers: answers discovery requests on UDP port 48321,
once per receiver, at the requester's UDP port 48322, and applies configuration
messages to the receiver with their serial number. Several emulators can run
side by side; each one hears every broadcast.

Options:
  --device SPEC      one receiver (repeatable); SPEC is KEY=VALUE,KEY=VALUE,...
  --many N:SPEC      N receivers (1 to 1024) from one SPEC: the serial gets the
                     suffix 00 to N-1 (wider when N > 100); IP and MAC count up
  --delay MS         reply delay of each receiver without delay= (default 0);
                     replies of equal delay go out in command-line order
  --ignore-config    never apply configuration messages
  --reply-to-source  reply to the request's source port instead of 48322
  --limited-only     answer only requests to 255.255.255.255 or to an address
                     of this host, as some receivers' network stacks do
  --help             show this text
  --version          show the version

SPEC keys; model, serial, ip and port are required, values hold no commas:
  model=TEXT         model name, up to 16 bytes; Pentra, Marlo and Halvex-R
                     reply with the 103-byte configurable record, all others
                     with the 116-byte information record
  serial=TEXT        serial number, up to 16 bytes
  ip=A.B.C.D         IP address reported
  port=N             TCP control port reported
  status=N           status byte (default 0)
  inuse=0|1          sets status bit 0, or clears bits 0 and 1
  fw=N  boot=N       firmware and boot loader versions, hundredths (107, 100)
  length=N           length field and size of every reply, 0 to 65507 (default:
                     the record size); bytes beyond the record are 0xee
  delay=MS           this receiver's reply delay
  raw=OFF:HEX        bytes put at offset OFF after all other keys (repeatable)
 configurable models only (defaults in brackets):
  mac=XX:XX:XX:XX:XX:XX [02:56:54:00:HH:LL, HHLL the device line's n]
  hw=N [100]  fpgaid=N [1]  fpgarev=N [1]  options=N [0]
  mask=A.B.C.D [255.255.255.0]  gateway=A.B.C.D [first address of ip's subnet]
  alt-ip=A.B.C.D [0.0.0.0]  alt-port=N [0]  fpga=0|1|2 [0]
  flags=N [0] netFlags byte; then dhcp=0|1 and alt-udp=0|1 set or clear bits 0, 1
 (the settings' keys are vantrel-cli's option names)
 other models only:
  connection=TEXT    connection text, up to 32 bytes [LAN]
Numbers are decimal or 0x hexadecimal.

A configuration message (markers 5a a5, opcode 2) of at least 87 bytes sets ip,
port, mask, gateway, alt-ip, alt-port, netFlags bits 0 and 1 and fpga of every
configurable receiver with its serial number; later replies carry them.

Output: one line per event on stdout, never held back by a slow reader;
TIME is UTC, such as 2025-01-31T12:34:56.789Z:
  TIME device n=1.. model=TEXT serial=TEXT addr=A.B.C.D:PORT size=N delay=MS
  TIME ready port=48321 devices=N
  TIME recv from=A.B.C.D:P dst=A.B.C.D if=NAME size=N op=N kind=K result=R hex=H
  TIME send to=A.B.C.D:P size=N op=N serial=TEXT [error=TEXT] hex=H
  TIME exit signal=INT|TERM
kind: request, config, other (valid markers, other opcode), invalid.
result: reply (answers queued), busy (too many queued), dropped, applied,
  ignored (--ignore-config), unknown-serial, not-configurable, too-short.
op is - for a datagram under 5 bytes; hex is the whole datagram in lower case,
always the last field; in TEXT, bytes outside ! to ~ and % itself print as %XX.

Exit status: 0 after SIGINT or SIGTERM, 1 bad arguments, 2 socket failure.
)";

namespace {

constexpr std::uint64_t MaxDatagram = 65507; // largest UDP payload over IPv4
constexpr std::uint64_t MaxDelayMs = 600000;
constexpr std::uint64_t MaxEmulated = 1024;
constexpr std::uint8_t PadByte = 0xEE;
constexpr std::uint64_t DefaultMac = 0x025654000000; // locally administered

const std::vector<std::string> CommonKeys = {"model", "serial", "status", "inuse", "fw",
                                             "boot",  "length", "delay",  "ip",    "port"};
const std::vector<std::string> ConfigKeys = {"mac",   "hw",      "fpgaid", "fpgarev",  "options",
                                             "mask",  "gateway", "alt-ip", "alt-port", "fpga",
                                             "flags", "dhcp",    "alt-udp"};
const std::vector<std::string> InfoKeys = {"connection"};

[[noreturn]] void fail(const std::string &what)
{
    throw UsageError(what);
}

bool contains(const std::vector<std::string> &list, const std::string &s)
{
    return std::find(list.begin(), list.end(), s) != list.end();
}

std::uint64_t number(const std::string &where, const std::string &text, std::uint64_t max,
                     std::uint64_t min = 0)
{
    const bool hex = text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X');
    const std::string digits = hex ? text.substr(2) : text;
    const char *allowed = hex ? "0123456789abcdefABCDEF" : "0123456789";
    std::uint64_t value = 0;
    if (!digits.empty() && digits.size() <= 15 &&
        digits.find_first_not_of(allowed) == std::string::npos)
        value = std::stoull(digits, nullptr, hex ? 16 : 10);
    else
        value = max + 1;
    if (value > max || value < min)
        fail(where + ": '" + text + "' is not a number from " + std::to_string(min) + " to " +
             std::to_string(max));
    return value;
}

std::uint32_t address(const std::string &where, const std::string &text)
{
    std::uint32_t value = 0;
    std::size_t pos = 0;
    for (int i = 0; i < 4; ++i) {
        std::size_t end = text.find('.', pos);
        if ((i < 3) != (end != std::string::npos))
            fail(where + ": '" + text + "' is not an IPv4 address a.b.c.d");
        if (end == std::string::npos)
            end = text.size();
        const std::string part = text.substr(pos, end - pos);
        if (part.empty() || part.size() > 3 ||
            part.find_first_not_of("0123456789") != std::string::npos || std::stoi(part) > 255)
            fail(where + ": '" + text + "' is not an IPv4 address a.b.c.d");
        value = value << 8 | std::uint32_t(std::stoi(part));
        pos = end + 1;
    }
    return value;
}

Ipv4 toQuad(std::uint32_t a)
{
    return {std::uint8_t(a >> 24), std::uint8_t(a >> 16), std::uint8_t(a >> 8), std::uint8_t(a)};
}

std::vector<std::uint8_t> hexBytes(const std::string &where, const std::string &text)
{
    if (text.empty() || text.size() % 2 ||
        text.find_first_not_of("0123456789abcdefABCDEF") != std::string::npos)
        fail(where + ": '" + text + "' is not an even number of hex digits");
    std::vector<std::uint8_t> bytes;
    for (std::size_t i = 0; i < text.size(); i += 2)
        bytes.push_back(std::uint8_t(std::stoul(text.substr(i, 2), nullptr, 16)));
    return bytes;
}

std::uint64_t mac(const std::string &where, const std::string &text)
{
    std::uint64_t value = 0;
    bool ok = text.size() == 17;
    for (std::size_t i = 0; ok && i < 17; ++i)
        ok = i % 3 == 2 ? text[i] == ':' : std::isxdigit(static_cast<unsigned char>(text[i]));
    if (!ok)
        fail(where + ": '" + text + "' is not a MAC address xx:xx:xx:xx:xx:xx");
    for (std::size_t i = 0; i < 17; i += 3)
        value = value << 8 | std::stoul(text.substr(i, 2), nullptr, 16);
    return value;
}

template <std::size_t N> void setText(char (&field)[N], const std::string &text)
{
    std::memcpy(field, text.data(), std::min(N, text.size()));
}

// One SPEC of --device or --many, checked for form; values are read by build().
struct Spec {
    std::string where;
    std::map<std::string, std::string> keys;
    std::vector<std::string> raw;
};

Spec parseSpec(const std::string &text, const std::string &where)
{
    Spec spec{where, {}, {}};
    std::size_t pos = 0;
    while (pos <= text.size()) {
        std::size_t end = std::min(text.find(',', pos), text.size());
        const std::string item = text.substr(pos, end - pos);
        pos = end + 1;
        const std::size_t eq = item.find('=');
        if (eq == std::string::npos)
            fail(where + ": '" + item + "' is not KEY=VALUE");
        const std::string key = item.substr(0, eq), value = item.substr(eq + 1);
        if (key == "raw") {
            spec.raw.push_back(value);
            continue;
        }
        if (!contains(CommonKeys, key) && !contains(ConfigKeys, key) && !contains(InfoKeys, key))
            fail(where + ": unknown key '" + key + "' (see --help)");
        if (!spec.keys.emplace(key, value).second)
            fail(where + ": key '" + key + "' given twice");
    }
    for (const char *key : {"model", "serial", "ip", "port"})
        if (!spec.keys.count(key))
            fail(where + ": " + key + "= is missing");
    return spec;
}

// Receiver `copy` of `copies` (copy -1 for a plain --device), the `index`th overall.
EmulatedDevice build(const Spec &spec, int copy, int copies, std::size_t index)
{
    const auto has = [&](const char *key) { return spec.keys.count(key) != 0; };
    const auto where = [&](const char *key) { return spec.where + ": " + key; };
    const auto num = [&](const char *key, std::uint64_t dflt, std::uint64_t max) {
        return has(key) ? number(where(key), spec.keys.at(key), max) : dflt;
    };
    const auto text = [&](const char *key, const std::string &dflt, std::size_t width) {
        const std::string value = has(key) ? spec.keys.at(key) : dflt;
        if (value.size() > width)
            fail(where(key) + ": '" + value + "' is longer than " + std::to_string(width) +
                 " bytes");
        return value;
    };

    DiscoverHeader head{};
    setText(head.deviceName, text("model", "", 16));
    const bool configurable = isConfigurableModel(head.deviceName);
    for (const auto &kv : spec.keys)
        if (contains(configurable ? InfoKeys : ConfigKeys, kv.first))
            fail(spec.where + ": key '" + kv.first + "' does not apply to model '" +
                 spec.keys.at("model") + "'");

    std::string serial = spec.keys.at("serial");
    std::uint64_t ip = address(where("ip"), spec.keys.at("ip"));
    if (copy >= 0) {
        const std::string n = std::to_string(copy);
        const std::size_t width = std::max<std::size_t>(2, std::to_string(copies - 1).size());
        serial += std::string(width - n.size(), '0') + n;
        ip += std::uint64_t(copy);
        if (ip > 0xFFFFFFFF)
            fail(where("ip") + ": " + std::to_string(copies) +
                 " consecutive addresses run past 255.255.255.255");
    }
    if (serial.size() > 16)
        fail(where("serial") + ": '" + serial + "' is longer than 16 bytes");
    setText(head.serialNumber, serial);
    setQuad(head.ipAddress, toQuad(std::uint32_t(ip)));
    setU16(head.tcpPort, std::uint16_t(num("port", 0, 0xFFFF)));
    head.magic0 = Magic0;
    head.magic1 = Magic1;
    head.opcode = OpDiscover;

    const std::size_t recordSize =
        configurable ? sizeof(DeviceConfigRecord) : sizeof(DeviceInfoRecord);
    EmulatedDevice d;
    d.configurable = configurable;
    d.size = num("length", recordSize, MaxDatagram);
    d.delayMs = has("delay") ? int(num("delay", 0, MaxDelayMs)) : -1;
    d.image.assign(std::max(recordSize, d.size), PadByte);
    setU16(head.length, std::uint16_t(d.size));

    std::uint8_t status = std::uint8_t(num("status", 0, 0xFF));
    if (has("inuse"))
        status = std::uint8_t(num("inuse", 0, 1) ? status | 0x01 : status & ~StatusInUse);
    const std::uint16_t fw = std::uint16_t(num("fw", 107, 0xFFFF));
    const std::uint16_t boot = std::uint16_t(num("boot", 100, 0xFFFF));

    if (configurable) {
        DeviceConfigRecord r{};
        r.head = head;
        const std::uint64_t m =
            has("mac") ? mac(where("mac"), spec.keys.at("mac")) + std::uint64_t(std::max(copy, 0))
                       : DefaultMac + index + 1;
        if (m > 0xFFFFFFFFFFFFull)
            fail(where("mac") + ": " + std::to_string(copies) +
                 " consecutive MAC addresses run past ff:ff:ff:ff:ff:ff");
        for (std::size_t i = 0; i < 6; ++i)
            r.macAddress[i] = std::uint8_t(m >> (8 * i));
        setU16(r.hwVersion, std::uint16_t(num("hw", 100, 0xFFFF)));
        setU16(r.firmwareVersion, fw);
        setU16(r.bootVersion, boot);
        r.fpgaId = std::uint8_t(num("fpgaid", 1, 0xFF));
        r.fpgaRevision = std::uint8_t(num("fpgarev", 1, 0xFF));
        r.options = std::uint8_t(num("options", 0, 0xFF));
        r.netFlags = std::uint8_t(num("flags", 0, 0xFF));
        if (has("dhcp"))
            r.netFlags =
                std::uint8_t(num("dhcp", 0, 1) ? r.netFlags | NetDhcp : r.netFlags & ~NetDhcp);
        if (has("alt-udp"))
            r.netFlags = std::uint8_t(num("alt-udp", 0, 1) ? r.netFlags | NetAltUdp
                                                           : r.netFlags & ~NetAltUdp);
        const std::uint32_t mask =
            has("mask") ? address(where("mask"), spec.keys.at("mask")) : 0xFFFFFF00;
        setQuad(r.subnetMask, toQuad(mask));
        setQuad(r.gateway,
                toQuad(has("gateway") ? address(where("gateway"), spec.keys.at("gateway"))
                                      : (std::uint32_t(ip) & mask) | 1));
        setQuad(r.altUdpAddress,
                toQuad(has("alt-ip") ? address(where("alt-ip"), spec.keys.at("alt-ip")) : 0));
        setU16(r.altUdpPort, std::uint16_t(num("alt-port", 0, 0xFFFF)));
        r.fpgaConfig = std::uint8_t(num("fpga", 0, 2));
        r.status = status;
        std::memcpy(d.image.data(), &r, sizeof r);
    } else {
        DeviceInfoRecord r{};
        r.head = head;
        setU16(r.firmwareVersion, fw);
        setU16(r.bootVersion, boot);
        setText(r.connection, text("connection", "LAN", 32));
        r.status = status;
        std::memcpy(d.image.data(), &r, sizeof r);
    }

    for (const std::string &raw : spec.raw) {
        const std::size_t colon = raw.find(':');
        if (colon == std::string::npos)
            fail(spec.where + ": raw: '" + raw + "' is not OFFSET:HEX");
        const std::size_t offset =
            number(spec.where + ": raw offset", raw.substr(0, colon), d.image.size() - 1);
        const auto bytes = hexBytes(spec.where + ": raw", raw.substr(colon + 1));
        if (offset + bytes.size() > d.image.size())
            fail(spec.where + ": raw: '" + raw + "' runs past byte " +
                 std::to_string(d.image.size() - 1));
        std::copy(bytes.begin(), bytes.end(), d.image.begin() + std::ptrdiff_t(offset));
    }
    return d;
}

DiscoverHeader headOf(const EmulatedDevice &d)
{
    DiscoverHeader h;
    std::memcpy(&h, d.image.data(), sizeof h); // every image holds at least a whole record
    return h;
}

} // namespace

EmulatorOptions parseCommandLine(int argc, const char *const *argv)
{
    EmulatorOptions o;
    for (int i = 1; i < argc; ++i)
        if (std::strcmp(argv[i], "--help") == 0 || std::strcmp(argv[i], "-h") == 0) {
            o.help = true;
            return o;
        } else if (std::strcmp(argv[i], "--version") == 0 || std::strcmp(argv[i], "-V") == 0) {
            o.version = true;
            return o;
        }

    std::vector<std::pair<Spec, int>> specs; // copies, 0 for --device
    std::uint64_t total = 0;
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i], value;
        bool inlineValue = false;
        if (arg.rfind("--", 0) == 0 && arg.find('=') != std::string::npos) {
            value = arg.substr(arg.find('=') + 1);
            arg.resize(arg.find('='));
            inlineValue = true;
        }
        const auto takeValue = [&] {
            if (!inlineValue) {
                if (i + 1 >= argc)
                    fail(arg + ": value missing");
                value = argv[++i];
            }
            return value;
        };
        const auto flag = [&] {
            if (inlineValue)
                fail(arg + ": takes no value");
            return true;
        };
        if (arg == "--device") {
            specs.emplace_back(
                parseSpec(takeValue(), "--device #" + std::to_string(specs.size() + 1)), 0);
            ++total;
        } else if (arg == "--many") {
            const std::string v = takeValue();
            const std::size_t colon = v.find(':');
            if (colon == std::string::npos)
                fail("--many: '" + v + "' is not N:SPEC");
            const std::string where = "--many #" + std::to_string(specs.size() + 1);
            const std::uint64_t n = number(where, v.substr(0, colon), MaxEmulated, 1);
            specs.emplace_back(parseSpec(v.substr(colon + 1), where), int(n));
            total += n;
        } else if (arg == "--delay") {
            o.delayMs = int(number("--delay", takeValue(), MaxDelayMs));
        } else if (arg == "--ignore-config") {
            o.ignoreConfig = flag();
        } else if (arg == "--limited-only") {
            o.limitedOnly = flag();
        } else if (arg == "--reply-to-source") {
            o.replyToSource = flag();
        } else {
            fail("unknown argument '" + arg + "' (see --help)");
        }
    }
    if (specs.empty())
        fail("no receivers: give --device SPEC or --many N:SPEC (see --help)");
    if (total > MaxEmulated)
        fail(std::to_string(total) + " receivers are too many (at most " +
             std::to_string(MaxEmulated) + ")");

    for (const auto &[spec, copies] : specs)
        for (int c = copies ? 0 : -1; c < copies; ++c)
            o.devices.push_back(build(spec, c, copies, o.devices.size()));
    for (EmulatedDevice &d : o.devices)
        if (d.delayMs < 0)
            d.delayMs = o.delayMs;
    return o;
}

const char *applyConfig(std::vector<EmulatedDevice> &devices, const std::uint8_t *data,
                        std::size_t size)
{
    // Without fpgaConfig the message cannot say what to set.
    if (size < offsetof(DeviceConfigRecord, fpgaConfig) + 1)
        return "too-short";
    DeviceConfigRecord msg{};
    std::memcpy(&msg, data, std::min(size, sizeof msg));
    const std::string serial = fieldText(msg.head.serialNumber);

    bool known = false, applied = false;
    for (EmulatedDevice &d : devices) {
        if (fieldText(headOf(d).serialNumber) != serial)
            continue;
        known = true;
        // The other layout has text and status where the settings would go.
        if (!d.configurable)
            continue;
        DeviceConfigRecord r;
        std::memcpy(&r, d.image.data(), sizeof r);
        std::memcpy(r.head.ipAddress, msg.head.ipAddress, sizeof r.head.ipAddress);
        std::memcpy(r.head.tcpPort, msg.head.tcpPort, sizeof r.head.tcpPort);
        std::memcpy(r.subnetMask, msg.subnetMask, sizeof r.subnetMask);
        std::memcpy(r.gateway, msg.gateway, sizeof r.gateway);
        std::memcpy(r.altUdpAddress, msg.altUdpAddress, sizeof r.altUdpAddress);
        std::memcpy(r.altUdpPort, msg.altUdpPort, sizeof r.altUdpPort);
        const std::uint8_t bits = NetDhcp | NetAltUdp;
        r.netFlags = std::uint8_t((r.netFlags & ~bits) | (msg.netFlags & bits));
        r.fpgaConfig = msg.fpgaConfig;
        std::memcpy(d.image.data(), &r, sizeof r);
        applied = true;
    }
    return applied ? "applied" : known ? "not-configurable" : "unknown-serial";
}

std::string deviceModel(const EmulatedDevice &d)
{
    return fieldText(headOf(d).deviceName);
}

std::string deviceSerial(const EmulatedDevice &d)
{
    return fieldText(headOf(d).serialNumber);
}

std::string deviceAddress(const EmulatedDevice &d)
{
    const DiscoverHeader h = headOf(d);
    return quad(h.ipAddress).text() + ":" + std::to_string(u16(h.tcpPort));
}
