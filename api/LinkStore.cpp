// Store slots over a Link: command 4 moves a whole slot between the host and a module,
// opened for reading or writing, in chunks of 25 bytes, then closed.
#include <algorithm>
#include <cstring>

#include "Link.h"
#include "LinkImpl.h"
#include "PacketExchange.h"
#include "ReplyError.h"
#include "StoreSlotProtocol.h"
#include "aPacket.h"

namespace Veltrane {
namespace Corvalith {

namespace {

using namespace StoreSlotProtocol;

const uint64_t OPEN_WAIT_MS = 3000;
const uint64_t REPLY_WAIT_MS = 1000;

using SlotRequest = ModuleRequest;

uint8_t sSlotFilter(const aPacket* packet, const void* ref) {
    const auto* request = static_cast<const SlotRequest*>(ref);
    return packet->address == request->module && answers(packet, request->data);
}

aPacket* exchange(aLinkRef link, const SlotRequest& request, uint64_t waitMs, aErr& result) {
    return exchangePacket(link, request, sSlotFilter, waitMs, result);
}

SlotRequest slotRequest(uint8_t module, uint8_t op, uint8_t store, uint8_t slot) {
    SlotRequest request;
    request.module = module;
    request.length = buildSlotRequest(request.data, op, store, slot);
    return request;
}

SlotRequest handleRequest(uint8_t module, uint8_t op, uint8_t handle) {
    SlotRequest request;
    request.module = module;
    request.length = buildHandleRequest(request.data, op, handle);
    return request;
}

aErr slotValue(aLinkRef link, uint8_t module, uint8_t op, uint8_t store, uint8_t slot, size_t* value) {
    aErr result = aErrNone;
    aPacket* reply = exchange(link, slotRequest(module, op, store, slot), REPLY_WAIT_MS, result);
    if (!reply) return result;
    if (isError(reply))
        result = replyErrorCode(reply, AT_SLOT_RESULT);
    else if (!readValue(reply, value))
        result = aErrUnknown;
    aPacket_Destroy(&reply);
    return result;
}

uint8_t sOpenSlot(aLinkRef link, uint8_t module, uint8_t store, uint8_t slot, uint8_t op) {
    aErr result = aErrNone;
    aPacket* reply = exchange(link, slotRequest(module, op, store, slot), OPEN_WAIT_MS, result);
    if (!reply) return NO_HANDLE;
    const uint8_t handle = readHandle(reply);
    aPacket_Destroy(&reply);
    return handle;
}

aErr sCloseSlot(aLinkRef link, uint8_t module, uint8_t handle) {
    aErr result = aErrNone;
    aPacket* reply = exchange(link, handleRequest(module, OP_CLOSE, handle), REPLY_WAIT_MS, result);
    // A close the module never confirmed may have lost the slot's data.
    if (!reply) return result;
    if (isError(reply))
        result = replyErrorCode(reply, AT_HANDLE_RESULT);
    else if (reply->dataSize != HANDLE_REPLY_SIZE)
        result = aErrIO;
    aPacket_Destroy(&reply);
    return result;
}

aErr writeChunks(aLinkRef link, uint8_t module, uint8_t handle, const uint8_t* data, size_t length) {
    for (size_t offset = 0; offset < length;) {
        const size_t chunk = std::min(length - offset, CHUNK);
        SlotRequest request = handleRequest(module, OP_WRITE, handle);
        memcpy(request.data + request.length, data + offset, chunk);
        request.length = static_cast<uint8_t>(request.length + chunk);
        aErr result = aErrNone;
        aPacket* reply = exchange(link, request, REPLY_WAIT_MS, result);
        if (!reply) return result;
        // The error flag fails the write whatever the reply's length.
        if (isError(reply))
            result = replyErrorCode(reply, AT_HANDLE_RESULT);
        else if (!writeConfirmed(reply, chunkSum(data + offset, chunk)))
            result = aErrIO;
        aPacket_Destroy(&reply);
        if (result != aErrNone) return result;
        offset += chunk;
    }
    return aErrNone;
}

aErr readChunks(aLinkRef link, uint8_t module, uint8_t handle, uint8_t* buffer, size_t wanted) {
    for (size_t received = 0; received < wanted;) {
        aErr result = aErrNone;
        aPacket* reply = exchange(link, handleRequest(module, OP_READ, handle), REPLY_WAIT_MS, result);
        if (!reply) return result;
        size_t carried = 0;
        const uint8_t* payload = readPayload(reply, &carried);
        const size_t count = std::min(carried, wanted - received);
        if (isError(reply))
            result = replyErrorCode(reply, AT_HANDLE_RESULT);
        else if (count == 0)
            result = aErrIO;  // a read that carries nothing would never end
        else
            memcpy(buffer + received, payload, count);
        aPacket_Destroy(&reply);
        if (result != aErrNone) return result;
        received += count;
    }
    return aErrNone;
}

}  // namespace

aErr Link::storeSlotCapacity(uint8_t module, uint8_t store, uint8_t slot, size_t* capacity) {
    if (!isConnected()) return aErrConnection;
    if (!capacity) return aErrParam;
    return slotValue(m_impl->linkRef, module, OP_CAPACITY, store, slot, capacity);
}

aErr Link::storeSlotSize(uint8_t module, uint8_t store, uint8_t slot, size_t* size) {
    if (!isConnected()) return aErrConnection;
    if (!size) return aErrParam;
    return slotValue(m_impl->linkRef, module, OP_SIZE, store, slot, size);
}

aErr Link::loadStoreSlot(uint8_t module, uint8_t store, uint8_t slot, const uint8_t* data, size_t length) {
    if (!isConnected()) return aErrConnection;
    if (length > 0 && !data) return aErrParam;
    const aLinkRef link = m_impl->linkRef;
    const uint8_t handle = sOpenSlot(link, module, store, slot, OP_OPEN_WRITE);
    if (handle == NO_HANDLE) return aErrMedia;
    const aErr transfer = writeChunks(link, module, handle, data, length);
    const aErr closed = sCloseSlot(link, module, handle);
    return transfer != aErrNone ? transfer : closed;
}

aErr Link::unloadStoreSlot(uint8_t module, uint8_t store, uint8_t slot, uint8_t* buffer, size_t length,
                           size_t* unloaded) {
    if (!isConnected()) return aErrConnection;
    if (!unloaded || (length > 0 && !buffer)) return aErrParam;
    size_t size = 0;
    const aErr sized = storeSlotSize(module, store, slot, &size);
    if (sized != aErrNone) return sized;
    const aLinkRef link = m_impl->linkRef;
    const uint8_t handle = sOpenSlot(link, module, store, slot, OP_OPEN_READ);
    if (handle == NO_HANDLE) return aErrMedia;
    const size_t wanted = std::min(length, size);
    const aErr transfer = readChunks(link, module, handle, buffer, wanted);
    const aErr closed = sCloseSlot(link, module, handle);
    if (transfer != aErrNone) return transfer;
    if (closed != aErrNone) return closed;
    *unloaded = wanted;
    return length < size ? aErrOverrun : aErrNone;
}

}  // namespace Corvalith
}  // namespace Veltrane
