#include "aUEI.h"

#include <cstring>

#include "aByteOrder.h"

uint16_t aUEI_RetrieveShort(const uint8_t* bytes) {
    return aByteOrder_ReadBE16(bytes);
}

void aUEI_StoreShort(uint8_t* bytes, uint16_t value) {
    aByteOrder_WriteBE16(bytes, value);
}

uint32_t aUEI_RetrieveInt(const uint8_t* bytes) {
    return aByteOrder_ReadBE32(bytes);
}

void aUEI_StoreInt(uint8_t* bytes, uint32_t value) {
    aByteOrder_WriteBE32(bytes, value);
}

void aUEI_ModifyIntBuffer(uint32_t* words, uint32_t count) {
    for (uint32_t i = 0; i < count; ++i) {
        uint8_t bytes[4];
        std::memcpy(bytes, &words[i], sizeof bytes);
        words[i] = aUEI_RetrieveInt(bytes);
    }
}

// The last data byte, or 0 when there is none inside the data array.
static uint8_t sLastDataByte(const aPacket* packet) {
    if (packet == nullptr || packet->dataSize == 0 || packet->dataSize > aPACKET_MAX_DATA) return 0;
    return packet->data[packet->dataSize - 1];
}

uint8_t aUEI_getBytesSequence(const aPacket* packet) {
    return sLastDataByte(packet) & 0x7F;
}

bool aUEI_getBytesContinue(const aPacket* packet) {
    return (sLastDataByte(packet) & 0x80) != 0;
}

bool aUEI_getBytesFullPacket(const aPacket* packet) {
    return packet != nullptr && (packet->dataSize == 27 || packet->dataSize == 28);
}

bool aUEI_isNotUEIPayload(const aPacket* packet) {
    if (packet == nullptr) return false;
    static const uint8_t kNonUEICommands[] = {0x00, 0x01, 0x02, 0x04, 0x08, 0x09, 0x17,
                                              0x18, 0x49, 0x5E, 0x5F, 0xAD, 0xAF};
    for (uint8_t command : kNonUEICommands)
        if (packet->data[0] == command) return true;
    return false;
}

bool aUEI_isUEIPayload(const aPacket* packet) {
    return !aUEI_isNotUEIPayload(packet);
}

bool aUEI_isStreamPacket(const aPacket* packet) {
    return packet != nullptr && packet->dataSize > 4 && aUEI_isUEIPayload(packet) && packet->data[1] < 64 &&
           (packet->data[2] & 0x40) != 0;
}
