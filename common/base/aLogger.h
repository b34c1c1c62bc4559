// A logger: a thread that calls the caller's procedure over and over with a file
// opened for appending, until it is disabled. The procedure paces itself.
#pragma once

#include <atomic>
#include <cstdint>
#include <pthread.h>

#include "aError.h"
#include "aFile.h"

#define aLOGGER_CHECK 0xDEEDu

// Called with the logger's file (an aFileRef) and the caller's reference value.
typedef void (*aLoggerProc)(void* file, uint32_t param);

typedef struct aLogger {
    uint32_t param;
    aLoggerProc proc;
    aFileRef file;
    // The logger thread while it runs, else the thread that last created, enabled
    // or disabled the logger.
    pthread_t thread;
    std::atomic<uint8_t> enabled;
    uint16_t check;
} aLogger;
typedef aLogger* aLoggerRef;

#define aVALIDLOGGER(l) ((l) != nullptr && (l)->check == aLOGGER_CHECK)

// NULL when the allocation fails or the file cannot be opened (append mode, so
// nothing is created anew or truncated besides a missing file).
aLoggerRef aLogger_Create(uint32_t param, aLoggerProc proc, const char* path);
// Starts the thread; an enabled logger keeps its one thread.
aErr aLogger_Enable(aLoggerRef logger);
// Stops the thread after the procedure's current call and joins it. Called from
// within the procedure it changes nothing.
aErr aLogger_Disable(aLoggerRef logger);
// Stops the thread, closes the file, frees the logger and clears the handle; after
// a failed stop the logger stays allocated with its file closed. From within the
// procedure it refuses with aErrBusy and changes nothing.
aErr aLogger_Destroy(aLoggerRef* logger);
