// The store-slot exchange on command 4, as a module sees it. A request names a slot
// (store, slot) or an open slot's handle; the reply echoes the command, the operation
// (with the error flag when refused) and the request's slot or handle:
//   slot operations:   [4, op, store, slot] -> [4, op|flag, store, slot, result...]
//   handle operations: [4, op, handle, ...]  -> [4, op|flag, handle, result...]
#pragma once

#include <cstddef>
#include <cstdint>

#include "aByteOrder.h"
#include "aPacket.h"

namespace Veltrane {
namespace Corvalith {
namespace StoreSlotProtocol {

const uint8_t COMMAND = 4;
const uint8_t ERROR_FLAG = 0x80;

// Operations on a slot.
const uint8_t OP_CAPACITY = 1;
const uint8_t OP_SIZE = 2;
const uint8_t OP_OPEN_READ = 3;
const uint8_t OP_OPEN_WRITE = 4;
// Operations on an open slot's handle.
const uint8_t OP_FIRST_HANDLE = 5;
const uint8_t OP_READ = 6;
const uint8_t OP_WRITE = 7;
const uint8_t OP_CLOSE = 8;

const uint8_t AT_COMMAND = 0;
const uint8_t AT_OP = 1;
const uint8_t AT_STORE = 2;
const uint8_t AT_SLOT = 3;
const uint8_t AT_HANDLE = 2;
// A slot operation's result: a 16-bit value (capacity, size) or the opened handle;
// and where a refused slot operation carries its error code.
const uint8_t AT_SLOT_RESULT = 4;
// A handle operation's result: the written chunk's byte sum, or the read bytes; and
// where a refused handle operation carries its error code.
const uint8_t AT_HANDLE_RESULT = 3;

const uint8_t SLOT_REQUEST_SIZE = 4;
const uint8_t HANDLE_REQUEST_SIZE = 3;
// A capacity or size reply: the slot request and a 16-bit value.
const uint8_t VALUE_REPLY_SIZE = 6;
// An opened slot's reply: the slot request and the handle.
const uint8_t OPEN_REPLY_SIZE = 5;
// A write or close reply: the handle request and one result byte.
const uint8_t HANDLE_REPLY_SIZE = 4;
// The most data bytes a read or write carries.
const size_t CHUNK = 25;
// The handle that means "not opened".
const uint8_t NO_HANDLE = 255;

inline bool isSlotOp(uint8_t op) {
    return op >= OP_CAPACITY && op <= OP_OPEN_WRITE;
}

inline bool isHandleOp(uint8_t op) {
    return op >= OP_FIRST_HANDLE && op <= OP_CLOSE;
}

// Fills `data` with a slot request; its size.
inline uint8_t buildSlotRequest(uint8_t* data, uint8_t op, uint8_t store, uint8_t slot) {
    data[AT_COMMAND] = COMMAND;
    data[AT_OP] = op;
    data[AT_STORE] = store;
    data[AT_SLOT] = slot;
    return SLOT_REQUEST_SIZE;
}

// Fills `data` with a handle request without payload; its size.
inline uint8_t buildHandleRequest(uint8_t* data, uint8_t op, uint8_t handle) {
    data[AT_COMMAND] = COMMAND;
    data[AT_OP] = op;
    data[AT_HANDLE] = handle;
    return HANDLE_REQUEST_SIZE;
}

// The byte sum a module returns for a written chunk.
inline uint8_t chunkSum(const uint8_t* data, size_t length) {
    uint8_t sum = 0;
    for (size_t i = 0; i < length; ++i) sum = static_cast<uint8_t>(sum + data[i]);
    return sum;
}

inline bool isError(const aPacket* reply) {
    return (reply->data[AT_OP] & ERROR_FLAG) != 0;
}

// True when `reply` answers `request` (both as data bytes). An error reply to a
// handle may come without its code byte: three bytes.
inline bool answers(const aPacket* reply, const uint8_t* request) {
    if (reply->dataSize < HANDLE_REQUEST_SIZE || reply->data[AT_COMMAND] != COMMAND) return false;
    const uint8_t op = request[AT_OP];
    if ((reply->data[AT_OP] & ~ERROR_FLAG) != op) return false;
    if (isSlotOp(op))
        return reply->dataSize >= SLOT_REQUEST_SIZE && reply->data[AT_STORE] == request[AT_STORE] &&
               reply->data[AT_SLOT] == request[AT_SLOT];
    if (isHandleOp(op))
        return (reply->dataSize >= HANDLE_REPLY_SIZE || isError(reply)) && reply->data[AT_HANDLE] == request[AT_HANDLE];
    return false;
}

// A capacity or size reply's value; false when the reply has another length.
inline bool readValue(const aPacket* reply, size_t* value) {
    if (reply->dataSize != VALUE_REPLY_SIZE) return false;
    *value = aByteOrder_ReadBE16(reply->data + AT_SLOT_RESULT);
    return true;
}

// An open reply's handle, NO_HANDLE when refused or short.
inline uint8_t readHandle(const aPacket* reply) {
    return isError(reply) || reply->dataSize < OPEN_REPLY_SIZE ? NO_HANDLE : reply->data[AT_SLOT_RESULT];
}

// False when a write reply's sum differs from the chunk's; a reply without a sum passes.
inline bool writeConfirmed(const aPacket* reply, uint8_t sum) {
    return reply->dataSize != HANDLE_REPLY_SIZE || reply->data[AT_HANDLE_RESULT] == sum;
}

// The bytes a read reply carries.
inline const uint8_t* readPayload(const aPacket* reply, size_t* count) {
    *count = reply->dataSize - static_cast<size_t>(AT_HANDLE_RESULT);
    return reply->data + AT_HANDLE_RESULT;
}

}  // namespace StoreSlotProtocol
}  // namespace Corvalith
}  // namespace Veltrane
