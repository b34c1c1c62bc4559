#include "UeiHandler.h"

#include <algorithm>

#include "SimModule.h"

namespace modsim {

namespace {

constexpr uint8_t kGetFlag = 0x40;
constexpr uint8_t kSetFlag = 0x80;
constexpr uint8_t kAckFlags = 0xC0;
constexpr uint8_t kErrorFlag = 0x80;
constexpr std::size_t kChunkPayload = 24;

std::string keyText(const UeiKey& key) {
    return std::to_string(key.command) + "." + std::to_string(key.option) + "." + std::to_string(key.index) + "." +
           std::to_string(key.subindex);
}

std::vector<uint8_t> withHeader(uint8_t command, uint8_t option, uint8_t specifier, const std::vector<uint8_t>& rest) {
    std::vector<uint8_t> data;
    data.reserve(3 + rest.size());
    data.push_back(command);
    data.push_back(option);
    data.push_back(specifier);
    data.insert(data.end(), rest.begin(), rest.end());
    return data;
}

}  // namespace

UeiHandler::UeiHandler(UeiStore& store, SimModule& module) : store_(store), module_(module) {}

void UeiHandler::attach() {
    for (const uint8_t command : store_.commands())
        module_.onCommand(command, [this](const Packet& packet) { handle(packet); });
}

void UeiHandler::handle(const Packet& packet) {
    const auto& data = packet.data;
    const uint8_t flags = data.size() > 1 ? static_cast<uint8_t>(data[1] & (kGetFlag | kSetFlag)) : 0;
    if (data.size() < 3 || (flags != kGetFlag && flags != kSetFlag)) {
        module_.log().event("uei request malformed");
        return;
    }
    if (const auto code = module_.takeErrorFault()) {
        module_.log().event("fault error " + std::to_string(*code));
        return error(packet, *code);
    }
    UeiKey key{data[0], static_cast<uint8_t>(data[1] & 0x3F), static_cast<uint8_t>(data[2] & 0x1F), 0};
    if (!store_.hasEntity(key.command, key.index)) return error(packet, kErrInvalidEntity);
    const UeiValue* plain = store_.find(key);
    if (!plain) return error(packet, kErrInvalidOption);
    // A subindexed request is one byte longer than the plain form of the same value.
    const bool number = ueiWidth(plain->type) > 0;
    const std::size_t plainLength = 3 + (flags == kSetFlag ? ueiWidth(plain->type) : 0);
    if (number && data.size() == plainLength + 1) key.subindex = data[3];
    UeiValue* value = store_.find(key);
    if (!value) return error(packet, kErrInvalidOption);
    if (flags == kGetFlag) {
        get(packet, key, *value);
    } else {
        set(packet, key, *value);
    }
}

void UeiHandler::get(const Packet& packet, const UeiKey& key, UeiValue& value) {
    if (value.type == UeiType::Call || !value.readable) return error(packet, kErrPermission);
    const std::size_t length = packet.data.size();
    if (length != 3 && !(length == 4 && ueiWidth(value.type) > 0)) return error(packet, kErrPacket);
    module_.log().event("uei get " + keyText(key));
    if (value.type == UeiType::Bytes) return sendBytes(key.command, key.option, key.index, value.bytes);
    module_.answer(Packet{module_.identity().address, withHeader(key.command, key.option, key.index, value.bytes)});
}

void UeiHandler::set(const Packet& packet, UeiKey key, UeiValue& value) {
    if (!value.writable) return error(packet, kErrPermission);
    if (value.type == UeiType::Bytes) return setBytes(packet, key, value);
    const std::size_t width = ueiWidth(value.type);
    const std::size_t start = packet.data.size() == 4 + width && width > 0 ? 4 : 3;
    if (packet.data.size() != start + width) return error(packet, kErrPacket);
    value.bytes.assign(packet.data.begin() + static_cast<long>(start), packet.data.end());
    module_.log().event(std::string(value.type == UeiType::Call ? "uei call " : "uei set ") + keyText(key));
    acknowledge(key);
    if (value.type == UeiType::Call) module_.called(key);
}

void UeiHandler::setBytes(const Packet& packet, const UeiKey& key, UeiValue& value) {
    if (packet.data.size() < 4) return error(packet, kErrPacket);
    const uint8_t sequenceByte = packet.data.back();
    const uint8_t sequence = sequenceByte & 0x7F;
    PendingBytes& pending = pending_[key];
    if (sequence != pending.nextSequence) {
        pending_.erase(key);
        return error(packet, kErrPacket);
    }
    pending.bytes.insert(pending.bytes.end(), packet.data.begin() + 3, packet.data.end() - 1);
    ++pending.nextSequence;
    if (sequenceByte & 0x80) return;
    value.bytes = pending.bytes;
    pending_.erase(key);
    module_.log().event("uei set " + keyText(key) + " (" + std::to_string(value.bytes.size()) + " bytes)");
    acknowledge(key);
}

void UeiHandler::sendBytes(uint8_t command, uint8_t option, uint8_t index, const std::vector<uint8_t>& bytes) {
    std::size_t offset = 0;
    // A faulty module numbers its chunks from 1, so the host never sees the one it expects.
    uint8_t sequence = module_.chunkSequenceFault() ? 1 : 0;
    if (bytes.size() > kChunkPayload) module_.longReply();
    do {
        const std::size_t chunk = std::min(bytes.size() - offset, kChunkPayload);
        const bool more = offset + chunk < bytes.size();
        std::vector<uint8_t> payload(bytes.begin() + static_cast<long>(offset),
                                     bytes.begin() + static_cast<long>(offset + chunk));
        payload.push_back(static_cast<uint8_t>(sequence | (more ? 0x80 : 0)));
        module_.answer(Packet{module_.identity().address, withHeader(command, option, index, payload)});
        offset += chunk;
        ++sequence;
    } while (offset < bytes.size());
}

void UeiHandler::acknowledge(const UeiKey& key) {
    module_.answer(
        Packet{module_.identity().address, {key.command, static_cast<uint8_t>(key.option | kAckFlags), key.index}});
}

void UeiHandler::error(const Packet& packet, uint8_t code) {
    const auto& data = packet.data;
    const uint8_t option = data[1] & 0x3F;
    const uint8_t replyOption = (data[1] & kSetFlag) ? static_cast<uint8_t>(option | kAckFlags) : option;
    module_.log().event("uei error " + std::to_string(code));
    module_.answer(Packet{module_.identity().address,
                          {data[0], replyOption, static_cast<uint8_t>(kErrorFlag | (data[2] & 0x1F)), code}});
}

}  // namespace modsim
