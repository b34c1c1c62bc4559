// Factory data over a Link: command 0x5E moves the block of a sub-command in packets of
// up to 26 bytes, closed by an end packet that carries the total byte count.
#include <algorithm>
#include <cstring>

#include "FactoryDataProtocol.h"
#include "Link.h"
#include "LinkImpl.h"
#include "PacketExchange.h"
#include "ReplyError.h"
#include "aPacket.h"

namespace Veltrane {
namespace Corvalith {

namespace {

using namespace FactoryDataProtocol;

const uint64_t REPLY_WAIT_MS = 1000;

using FactoryRequest = ModuleRequest;

// Only the addressed module's replies count.
uint8_t sFactoryFilter(const aPacket* packet, const void* ref) {
    const auto* request = static_cast<const FactoryRequest*>(ref);
    return packet->address == request->module && answers(packet, request->data);
}

aPacket* exchange(aLinkRef link, const FactoryRequest& request, aErr& result) {
    return exchangePacket(link, request, sFactoryFilter, REPLY_WAIT_MS, result);
}

aErr sendEnd(aLinkRef link, uint8_t module, size_t count) {
    FactoryRequest end;
    end.module = module;
    end.length = buildEnd(end.data, count);
    aErr result = aErrNone;
    aPacket* reply = exchange(link, end, result);
    if (!reply) return result;
    // Any error reply fails the transfer, whatever its length.
    if (isError(reply)) result = replyErrorCode(reply, AT_PAYLOAD);
    aPacket_Destroy(&reply);
    return result;
}

}  // namespace

aErr Link::getFactoryData(uint8_t module, uint8_t subCommand, uint8_t* buffer, size_t length, size_t* received) {
    if (!isConnected()) return aErrConnection;
    if (!buffer || !received) return aErrParam;
    const aLinkRef link = m_impl->linkRef;
    const size_t limit = std::min(length, COUNT_LIMIT + 1);
    size_t count = 0;
    bool more = true;
    for (bool first = true; more; first = false) {
        FactoryRequest request;
        request.module = module;
        request.length = buildTransfer(request.data, subCommand, false, first);
        aErr result = aErrNone;
        aPacket* reply = exchange(link, request, result);
        if (!reply) return result;
        more = moreFollow(reply);
        size_t carried = 0;
        const uint8_t* payload = readPayload(reply, &carried);
        // The module's own code wins over a full buffer.
        if (isError(reply))
            result = replyErrorCode(reply, AT_PAYLOAD);
        else if (count + carried >= limit)
            result = aErrOverrun;
        else
            memcpy(buffer + count, payload, carried);
        aPacket_Destroy(&reply);
        if (result != aErrNone) return result;
        count += carried;
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
    size_t sent = 0;
    for (bool first = true; sent < length; first = false) {
        const size_t chunk = std::min(length - sent, CHUNK);
        FactoryRequest request;
        request.module = module;
        request.length = buildTransfer(request.data, subCommand, true, first);
        memcpy(request.data + request.length, data + sent, chunk);
        request.length = static_cast<uint8_t>(request.length + chunk);
        aErr result = aErrNone;
        aPacket* reply = exchange(link, request, result);
        if (!reply) return result;
        if (isError(reply))
            result = replyErrorCode(reply, AT_PAYLOAD);
        else if (!writeConfirmed(reply))
            result = aErrSize;
        aPacket_Destroy(&reply);
        if (result != aErrNone) return result;
        sent += chunk;
    }
    return sendEnd(link, module, sent);
}

}  // namespace Corvalith
}  // namespace Veltrane
