// Factory data over a Link: command 0x5E moves the block of a sub-command in packets of
// up to 26 bytes, closed by an end packet that carries the total byte count.
#include <algorithm>
#include <cstring>

#include "Link.h"
#include "LinkImpl.h"
#include "ReplyError.h"
#include "aPacket.h"

namespace Veltrane {
namespace Corvalith {

namespace {

const uint8_t FACTORY_COMMAND = 0x5E;
const uint8_t FLAG_WRITE = 0x10;
const uint8_t FLAG_END = 0x20;
const uint8_t FLAG_FIRST = 0x40;
const uint8_t FLAG_ERROR = 0x80;
const uint8_t SUB_COMMAND_MASK = 0x0F;
const size_t FACTORY_CHUNK = 26;
const uint8_t FULL_REPLY = aPACKET_MAX_DATA;
// The end packet counts in 16 bits.
const size_t COUNT_LIMIT = 0xFFFF;
const uint64_t REPLY_WAIT_MS = 1000;

struct FactoryRequest {
    uint8_t module;
    uint8_t data[aPACKET_MAX_DATA];
};

// Replies carry the request's sub-command, or 0 to an end packet, with or without the
// error flag; only the addressed module's count.
uint8_t sFactoryFilter(const aPacket* packet, const void* ref) {
    const auto* request = static_cast<const FactoryRequest*>(ref);
    if (packet->address != request->module) return 0;
    if (packet->dataSize < 2 || packet->data[0] != FACTORY_COMMAND) return 0;
    return (packet->data[1] & ~FLAG_ERROR) == (request->data[1] & SUB_COMMAND_MASK);
}

bool isError(const aPacket* reply) {
    return (reply->data[1] & FLAG_ERROR) != 0;
}

aPacket* exchange(aLinkRef link, const FactoryRequest& request, uint8_t length, aErr& result) {
    aPacket* packet = aPacket_CreateWithData(request.module, length, request.data);
    if (!packet) {
        result = aErrResource;
        return nullptr;
    }
    result = aLink_PutPacket(link, packet);
    aPacket_Destroy(&packet);
    if (result != aErrNone) return nullptr;
    aPacket* reply = aLink_AwaitFirst(link, sFactoryFilter, &request, REPLY_WAIT_MS);
    if (!reply) result = aErrTimeout;
    return reply;
}

aErr sendEnd(aLinkRef link, uint8_t module, size_t count) {
    const FactoryRequest end{module,
                             {FACTORY_COMMAND, FLAG_END, static_cast<uint8_t>(count >> 8), static_cast<uint8_t>(count)}};
    aErr result = aErrNone;
    aPacket* reply = exchange(link, end, 4, result);
    if (!reply) return result;
    // Any error reply fails the transfer, whatever its length.
    if (isError(reply)) result = replyErrorCode(reply, 2);
    aPacket_Destroy(&reply);
    return result;
}

}  // namespace

aErr Link::getFactoryData(uint8_t module, uint8_t subCommand, uint8_t* buffer, size_t length, size_t* received) {
    if (!isConnected()) return aErrConnection;
    if (!buffer || !received) return aErrParam;
    const aLinkRef link = m_impl->linkRef;
    const uint8_t sub = subCommand & SUB_COMMAND_MASK;
    const size_t limit = std::min(length, COUNT_LIMIT + 1);
    size_t count = 0;
    uint8_t last = FULL_REPLY;
    for (bool first = true; last == FULL_REPLY; first = false) {
        const FactoryRequest request{module, {FACTORY_COMMAND, static_cast<uint8_t>(sub | (first ? FLAG_FIRST : 0))}};
        aErr result = aErrNone;
        aPacket* reply = exchange(link, request, 2, result);
        if (!reply) return result;
        last = reply->dataSize;
        const size_t payload = last - 2u;
        // The module's own code wins over a full buffer.
        if (isError(reply)) result = replyErrorCode(reply, 2);
        else if (count + payload >= limit) result = aErrOverrun;
        else memcpy(buffer + count, reply->data + 2, payload);
        aPacket_Destroy(&reply);
        if (result != aErrNone) return result;
        count += payload;
    }
    const aErr ended = sendEnd(link, module, count);
    if (ended != aErrNone) return ended;
    *received = count;
    return aErrNone;
}

aErr Link::setFactoryData(uint8_t module, uint8_t subCommand, const uint8_t* data, size_t length) {
    if (!isConnected()) return aErrConnection;
    if (length > 0 && !data) return aErrParam;
    if (length > COUNT_LIMIT) return aErrSize;
    const aLinkRef link = m_impl->linkRef;
    const uint8_t sub = subCommand & SUB_COMMAND_MASK;
    size_t sent = 0;
    for (bool first = true; sent < length; first = false) {
        const size_t chunk = std::min(length - sent, FACTORY_CHUNK);
        FactoryRequest request{module,
                               {FACTORY_COMMAND, static_cast<uint8_t>(sub | FLAG_WRITE | (first ? FLAG_FIRST : 0))}};
        memcpy(request.data + 2, data + sent, chunk);
        aErr result = aErrNone;
        aPacket* reply = exchange(link, request, static_cast<uint8_t>(2 + chunk), result);
        if (!reply) return result;
        if (isError(reply)) result = replyErrorCode(reply, 2);
        else if (reply->dataSize != 2) result = aErrSize;
        aPacket_Destroy(&reply);
        if (result != aErrNone) return result;
        sent += chunk;
    }
    return sendEnd(link, module, sent);
}

}  // namespace Corvalith
}  // namespace Veltrane
