// The boot ROM's serial download protocol, independent of the transport: takes 16-byte
// commands and write-file data, keeps the RAM image, and yields the answers to send.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "Options.h"

namespace imxsim {

// One piece of an answer: the security state, or a status word / register bytes, or
// bytes the ROM should not have sent (a fault).
struct Reply {
    enum Kind { Security, Status, Stray } kind;
    std::vector<uint8_t> bytes;
};

class Rom {
public:
    using Logger = std::function<void(const std::string&)>;
    Rom(const Options& options, Logger log) : options_(options), log_(std::move(log)) {}

    static const size_t COMMAND_BYTES = 16;

    std::vector<Reply> command(const uint8_t* bytes);
    std::vector<Reply> data(const uint8_t* bytes, size_t count);
    // Whether write-file data is awaited.
    bool takingData() const { return remaining_ > 0; }
    uint32_t bytesAwaited() const { return remaining_; }
    // The jump address once a JUMP came in; cleared by taking it.
    bool takeJump(uint32_t& address);

    uint32_t readWord(uint32_t address) const;

private:
    std::vector<Reply> answer(std::vector<uint8_t> status);
    void store(uint32_t address, const uint8_t* bytes, size_t count);

    const Options& options_;
    Logger log_;
    std::map<uint32_t, uint8_t> ram_;
    uint32_t loadAddress_ = 0;
    uint32_t loadSize_ = 0;
    uint32_t remaining_ = 0;
    uint32_t received_ = 0;
    bool strayDone_ = false;
    bool jumped_ = false;
    uint32_t jumpAddress_ = 0;
};

}  // namespace imxsim
