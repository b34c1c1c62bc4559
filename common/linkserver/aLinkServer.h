// A USB link shared through a link server of this process (aLinkServer.cpp).
#pragma once

#include <cstdint>

#include "aLink.h"

// Opens the module's USB link, shares it through a new link server and returns this
// process's own client link to that server; *port and *networkInterface receive the
// server's port and bound address. The client link holds the USB link: destroying its
// last use stops the server and gives the USB link back. 0 on failure.
aLinkRef aLink_CreateServer(uint32_t serialNumber, uint16_t* port, uint32_t* networkInterface, uint8_t localOnly);
