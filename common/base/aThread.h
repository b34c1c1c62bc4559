// Joinable threads (Linux implementation in unix_thread.cpp).
#pragma once

#include <cstdint>

typedef struct aThread* aThreadRef;
typedef intptr_t (*aThreadProc)(void* ref);

// NULL when the thread cannot be started.
aThreadRef aThread_Create(aThreadProc proc, void* ref);
// Joins the thread, frees the record and clears the handle; 0 or the join's error.
int aThread_Destroy(aThreadRef* thread);
void aThread_Yield();
