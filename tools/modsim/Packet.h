// Link packets as the module sees them: wire form and byte-wise assembly of what the host sends.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace modsim {

constexpr std::size_t kMaxPacketData = 28;
// Odd addresses the host uses for link control.
constexpr uint8_t kSyncAddress = 0xAD;
constexpr uint8_t kRouteAddress = 0xAF;

struct Packet {
    uint8_t address = 0;
    std::vector<uint8_t> data;

    std::vector<uint8_t> wire() const;
};

// Takes the host's byte stream one byte at a time. Host packets may carry odd
// (link-control) addresses, so only a zero address or an oversized length is a framing error.
class PacketAssembler {
public:
    enum class Step { NeedMore, Complete, FramingError };

    Step feed(uint8_t byte);
    // The packet finished by the last Complete step.
    const Packet& packet() const { return packet_; }
    void reset();

private:
    Packet packet_;
    std::size_t expected_ = 0;
    std::size_t taken_ = 0;
};

// "AD 00 1F": upper-case hex bytes separated by single spaces.
std::string hexBytes(const std::vector<uint8_t>& bytes);

}  // namespace modsim
