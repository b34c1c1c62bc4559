#include "I2CBus.h"

#include "SimModule.h"
#include "UeiHandler.h"

namespace modsim {

namespace {

constexpr uint8_t kI2CCommand = 8;
constexpr uint8_t kNoDevice = 0x80 | 3;
constexpr std::size_t kMaxTransfer = 23;

}  // namespace

I2CBus::I2CBus(SimModule& router, const std::map<uint8_t, SimModule*>& network) : router_(router), network_(network) {}

void I2CBus::attach() {
    router_.onCommand(kI2CCommand, [this](const Packet& packet) { handle(packet); });
}

bool I2CBus::occupied(uint8_t address) const {
    const auto found = network_.find(static_cast<uint8_t>(address & 0xFE));
    return found != network_.end() && !found->second->absent();
}

void I2CBus::handle(const Packet& packet) {
    const auto& data = packet.data;
    auto answer = [this](std::vector<uint8_t> reply) { router_.answer(Packet{router_.identity().address, reply}); };
    if (data.size() == 4 && data[2] == 1) {
        router_.log().event(std::string("i2c pullup ") + (data[3] ? "on" : "off"));
        return answer({kI2CCommand, data[1], 1, data[3], 0});
    }
    if (data.size() < 5) {
        router_.log().event("i2c request malformed");
        return;
    }
    const uint8_t index = data[1];
    const uint8_t address = data[2];
    const uint8_t length = data[3];
    const bool read = address & 1;
    uint8_t status = 0;
    if (index != 0) {
        status = 0x80 | kErrInvalidEntity;
    } else if (length > kMaxTransfer || (read ? data.size() != 5 : data.size() != 5u + length)) {
        status = 0x80 | kErrPacket;
    } else if (!occupied(address)) {
        status = kNoDevice;
    }
    router_.log().event(std::string("i2c ") + (read ? "read " : "write ") + hexByte(address) +
                        (status == 0           ? " ack"
                         : status == kNoDevice ? " refused"
                                               : " error"));
    if (!read) return answer({kI2CCommand, index, address, 0, status});
    const uint8_t count = status == 0 ? length : 0;
    std::vector<uint8_t> reply{kI2CCommand, index, address, count, status};
    reply.resize(reply.size() + count, 0x00);
    answer(reply);
}

}  // namespace modsim
