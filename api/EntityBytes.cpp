// EntityClass: byte-string values in chunks, waiting for an unrequested 32-bit reply,
// and dropping stale replies.
#include <cstring>

#include "Entity.h"
#include "EntityImpl.h"
#include "UeiReply.h"
#include "aUEI.h"

namespace Veltrane {
namespace Corvalith {

namespace {

const uint8_t CHUNK_OVERHEAD = 4;

}  // namespace

aErr EntityClass::setUEIBytes(uint8_t option, const uint8_t* data, size_t length) {
    if (length > ueiBYTES_MAX_LENGTH) return aErrSize;
    if (length > 0 && !data) return aErrParam;
    uei record{};
    record.type = ueiBYTES;
    record.value.bytes = const_cast<uint8_t*>(data);
    record.bufferLength = length;
    return setUEI(option, &record);
}

aErr EntityClass::getUEIBytes(uint8_t option, uint8_t* buffer, size_t length, size_t* received) {
    if (!buffer || !received || length == 0) return aErrParam;
    *received = 0;
    Link* target = m_impl->link();
    if (!target) return aErrResource;
    uei record{};
    record.type = ueiVOID;
    record.module = m_impl->address();
    record.command = m_impl->command;
    record.option = static_cast<uint8_t>(option | ueiOPTION_GET);
    record.specifier = static_cast<uint8_t>(m_impl->index | ueiSPECIFIER_REQUEST);
    aErr result = target->sendUEI(record);
    if (result != aErrNone) return result;

    record.option = option;
    record.specifier = m_impl->index;
    record.bytesSequence = 0;
    record.bytesContinue = 0;
    record.value.bytes = buffer;
    record.bufferLength = length;
    record.unloadedLength = received;
    // A chunk is taken only in sequence, and the sequence number has 7 bits, so the
    // loop ends after at most 128 chunks.
    for (;;) {
        result = target->receiveUEI(record.module, record.command, option, m_impl->index, &record, sUEIBytesFilter);
        if (result != aErrNone) return result;
        if (record.specifier & ueiSPECIFIER_ERROR) return record.value.byteVal;
        if (!record.bytesContinue) return aErrNone;
        ++record.bytesSequence;
    }
}

uint8_t EntityClass::sUEIBytesFilter(const aPacket* packet, const void* ref) {
    auto* record = static_cast<uei*>(const_cast<void*>(ref));
    if (!ueiReplyMatches(packet, *record)) return 0;
    if (ueiTakeErrorReply(packet, record)) return 1;
    // A chunk without its sequence byte carries nothing to take: a malformed reply.
    if (packet->dataSize < CHUNK_OVERHEAD) {
        record->specifier |= ueiSPECIFIER_ERROR;
        record->value.byteVal = aErrPacket;
        return 1;
    }
    if (getUEIBytesSequence(packet) != record->bytesSequence) return 0;
    const size_t payload = packet->dataSize - CHUNK_OVERHEAD;
    if (*record->unloadedLength + payload > record->bufferLength) {
        record->specifier |= ueiSPECIFIER_ERROR;
        record->value.byteVal = aErrMemory;
        return 1;
    }
    memcpy(record->value.bytes, packet->data + 3, payload);
    record->value.bytes += payload;
    *record->unloadedLength += payload;
    record->bytesSequence = getUEIBytesSequence(packet);
    record->bytesContinue = getUEIBytesContinue(packet) ? 1 : 0;
    return 1;
}

uint8_t EntityClass::getUEIBytesSequence(const aPacket* packet) {
    return aUEI_getBytesSequence(packet);
}

bool EntityClass::getUEIBytesContinue(const aPacket* packet) {
    return aUEI_getBytesContinue(packet);
}

aErr EntityClass::getUEIBytesCheck(size_t* count, size_t unit) {
    if (!count || unit == 0) return aErrParam;
    if (*count % unit != 0) return aErrMemory;
    *count /= unit;
    return aErrNone;
}

aErr EntityClass::awaitUEI32Val(uint32_t option, uint32_t* value, uint32_t) {
    if (!value) return aErrParam;
    Link* target = m_impl->link();
    if (!target) return aErrResource;
    uei record{};
    record.module = m_impl->address();
    record.command = m_impl->command;
    record.option = static_cast<uint8_t>(option & 0xFF);
    record.specifier = m_impl->index;
    const aErr result = target->receiveUEI(record.module, record.command, record.option, record.specifier, &record);
    if (result != aErrNone) return result;
    if (record.specifier & ueiSPECIFIER_ERROR) return record.value.byteVal;
    *value = record.value.intVal;
    return aErrNone;
}

aErr EntityClass::drainUEI(uint8_t option) {
    Link* target = m_impl->link();
    if (!target) return aErrResource;
    return target->dropMatchingUEIPackets(m_impl->address(), m_impl->command, option, m_impl->index);
}

}  // namespace Corvalith
}  // namespace Veltrane
