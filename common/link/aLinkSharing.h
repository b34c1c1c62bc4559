// Sharing a link through a link server, as the link layer and the object API reach it.
// The link-server library lends the two procedures when a program links it
// (aLinkServerRegistrar.cpp); a program without it, such as one that turns sharing off
// on every module, has its own links only and needs no ZeroMQ.
#pragma once

#include <cstdint>

#include "aLink.h"

typedef aErr (*aLinkClientStreamProc)(uint32_t ipAddress, uint16_t port, aStreamRef* stream);
typedef aLinkRef (*aLinkServerCreateProc)(uint32_t serialNumber, uint16_t* port, uint32_t* networkInterface,
                                          uint8_t localOnly);

struct aLinkSharingProcs {
    aLinkClientStreamProc createClientStream;
    aLinkServerCreateProc createServer;
};

// Called during static initialisation, before any link exists; procs stays valid.
void aLinkSharing_Install(const aLinkSharingProcs* procs);
// aErrNone when the link-server library has lent its procedures. Without them (a
// program linked without that library, or by hand without its registrar) it says so in
// the trace and, the first time, on standard error, naming the library and `use`, and
// answers aErrUnimplemented.
aErr aLinkSharing_Check(const char* use);
// aStream_CreateClient of the link-server library; aErrUnimplemented without it.
aErr aLinkSharing_CreateClientStream(uint32_t ipAddress, uint16_t port, aStreamRef* stream);
// aLink_CreateServer of the link-server library; 0 without it.
aLinkRef aLinkSharing_CreateServer(uint32_t serialNumber, uint16_t* port, uint32_t* networkInterface,
                                   uint8_t localOnly);
