// The module's values, addressed by command (entity class), option, entity index and subindex.
#pragma once

#include <cstdint>
#include <map>
#include <tuple>
#include <vector>

namespace modsim {

enum class UeiType { Call, Byte, Short, Int, Bytes };

// Numbers are kept as their big-endian wire bytes.
struct UeiValue {
    UeiType type = UeiType::Byte;
    bool readable = true;
    bool writable = false;
    std::vector<uint8_t> bytes;
};

struct UeiKey {
    uint8_t command = 0;
    uint8_t option = 0;
    uint8_t index = 0;
    uint8_t subindex = 0;

    bool operator<(const UeiKey& other) const {
        return std::tie(command, option, index, subindex) <
               std::tie(other.command, other.option, other.index, other.subindex);
    }
};

// Wire width of a number type: 1, 2 or 4; 0 for calls and byte strings.
std::size_t ueiWidth(UeiType type);
std::vector<uint8_t> bigEndian(uint32_t value, std::size_t width);

class UeiStore {
public:
    void define(const UeiKey& key, const UeiValue& value) { values_[key] = value; }
    void defineNumber(const UeiKey& key, UeiType type, uint32_t value, bool writable = false);

    UeiValue* find(const UeiKey& key);
    const UeiValue* find(const UeiKey& key) const;
    // Whether the entity exists at all (any option of this command and index).
    bool hasEntity(uint8_t command, uint8_t index) const;
    // Number of entities (distinct indices) of a command.
    uint8_t entityCount(uint8_t command) const;
    std::vector<uint8_t> commands() const;

private:
    std::map<UeiKey, UeiValue> values_;
};

}  // namespace modsim
