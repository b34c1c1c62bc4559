// Recognising a module's reply to a value exchange; shared by the reply filters of
// Link and EntityClass.
#pragma once

#include <cstdint>

#include "Uei.h"
#include "aError.h"
#include "aPacket.h"

namespace Veltrane {
namespace Corvalith {

// The packet comes from the record's module and carries its command, its exact option
// byte and its entity index; the stream and request bits of the specifier are ignored.
inline bool ueiReplyMatches(const aPacket* packet, const uei& record) {
    return packet->address == record.module && packet->dataSize > 2 && packet->dataSize <= aPACKET_MAX_DATA &&
           packet->data[0] == record.command && packet->data[1] == record.option &&
           (packet->data[2] & ueiSPECIFIER_INDEX_MASK) == record.specifier;
}

// An error reply leaves its specifier and a non-zero code in the record: a reply
// without a code byte, or with code 0, still reports a failure.
inline bool ueiTakeErrorReply(const aPacket* packet, uei* record) {
    const uint8_t specifier = packet->data[2];
    if (!(specifier & ueiSPECIFIER_ERROR)) return false;
    record->specifier = specifier;
    if (packet->dataSize < 4) {
        record->value.byteVal = aErrPacket;
    } else {
        record->value.byteVal = packet->data[3] != 0 ? packet->data[3] : static_cast<uint8_t>(aErrUnknown);
    }
    return true;
}

}  // namespace Corvalith
}  // namespace Veltrane
