// One request packet to a module and the first reply a filter accepts: the exchange
// under every module protocol that a Link speaks in raw packets.
#pragma once

#include <cstdint>

#include "aError.h"
#include "aLink.h"
#include "aPacket.h"

namespace Veltrane {
namespace Corvalith {

// A request as sent and the module it went to: a reply filter matches against both,
// so a module behind the same router cannot answer for another.
struct ModuleRequest {
    uint8_t module = 0;
    uint8_t data[aPACKET_MAX_DATA] = {};
    uint8_t length = 0;
};

// Sends the request and waits up to `waitMs` for the first packet that `filter`
// accepts; the filter is given the request as its ref. The reply, which the caller
// destroys; or null, with `result` telling why: the request could not be made or
// sent, or no reply came (aErrTimeout).
aPacket* exchangePacket(aLinkRef link, const ModuleRequest& request, aPacketFilterProc filter, uint64_t waitMs,
                        aErr& result);

}  // namespace Corvalith
}  // namespace Veltrane
