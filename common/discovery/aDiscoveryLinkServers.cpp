#include "aDiscoveryLinkServers.h"

#include <atomic>

namespace {

std::atomic<aDiscoveryServerSearch> sSearch{nullptr};

}  // namespace

void aDiscovery_InstallServerSearch(aDiscoveryServerSearch search) {
    sSearch = search;
}

uint8_t aDiscovery_EnumerateLinkServers(aDiscoveryCallback callback, void* ref, uint32_t networkInterface) {
    const aDiscoveryServerSearch search = sSearch;
    return search ? search(callback, ref, networkInterface) : 0;
}
