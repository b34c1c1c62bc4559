// Faults armed for the next request that one module handles. They are taken when the
// request arrives, so every packet of its reply (all chunks of a byte string) gets the same.
#pragma once

#include <cstdint>
#include <optional>

namespace modsim {

struct ReplyFaults {
    std::optional<uint8_t> errorCode;  // a value request gets an error reply with this code
    bool noReply = false;              // nothing is answered
    unsigned delayMs = 0;              // the reply leaves this much later
    bool wrongLength = false;          // one byte too many (one too few for a full packet)
    bool chunkSequence = false;        // byte-string chunks carry sequence numbers one too high

    bool any() const { return errorCode || noReply || delayMs || wrongLength || chunkSequence; }
};

}  // namespace modsim
