// Big-endian values in packet data and the classification of a packet's payload.
#pragma once

#include <cstdint>

#include "aPacket.h"

uint16_t aUEI_RetrieveShort(const uint8_t* bytes);
void aUEI_StoreShort(uint8_t* bytes, uint16_t value);
uint32_t aUEI_RetrieveInt(const uint8_t* bytes);
void aUEI_StoreInt(uint8_t* bytes, uint32_t value);
// Converts count words in place from big-endian byte order to host order.
void aUEI_ModifyIntBuffer(uint32_t* words, uint32_t count);

// These never look at the check word; only a null packet is refused.
// Sequence number (low 7 bits) and continue flag (bit 7) of the last data byte;
// 0 and false when the packet has no last data byte within 28.
uint8_t aUEI_getBytesSequence(const aPacket* packet);
bool aUEI_getBytesContinue(const aPacket* packet);
// True for 27 or 28 data bytes.
bool aUEI_getBytesFullPacket(const aPacket* packet);
// True when data byte 0 is a command outside the command/option/index exchange.
bool aUEI_isNotUEIPayload(const aPacket* packet);
bool aUEI_isUEIPayload(const aPacket* packet);
// A streamed sample: more than 4 data bytes, a UEI payload, byte 1 below 64 and bit 0x40 of byte 2.
bool aUEI_isStreamPacket(const aPacket* packet);
