// Named, non-recursive mutexes (Linux implementation in unix_mutex.cpp).
#pragma once

#include "aError.h"

#define aMUTEX_MAX_NAME 255

typedef struct aMutex* aMutexRef;

// NULL when the name has 256 or more characters or the mutex cannot be made.
aMutexRef aMutex_Create(const char* name);
const char* aMutex_Identifier(aMutexRef mutex);
aErr aMutex_Destroy(aMutexRef* mutex);
aErr aMutex_Lock(aMutexRef mutex);
aErr aMutex_TryLock(aMutexRef mutex);
aErr aMutex_Unlock(aMutexRef mutex);
