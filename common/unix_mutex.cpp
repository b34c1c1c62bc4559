// Named mutexes over POSIX mutexes with default (non-recursive) attributes.
#include "aMutex.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <pthread.h>

struct aMutex {
    pthread_mutex_t mutex;
    char name[aMUTEX_MAX_NAME + 1];
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

    aMutexRef mutex = static_cast<aMutexRef>(calloc(1, sizeof(aMutex)));
    if (!mutex) return nullptr;
    if (pthread_mutex_init(&mutex->mutex, nullptr) != 0) {
        free(mutex);
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
    const int rc = pthread_mutex_destroy(&(*mutex)->mutex);
    // A mutex still held stays alive: freeing it would pull it from under its holder.
    if (rc == EBUSY) return aErrBusy;
    free(*mutex);
    *mutex = nullptr;
    return sResult(rc, EAGAIN, aErrResource);
}

aErr aMutex_Lock(aMutexRef mutex) {
    if (!mutex) return aErrParam;
    return sResult(pthread_mutex_lock(&mutex->mutex), EDEADLK, aErrDuplicate);
}

aErr aMutex_TryLock(aMutexRef mutex) {
    if (!mutex) return aErrParam;
    return sResult(pthread_mutex_trylock(&mutex->mutex), EBUSY, aErrBusy);
}

aErr aMutex_Unlock(aMutexRef mutex) {
    if (!mutex) return aErrParam;
    return sResult(pthread_mutex_unlock(&mutex->mutex), EPERM, aErrPermission);
}
