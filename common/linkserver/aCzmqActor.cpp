// Signals and CZMQ actor loops.
#include "aCzmqActor.h"

#include <cerrno>
#include <csignal>
#include <pthread.h>

namespace {

// Synchronous faults stay deliverable: blocking them does not stop them, and the
// sanitizers rely on their handlers.
const int KEPT[] = {SIGINT, SIGTERM, SIGSEGV, SIGBUS, SIGFPE, SIGILL, SIGTRAP, SIGABRT, SIGSYS};

}  // namespace

zactor_t* aCzmqActor_New(zactor_fn* actor, void* args) {
    sigset_t blocked;
    sigfillset(&blocked);
    for (const int kept : KEPT) sigdelset(&blocked, kept);
    sigset_t previous;
    const bool masked = pthread_sigmask(SIG_BLOCK, &blocked, &previous) == 0;
    // The new thread inherits the mask of the thread that makes it.
    zactor_t* made = zactor_new(actor, args);
    if (masked) pthread_sigmask(SIG_SETMASK, &previous, nullptr);
    return made;
}

bool aCzmqActor_PollEnds(zpoller_t* poller) {
    if (!poller || zsys_interrupted) return true;
    if (!zpoller_terminated(poller)) return false;
    return errno != EINTR;
}

bool aCzmqActor_ReceiveEnds() {
    return zsys_interrupted || errno != EINTR;
}
