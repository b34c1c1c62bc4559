#include "ExchangeEntities.h"

namespace modsim {

namespace {

constexpr uint8_t kSubindexes = 4;
constexpr uint8_t kErrorFlag = 0x80;
constexpr uint8_t kErrInvalidOption = 29;

UeiKey exchangeOption(uint8_t option, uint8_t subindex = 0) {
    return UeiKey{kExchangeCommand, option, 0, subindex};
}

void answerMalformed(SimModule& module, const Packet& packet) {
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
    module.log().event("malformed reply to option " + std::to_string(option));
    module.answer(Packet{module.identity().address, reply});
}

}  // namespace

void defineExchangeEntity(UeiStore& store) {
    store.defineNumber(exchangeOption(1), UeiType::Byte, 0x11, true);
    store.defineNumber(exchangeOption(2), UeiType::Short, 0x2233, true);
    store.defineNumber(exchangeOption(3), UeiType::Int, 0x44556677, true);
    store.define(exchangeOption(4), UeiValue{UeiType::Call, false, true, {}});
    store.define(exchangeOption(5), UeiValue{UeiType::Bytes, true, true, {}});
    for (uint8_t subindex = 0; subindex < kSubindexes; ++subindex) {
        const uint32_t start = subindex + 1u;
        store.defineNumber(exchangeOption(6, subindex), UeiType::Byte, start, true);
        store.defineNumber(exchangeOption(7, subindex), UeiType::Short, start, true);
        store.defineNumber(exchangeOption(8, subindex), UeiType::Int, start, true);
    }
}

void attachMalformedReplies(SimModule& module) {
    module.onCommand(kMalformedCommand, [&module](const Packet& packet) { answerMalformed(module, packet); });
}

}  // namespace modsim
