// Named mutexes over POSIX mutexes with default (non-recursive) attributes.
#include "aMutex.h"

#include <atomic>
#include <cerrno>
#include <cstring>
#include <new>
#include <pthread.h>

struct aMutex {
    pthread_mutex_t mutex;
    // Whether some thread holds the mutex: destroying a held POSIX mutex is undefined,
    // so the wrapper refuses it on its own record rather than on the C library's answer.
    std::atomic<bool> held{false};
    char name[aMUTEX_MAX_NAME + 1] = {};
};

namespace {

// Each operation maps the POSIX error numbers it can meet; everything else is aErrUnknown.
aErr sResult(int rc, int expected, aErr mapped) {
    if (rc == 0) return aErrNone;
    if (rc == EINVAL) return aErrParam;
    return rc == expected ? mapped : aErrUnknown;
}

}  // namespace

aMutexRef aMutex_Create(const char* name) {
    if (!name) name = "";
    const size_t length = strnlen(name, aMUTEX_MAX_NAME + 1);
    if (length > aMUTEX_MAX_NAME) return nullptr;

    aMutexRef mutex = new (std::nothrow) aMutex;
    if (!mutex) return nullptr;
    if (pthread_mutex_init(&mutex->mutex, nullptr) != 0) {
        delete mutex;
        return nullptr;
    }
    memcpy(mutex->name, name, length);
    return mutex;
}

const char* aMutex_Identifier(aMutexRef mutex) {
    return mutex ? mutex->name : "";
}

aErr aMutex_Destroy(aMutexRef* mutex) {
    if (!mutex || !*mutex) return aErrParam;
    // A mutex still held stays alive: freeing it would pull it from under its holder.
    if ((*mutex)->held) return aErrBusy;
    const int rc = pthread_mutex_destroy(&(*mutex)->mutex);
    if (rc == EBUSY) return aErrBusy;
    delete *mutex;
    *mutex = nullptr;
    return sResult(rc, EAGAIN, aErrResource);
}

// The mutex itself: the analysis checks its callers, not these.
aNO_THREAD_SAFETY_ANALYSIS aErr aMutex_Lock(aMutexRef mutex) {
    if (!mutex) return aErrParam;
    const aErr result = sResult(pthread_mutex_lock(&mutex->mutex), EDEADLK, aErrDuplicate);
    if (result == aErrNone) mutex->held = true;
    return result;
}

aNO_THREAD_SAFETY_ANALYSIS aErr aMutex_TryLock(aMutexRef mutex) {
    if (!mutex) return aErrParam;
    const aErr result = sResult(pthread_mutex_trylock(&mutex->mutex), EBUSY, aErrBusy);
    if (result == aErrNone) mutex->held = true;
    return result;
}

aNO_THREAD_SAFETY_ANALYSIS aErr aMutex_Unlock(aMutexRef mutex) {
    if (!mutex) return aErrParam;
    // Cleared while still held, so no other thread's lock can be undone by it.
    const bool wasHeld = mutex->held.exchange(false);
    const int rc = pthread_mutex_unlock(&mutex->mutex);
    if (rc != 0 && wasHeld) mutex->held = true;
    return sResult(rc, EPERM, aErrPermission);
}
