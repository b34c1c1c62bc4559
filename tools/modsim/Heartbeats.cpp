#include "Heartbeats.h"

#include <algorithm>

namespace modsim {

Packet Heartbeats::make(uint8_t address, uint8_t n) {
    pending_.push_back(n);
    ++sent_;
    return Packet{address, {0x00, n}};
}

bool Heartbeats::answer(uint8_t value) {
    const auto match = std::find_if(pending_.begin(), pending_.end(),
                                    [value](uint8_t n) { return static_cast<uint8_t>(n + 2) == value; });
    if (match == pending_.end()) {
        ++wrong_;
        return false;
    }
    pending_.erase(match);
    ++answered_;
    return true;
}

}  // namespace modsim
