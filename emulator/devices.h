// SPDX-License-Identifier: MIT
//
// The receivers that the emulator plays: how the command line describes them,
// the reply each one sends, and how a configuration message changes them.
// Plain C++ without sockets, so that main.cpp only moves bytes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <stdexcept>
#include <string>
#include <vector>

struct EmulatedDevice {
    bool configurable = false;
    // The record as the device keeps it, followed by the padding that a
    // `length` above the record size asks for. Replies send its first `size` bytes.
    std::vector<std::uint8_t> image;
    std::size_t size = 0;
    int delayMs = -1; // -1: the global --delay
};

struct EmulatorOptions {
    std::vector<EmulatedDevice> devices;
    int delayMs = 0;
    bool ignoreConfig = false;
    bool replyToSource = false;
    bool limitedOnly = false; // requests to a subnet's broadcast address go unanswered
    bool help = false;
    bool version = false;
};

// One line naming the argument that was wrong and what was expected.
struct UsageError : std::runtime_error {
    using std::runtime_error::runtime_error;
};

extern const char *const UsageText;

// Throws UsageError.
EmulatorOptions parseCommandLine(int argc, const char *const *argv);

// Applies a configuration message (markers and opcode already checked) to every
// device with its serial number. Returns the log result: "applied",
// "unknown-serial", "not-configurable" or "too-short".
const char *applyConfig(std::vector<EmulatedDevice> &devices, const std::uint8_t *data,
                        std::size_t size);

// Text fields of a device's current record, for the log.
std::string deviceModel(const EmulatedDevice &d);
std::string deviceSerial(const EmulatedDevice &d);
std::string deviceAddress(const EmulatedDevice &d); // "a.b.c.d:port"
