#include "ExchangeEntities.h"

namespace modsim {

namespace {

constexpr uint8_t kSubindexes = 4;
constexpr uint8_t kErrorFlag = 0x80;
constexpr uint8_t kI2CCommand = 8;
constexpr uint8_t kScratchIndices = 32;

UeiKey exchangeOption(uint8_t option, uint8_t subindex = 0) {
    return UeiKey{kExchangeCommand, option, 0, subindex};
}

}  // namespace

ExchangeEntities::ExchangeEntities(SimModule& module) : module_(module), uei_(store_, module) {
    store_.defineNumber(exchangeOption(1), UeiType::Byte, 0x11, true);
    store_.defineNumber(exchangeOption(2), UeiType::Short, 0x2233, true);
    store_.defineNumber(exchangeOption(3), UeiType::Int, 0x44556677, true);
    store_.define(exchangeOption(4), UeiValue{UeiType::Call, false, true, {}});
    store_.define(exchangeOption(5), UeiValue{UeiType::Bytes, true, true, {}});
    for (uint8_t subindex = 0; subindex < kSubindexes; ++subindex) {
        const uint32_t start = subindex + 1u;
        store_.defineNumber(exchangeOption(6, subindex), UeiType::Byte, start, true);
        store_.defineNumber(exchangeOption(7, subindex), UeiType::Short, start, true);
        store_.defineNumber(exchangeOption(8, subindex), UeiType::Int, start, true);
    }
    for (uint8_t index = 0; index < kScratchIndices; ++index) {
        store_.defineNumber(UeiKey{kScratchCommand, 1, index, 0}, UeiType::Byte, 0, true);
        store_.defineNumber(UeiKey{kScratchCommand, 2, index, 0}, UeiType::Short, 0, true);
        store_.defineNumber(UeiKey{kScratchCommand, 3, index, 0}, UeiType::Int, 0, true);
        store_.define(UeiKey{kScratchCommand, 5, index, 0}, UeiValue{UeiType::Bytes, true, true, {}});
    }
}

void ExchangeEntities::attach(bool withBareI2C) {
    uei_.attach();
    module_.onCommand(kMalformedCommand, [this](const Packet& packet) { answerMalformed(packet); });
    if (withBareI2C) module_.onCommand(kI2CCommand, [this](const Packet& packet) { answerBareI2C(packet); });
}

void ExchangeEntities::answerMalformed(const Packet& packet) {
    const auto& data = packet.data;
    if (data.size() < 3) return;
    const uint8_t option = data[1] & 0x3F;
    const uint8_t index = data[2] & 0x1F;
    std::vector<uint8_t> reply{kMalformedCommand, option};
    switch (option) {
    case 1:
        reply.insert(reply.end(), {static_cast<uint8_t>(kErrorFlag | index), 0});
        break;
    case 2:
        reply.push_back(static_cast<uint8_t>(kErrorFlag | index));
        break;
    case 3:
        reply.push_back(index);
        break;
    default:
        reply.insert(reply.end(), {static_cast<uint8_t>(kErrorFlag | index), kErrInvalidOption});
        break;
    }
    module_.log().event("malformed reply to option " + std::to_string(option));
    module_.answer(Packet{module_.identity().address, reply});
}

void ExchangeEntities::answerBareI2C(const Packet& packet) {
    const auto& data = packet.data;
    if (data.size() < 4) return;
    module_.log().event("bare i2c: no code");
    module_.answer(Packet{module_.identity().address, {kI2CCommand, data[1], data[2], 0, kErrorFlag}});
}

}  // namespace modsim
