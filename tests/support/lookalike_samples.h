// Streamed samples whose bytes look like a probe answer followed by the start of another
// packet (02 00 02 04 17 05 00 00), from a module at address 2: a sync that begins in the
// middle of one must never hand out bytes cut from it. The packets a caller takes from
// such a link are sorted into whole samples, probe answers and anything else.
#pragma once

#include <cstdint>
#include <string>

#include "aLink.h"

namespace testsupport {

const uint8_t LOOKALIKE_ADDRESS = 2;

// A 17-byte sample (address, data size 15, data) holding the pattern at data offset
// `offset` (0 to 7).
inline std::string lookalikeSample(size_t offset) {
    std::string data{0x10, 0x41, 0x01, 0x03, 0x33, 0x44, 0x55, 0x66, 0x77, 0x12, 0x34, 0x56, 0x78, 0x1A, 0x3C};
    const std::string pattern{2, 0, 2, 4, 0x17, 5, 0, 0};
    data.replace(offset, pattern.size(), pattern);
    return std::string{static_cast<char>(LOOKALIKE_ADDRESS), static_cast<char>(data.size())} + data;
}

struct TakenPackets {
    int samples = 0;
    int answers = 0;
    int foreign = 0;
    std::string firstForeign;
};

inline std::string wireText(const aPacket* packet) {
    static const char digits[] = "0123456789ABCDEF";
    std::string text;
    const uint8_t* bytes = &packet->address;
    for (unsigned i = 0; i < packet->dataSize + 2u; ++i) {
        if (i) text += ' ';
        text += digits[bytes[i] >> 4];
        text += digits[bytes[i] & 0xF];
    }
    return text;
}

// Takes every packet queued on the link now and sorts it.
inline void takeQueued(aLinkRef id, const std::string& sample, TakenPackets& taken) {
    while (aPacket* packet = aLink_GetPacket(id)) {
        const std::string wire(reinterpret_cast<const char*>(&packet->address), packet->dataSize + 2u);
        if (wire == sample) {
            ++taken.samples;
        } else if (packet->dataSize == 0 && packet->address == LOOKALIKE_ADDRESS) {
            ++taken.answers;
        } else {
            if (!taken.foreign) taken.firstForeign = wireText(packet);
            ++taken.foreign;
        }
        aPacket_Destroy(&packet);
    }
}

}  // namespace testsupport
