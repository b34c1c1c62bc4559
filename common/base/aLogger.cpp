#include "aLogger.h"

#include <new>

namespace {

void* sRunLog(void* ref) {
    auto* logger = static_cast<aLoggerRef>(ref);
    if (!aVALIDLOGGER(logger)) return nullptr;
    while (logger->enabled) logger->proc(logger->file, logger->param);
    return nullptr;
}

}  // namespace

aLoggerRef aLogger_Create(uint32_t param, aLoggerProc proc, const char* path) {
    if (!proc || !path) return nullptr;
    auto* logger = new (std::nothrow) aLogger;
    if (!logger) return nullptr;
    logger->param = param;
    logger->proc = proc;
    logger->thread = pthread_self();
    logger->enabled = 0;
    logger->check = aLOGGER_CHECK;
    logger->file = aFile_Open(path, aFileModeAppend);
    if (!logger->file) {
        logger->check = 0;
        delete logger;
        return nullptr;
    }
    aFile_SetUnbuffered(logger->file);
    return logger;
}

aErr aLogger_Enable(aLoggerRef logger) {
    if (!aVALIDLOGGER(logger)) return aErrParam;
    if (logger->enabled) return aErrNone;
    logger->enabled = 1;
    if (pthread_create(&logger->thread, nullptr, sRunLog, logger) != 0) {
        logger->thread = pthread_self();
        logger->enabled = 0;
        return aErrResource;
    }
    return aErrNone;
}

aErr aLogger_Disable(aLoggerRef logger) {
    if (!aVALIDLOGGER(logger)) return aErrParam;
    if (!logger->enabled) return aErrNone;
    if (pthread_equal(logger->thread, pthread_self())) return aErrNone;
    logger->enabled = 0;
    const int joined = pthread_join(logger->thread, nullptr);
    logger->thread = pthread_self();
    logger->enabled = 0;
    return joined == 0 ? aErrNone : aErrUnknown;
}

aErr aLogger_Destroy(aLoggerRef* logger) {
    if (!logger || !aVALIDLOGGER(*logger)) return aErrNone;
    aLoggerRef doomed = *logger;
    // From within the procedure the thread cannot be stopped, and freeing the
    // logger under it would leave it running on freed memory.
    if (doomed->enabled && pthread_equal(doomed->thread, pthread_self())) return aErrBusy;
    aErr result = aErrNone;
    if (doomed->enabled) result = aLogger_Disable(doomed);
    if (doomed->file) aFile_Close(&doomed->file);
    if (result == aErrNone) {
        doomed->check = 0;
        delete doomed;
        *logger = nullptr;
    }
    return result;
}
