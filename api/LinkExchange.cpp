// Value exchanges (command/option/index messages) and raw packets over a Link.
#include <algorithm>
#include <cstring>

#include "Link.h"
#include "LinkImpl.h"
#include "UeiReply.h"
#include "aPacket.h"
#include "aUEI.h"

namespace Veltrane {
namespace Corvalith {

namespace {

const uint64_t REPLY_WAIT_MS = 1000;
const uint8_t RAW_PAYLOAD_LIMIT = aPACKET_MAX_DATA - 1;

struct CommandMatch {
    uint8_t module;
    uint8_t length;
    const uint8_t* bytes;
};

bool validModuleAddress(uint8_t module) {
    return module != 0 && (module & 1) == 0;
}

aErr putPacket(aLinkRef link, uint8_t module, uint8_t length, const uint8_t* data) {
    aPacket* packet = aPacket_CreateWithData(module, length, data);
    if (!packet) return aErrResource;
    const aErr result = aLink_PutPacket(link, packet);
    aPacket_Destroy(&packet);
    return result;
}

// Writes the record's number value from `at`; 0 for a type without a fixed width.
uint8_t storeValue(const uei& record, uint8_t* at) {
    switch (record.type) {
    case ueiVOID:
        return 0;
    case ueiBYTE:
        at[0] = record.value.byteVal;
        return 1;
    case ueiSHORT:
        aUEI_StoreShort(at, record.value.shortVal);
        return 2;
    case ueiINT:
        aUEI_StoreInt(at, record.value.intVal);
        return 4;
    default:
        return 0;
    }
}

bool isNumberType(uint32_t type) {
    return type == ueiVOID || type == ueiBYTE || type == ueiSHORT || type == ueiINT;
}

aErr sendBytes(aLinkRef link, const uei& request) {
    if (request.bufferLength > ueiBYTES_MAX_LENGTH) return aErrSize;
    if (request.bufferLength > 0 && !request.value.bytes) return aErrParam;
    size_t offset = 0;
    uint8_t sequence = 0;
    bool more = true;
    while (more) {
        const size_t chunk = std::min(request.bufferLength - offset, ueiBYTES_CHUNK);
        more = offset + chunk < request.bufferLength;
        uint8_t data[aPACKET_MAX_DATA] = {request.command, request.option, request.specifier};
        if (chunk) memcpy(data + 3, request.value.bytes + offset, chunk);
        data[3 + chunk] = static_cast<uint8_t>(sequence | (more ? ueiBYTES_CONTINUE : 0));
        const aErr result = putPacket(link, request.module, static_cast<uint8_t>(chunk + 4), data);
        if (result != aErrNone) return result;
        ++sequence;
        offset += chunk;
    }
    return aErrNone;
}

uint8_t sUEIFilter(const aPacket* packet, const void* ref) {
    auto* record = static_cast<uei*>(const_cast<void*>(ref));
    if (!ueiReplyMatches(packet, *record)) return 0;
    if (ueiTakeErrorReply(packet, record)) return 1;
    const uint8_t* value = packet->data + 3;
    switch (packet->dataSize) {
    case 3:
        record->type = ueiVOID;
        break;
    case 4:
        record->type = ueiBYTE;
        record->value.byteVal = value[0];
        break;
    case 5:
        record->type = ueiSHORT;
        record->value.shortVal = aUEI_RetrieveShort(value);
        break;
    case 7:
        record->type = ueiINT;
        record->value.intVal = aUEI_RetrieveInt(value);
        break;
    default:
        break;
    }
    return 1;
}

uint8_t sCommandFilter(const aPacket* packet, const void* ref) {
    const auto* match = static_cast<const CommandMatch*>(ref);
    if (packet->address != match->module) return 0;
    return memcmp(packet->data, match->bytes, match->length) == 0;
}

}  // namespace

aErr Link::sendUEI(uei request) {
    if (!isConnected()) return aErrConnection;
    if (!validModuleAddress(request.module)) return aErrPacket;
    if (request.type == ueiBYTES) return sendBytes(m_impl->linkRef, request);
    if (!isNumberType(request.type)) return aErrParam;
    uint8_t data[aPACKET_MAX_DATA] = {request.command, request.option, request.specifier};
    const uint8_t width = storeValue(request, data + 3);
    return putPacket(m_impl->linkRef, request.module, static_cast<uint8_t>(3 + width), data);
}

aErr Link::sendUEI(uei request, uint8_t subindex) {
    if (!isConnected()) return aErrConnection;
    if (!validModuleAddress(request.module)) return aErrPacket;
    if (!isNumberType(request.type)) return aErrParam;
    uint8_t data[aPACKET_MAX_DATA] = {request.command, request.option, request.specifier, subindex};
    const uint8_t width = storeValue(request, data + 4);
    return putPacket(m_impl->linkRef, request.module, static_cast<uint8_t>(4 + width), data);
}

aErr Link::receiveUEI(uint8_t module, uint8_t command, uint8_t option, uint8_t index, uei* record) {
    return receiveUEI(module, command, option, index, record, sUEIFilter);
}

aErr Link::receiveUEI(uint8_t module, uint8_t, uint8_t, uint8_t, uei* record, aPacketFilterProc filter) {
    if (!isConnected()) return aErrConnection;
    if (!validModuleAddress(module)) return aErrPacket;
    if (!record || !filter) return aErrParam;
    aPacket* reply = aLink_AwaitFirst(m_impl->linkRef, filter, record, REPLY_WAIT_MS);
    if (!reply) return aErrTimeout;
    aPacket_Destroy(&reply);
    return aErrNone;
}

aErr Link::dropMatchingUEIPackets(uint8_t module, uint8_t command, uint8_t option, uint8_t index) {
    if (!isConnected()) return aErrConnection;
    if (!validModuleAddress(module)) return aErrPacket;
    uei record{};
    record.module = module;
    record.command = command;
    record.option = option;
    record.specifier = index;
    aLink_DrainPackets(m_impl->linkRef, sUEIFilter, &record);
    return aErrNone;
}

aErr Link::sendPacket(uint8_t module, uint8_t command, uint8_t length, const uint8_t* data) {
    if (!isConnected()) return aErrConnection;
    if (length > RAW_PAYLOAD_LIMIT) return aErrParam;
    if (!validModuleAddress(module)) return aErrPacket;
    if (length > 0 && !data) return aErrParam;
    uint8_t bytes[aPACKET_MAX_DATA] = {command};
    if (length) memcpy(bytes + 1, data, length);
    putPacket(m_impl->linkRef, module, static_cast<uint8_t>(length + 1), bytes);
    return aErrNone;
}

// Only the addressed module's packets count: behind a router several modules share
// the link, and a late reply of one must not be taken as the next one's answer.
aErr Link::receivePacket(uint8_t module, const uint8_t* match, uint8_t* length, uint8_t* buffer) {
    if (!isConnected()) return aErrConnection;
    if (!validModuleAddress(module)) return aErrPacket;
    if (!length || !buffer || *length > aPACKET_MAX_DATA || (*length > 0 && !match)) return aErrParam;
    const CommandMatch wanted{module, *length, match};
    aPacket* reply = aLink_AwaitFirst(m_impl->linkRef, sCommandFilter, &wanted, REPLY_WAIT_MS);
    if (!reply) return aErrTimeout;
    const uint8_t size = std::min<uint8_t>(reply->dataSize, aPACKET_MAX_DATA);
    memcpy(buffer, reply->data, size);
    *length = size;
    aPacket_Destroy(&reply);
    return aErrNone;
}

aErr Link::dropMatchingPackets(uint8_t module, const uint8_t* match, uint8_t length) {
    if (!isConnected()) return aErrConnection;
    if (!validModuleAddress(module)) return aErrPacket;
    if (length > aPACKET_MAX_DATA || (length > 0 && !match)) return aErrParam;
    const CommandMatch wanted{module, length, match};
    aLink_DrainPackets(m_impl->linkRef, sCommandFilter, &wanted);
    return aErrNone;
}

}  // namespace Corvalith
}  // namespace Veltrane
