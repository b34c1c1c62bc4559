// Store slots over a Link: command 4 moves a whole slot between the host and a module,
// opened for reading or writing, in chunks of 25 bytes, then closed.
#include <algorithm>
#include <cstring>

#include "Link.h"
#include "LinkImpl.h"
#include "ReplyError.h"
#include "aPacket.h"

namespace Veltrane {
namespace Corvalith {

namespace {

const uint8_t STORE_COMMAND = 4;
const uint8_t STORE_ERROR = 0x80;
const uint8_t OP_CAPACITY = 1;
const uint8_t OP_SIZE = 2;
const uint8_t OP_OPEN_READ = 3;
const uint8_t OP_OPEN_WRITE = 4;
const uint8_t OP_READ = 6;
const uint8_t OP_WRITE = 7;
const uint8_t OP_CLOSE = 8;
const uint8_t NO_HANDLE = 255;
const size_t SLOT_CHUNK = 25;
const uint64_t OPEN_WAIT_MS = 3000;
const uint64_t REPLY_WAIT_MS = 1000;

// A request as sent and the module it went to: replies are matched against both, so a
// module behind the same router cannot answer for another.
struct SlotRequest {
    uint8_t module;
    uint8_t data[aPACKET_MAX_DATA];
};

uint8_t sSlotFilter(const aPacket* packet, const void* ref) {
    const auto* request = static_cast<const SlotRequest*>(ref);
    if (packet->address != request->module) return 0;
    if (packet->dataSize < 3 || packet->data[0] != STORE_COMMAND) return 0;
    const uint8_t op = request->data[1];
    if ((packet->data[1] & ~STORE_ERROR) != op) return 0;
    if (op >= OP_CAPACITY && op <= OP_OPEN_WRITE)
        return packet->dataSize >= 4 && packet->data[2] == request->data[2] && packet->data[3] == request->data[3];
    // An error reply to a handle may come without its code byte: three bytes.
    if (op >= 5 && op <= OP_CLOSE)
        return (packet->dataSize >= 4 || (packet->data[1] & STORE_ERROR)) && packet->data[2] == request->data[2];
    return 0;
}

bool isError(const aPacket* reply) {
    return (reply->data[1] & STORE_ERROR) != 0;
}

aErr sendRequest(aLinkRef link, const SlotRequest& request, uint8_t length) {
    aPacket* packet = aPacket_CreateWithData(request.module, length, request.data);
    if (!packet) return aErrResource;
    const aErr result = aLink_PutPacket(link, packet);
    aPacket_Destroy(&packet);
    return result;
}

// Sends the request and waits for its reply; null when it could not be sent or no
// reply came (`result` tells which).
aPacket* exchange(aLinkRef link, const SlotRequest& request, uint8_t length, uint64_t waitMs, aErr& result) {
    result = sendRequest(link, request, length);
    if (result != aErrNone) return nullptr;
    aPacket* reply = aLink_AwaitFirst(link, sSlotFilter, &request, waitMs);
    if (!reply) result = aErrTimeout;
    return reply;
}

SlotRequest slotRequest(uint8_t module, uint8_t op, uint8_t store, uint8_t slot) {
    SlotRequest request{module, {STORE_COMMAND, op, store, slot}};
    return request;
}

SlotRequest handleRequest(uint8_t module, uint8_t op, uint8_t handle) {
    SlotRequest request{module, {STORE_COMMAND, op, handle}};
    return request;
}

aErr slotValue(aLinkRef link, uint8_t module, uint8_t op, uint8_t store, uint8_t slot, size_t* value) {
    aErr result = aErrNone;
    aPacket* reply = exchange(link, slotRequest(module, op, store, slot), 4, REPLY_WAIT_MS, result);
    if (!reply) return result;
    if (isError(reply)) result = replyErrorCode(reply, 4);
    else if (reply->dataSize == 6) *value = static_cast<size_t>(reply->data[4] << 8 | reply->data[5]);
    else result = aErrUnknown;
    aPacket_Destroy(&reply);
    return result;
}

uint8_t sOpenSlot(aLinkRef link, uint8_t module, uint8_t store, uint8_t slot, uint8_t op) {
    aErr result = aErrNone;
    aPacket* reply = exchange(link, slotRequest(module, op, store, slot), 4, OPEN_WAIT_MS, result);
    if (!reply) return NO_HANDLE;
    const uint8_t handle = isError(reply) || reply->dataSize < 5 ? NO_HANDLE : reply->data[4];
    aPacket_Destroy(&reply);
    return handle;
}

aErr sCloseSlot(aLinkRef link, uint8_t module, uint8_t handle) {
    const SlotRequest request = handleRequest(module, OP_CLOSE, handle);
    aErr result = sendRequest(link, request, 3);
    if (result != aErrNone) return result;
    aPacket* reply = aLink_AwaitFirst(link, sSlotFilter, &request, REPLY_WAIT_MS);
    // A close the module never confirmed may have lost the slot's data.
    if (!reply) return aErrTimeout;
    if (isError(reply)) result = replyErrorCode(reply, 3);
    else if (reply->dataSize != 4) result = aErrIO;
    aPacket_Destroy(&reply);
    return result;
}

aErr writeChunks(aLinkRef link, uint8_t module, uint8_t handle, const uint8_t* data, size_t length) {
    for (size_t offset = 0; offset < length;) {
        const size_t chunk = std::min(length - offset, SLOT_CHUNK);
        SlotRequest request = handleRequest(module, OP_WRITE, handle);
        memcpy(request.data + 3, data + offset, chunk);
        uint8_t sum = 0;
        for (size_t i = 0; i < chunk; ++i) sum = static_cast<uint8_t>(sum + data[offset + i]);
        aErr result = aErrNone;
        aPacket* reply = exchange(link, request, static_cast<uint8_t>(3 + chunk), REPLY_WAIT_MS, result);
        if (!reply) return result;
        // The error flag fails the write whatever the reply's length.
        if (isError(reply)) result = replyErrorCode(reply, 3);
        else if (reply->dataSize == 4 && reply->data[3] != sum) result = aErrIO;
        aPacket_Destroy(&reply);
        if (result != aErrNone) return result;
        offset += chunk;
    }
    return aErrNone;
}

aErr readChunks(aLinkRef link, uint8_t module, uint8_t handle, uint8_t* buffer, size_t wanted) {
    for (size_t received = 0; received < wanted;) {
        aErr result = aErrNone;
        aPacket* reply = exchange(link, handleRequest(module, OP_READ, handle), 3, REPLY_WAIT_MS, result);
        if (!reply) return result;
        const size_t count = std::min<size_t>(reply->dataSize - 3u, wanted - received);
        if (isError(reply)) result = replyErrorCode(reply, 3);
        else if (count == 0) result = aErrIO;  // a read that carries nothing would never end
        else memcpy(buffer + received, reply->data + 3, count);
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
