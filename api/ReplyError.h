// The error code that a module's error reply carries.
#pragma once

#include "aError.h"
#include "aPacket.h"

namespace Veltrane {
namespace Corvalith {

// The byte at `at` of an error reply, or aErrUnknown when the reply has no byte there
// or carries 0: an error reply never reads as success.
inline aErr replyErrorCode(const aPacket* reply, uint8_t at) {
    if (reply->dataSize <= at || reply->data[at] == 0) return aErrUnknown;
    return static_cast<aErr>(reply->data[at]);
}

}  // namespace Corvalith
}  // namespace Veltrane
