#include "PacketExchange.h"

namespace Veltrane {
namespace Corvalith {

aPacket* exchangePacket(aLinkRef link, uint8_t module, const uint8_t* data, uint8_t length, aPacketFilterProc filter,
                        const void* ref, uint64_t waitMs, aErr& result) {
    aPacket* request = aPacket_CreateWithData(module, length, data);
    if (!request) {
        result = aErrResource;
        return nullptr;
    }
    result = aLink_PutPacket(link, request);
    aPacket_Destroy(&request);
    if (result != aErrNone) return nullptr;
    aPacket* reply = aLink_AwaitFirst(link, filter, ref, waitMs);
    if (!reply) result = aErrTimeout;
    return reply;
}

}  // namespace Corvalith
}  // namespace Veltrane
