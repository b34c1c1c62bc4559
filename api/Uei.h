// The working record of one command/option/index exchange with a module, and the
// bit layout of the messages that carry it.
#pragma once

#include <cstddef>
#include <cstdint>

#include "aModuleCommands.h"

namespace Veltrane {
namespace Corvalith {

enum : uint32_t {
    ueiVOID = 0,
    ueiBYTE = 1,
    ueiSHORT = 2,
    ueiINT = 4,
    ueiBYTES = 5,
};

// Option byte: bits 0-5 the option, then the get and set flags; an acknowledged
// set carries both.
constexpr uint8_t ueiOPTION_MASK = 0x3F;
constexpr uint8_t ueiOPTION_GET = aCMD_OPTION_GET;
constexpr uint8_t ueiOPTION_SET = aCMD_OPTION_SET;
constexpr uint8_t ueiOPTION_ACK = 0xC0;

// Specifier byte: bits 0-4 the entity index; the host marks its requests, the
// module marks streamed samples and error replies.
constexpr uint8_t ueiSPECIFIER_INDEX_MASK = 0x1F;
constexpr uint8_t ueiSPECIFIER_REQUEST = aCMD_SPECIFIER_REQUEST;
constexpr uint8_t ueiSPECIFIER_STREAM = 0x40;
constexpr uint8_t ueiSPECIFIER_ERROR = 0x80;

// A byte-string value travels in chunks of at most 24 payload bytes, each closed by
// a sequence byte: 7 bits of sequence number and the flag that more chunks follow.
constexpr size_t ueiBYTES_CHUNK = 24;
constexpr uint8_t ueiBYTES_CONTINUE = 0x80;
constexpr uint8_t ueiBYTES_SEQUENCE_MASK = 0x7F;
constexpr size_t ueiBYTES_MAX_CHUNKS = 128;
constexpr size_t ueiBYTES_MAX_LENGTH = ueiBYTES_CHUNK * ueiBYTES_MAX_CHUNKS;

struct uei {
    uint8_t module;
    uint8_t command;
    uint8_t option;
    uint8_t specifier;
    union {
        uint8_t byteVal;
        uint16_t shortVal;
        uint32_t intVal;
        uint8_t* bytes;
    } value;
    uint8_t bytesSequence;
    uint8_t bytesContinue;
    size_t bufferLength;
    size_t* unloadedLength;
    uint32_t type;
};

}  // namespace Corvalith
}  // namespace Veltrane
