// Factory data on command 0x5E: sixteen blocks, one per sub-command S (0-15), of up to
// 256 bytes each, moved 26 bytes per packet and closed by an end packet with the count.
//   read      [0x5E, S|0x40] first, then [0x5E, S]  -> [0x5E, S, up to 26 bytes]
//             (26 bytes: more follow; fewer: the last)
//   write     [0x5E, S|0x50, bytes] first, then [0x5E, S|0x10, bytes] -> [0x5E, S]
//   end       [0x5E, 0x20, count hi, count lo]       -> [0x5E, 0x00], or [0x5E, 0x80, 14]
//             when the count is not the transfer's; a write is kept only then
//   errors    [0x5E, S|0x80, code]
// Blocks at start: 0 holds 62 bytes (3i + 1), 1 holds 26 bytes (0xA0 + i), the rest none.
#pragma once

#include <array>
#include <optional>
#include <vector>

#include "CountedFault.h"
#include "SimModule.h"

namespace modsim {

constexpr uint8_t kFactoryCommand = 0x5E;

class FactoryData {
public:
    explicit FactoryData(SimModule& module);
    FactoryData(const FactoryData&) = delete;
    FactoryData& operator=(const FactoryData&) = delete;

    void attach();
    // "fault factory error|error-short|error-long|silent|ack AFTER [CODE]": the factory
    // request AFTER requests from now gets an error reply (shaped as CountedFault.h
    // says), no reply, or (a write packet) an acknowledgement one byte too long.
    std::string fault(const std::vector<std::string>& words);

private:
    // The transfer between a first packet and the end packet.
    struct Transfer {
        uint8_t sub = 0;
        bool writing = false;
        std::size_t count = 0;  // bytes read out, or bytes staged
        std::vector<uint8_t> staged;
    };

    void handle(const Packet& packet);
    void read(uint8_t sub, bool first);
    void write(const std::vector<uint8_t>& data, uint8_t sub, bool first, bool longAck);
    void end(const std::vector<uint8_t>& data);
    void reply(std::vector<uint8_t> data);
    void error(uint8_t sub, uint8_t code, ErrorShape shape = ErrorShape::Normal);

    SimModule& module_;
    std::array<std::vector<uint8_t>, 16> blocks_;
    std::optional<Transfer> transfer_;
    CountedFault errorFault_;
    CountedFault silentFault_;
    CountedFault ackFault_;
    bool silent_ = false;
};

}  // namespace modsim
