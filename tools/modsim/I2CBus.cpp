#include "I2CBus.h"

#include <cstdio>

namespace modsim {

namespace {

constexpr uint8_t kI2CCommand = 8;
constexpr uint8_t kMemoryAddress = 0xA0;
constexpr uint8_t kPullupSelector = 1;
constexpr uint8_t kStatusDone = 0x00;
constexpr uint8_t kStatusNack = 0x80;
constexpr uint8_t kStatusMalformed = 0x80 | 24;
constexpr uint8_t kStatusNoBus = 0x80 | 28;
constexpr std::size_t kTransferMax = 23;

std::string hex(uint8_t value) {
    char text[4];
    std::snprintf(text, sizeof text, "%02X", value);
    return text;
}

}  // namespace

I2CBus::I2CBus(SimModule& module) : module_(module) {
    for (std::size_t i = 0; i < memory_.size(); ++i) memory_[i] = static_cast<uint8_t>(i);
}

void I2CBus::attach() {
    module_.onCommand(kI2CCommand, [this](const Packet& packet) { handle(packet); });
}

void I2CBus::handle(const Packet& packet) {
    const auto& data = packet.data;
    if (data.size() == 4 && data[2] == kPullupSelector) return pullup(packet);
    if (data.size() < 5) {
        module_.log().event("i2c request malformed");
        return;
    }
    if (data[2] & 1) return read(packet);
    write(packet);
}

void I2CBus::read(const Packet& packet) {
    const auto& data = packet.data;
    const uint8_t bus = data[1];
    const uint8_t address = data[2];
    const uint8_t length = data[3];
    if (bus != 0) return reply(bus, address, 0, kStatusNoBus);
    if (data.size() != 5 || length > kTransferMax) return reply(bus, address, 0, kStatusMalformed);
    if ((address & 0xFE) != kMemoryAddress) {
        module_.log().event("i2c nack " + hex(address));
        return reply(bus, address, 0, kStatusNack);
    }
    std::vector<uint8_t> bytes;
    for (uint8_t i = 0; i < length; ++i) bytes.push_back(memory_[pointer_++]);
    module_.log().event("i2c read " + hex(address) + " " + std::to_string(length) + " speed " +
                        std::to_string(data[4]));
    reply(bus, address, length, kStatusDone, bytes);
}

void I2CBus::write(const Packet& packet) {
    const auto& data = packet.data;
    const uint8_t bus = data[1];
    const uint8_t address = data[2];
    const uint8_t length = data[3];
    if (bus != 0) return reply(bus, address, 0, kStatusNoBus);
    if (length > kTransferMax || data.size() != 5u + length) return reply(bus, address, 0, kStatusMalformed);
    if (address != kMemoryAddress) {
        module_.log().event("i2c nack " + hex(address));
        return reply(bus, address, 0, kStatusNack);
    }
    if (length > 0) {
        pointer_ = data[5];
        for (std::size_t i = 6; i < data.size(); ++i) memory_[pointer_++] = data[i];
    }
    std::string bytes;
    for (std::size_t i = 5; i < data.size(); ++i) bytes += " " + hex(data[i]);
    module_.log().event("i2c write " + hex(address) + " " + std::to_string(length) + " speed " +
                        std::to_string(data[4]) + ":" + bytes);
    reply(bus, address, 0, kStatusDone);
}

void I2CBus::pullup(const Packet& packet) {
    const uint8_t bus = packet.data[1];
    const uint8_t on = packet.data[3];
    if (bus != 0) return reply(bus, kPullupSelector, on, kStatusNoBus);
    pullup_ = on != 0;
    module_.log().event(std::string("i2c pullup ") + (pullup_ ? "on" : "off"));
    reply(bus, kPullupSelector, on, kStatusDone);
}

void I2CBus::reply(uint8_t bus, uint8_t address, uint8_t third, uint8_t status, const std::vector<uint8_t>& data) {
    std::vector<uint8_t> bytes{kI2CCommand, bus, address, third, status};
    bytes.insert(bytes.end(), data.begin(), data.end());
    module_.answer(Packet{module_.identity().address, bytes});
}

}  // namespace modsim
