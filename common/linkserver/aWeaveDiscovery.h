// The searching side of link-server discovery (aWeaveDiscovery.cpp).
#pragma once

#include <cstdint>

#include "discover.h"

// Link servers: the local multicast probe when networkInterface is 0 or 127.0.0.1 (or
// the host has no other interface), else the beacon search on that interface.
uint8_t aDiscovery_Enumerate_aWeaveModules(aDiscoveryCallback callback, void* ref, uint32_t networkInterface);
