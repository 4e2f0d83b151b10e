-- SPDX-License-Identifier: MIT
--
-- Wireshark dissector for the receivers' discovery protocol on UDP 48321
-- (requests and configuration messages) and 48322 (replies). Load it with
--   tshark -X lua_script:/usr/share/vantrel-cli/vantrel.lua -r capture.pcapng
-- or copy it into ~/.local/lib/wireshark/plugins/.
--
-- Every message starts with a 56-byte head; a reply goes on as the 103-byte
-- configurable record (Pentra, Marlo, Halvex-R) or the 116-byte information
-- record (every other model); a configuration message is the configurable
-- record with opcode 2. Two-byte numbers are little-endian; addresses and MAC
-- addresses hold their least significant byte first.

local proto = Proto("vantrel", "Vantrel receiver discovery")

local opcodes = {[0] = "Discovery", [2] = "Configure"}

local f = {
    length = ProtoField.uint16("vantrel.length", "Length", base.DEC),
    marker = ProtoField.bytes("vantrel.marker", "Marker"),
    opcode = ProtoField.uint8("vantrel.opcode", "Opcode", base.DEC, opcodes),
    model = ProtoField.string("vantrel.model", "Model"),
    serial = ProtoField.string("vantrel.serial", "Serial number"),
    ip = ProtoField.ipv4("vantrel.ip", "IP address"),
    port = ProtoField.uint16("vantrel.port", "TCP port", base.DEC),
    layout = ProtoField.string("vantrel.layout", "Layout"),
    mac = ProtoField.string("vantrel.mac", "MAC address"),
    hardware = ProtoField.uint16("vantrel.hardware", "Hardware version", base.DEC),
    firmware = ProtoField.uint16("vantrel.firmware", "Firmware version", base.DEC),
    boot = ProtoField.uint16("vantrel.boot", "Boot version", base.DEC),
    fpga_id = ProtoField.uint8("vantrel.fpga_id", "FPGA ID", base.DEC),
    fpga_revision = ProtoField.uint8("vantrel.fpga_revision", "FPGA revision", base.DEC),
    options = ProtoField.uint8("vantrel.options", "Options", base.HEX),
    reflock = ProtoField.bool("vantrel.options.reflock", "RefLock", 8, nil, 0x02),
    downconverter = ProtoField.bool("vantrel.options.downconverter", "Down Converter", 8, nil, 0x04),
    x2 = ProtoField.bool("vantrel.options.x2", "X2 Receiver", 8, nil, 0x10),
    netflags = ProtoField.uint8("vantrel.netflags", "Network flags", base.HEX),
    dhcp = ProtoField.bool("vantrel.netflags.dhcp", "DHCP", 8, nil, 0x01),
    altudp = ProtoField.bool("vantrel.netflags.altudp", "Alternative UDP", 8, nil, 0x02),
    mask = ProtoField.ipv4("vantrel.mask", "Subnet mask"),
    gateway = ProtoField.ipv4("vantrel.gateway", "Gateway"),
    alt_ip = ProtoField.ipv4("vantrel.alt_ip", "Alternative UDP IP"),
    alt_port = ProtoField.uint16("vantrel.alt_port", "Alternative UDP port", base.DEC),
    fpga = ProtoField.uint8("vantrel.fpga", "FPGA configuration", base.DEC),
    connection = ProtoField.string("vantrel.connection", "Connection"),
    status = ProtoField.uint8("vantrel.status", "Status", base.HEX),
    in_use = ProtoField.bool("vantrel.status.in_use", "In use", 8, nil, 0x03),
    invalid = ProtoField.bool("vantrel.invalid", "Not a valid reply"),
    truncated = ProtoField.bool("vantrel.truncated", "Truncated"),
}
proto.fields = f

local configurable = {Pentra = true, Marlo = true, ["Halvex-R"] = true}

-- Text of a fixed-width field: up to the first NUL.
local function text(range)
    local s = range:raw()
    local nul = s:find("\0", 1, true)
    return nul and s:sub(1, nul - 1) or s
end

local function version(item, range, label)
    local v = range:le_uint()
    item:set_text(string.format("%s: %d.%02d", label, math.floor(v / 100), v % 100))
end

