// Streamed values on command 0x5D. A stream is named by a key that packs module,
// command, option, index and subindex; its low 32 bits travel in enable and disable
// requests. A module then sends samples on the streamed command itself:
//   [command, option, index|0x40, kind, (subindex,) timestamp x8, value x1/2/4, 0]
// with every multi-byte field big-endian.
#pragma once

#include <cstdint>

#include "aByteOrder.h"
#include "aModuleCommands.h"

namespace Veltrane {
namespace Corvalith {
namespace StreamProtocol {

const uint8_t COMMAND = aCMD_STREAM;
// Options of command 0x5D: enable and disable set, status gets.
const uint8_t OP_ENABLE = aCMD_STREAM_ENABLE;
const uint8_t OP_DISABLE = aCMD_STREAM_DISABLE;
const uint8_t OP_STATUS = 1;
// A key element that matches every value.
const uint8_t WILDCARD = 0xFF;

// Bit positions of the elements in a stream key.
const unsigned KEY_SHIFT_INDEX = 0;
const unsigned KEY_SHIFT_OPTION = 8;
const unsigned KEY_SHIFT_COMMAND = 16;
const unsigned KEY_SHIFT_MODULE = 24;
const unsigned KEY_SHIFT_SUBINDEX = 32;

// The sample layout.
const uint8_t AT_COMMAND = 0;
const uint8_t AT_OPTION = 1;
const uint8_t AT_INDEX = 2;
const uint8_t AT_KIND = 3;
const uint8_t AT_SUBINDEX = 4;
const uint8_t OPTION_MASK = 0x3F;
const uint8_t INDEX_MASK = 0x1F;
const uint8_t TIMESTAMP_SIZE = 8;

// Sample kinds as the kind byte carries them.
const uint8_t KIND_U8 = 1;
const uint8_t KIND_U16 = 2;
const uint8_t KIND_U32 = 3;
const uint8_t KIND_U8_SUBINDEX = 5;
const uint8_t KIND_U16_SUBINDEX = 6;
const uint8_t KIND_U32_SUBINDEX = 7;

inline uint64_t packKey(uint8_t module, uint8_t command, uint8_t option, uint8_t index, uint8_t subindex) {
    return static_cast<uint64_t>(index) << KEY_SHIFT_INDEX | static_cast<uint64_t>(option) << KEY_SHIFT_OPTION |
           static_cast<uint64_t>(command) << KEY_SHIFT_COMMAND | static_cast<uint64_t>(module) << KEY_SHIFT_MODULE |
           static_cast<uint64_t>(subindex) << KEY_SHIFT_SUBINDEX;
}

inline uint8_t keyElement(uint64_t key, unsigned shift) {
    return static_cast<uint8_t>(key >> shift);
}

inline bool hasSubindex(uint8_t kind) {
    return kind == KIND_U8_SUBINDEX || kind == KIND_U16_SUBINDEX || kind == KIND_U32_SUBINDEX;
}

// The data size of a sample of `kind`; 0 where no sample of that kind exists.
inline uint8_t sampleSize(uint8_t kind) {
    static const uint8_t SIZES[8] = {0, 14, 15, 17, 0, 15, 16, 18};
    return kind < 8 ? SIZES[kind] : 0;
}

// The bytes of a sample's value.
inline uint8_t valueWidth(uint8_t kind) {
    switch (kind) {
    case KIND_U8:
    case KIND_U8_SUBINDEX:
        return 1;
    case KIND_U16:
    case KIND_U16_SUBINDEX:
        return 2;
    default:
        return 4;
    }
}

inline uint8_t timestampAt(uint8_t kind) {
    return hasSubindex(kind) ? AT_SUBINDEX + 1 : AT_SUBINDEX;
}

inline uint8_t valueAt(uint8_t kind) {
    return static_cast<uint8_t>(timestampAt(kind) + TIMESTAMP_SIZE);
}

inline uint64_t readTimestamp(const uint8_t* data, uint8_t kind) {
    const uint8_t* stamp = data + timestampAt(kind);
    return static_cast<uint64_t>(aByteOrder_ReadBE32(stamp)) << 32 | aByteOrder_ReadBE32(stamp + 4);
}

inline uint32_t readValue(const uint8_t* data, uint8_t kind) {
    const uint8_t* number = data + valueAt(kind);
    switch (valueWidth(kind)) {
    case 1:
        return number[0];
    case 2:
        return aByteOrder_ReadBE16(number);
    default:
        return aByteOrder_ReadBE32(number);
    }
}

}  // namespace StreamProtocol
}  // namespace Corvalith
}  // namespace Veltrane
