#include "UeiStore.h"

#include <set>

namespace modsim {

std::size_t ueiWidth(UeiType type) {
    switch (type) {
    case UeiType::Byte:
        return 1;
    case UeiType::Short:
        return 2;
    case UeiType::Int:
        return 4;
    case UeiType::Call:
    case UeiType::Bytes:
        break;
    }
    return 0;
}

std::vector<uint8_t> bigEndian(uint32_t value, std::size_t width) {
    std::vector<uint8_t> bytes(width);
    for (std::size_t i = 0; i < width; ++i) bytes[width - 1 - i] = static_cast<uint8_t>(value >> (8 * i));
    return bytes;
}

void UeiStore::defineNumber(const UeiKey& key, UeiType type, uint32_t value, bool writable) {
    define(key, UeiValue{type, true, writable, bigEndian(value, ueiWidth(type))});
}

UeiValue* UeiStore::find(const UeiKey& key) {
    const auto found = values_.find(key);
    return found == values_.end() ? nullptr : &found->second;
}

const UeiValue* UeiStore::find(const UeiKey& key) const {
    const auto found = values_.find(key);
    return found == values_.end() ? nullptr : &found->second;
}

bool UeiStore::hasEntity(uint8_t command, uint8_t index) const {
    for (const auto& entry : values_)
        if (entry.first.command == command && entry.first.index == index) return true;
    return false;
}

uint8_t UeiStore::entityCount(uint8_t command) const {
    std::set<uint8_t> indices;
    for (const auto& entry : values_)
        if (entry.first.command == command) indices.insert(entry.first.index);
    return static_cast<uint8_t>(indices.size());
}

std::vector<uint8_t> UeiStore::commands() const {
    std::set<uint8_t> commands;
    for (const auto& entry : values_) commands.insert(entry.first.command);
    return std::vector<uint8_t>(commands.begin(), commands.end());
}

}  // namespace modsim
