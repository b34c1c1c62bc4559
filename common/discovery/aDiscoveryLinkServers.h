// Link-server discovery as module discovery reaches it (the AWEAVE transport): the
// link-server library installs its search when a program links it
// (aLinkServerRegistrar.cpp); without it no link server is found.
#pragma once

#include <cstdint>

#include "discover.h"

typedef uint8_t (*aDiscoveryServerSearch)(aDiscoveryCallback callback, void* ref, uint32_t networkInterface);

// Called during static initialisation, before any discovery runs.
void aDiscovery_InstallServerSearch(aDiscoveryServerSearch search);
// The installed search's count, or 0.
uint8_t aDiscovery_EnumerateLinkServers(aDiscoveryCallback callback, void* ref, uint32_t networkInterface);
