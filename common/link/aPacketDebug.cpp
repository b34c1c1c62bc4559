#include "aPacketDebug.h"

#include <cstdlib>

namespace {

uint32_t sUsed(const aPacketLog* log) {
    return (log->writeIndex + log->size - log->readIndex) % log->size;
}

uint32_t sFree(const aPacketLog* log) {
    return log->size - sUsed(log);
}

uint32_t sAdvance(const aPacketLog* log, uint32_t index, uint32_t count) {
    return static_cast<uint32_t>((static_cast<uint64_t>(index) + count) % log->size);
}

void sDropOldest(aPacketLog* log) {
    const uint32_t length = log->buffer[sAdvance(log, log->readIndex, 1)];
    log->readIndex = sAdvance(log, log->readIndex, 2 + length);
}

void sPutByte(aPacketLog* log, uint8_t byte) {
    log->buffer[log->writeIndex] = byte;
    log->writeIndex = sAdvance(log, log->writeIndex, 1);
}

}  // namespace

aPacketLog* aPacketLog_Create(uint32_t size) {
    if (size == 0) return nullptr;
    auto* log = static_cast<aPacketLog*>(calloc(1, sizeof(aPacketLog)));
    if (!log) return nullptr;
    log->buffer = static_cast<uint8_t*>(malloc(size));
    if (!log->buffer) {
        free(log);
        return nullptr;
    }
    log->size = size;
    return log;
}

aErr aPacketLog_Put(aPacketLog* log, uint32_t direction, uint32_t length, const uint8_t* bytes) {
    // The record's length field is one byte: a longer record would be read back cut.
    if (!log || (length && !bytes) || length > 255) return aErrParam;
    const uint64_t needed = static_cast<uint64_t>(length) + 2;
    // One byte always stays free, so a full ring never reads as empty.
    if (needed >= log->size) return aErrOverrun;
    while (sFree(log) <= needed) sDropOldest(log);
    sPutByte(log, static_cast<uint8_t>(direction & 0xFF));
    sPutByte(log, static_cast<uint8_t>(length & 0xFF));
    for (uint32_t i = 0; i < length; ++i) sPutByte(log, bytes[i]);
    return aErrNone;
}

aErr aPacketLog_Get(aPacketLog* log, uint32_t* direction, uint32_t* length, uint8_t* buffer) {
    if (!log || !direction || !length) return aErrParam;
    if (log->readIndex == log->writeIndex) return aErrNotFound;
    const uint32_t capacity = *length;
    const uint32_t recordLength = log->buffer[sAdvance(log, log->readIndex, 1)];
    *direction = log->buffer[log->readIndex];
    *length = recordLength;
    if (capacity < recordLength) return aErrOverrun;
    if (recordLength && !buffer) return aErrParam;
    uint32_t index = sAdvance(log, log->readIndex, 2);
    for (uint32_t i = 0; i < recordLength; ++i) {
        buffer[i] = log->buffer[index];
        index = sAdvance(log, index, 1);
    }
    log->readIndex = index;
    return aErrNone;
}

aErr aPacketLog_Destroy(aPacketLog** log) {
    if (!log || !*log) return aErrNone;
    (*log)->enabled = 0;
    free((*log)->buffer);
    free(*log);
    *log = nullptr;
    return aErrNone;
}
