// Wire constants of link-server discovery, and the beacon set-up shared by the
// searching and the answering side.
#pragma once

#include <cstddef>
#include <cstdint>

#include <czmq.h>

// Local multicast probe: a server owns offset j by holding the receive port
// aDISCOVERY_PROBE_PORT + j; answers go to aDISCOVERY_ANSWER_PORT + j.
#define aDISCOVERY_GROUP_HOST_ORDER 0xE0000007u  // 224.0.0.7
#define aDISCOVERY_PROBE_PORT 9850
#define aDISCOVERY_ANSWER_PORT 9950
#define aDISCOVERY_OFFSETS 50
#define aDISCOVERY_MAGIC 0xABCDDCBAu
#define aDISCOVERY_PROBE_SIZE 4

#define aDISCOVERY_BEACON_PORT 8585
#define aDISCOVERY_BEACON_TEXT "Corvalith2-Discovery"
#define aDISCOVERY_BEACON_TEXT_SIZE 20
#define aDISCOVERY_BEACON_INTERVAL_MS 100

// Creates a zbeacon on the interface currently set (the caller holds the beacon-interface
// lock) and configures its port. NULL, with nothing left running, when the beacon
// reports no host address (no usable interface); else *hostAddress (network order) is
// the beacon's own address.
zactor_t* aDiscoveryBeacon_Create(uint32_t* hostAddress);

// The host's IPv4 interface addresses (network order) as the beacon sees them, loopback
// excluded; the number written, at most capacity.
uint32_t aDiscovery_GetIPv4Interfaces(uint32_t* addresses, uint32_t capacity);
