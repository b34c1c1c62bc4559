#include "aLinkSharing.h"

#include <atomic>
#include <cstdio>

#include "aTrace.h"

namespace {

const uint32_t TRACE_SHARING = 0x1;

std::atomic<const aLinkSharingProcs*> sProcs{nullptr};
std::atomic<bool> sMissingTold{false};

// Without this, every shared link fails the way a network fault does; the program's
// build is what lacks, so it is said once even with the trace off.
void sTellMissing(const char* use) {
    char message[320];
    snprintf(message, sizeof message,
             "%s needs the link-server library corvalith_linkserver, which this program was linked without "
             "(or without its registrar, aLinkServer_Registrar): link sharing is not available\n",
             use);
    aTrace(TRACE_SHARING, "%s", message);
    if (!sMissingTold.exchange(true)) fputs(message, stderr);
}

}  // namespace

void aLinkSharing_Install(const aLinkSharingProcs* procs) {
    sProcs = procs;
}

aErr aLinkSharing_Check(const char* use) {
    if (sProcs) return aErrNone;
    sTellMissing(use);
    return aErrUnimplemented;
}

aErr aLinkSharing_CreateClientStream(uint32_t ipAddress, uint16_t port, aStreamRef* stream) {
    const aLinkSharingProcs* procs = sProcs;
    if (!procs) {
        if (stream) *stream = nullptr;
        return aLinkSharing_Check("A client link to a link server");
    }
    return procs->createClientStream(ipAddress, port, stream);
}

aLinkRef aLinkSharing_CreateServer(uint32_t serialNumber, uint16_t* port, uint32_t* networkInterface,
                                   uint8_t localOnly) {
    const aLinkSharingProcs* procs = sProcs;
    if (!procs) {
        aLinkSharing_Check("Sharing a USB link through a link server");
        return 0;
    }
    return procs->createServer(serialNumber, port, networkInterface, localOnly);
}
