// Every packet-log logger of the process by the link it reads, so that a reset of a
// link can stop the loggers of all the Links that share it, not only its own.
#pragma once

#include "aLink.h"
#include "aLogger.h"

namespace Veltrane {
namespace Corvalith {

// Creates a logger bound to the link and lists it; NULL when the file cannot be opened.
aLoggerRef packetLoggers_Create(aLinkRef linkRef, aLoggerProc proc, const char* path);
// Takes the logger off the list, then stops and destroys it; clears the handle.
void packetLoggers_Destroy(aLoggerRef* logger);
// Stops (without destroying) every listed logger that reads the link.
void packetLoggers_StopAll(aLinkRef linkRef);

}  // namespace Corvalith
}  // namespace Veltrane
