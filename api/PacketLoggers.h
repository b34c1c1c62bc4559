// Every packet-log logger of the process by the link it reads, so that a reset of a
// link can stop the loggers of all the Links that share it, not only its own. A listed
// logger is started, stopped and destroyed only through these, all under one lock:
// another Link's reset and the logger's own Link never both start or stop it, so its
// thread is started once and joined once. Logger threads never take that lock.
#pragma once

#include "aLink.h"
#include "aLogger.h"

namespace Veltrane {
namespace Corvalith {

// Creates a logger bound to the link and lists it; NULL when the file cannot be opened.
aLoggerRef packetLoggers_Create(aLinkRef linkRef, aLoggerProc proc, const char* path);
// Starts its thread unless it runs (aLogger_Enable).
aErr packetLoggers_Start(aLoggerRef logger);
// Stops its thread and waits for it, unless it is stopped (aLogger_Disable).
aErr packetLoggers_Stop(aLoggerRef logger);
// Takes the logger off the list, then stops and destroys it; clears the handle.
void packetLoggers_Destroy(aLoggerRef* logger);
// Stops (without destroying) every listed logger that reads the link.
void packetLoggers_StopAll(aLinkRef linkRef);

}  // namespace Corvalith
}  // namespace Veltrane
