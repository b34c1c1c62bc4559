#include "aLinkSharing.h"

#include <atomic>

namespace {

std::atomic<const aLinkSharingProcs*> sProcs{nullptr};

}  // namespace

void aLinkSharing_Install(const aLinkSharingProcs* procs) {
    sProcs = procs;
}

aErr aLinkSharing_CreateClientStream(uint32_t ipAddress, uint16_t port, aStreamRef* stream) {
    const aLinkSharingProcs* procs = sProcs;
    if (!procs) {
        if (stream) *stream = nullptr;
        return aErrUnimplemented;
    }
    return procs->createClientStream(ipAddress, port, stream);
}

aLinkRef aLinkSharing_CreateServer(uint32_t serialNumber, uint16_t* port, uint32_t* networkInterface,
                                   uint8_t localOnly) {
    const aLinkSharingProcs* procs = sProcs;
    return procs ? procs->createServer(serialNumber, port, networkInterface, localOnly) : 0;
}
