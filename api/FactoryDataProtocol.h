// The factory-data exchange on command 0x5E. The second byte holds a sub-command and
// flags; a block moves in packets of up to 26 data bytes, and an end packet that
// carries the total byte count closes the transfer:
//   read:  [0x5E, sub|first]            -> [0x5E, sub(|error), bytes...]  (full packet: more follow)
//   write: [0x5E, sub|write|first, ...] -> [0x5E, sub(|error)]
//   end:   [0x5E, end, count hi, lo]    -> [0x5E, 0(|error)]
#pragma once

#include <cstddef>
#include <cstdint>

#include "aByteOrder.h"
#include "aPacket.h"

namespace Veltrane {
namespace Corvalith {
namespace FactoryDataProtocol {

const uint8_t COMMAND = 0x5E;
const uint8_t FLAG_WRITE = 0x10;
const uint8_t FLAG_END = 0x20;
const uint8_t FLAG_FIRST = 0x40;
const uint8_t FLAG_ERROR = 0x80;
const uint8_t SUB_COMMAND_MASK = 0x0F;

const uint8_t AT_COMMAND = 0;
const uint8_t AT_CONTROL = 1;
// Where a block's bytes start, and where an error reply carries its code.
const uint8_t AT_PAYLOAD = 2;
const uint8_t AT_COUNT = 2;

const uint8_t HEADER_SIZE = 2;
const uint8_t END_SIZE = 4;
const size_t CHUNK = 26;
// A read reply this long says more follow.
const uint8_t FULL_REPLY = aPACKET_MAX_DATA;
// The end packet counts in 16 bits.
const size_t COUNT_LIMIT = 0xFFFF;

// Fills `data` with the header of a read (`write` false) or write packet; its size.
inline uint8_t buildTransfer(uint8_t* data, uint8_t subCommand, bool write, bool first) {
    data[AT_COMMAND] = COMMAND;
    data[AT_CONTROL] =
        static_cast<uint8_t>((subCommand & SUB_COMMAND_MASK) | (write ? FLAG_WRITE : 0) | (first ? FLAG_FIRST : 0));
    return HEADER_SIZE;
}

// Fills `data` with the end packet for `count` bytes; its size.
inline uint8_t buildEnd(uint8_t* data, size_t count) {
    data[AT_COMMAND] = COMMAND;
    data[AT_CONTROL] = FLAG_END;
    aByteOrder_WriteBE16(data + AT_COUNT, static_cast<uint16_t>(count));
    return END_SIZE;
}

// True when `reply` answers `request` (both as data bytes): the request's sub-command,
// or 0 to an end packet, with or without the error flag.
inline bool answers(const aPacket* reply, const uint8_t* request) {
    if (reply->dataSize < HEADER_SIZE || reply->data[AT_COMMAND] != COMMAND) return false;
    return (reply->data[AT_CONTROL] & ~FLAG_ERROR) == (request[AT_CONTROL] & SUB_COMMAND_MASK);
}

inline bool isError(const aPacket* reply) {
    return (reply->data[AT_CONTROL] & FLAG_ERROR) != 0;
}

// The bytes a read reply carries.
inline const uint8_t* readPayload(const aPacket* reply, size_t* count) {
    *count = reply->dataSize - static_cast<size_t>(AT_PAYLOAD);
    return reply->data + AT_PAYLOAD;
}

// True when more read replies follow this one.
inline bool moreFollow(const aPacket* reply) {
    return reply->dataSize == FULL_REPLY;
}

// A write is confirmed by the bare header.
inline bool writeConfirmed(const aPacket* reply) {
    return reply->dataSize == HEADER_SIZE;
}

}  // namespace FactoryDataProtocol
}  // namespace Corvalith
}  // namespace Veltrane
