#include "raw_packets.h"

namespace testsupport {

Bytes packetWire(uint8_t address, const Bytes& data) {
    Bytes packet;
    packet.reserve(data.size() + 2);
    packet.push_back(address);
    packet.push_back(static_cast<uint8_t>(data.size()));
    packet.insert(packet.end(), data.begin(), data.end());
    return packet;
}

bool sendPacket(int fd, uint8_t address, const Bytes& data) {
    return writeBytes(fd, packetWire(address, data));
}

std::optional<RawPacket> readPacket(int fd, std::chrono::milliseconds limit) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    const Bytes header = readBytes(fd, 2, limit);
    if (header.size() != 2) return std::nullopt;
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    RawPacket packet{header[0], readBytes(fd, header[1], left.count() > 0 ? left : std::chrono::milliseconds(1))};
    if (packet.data.size() != header[1]) return std::nullopt;
    return packet;
}

std::optional<RawPacket> exchangePacket(int fd, uint8_t address, const Bytes& data, std::chrono::milliseconds limit) {
    if (!sendPacket(fd, address, data)) return std::nullopt;
    return readPacket(fd, limit);
}

}  // namespace testsupport
