// Joinable threads over POSIX threads.
#include "aThread.h"

#include <cerrno>
#include <cstdlib>
#include <ctime>
#include <pthread.h>

struct aThread {
    pthread_t id;
    aThreadProc proc;
    void* ref;
};

namespace {

void* sRun(void* record) {
    aThreadRef thread = static_cast<aThreadRef>(record);
    return reinterpret_cast<void*>(thread->proc(thread->ref));
}

}  // namespace

aThreadRef aThread_Create(aThreadProc proc, void* ref) {
    if (!proc) return nullptr;
    aThreadRef thread = static_cast<aThreadRef>(calloc(1, sizeof(aThread)));
    if (!thread) return nullptr;
    thread->proc = proc;
    thread->ref = ref;
    if (pthread_create(&thread->id, nullptr, sRun, thread) != 0) {
        free(thread);
        return nullptr;
    }
    return thread;
}

int aThread_Destroy(aThreadRef* thread) {
    if (!thread || !*thread) return EINVAL;
    const int rc = pthread_join((*thread)->id, nullptr);
    // A thread that could not be joined (it destroys itself) releases its resources when it ends.
    if (rc != 0) pthread_detach((*thread)->id);
    free(*thread);
    *thread = nullptr;
    return rc;
}

void aThread_Yield() {
    const struct timespec pause = {0, 5000};
    nanosleep(&pause, nullptr);
}
