#include "aPacket.h"

#include <cstdlib>
#include <cstring>

aPacket* aPacket_Create() {
    auto* packet = static_cast<aPacket*>(std::calloc(1, sizeof(aPacket)));
    if (packet != nullptr) packet->check = aPACKET_CHECK;
    return packet;
}

aPacket* aPacket_CreateWithData(uint8_t address, uint8_t length, const uint8_t* data) {
    if (data == nullptr || length > aPACKET_MAX_DATA) return nullptr;
    aPacket* packet = aPacket_Create();
    if (packet == nullptr) return nullptr;
    packet->address = address;
    packet->dataSize = length;
    std::memcpy(packet->data, data, length);
    packet->count = static_cast<uint8_t>(length + 2);
    return packet;
}

aPacket* aPacket_Copy(const aPacket* packet) {
    if (!aVALIDPACKET(packet)) return nullptr;
    return aPacket_CreateWithData(packet->address, packet->dataSize, packet->data);
}

static aErr sGetDataByte(const aPacket* packet, uint8_t position, uint8_t mask, uint8_t* out) {
    if (out == nullptr) return aErrParam;
    if (!aVALIDPACKET(packet) || packet->dataSize <= position) return aErrPacket;
    *out = packet->data[position] & mask;
    return aErrNone;
}

aErr aPacket_GetCmd(const aPacket* packet, uint8_t* cmd) {
    return sGetDataByte(packet, 0, 0xFF, cmd);
}

aErr aPacket_GetOption(const aPacket* packet, uint8_t* option) {
    return sGetDataByte(packet, 1, 0x3F, option);
}

aErr aPacket_GetIndex(const aPacket* packet, uint8_t* index) {
    return sGetDataByte(packet, 2, 0x1F, index);
}

aErr aPacket_Reset(aPacket* packet) {
    if (!aVALIDPACKET(packet)) return aErrParam;
    packet->count = 0;
    packet->address = 0;
    packet->dataSize = 0;
    std::memset(packet->data, 0, sizeof packet->data);
    return aErrNone;
}

aErr aPacket_AddByte(aPacket* packet, uint8_t byte) {
    if (!aVALIDPACKET(packet)) return aErrParam;
    // The count stops one past the longest packet, so a stream that never resets the
    // packet cannot wrap it back into the data positions.
    if (packet->count > aPACKET_MAX_WIRE) return aErrOverrun;
    packet->count++;
    if (packet->count > aPACKET_MAX_WIRE) return aErrOverrun;

    if (packet->address == 0) {
        if (byte == 0 || (byte & 1) != 0) return aErrPacket;
        packet->address = byte;
        return aErrNone;
    }
    if (packet->dataSize == 0) {
        packet->dataSize = byte;
        return byte <= aPACKET_MAX_DATA ? aErrNone : aErrPacket;
    }
    if (packet->count > packet->dataSize + 2) return aErrPacket;
    packet->data[packet->count - 3] = byte;
    return aErrNone;
}

bool aPacket_IsComplete(const aPacket* packet) {
    return aVALIDPACKET(packet) && packet->dataSize <= aPACKET_MAX_DATA && packet->count == packet->dataSize + 2;
}

aErr aPacket_Destroy(aPacket** packet) {
    if (packet == nullptr || !aVALIDPACKET(*packet)) return aErrParam;
    (*packet)->check = 0;
    std::free(*packet);
    *packet = nullptr;
    return aErrNone;
}
