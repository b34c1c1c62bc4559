// Unique in-process endpoints for the socket pairs of the library.
#include "aCzmqPair.h"

#include <atomic>
#include <cstdio>

namespace {

std::atomic<unsigned long long> nextPair{1};

}  // namespace

bool aCzmqPair_Endpoint(char* text, size_t size, const char* role) {
    const int written = snprintf(text, size, "inproc://corvalith-%s-%llu", role, nextPair++);
    return written > 0 && static_cast<size_t>(written) < size;
}

bool aCzmqPair_Join(zsock_t* bound, zsock_t* connected, const char* role) {
    if (!bound || !connected) return false;
    char endpoint[96];
    if (!aCzmqPair_Endpoint(endpoint, sizeof endpoint, role)) return false;
    return zsock_bind(bound, "%s", endpoint) == 0 && zsock_connect(connected, "%s", endpoint) == 0;
}
