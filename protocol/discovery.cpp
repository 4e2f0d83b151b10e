// SPDX-License-Identifier: MIT
#include "discovery.h"

#include <algorithm>
#include <cstddef>
#include <cstring>

static_assert(sizeof(DiscoverHeader) == 56);
static_assert(offsetof(DiscoverHeader, length) == 0);
static_assert(offsetof(DiscoverHeader, magic0) == 2);
static_assert(offsetof(DiscoverHeader, magic1) == 3);
static_assert(offsetof(DiscoverHeader, opcode) == 4);
static_assert(offsetof(DiscoverHeader, deviceName) == 5);
static_assert(offsetof(DiscoverHeader, serialNumber) == 21);
static_assert(offsetof(DiscoverHeader, ipAddress) == 37);
static_assert(offsetof(DiscoverHeader, reserved1) == 41);
static_assert(offsetof(DiscoverHeader, tcpPort) == 53);
static_assert(offsetof(DiscoverHeader, reserved2) == 55);

static_assert(sizeof(DeviceConfigRecord) == 103);
static_assert(offsetof(DeviceConfigRecord, macAddress) == 56);
static_assert(offsetof(DeviceConfigRecord, hwVersion) == 62);
static_assert(offsetof(DeviceConfigRecord, firmwareVersion) == 64);
static_assert(offsetof(DeviceConfigRecord, bootVersion) == 66);
static_assert(offsetof(DeviceConfigRecord, fpgaId) == 68);
static_assert(offsetof(DeviceConfigRecord, fpgaRevision) == 69);
static_assert(offsetof(DeviceConfigRecord, options) == 70);
static_assert(offsetof(DeviceConfigRecord, netFlags) == 71);
static_assert(offsetof(DeviceConfigRecord, subnetMask) == 72);
static_assert(offsetof(DeviceConfigRecord, gateway) == 76);
static_assert(offsetof(DeviceConfigRecord, altUdpAddress) == 80);
static_assert(offsetof(DeviceConfigRecord, altUdpPort) == 84);
static_assert(offsetof(DeviceConfigRecord, fpgaConfig) == 86);
static_assert(offsetof(DeviceConfigRecord, status) == 87);
static_assert(offsetof(DeviceConfigRecord, reserved3) == 88);

static_assert(sizeof(DeviceInfoRecord) == 116);
static_assert(offsetof(DeviceInfoRecord, firmwareVersion) == 56);
static_assert(offsetof(DeviceInfoRecord, bootVersion) == 58);
static_assert(offsetof(DeviceInfoRecord, reserved4) == 60);
static_assert(offsetof(DeviceInfoRecord, connection) == 68);
static_assert(offsetof(DeviceInfoRecord, status) == 100);
static_assert(offsetof(DeviceInfoRecord, reserved5) == 101);

namespace Discovery {

std::string fieldText(const char *field, std::size_t width)
{
    const char *end = std::find(field, field + width, '\0');
    return std::string(field, end);
}

std::string Ipv4::text() const
{
    return std::to_string(octet(0)) + '.' + std::to_string(octet(1)) + '.' +
           std::to_string(octet(2)) + '.' + std::to_string(octet(3));
}

std::array<std::uint8_t, sizeof(DiscoverHeader)> discoverRequest()
{
    std::array<std::uint8_t, sizeof(DiscoverHeader)> request{};
    request[0] = sizeof(DiscoverHeader);
    request[2] = Magic0;
    request[3] = Magic1;
    return request;
}

bool isValidReply(const std::uint8_t *data, std::size_t size)
{
    return size >= 4 && data[2] == Magic0 && data[3] == Magic1;
}

const std::vector<std::string> &configurableModels()
{
    static const std::vector<std::string> models = {"Pentra", "Marlo", "Halvex-R"};
    return models;
}

bool isConfigurableModel(const char (&deviceName)[16])
{
    const std::string name = fieldText(deviceName);
    const std::vector<std::string> &models = configurableModels();
    return std::find(models.begin(), models.end(), name) != models.end();
}

bool isInUse(const DeviceConfigRecord &r)
{
    return (r.status & StatusInUse) != 0;
}

bool isInUse(const DeviceInfoRecord &r)
{
    return (r.status & StatusInUse) != 0;
}

bool storeReply(const std::uint8_t *data, std::size_t size, DiscoverHeader &head,
                DeviceConfigRecord &config, DeviceInfoRecord &info)
{
    if (size < sizeof(DiscoverHeader))
        return false;
    std::memcpy(&head, data, sizeof head);
    if (isConfigurableModel(head.deviceName)) {
        config = DeviceConfigRecord{};
        std::memcpy(&config, data, std::min(size, sizeof config));
        return isInUse(config);
    }
    info = DeviceInfoRecord{};
    std::memcpy(&info, data, std::min(size, sizeof info));
    return isInUse(info);
}

std::string entryText(const DiscoverHeader &head, bool inUse)
{
    std::string text = inUse ? "(In Use) " : "";
    text += fieldText(head.deviceName);
    text += "   SN=" + fieldText(head.serialNumber);
    text += "   IP=" + quad(head.ipAddress).text();
    text += "   Port=" + std::to_string(u16(head.tcpPort));
    return text;
}

bool applyEdits(DeviceConfigRecord &record, const NetworkEdits &edits)
{
    const DeviceConfigRecord before = record;
    if (edits.ip)
        setQuad(record.head.ipAddress, *edits.ip);
    if (edits.port)
        setU16(record.head.tcpPort, *edits.port);
    if (edits.mask)
        setQuad(record.subnetMask, *edits.mask);
    if (edits.gateway)
        setQuad(record.gateway, *edits.gateway);
    if (edits.altIp)
        setQuad(record.altUdpAddress, *edits.altIp);
    if (edits.altPort)
        setU16(record.altUdpPort, *edits.altPort);
    const auto setFlag = [&](const std::optional<bool> &on, std::uint8_t mask) {
        if (on)
            record.netFlags =
                static_cast<std::uint8_t>(*on ? record.netFlags | mask : record.netFlags & ~mask);
    };
    setFlag(edits.dhcp, NetDhcp);
    setFlag(edits.altUdp, NetAltUdp);
    if (edits.fpgaConfig)
        record.fpgaConfig = *edits.fpgaConfig;
    return std::memcmp(&before, &record, sizeof record) != 0;
}

std::vector<std::uint8_t> configMessage(const DeviceConfigRecord &record, std::size_t received)
{
    DeviceConfigRecord message = record;
    message.head.opcode = OpConfigure;
    const auto *bytes = reinterpret_cast<const std::uint8_t *>(&message);
    const std::size_t size =
        std::min({std::size_t(u16(message.head.length)), received, sizeof message});
    return std::vector<std::uint8_t>(bytes, bytes + size);
}

} // namespace Discovery
