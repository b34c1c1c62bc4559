// The process-wide list of packet-log loggers.
#include "PacketLoggers.h"

#include <algorithm>
#include <mutex>
#include <vector>

namespace Veltrane {
namespace Corvalith {

namespace {

// Held while a logger is listed, taken off, or stopped from the list, so a logger is
// never stopped by another Link while its own Link destroys it. Loggers never take it.
std::mutex& listLock() {
    static std::mutex lock;
    return lock;
}

std::vector<aLoggerRef>& listed() {
    static std::vector<aLoggerRef> loggers;
    return loggers;
}

}  // namespace

aLoggerRef packetLoggers_Create(aLinkRef linkRef, aLoggerProc proc, const char* path) {
    aLoggerRef logger = aLogger_Create(linkRef, proc, path);
    if (!logger) return nullptr;
    std::lock_guard<std::mutex> guard(listLock());
    listed().push_back(logger);
    return logger;
}

void packetLoggers_Destroy(aLoggerRef* logger) {
    if (!logger || !*logger) return;
    {
        std::lock_guard<std::mutex> guard(listLock());
        auto& loggers = listed();
        loggers.erase(std::remove(loggers.begin(), loggers.end(), *logger), loggers.end());
    }
    aLogger_Destroy(logger);
}

void packetLoggers_StopAll(aLinkRef linkRef) {
    if (linkRef == 0) return;
    std::lock_guard<std::mutex> guard(listLock());
    for (aLoggerRef logger : listed())
        if (logger->param == linkRef) aLogger_Disable(logger);
}

}  // namespace Corvalith
}  // namespace Veltrane
