// One link packet: the record, its wire form and byte-wise assembly of received packets.
#pragma once

#include <cstdint>

#include "aError.h"

#define aPACKET_CHECK 0xBEEF
#define aPACKET_MAX_DATA 28
// Address byte, data-size byte and the largest data.
#define aPACKET_MAX_WIRE (aPACKET_MAX_DATA + 2)

// address, dataSize and data lie back to back: the wire form is the
// dataSize + 2 bytes that begin at address.
typedef struct aPacket {
    uint16_t check;
    uint8_t count;
    uint8_t address;
    uint8_t dataSize;
    uint8_t data[aPACKET_MAX_DATA];
} aPacket;

// Searching a packet queue, any non-zero result means the packet matches; as a
// link's user filter, exactly 1 means the packet is consumed.
typedef uint8_t (*aPacketFilterProc)(const aPacket* packet, const void* ref);

inline bool aVALIDPACKET(const aPacket* packet) {
    return packet != nullptr && packet->check == aPACKET_CHECK;
}

// An empty packet ready for assembly; NULL when memory runs out.
aPacket* aPacket_Create();
// A complete packet; NULL for a null data pointer (also with length 0), a length above 28,
// or when memory runs out.
aPacket* aPacket_CreateWithData(uint8_t address, uint8_t length, const uint8_t* data);
// A complete copy of address, dataSize and data; NULL for an invalid or oversized packet.
aPacket* aPacket_Copy(const aPacket* packet);

// Command (data byte 0), option (byte 1 & 0x3F) and index (byte 2 & 0x1F). The out value is
// untouched on failure: aErrParam for a null out pointer, aErrPacket for an invalid packet
// or one too short for the byte.
aErr aPacket_GetCmd(const aPacket* packet, uint8_t* cmd);
aErr aPacket_GetOption(const aPacket* packet, uint8_t* option);
aErr aPacket_GetIndex(const aPacket* packet, uint8_t* index);

// Clears address, data size, count and data for a new assembly.
aErr aPacket_Reset(aPacket* packet);
// Takes one received byte: aErrPacket on a framing error (zero or odd address, data size
// above 28, a byte past the end), aErrOverrun past 30 bytes. Reset the packet after an error.
aErr aPacket_AddByte(aPacket* packet, uint8_t byte);
bool aPacket_IsComplete(const aPacket* packet);

// Frees the packet and clears the caller's pointer.
aErr aPacket_Destroy(aPacket** packet);
