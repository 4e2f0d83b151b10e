// SPDX-License-Identifier: MIT
//
// Discovery wire protocol, shared by the window, the emulator and the tools.
//
// Every message starts with the 56-byte DiscoverHeader. The request is a bare
// header (opcode 0). A reply continues as a DeviceConfigRecord (103 bytes) for
// the configurable models and as a DeviceInfoRecord (116 bytes) for all other
// models. A configuration message is a DeviceConfigRecord with opcode 2.
// Two-byte integers are little-endian; IPv4 and MAC fields hold their least
// significant byte first; text fields end at the first NUL or at their width.
// Every field is a byte or a byte array, so the records have no padding and
// read the same on any host; the helpers below do all the byte arithmetic.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

struct DiscoverHeader {
    std::uint8_t length[2];
    std::uint8_t magic0;
    std::uint8_t magic1;
    std::uint8_t opcode;
    char deviceName[16];
    char serialNumber[16];
    std::uint8_t ipAddress[4];
    std::uint8_t reserved1[12];
    std::uint8_t tcpPort[2];
    std::uint8_t reserved2;
};

struct DeviceConfigRecord {
    DiscoverHeader head;
    std::uint8_t macAddress[6];
    std::uint8_t hwVersion[2];
    std::uint8_t firmwareVersion[2];
    std::uint8_t bootVersion[2];
    std::uint8_t fpgaId;
    std::uint8_t fpgaRevision;
    std::uint8_t options;
    std::uint8_t netFlags;
    std::uint8_t subnetMask[4];
    std::uint8_t gateway[4];
    std::uint8_t altUdpAddress[4];
    std::uint8_t altUdpPort[2];
    std::uint8_t fpgaConfig;
    std::uint8_t status;
    std::uint8_t reserved3[15];
};

struct DeviceInfoRecord {
    DiscoverHeader head;
    std::uint8_t firmwareVersion[2];
    std::uint8_t bootVersion[2];
    std::uint8_t reserved4[8];
    char connection[32];
    std::uint8_t status;
    std::uint8_t reserved5[15];
};

