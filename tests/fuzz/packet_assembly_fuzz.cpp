// Bytes from a module's stream, assembled into packets one byte at a time, and the
// payload helpers that classify a finished packet.
#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include "aPacket.h"
#include "aUEI.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    aPacket* packet = aPacket_Create();
    if (!packet) return 0;
    for (size_t i = 0; i < size; ++i) {
        if (aPacket_AddByte(packet, data[i]) != aErrNone) {
            aPacket_Reset(packet);
            continue;
        }
        if (!aPacket_IsComplete(packet)) continue;
        if (packet->dataSize > aPACKET_MAX_DATA || packet->address == 0 || (packet->address & 1) != 0) abort();
        aPacket* copy = aPacket_Copy(packet);
        uint8_t value = 0;
        aPacket_GetCmd(copy, &value);
        aPacket_GetOption(copy, &value);
        aPacket_GetIndex(copy, &value);
        aUEI_getBytesSequence(copy);
        aUEI_getBytesContinue(copy);
        aUEI_getBytesFullPacket(copy);
        aUEI_isUEIPayload(copy);
        aUEI_isNotUEIPayload(copy);
        aUEI_isStreamPacket(copy);
        aPacket_Destroy(&copy);
        aPacket_Reset(packet);
    }
    if (size >= 1) {
        aPacket* made = aPacket_CreateWithData(data[0], static_cast<uint8_t>(size - 1), data + 1);
        aPacket_Destroy(&made);
    }
    aPacket_Destroy(&packet);
    return 0;
}