function proto.dissector(buffer, pinfo, tree)
    local size = buffer:len()
    local root = tree:add(proto, buffer(), "Vantrel receiver discovery")
    pinfo.cols.protocol = "VANTREL"
    if size < 4 or buffer(2, 1):uint() ~= 0x5A or buffer(3, 1):uint() ~= 0xA5 then
        root:add(f.invalid, true):set_generated()
        pinfo.cols.info = "Not a valid reply (no 5a a5 marker)"
        return size
    end
    -- Adds the field at [offset, offset + width) when the datagram holds it.
    local short = false
    local function field(which, offset, width, le)
        if offset + width > size then
            short = true
            return nil
        end
        local range = buffer(offset, width)
        return le and root:add_le(which, range) or root:add(which, range)
    end
    field(f.length, 0, 2, true)
    field(f.marker, 2, 2)
    local opcode = size >= 5 and buffer(4, 1):uint() or nil
    field(f.opcode, 4, 1)
    local model = size >= 21 and text(buffer(5, 16)) or ""
    if size >= 21 then
        root:add(f.model, buffer(5, 16), model)
    else
        short = true
    end
    local serial = size >= 37 and text(buffer(21, 16)) or ""
    if size >= 37 then
        root:add(f.serial, buffer(21, 16), serial)
    else
        short = true
    end
    field(f.ip, 37, 4, true)
    field(f.port, 53, 2, true)

    local request = opcode == 0 and size == 56 and model == "" and serial == ""
    local kind
    if request then
        kind = "Discovery request"
    elseif opcode == 2 or configurable[model] then
        kind = opcode == 2 and "Configuration message" or "Reply, configurable record"
        root:add(f.layout, "configurable record (103 bytes)"):set_generated()
        if size >= 62 then
            local m = buffer(56, 6)
            local parts = {}
            for i = 5, 0, -1 do
                parts[#parts + 1] = string.format("%02x", m(i, 1):uint())
            end
            root:add(f.mac, m, table.concat(parts, ":"))
        else
            short = true
        end
        local hw = field(f.hardware, 62, 2, true)
        if hw then version(hw, buffer(62, 2), "Hardware version") end
        local fw = field(f.firmware, 64, 2, true)
        if fw then version(fw, buffer(64, 2), "Firmware version") end
        local boot = field(f.boot, 66, 2, true)
        if boot then version(boot, buffer(66, 2), "Boot version") end
        field(f.fpga_id, 68, 1)
        field(f.fpga_revision, 69, 1)
        local options = field(f.options, 70, 1)
        if options then
            options:add(f.reflock, buffer(70, 1))
            options:add(f.downconverter, buffer(70, 1))
            options:add(f.x2, buffer(70, 1))
        end
        local flags = field(f.netflags, 71, 1)
        if flags then
            flags:add(f.dhcp, buffer(71, 1))
            flags:add(f.altudp, buffer(71, 1))
        end
        field(f.mask, 72, 4, true)
        field(f.gateway, 76, 4, true)
        field(f.alt_ip, 80, 4, true)
        field(f.alt_port, 84, 2, true)
        field(f.fpga, 86, 1)
        local status = field(f.status, 87, 1)
        if status then status:add(f.in_use, buffer(87, 1)) end
        if size < 103 then short = true end
    else
        kind = "Reply, information record"
        root:add(f.layout, "information record (116 bytes)"):set_generated()
        local fw = field(f.firmware, 56, 2, true)
        if fw then version(fw, buffer(56, 2), "Firmware version") end
        local boot = field(f.boot, 58, 2, true)
        if boot then version(boot, buffer(58, 2), "Boot version") end
        if size >= 100 then
            root:add(f.connection, buffer(68, 32), text(buffer(68, 32)))
        else
            short = true
        end
        local status = field(f.status, 100, 1)
        if status then status:add(f.in_use, buffer(100, 1)) end
        if size < 116 then short = true end
    end
    if short and not request then
        root:add(f.truncated, true):set_generated()
        kind = kind .. " (truncated)"
    end
    pinfo.cols.info = string.format("%s %s %s", kind, model, serial)
    return size
end

local udp = DissectorTable.get("udp.port")
udp:add(48321, proto)
udp:add(48322, proto)
