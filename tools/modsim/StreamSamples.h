// Streamed samples of the connected module (command 0x5D):
//   enable  [0x5D, 0x81, 0x20, A, C, O, I] -> [0x5D, 0xC1, 0x00]
//   disable [0x5D, 0x82, 0x20, A, C, O, I] -> [0x5D, 0xC2, 0x00]  (drops every enable it covers)
//   status  [0x5D, 0x41, 0x20]             -> [0x5D, 0x01, 0x00, 1 while any stream is enabled, else 0]
// A is this module's address; 0xFF in C, O or I matches every value. Anything else gets
// error 24 (29 for an unknown option).
//
// The values that stream are those of command 0x10, index 0: options 1 (8-bit), 2 (16-bit)
// and 3 (32-bit), and 6, 7, 8 (8-, 16-, 32-bit) with subindexes 0-3. Each sample carries a
// timestamp in microseconds since start and that value's own sample count (1, 2, ...):
//   [C, O, 0x40 | I, kind, (subindex,) stamp high 4, stamp low 4, value 1/2/4, 0x00]
// kind 1, 2, 3 without and 5, 6, 7 with subindex, all numbers big-endian.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <optional>
#include <vector>

#include "CountedFault.h"
#include "Packet.h"
#include "SimModule.h"

namespace modsim {

constexpr uint8_t kStreamCommand = 0x5D;

class StreamSamples {
public:
    using Clock = std::chrono::steady_clock;
    using Transmit = std::function<void(const Packet&)>;

    StreamSamples(SimModule& module, unsigned intervalMs, Transmit transmit);
    StreamSamples(const StreamSamples&) = delete;
    StreamSamples& operator=(const StreamSamples&) = delete;

    void attach();
    // One sample of every enabled value now; returns how many were sent.
    std::size_t sendRound();
    // Sends a round when the interval has passed.
    void sendDue(Clock::time_point now);
    // When the next round is due; none while nothing streams or the interval is 0.
    std::optional<Clock::time_point> nextDue() const;
    // 0 stops the periodic rounds.
    void setInterval(unsigned ms);
    // A new host starts with nothing enabled.
    void clear();
    std::size_t enabledCount() const { return enabled_.size(); }
    // The enabled values, "CC.OO.II" in hex each, space-separated, in the order enabled.
    std::string enabledText() const;
    // "fault stream error|error-short|error-long AFTER [CODE]": the stream request AFTER
    // stream requests from now is refused with an error reply shaped as CountedFault.h says.
    // "fault stream lost AFTER": that request is lost on its way, neither carried out nor
    // answered.
    std::string fault(const std::vector<std::string>& words);

private:
    struct Key {
        uint8_t command;
        uint8_t option;
        uint8_t index;
    };
    struct Source {
        uint8_t option;
        uint8_t subindex;
        uint8_t kind;
        uint32_t count = 0;
    };

    void handle(const Packet& packet);
    void reply(std::vector<uint8_t> data);
    bool covers(const Key& key, const Source& source) const;
    Packet sample(Source& source);

    SimModule& module_;
    unsigned intervalMs_;
    Transmit transmit_;
    Clock::time_point start_;
    Clock::time_point next_;
    std::vector<Key> enabled_;
    std::vector<Source> sources_;
    CountedFault errorFault_;
    CountedFault lostFault_;
};

}  // namespace modsim
