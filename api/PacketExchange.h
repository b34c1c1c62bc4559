// One request packet to a module and the first reply a filter accepts: the exchange
// under every module protocol that a Link speaks in raw packets.
#pragma once

#include <cstdint>

#include "aError.h"
#include "aLink.h"
#include "aPacket.h"

namespace Veltrane {
namespace Corvalith {

// Sends `length` bytes of `data` to `module` and waits up to `waitMs` for the first
// packet that `filter` accepts (given `ref`). The reply, which the caller destroys; or
// null, with `result` telling why: the request could not be made or sent, or no reply
// came (aErrTimeout).
aPacket* exchangePacket(aLinkRef link, uint8_t module, const uint8_t* data, uint8_t length, aPacketFilterProc filter,
                        const void* ref, uint64_t waitMs, aErr& result);

}  // namespace Corvalith
}  // namespace Veltrane
