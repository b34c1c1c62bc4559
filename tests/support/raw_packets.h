// Link packets exchanged raw with a simulator over a socket: [address, length, data...].
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>

#include "byte_io.h"

namespace testsupport {

struct RawPacket {
    uint8_t address = 0;
    Bytes data;
};

Bytes packetWire(uint8_t address, const Bytes& data);
bool sendPacket(int fd, uint8_t address, const Bytes& data);
// The next whole packet, or nothing when none arrives within `limit` (or the peer closes).
std::optional<RawPacket> readPacket(int fd, std::chrono::milliseconds limit = std::chrono::seconds(2));
// Sends one packet and returns the next packet that arrives.
std::optional<RawPacket> exchangePacket(int fd, uint8_t address, const Bytes& data,
                                        std::chrono::milliseconds limit = std::chrono::seconds(2));

}  // namespace testsupport
