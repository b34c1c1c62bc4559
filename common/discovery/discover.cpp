#include "discover.h"

#include <cstdlib>
#include <cstring>

#include "aDiscoveryLinkServers.h"

linkSpec* aLinkSpec_Create(linkType type) {
    auto* spec = static_cast<linkSpec*>(calloc(1, sizeof(linkSpec)));
    if (spec) spec->type = type;
    return spec;
}

linkSpec* aLinkSpec_Copy(const linkSpec* spec) {
    if (!spec) return nullptr;
    auto* copy = static_cast<linkSpec*>(malloc(sizeof(linkSpec)));
    if (copy) memcpy(copy, spec, sizeof(linkSpec));
    return copy;
}

aErr aLinkSpec_Destroy(linkSpec** spec) {
    if (!spec || !*spec) return aErrParam;
    free(*spec);
    *spec = nullptr;
    return aErrNone;
}

uint8_t aDiscovery_EnumerateModules(linkType type, aDiscoveryCallback callback, void* ref, uint32_t networkInterface) {
    if (!callback) return 0;
    switch (type) {
    case USB:
        return aDiscovery_EnumerateUSB(callback, ref);
    case TCPIP:
        return aDiscovery_EnumerateTCPIP(callback, ref);
    case AWEAVE:
        return aDiscovery_EnumerateLinkServers(callback, ref, networkInterface);
    default:
        return 0;
    }
}

namespace {

bool cbSNCallback(const linkSpec* spec, bool* found, void* ref) {
    auto* wanted = static_cast<linkSpec*>(ref);
    if (spec->serialNumber != wanted->serialNumber) return true;
    memcpy(wanted, spec, sizeof(linkSpec));
    *found = true;
    return false;
}

bool cbFirstCallback(const linkSpec* spec, bool* found, void* ref) {
    if (spec->serialNumber == 0) return true;
    memcpy(ref, spec, sizeof(linkSpec));
    *found = true;
    return false;
}

linkSpec* sFind(linkType type, uint32_t serialNumber, aDiscoveryCallback callback, uint32_t networkInterface) {
    linkSpec* spec = aLinkSpec_Create(type);
    if (!spec) return nullptr;
    spec->serialNumber = serialNumber;
    if (aDiscovery_EnumerateModules(type, callback, spec, networkInterface) == 0) aLinkSpec_Destroy(&spec);
    return spec;
}

}  // namespace

linkSpec* aDiscovery_FindModule(linkType type, uint32_t serialNumber, uint32_t networkInterface) {
    return sFind(type, serialNumber, cbSNCallback, networkInterface);
}

linkSpec* aDiscovery_FindFirstModule(linkType type, uint32_t networkInterface) {
    return sFind(type, 0, cbFirstCallback, networkInterface);
}
