// Packets that carry a one-byte tag, for following packets through queues.
#pragma once

#include <cstdint>
#include <vector>

#include "packetfifo.h"

namespace testsupport {

inline aPacket* taggedPacket(uint8_t address, uint8_t tag) {
    return aPacket_CreateWithData(address, 1, &tag);
}

inline aErr putTagged(uint64_t id, uint8_t address, uint8_t tag) {
    aPacket* packet = taggedPacket(address, tag);
    const aErr result = aPacketFifo_Put(id, packet);
    aPacket_Destroy(&packet);
    return result;
}

// Takes everything left and returns the tags in queue order.
inline std::vector<int> takeAllTags(uint64_t id) {
    std::vector<int> tags;
    while (aPacket* packet = aPacketFifo_Get(id)) {
        tags.push_back(packet->data[0]);
        aPacket_Destroy(&packet);
    }
    return tags;
}

}  // namespace testsupport
