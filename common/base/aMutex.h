// Named, non-recursive mutexes (Linux implementation in unix_mutex.cpp).
#pragma once

#include "aError.h"
#include "aThreadSafety.h"

#define aMUTEX_MAX_NAME 255

typedef struct aCAPABILITY("mutex") aMutex* aMutexRef;

// NULL when the name has 256 or more characters or the mutex cannot be made.
aMutexRef aMutex_Create(const char* name);
const char* aMutex_Identifier(aMutexRef mutex);
aErr aMutex_Destroy(aMutexRef* mutex);
aErr aMutex_Lock(aMutexRef mutex) aACQUIRE(mutex);
aErr aMutex_TryLock(aMutexRef mutex) aTRY_ACQUIRE(aErrNone, mutex);
aErr aMutex_Unlock(aMutexRef mutex) aRELEASE(mutex);
