// Wire layout of the on-module loader protocol (command 0x5F). Every message, both ways,
// starts with the command byte and an option byte; numbers are big-endian. The module
// answers PREPARE, SUM and WRITE alike with option STATUS, told apart only by the order
// of the exchange. Pure layout: no I/O here, so both ends' code can be read against it.
#pragma once

#include <array>
#include <cstdint>

#include "aUEI.h"

enum : uint8_t {
    cmdUPGRADE = 0x5F,
    val_UPGRADE_INIT = 0,
    val_UPGRADE_DATA = 1,
    val_UPGRADE_LOAD = 2,
    val_UPGRADE_PREPARE = 3,
    val_UPGRADE_SUM = 4,
    val_UPGRADE_WRITE = 5,
    val_UPGRADE_REBOOT = 6,
    val_UPGRADE_STATUS = 7,
};

namespace LoaderProtocol {

// A reply is taken whole: up to the packet's 28 data bytes.
constexpr uint8_t REPLY_BYTES = 28;
// Image bytes per DATA message: the 28 data bytes less the command and option.
constexpr uint8_t CHUNK_BYTES = 26;
// A loader or firmware block's data begin with its load address.
constexpr uint8_t ADDRESS_BYTES = 4;

// Reply offsets, counted from the command byte.
constexpr uint8_t REPLY_STATUS = 2;    // STATUS replies: 0 means success
constexpr uint8_t INIT_LOAD_BASE = 2;  // INIT: the loader's load base, 4 bytes
constexpr uint8_t PREPARE_PIECE = 3;   // PREPARE: piece size the module asks for, 2 bytes
constexpr uint8_t SUM_VALUE = 3;       // SUM: the module's byte sum, 4 bytes
constexpr uint8_t DATA_COUNT = 2;      // DATA: count of image bytes received

// Shortest replies that carry all their fields.
constexpr uint8_t INIT_REPLY_BYTES = INIT_LOAD_BASE + 4;
constexpr uint8_t PREPARE_REPLY_BYTES = PREPARE_PIECE + 2;
constexpr uint8_t SUM_REPLY_BYTES = SUM_VALUE + 4;
constexpr uint8_t STATUS_REPLY_BYTES = REPLY_STATUS + 1;
constexpr uint8_t DATA_REPLY_BYTES = DATA_COUNT + 1;

// The load address at the start of a block's data (at least ADDRESS_BYTES long).
inline uint32_t blockAddress(const uint8_t* blockData) {
    return aUEI_RetrieveInt(blockData);
}

// Each parser is false for a reply too short to hold its fields, and then sets nothing.
inline bool parseInitReply(const uint8_t* reply, uint8_t length, uint32_t& loadBase) {
    if (length < INIT_REPLY_BYTES) return false;
    loadBase = aUEI_RetrieveInt(reply + INIT_LOAD_BASE);
    return true;
}

inline bool parsePrepareReply(const uint8_t* reply, uint8_t length, uint8_t& status, uint16_t& pieceSize) {
    if (length < PREPARE_REPLY_BYTES) return false;
    status = reply[REPLY_STATUS];
    pieceSize = aUEI_RetrieveShort(reply + PREPARE_PIECE);
    return true;
}

inline bool parseSumReply(const uint8_t* reply, uint8_t length, uint8_t& status, uint32_t& sum) {
    if (length < SUM_REPLY_BYTES) return false;
    status = reply[REPLY_STATUS];
    sum = aUEI_RetrieveInt(reply + SUM_VALUE);
    return true;
}

inline bool parseStatusReply(const uint8_t* reply, uint8_t length, uint8_t& status) {
    if (length < STATUS_REPLY_BYTES) return false;
    status = reply[REPLY_STATUS];
    return true;
}

// The count a DATA reply acknowledges; -1 for a reply without its count byte.
inline int dataReplyCount(const uint8_t* reply, uint8_t length) {
    return length >= DATA_REPLY_BYTES ? reply[DATA_COUNT] : -1;
}

// Requests, as the bytes after the command byte.
inline std::array<uint8_t, 6> prepareRequest(uint8_t flags, const uint8_t* blockData) {
    return {val_UPGRADE_PREPARE, flags, blockData[0], blockData[1], blockData[2], blockData[3]};
}

// WRITE carries the low 16 bits of the piece length.
inline std::array<uint8_t, 3> writeRequest(uint32_t pieceLength) {
    std::array<uint8_t, 3> request{val_UPGRADE_WRITE, 0, 0};
    aUEI_StoreShort(request.data() + 1, static_cast<uint16_t>(pieceLength));
    return request;
}

}  // namespace LoaderProtocol
