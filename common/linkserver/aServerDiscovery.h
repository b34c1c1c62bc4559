// The link server's side of link-server discovery: the answer it gives, the local
// multicast answering actor and the beacon that answers searchers on the network.
#pragma once

#include <atomic>
#include <cstdint>

#include <czmq.h>

#include "discover.h"

// What the server announces; written by the server, read by the answering side.
struct aServerAnnouncement {
    uint32_t serialNumber;
    std::atomic<uint8_t> model;        /* 0: no answers */
    std::atomic<uint32_t> hostAddress; /* network order */
    std::atomic<uint16_t> clientPort;
};
void aServerDiscovery_CreateNetworkSpec(const aServerAnnouncement* a,
                                        linkSpec* answer);  // the 128-byte answer (_createNetworkSpec)
zactor_t* aServerDiscovery_StartMulticastResponder(
    aServerAnnouncement* a);  // local mode answering actor (_serverWorker_multicastDiscovery); zactor_destroy stops it
zactor_t* aServerDiscovery_CreateBeacon(
    const char* interfaceText,
    uint32_t*
        hostAddress);  // beacon mode (_createBeacon/_configureBeacon): lock, zbeacon, unlock after CONFIGURE answered,
                       // CONFIGURE 8585, SUBSCRIBE "Corvalith2-Discovery", 100 ms rcvtimeo; NULL on failure
struct aServerBeaconState {
    uint64_t start;
    uint8_t publishing;
};
void aServerDiscovery_AnswerBeacon(zactor_t* beacon, const aServerAnnouncement* a,
                                   aServerBeaconState* s);  // the broker calls it when the beacon is readable
                                                            // (_serverWorker_broker_beacon; discards when model is 0)
void aServerDiscovery_SilenceIfDue(zactor_t* beacon, aServerBeaconState* s);  // the broker calls it after each wait
void aServerDiscovery_Silence(zactor_t* beacon, aServerBeaconState* s);       // stops a publishing beacon now
