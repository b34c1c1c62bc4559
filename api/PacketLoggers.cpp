// The process-wide list of packet-log loggers.
#include "PacketLoggers.h"

#include <algorithm>
#include <mutex>
#include <vector>

namespace Veltrane {
namespace Corvalith {

namespace {

// Held while a logger is listed, started, stopped or destroyed. Held across the join
// of a logger thread, which needs nothing but its link's packet log.
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

aErr packetLoggers_Start(aLoggerRef logger) {
    std::lock_guard<std::mutex> guard(listLock());
    return aLogger_Enable(logger);
}

aErr packetLoggers_Stop(aLoggerRef logger) {
    std::lock_guard<std::mutex> guard(listLock());
    return aLogger_Disable(logger);
}

void packetLoggers_Destroy(aLoggerRef* logger) {
    if (!logger || !*logger) return;
    std::lock_guard<std::mutex> guard(listLock());
    auto& loggers = listed();
    loggers.erase(std::remove(loggers.begin(), loggers.end(), *logger), loggers.end());
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
