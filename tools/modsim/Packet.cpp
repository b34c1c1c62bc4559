#include "Packet.h"

#include <cstdio>

namespace modsim {

std::vector<uint8_t> Packet::wire() const {
    std::vector<uint8_t> bytes;
    bytes.reserve(data.size() + 2);
    bytes.push_back(address);
    bytes.push_back(static_cast<uint8_t>(data.size()));
    bytes.insert(bytes.end(), data.begin(), data.end());
    return bytes;
}

PacketAssembler::Step PacketAssembler::feed(uint8_t byte) {
    if (taken_ == 0) {
        if (byte == 0) return Step::FramingError;
        packet_ = Packet{byte, {}};
        taken_ = 1;
        return Step::NeedMore;
    }
    if (taken_ == 1) {
        if (byte > kMaxPacketData) {
            reset();
            return Step::FramingError;
        }
        expected_ = byte;
        taken_ = 2;
    } else {
        packet_.data.push_back(byte);
        ++taken_;
    }
    if (packet_.data.size() < expected_) return Step::NeedMore;
    taken_ = 0;
    expected_ = 0;
    return Step::Complete;
}

void PacketAssembler::reset() {
    packet_ = Packet{};
    expected_ = 0;
    taken_ = 0;
}

std::string hexBytes(const std::vector<uint8_t>& bytes) {
    std::string text;
    char digits[4];
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        std::snprintf(digits, sizeof digits, "%02X", bytes[i]);
        if (i) text += ' ';
        text += digits;
    }
    return text;
}

}  // namespace modsim