namespace Discovery {

constexpr std::uint16_t DevicePort = 48321; // devices listen here
constexpr std::uint16_t ReplyPort = 48322;  // the tool receives replies here
constexpr int SearchWindowMs = 2250;        // request sent -> receiving socket closed
constexpr int ConfigWindowMs = 250;         // configuration sent -> receiving socket closed
constexpr int FindDelayMs = 250;            // Find pressed -> request sent
constexpr std::size_t ReadBufferSize = 2048;
constexpr int MaxDevices = 32;

constexpr std::uint8_t Magic0 = 0x5A;
constexpr std::uint8_t Magic1 = 0xA5;
constexpr std::uint8_t OpDiscover = 0;
constexpr std::uint8_t OpConfigure = 2;

constexpr std::uint8_t OptRefLock = 0x02;
constexpr std::uint8_t OptDownConverter = 0x04;
constexpr std::uint8_t OptX2Receiver = 0x10;
constexpr std::uint8_t NetDhcp = 0x01;
constexpr std::uint8_t NetAltUdp = 0x02;
constexpr std::uint8_t StatusInUse = 0x03;

// An IPv4 address: the one form every address takes between a record's
// bytes (the last number of "a.b.c.d" first) and its text, as a number with
// the first number highest, for comparison and subnet arithmetic.
class Ipv4 {
public:
    constexpr Ipv4() = default;
    constexpr explicit Ipv4(std::uint32_t value) : m_value(value) {}
    constexpr Ipv4(std::uint8_t a, std::uint8_t b, std::uint8_t c, std::uint8_t d)
        : m_value(std::uint32_t(a) << 24 | std::uint32_t(b) << 16 | std::uint32_t(c) << 8 | d)
    {
    }
    constexpr std::uint32_t value() const
    {
        return m_value;
    }
    // The n-th number of "a.b.c.d", from 0.
    constexpr std::uint8_t octet(int n) const
    {
        return std::uint8_t(m_value >> (24 - 8 * n));
    }
    constexpr bool isZero() const
    {
        return m_value == 0;
    }
    // The network part under `mask`; the host part.
    constexpr Ipv4 masked(Ipv4 mask) const
    {
        return Ipv4(m_value & mask.m_value);
    }
    constexpr std::uint32_t host(Ipv4 mask) const
    {
        return m_value & ~mask.m_value;
    }
    constexpr bool operator==(Ipv4 o) const
    {
        return m_value == o.m_value;
    }
    constexpr bool operator!=(Ipv4 o) const
    {
        return m_value != o.m_value;
    }
    constexpr bool operator<(Ipv4 o) const
    {
        return m_value < o.m_value;
    }
    // "a.b.c.d"
    std::string text() const;

private:
    std::uint32_t m_value = 0;
};

inline std::uint16_t u16(const std::uint8_t (&f)[2])
{
    return static_cast<std::uint16_t>(f[0] | (f[1] << 8));
}

inline void setU16(std::uint8_t (&f)[2], std::uint16_t v)
{
    f[0] = static_cast<std::uint8_t>(v & 0xFF);
    f[1] = static_cast<std::uint8_t>(v >> 8);
}

// An address field of a record.
inline Ipv4 quad(const std::uint8_t (&f)[4])
{
    return Ipv4(f[3], f[2], f[1], f[0]);
}

inline void setQuad(std::uint8_t (&f)[4], Ipv4 ip)
{
    f[3] = ip.octet(0);
    f[2] = ip.octet(1);
    f[1] = ip.octet(2);
    f[0] = ip.octet(3);
}

// MAC bytes in display order: the byte at the highest offset first.
inline std::array<std::uint8_t, 6> macDisplayOrder(const std::uint8_t (&f)[6])
{
    return {f[5], f[4], f[3], f[2], f[1], f[0]};
}

// Text of a fixed-width field: up to the first NUL, never past the width.
std::string fieldText(const char *field, std::size_t width);
template <std::size_t N> std::string fieldText(const char (&field)[N])
{
    return fieldText(field, N);
}

// The 56-byte request: 38 00 5A A5 and 52 zero bytes.
std::array<std::uint8_t, sizeof(DiscoverHeader)> discoverRequest();

// Bytes 2 and 3 carry the markers; a datagram too short to hold them is not a reply.
bool isValidReply(const std::uint8_t *data, std::size_t size);

// The models that take network settings.
const std::vector<std::string> &configurableModels();
// "Pentra", "Marlo" and "Halvex-R", whole text, case-sensitive.
bool isConfigurableModel(const char (&deviceName)[16]);

bool isInUse(const DeviceConfigRecord &r);
bool isInUse(const DeviceInfoRecord &r);

// Copies a valid reply into one store slot: the head, and the whole reply into
// the record that its model selects. The target is zero-filled first and gets
// at most its own size, so nothing of an earlier reply survives. Returns false,
// changing nothing, for a reply shorter than the head.
bool storeReply(const std::uint8_t *data, std::size_t size, DiscoverHeader &head,
                DeviceConfigRecord &config, DeviceInfoRecord &info);

// "%1   SN=%2   IP=%3.%4.%5.%6   Port=%7", with "(In Use) " in front when in use.
// Device text is copied as Latin-1 bytes, never read as a format.
std::string entryText(const DiscoverHeader &head, bool inUse);

// The settings that the setup dialog edits. An empty member leaves its field as
// the device sent it.
struct NetworkEdits {
    std::optional<Ipv4> ip;
    std::optional<std::uint16_t> port;
    std::optional<Ipv4> mask;
    std::optional<Ipv4> gateway;
    std::optional<bool> dhcp;
    std::optional<bool> altUdp;
    std::optional<Ipv4> altIp;
    std::optional<std::uint16_t> altPort;
    std::optional<std::uint8_t> fpgaConfig;
};

// Writes the given settings into the record and touches no other byte: of
// netFlags only bits 0 and 1 change. Returns whether any byte changed.
bool applyEdits(DeviceConfigRecord &record, const NetworkEdits &edits);

// The configuration message for an edited record: opcode 2 and the first
// `length` bytes as the device reported it, but never more than the record
// holds nor more than the device's reply held (`received`): the bytes of a
// short reply end where it ended, and nobody set the zeros behind them.
std::vector<std::uint8_t> configMessage(const DeviceConfigRecord &record,
                                        std::size_t received = sizeof(DeviceConfigRecord));

} // namespace Discovery
