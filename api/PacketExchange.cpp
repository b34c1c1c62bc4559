#include "PacketExchange.h"

namespace Veltrane {
namespace Corvalith {

aPacket* exchangePacket(aLinkRef link, const ModuleRequest& request, aPacketFilterProc filter, uint64_t waitMs,
                        aErr& result) {
    aPacket* packet = aPacket_CreateWithData(request.module, request.length, request.data);
    if (!packet) {
        result = aErrResource;
        return nullptr;
    }
    result = aLink_PutPacket(link, packet);
    aPacket_Destroy(&packet);
    if (result != aErrNone) return nullptr;
    aPacket* reply = aLink_AwaitFirst(link, filter, &request, waitMs);
    if (!reply) result = aErrTimeout;
    return reply;
}

}  // namespace Corvalith
}  // namespace Veltrane
