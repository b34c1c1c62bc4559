// The link server: shares one USB link with link clients over a ZeroMQ ROUTER socket.
// Each client's requests are executed one at a time against the module and the replies
// routed back to that client; streamed samples go, in batches, to every client that
// enabled streaming.
#pragma once

#include <cstdint>

#include "aError.h"
#include "aLink.h"

struct aServer;
typedef aServer* aServerRef;

// A server for the registered USB link `usbLink`, not yet running. An interface of 0
// means 127.0.0.1. NULL when the registry holds no such link or memory runs out.
aServerRef aServer_Create(aLinkRef usbLink, uint32_t networkInterface, uint8_t localOnly);
// Sockets, actors and the link's stream filter; aErrResource when any part fails.
aErr aServer_Start(aServerRef server);
// Stops everything that runs, frees the server and clears the handle.
aErr aServer_Destroy(aServerRef* server);
aErr aServer_GetPort(aServerRef server, uint16_t* port);
// The address the client socket is bound to (network order) once started.
aErr aServer_GetInterface(aServerRef server, uint32_t* networkInterface);
aErr aServer_SetModuleAddress(aServerRef server, uint8_t address);
// A non-zero model lets the server answer link-server discovery.
aErr aServer_SetModel(aServerRef server, uint8_t model);
// Replies still owed for requests made so far are delivered to nobody.
aErr aServer_FlushFIFO(aServerRef server);
