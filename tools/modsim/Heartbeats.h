// Heartbeats the module sends on command, and the check of the host's answers:
// the module sends [A, 0x02, 0x00, n] and expects [A, 0x02, 0x00, (n + 2) & 0xFF].
#pragma once

#include <cstdint>
#include <deque>

#include "Packet.h"

namespace modsim {

class Heartbeats {
public:
    // The heartbeat packet for value n, counted as awaiting its answer.
    Packet make(uint8_t address, uint8_t n);
    // Matches an answer value against the oldest heartbeat it belongs to; false when none does.
    bool answer(uint8_t value);
    // Forgets what a dropped connection can no longer answer.
    void abandon() { pending_.clear(); }

    unsigned sent() const { return sent_; }
    unsigned answered() const { return answered_; }
    unsigned wrong() const { return wrong_; }
    std::size_t pending() const { return pending_.size(); }

private:
    std::deque<uint8_t> pending_;
    unsigned sent_ = 0;
    unsigned answered_ = 0;
    unsigned wrong_ = 0;
};

}  // namespace modsim
