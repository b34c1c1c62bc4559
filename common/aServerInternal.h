// The link server object and the pieces of its actors that live in separate files.
#pragma once

#include <atomic>
#include <cstdint>
#include <czmq.h>

#include "aServerDiscovery.h"
#include "aServer_ZeroMQ.h"

#define aSERVER_BATCH_SIZE 4096u
// A batch is sent once it holds more than this; one more packet (30 bytes at most)
// would not fit.
#define aSERVER_BATCH_FLUSH 4065u

// Commands on the broker's pipe besides CZMQ's own termination message.
#define aSERVER_PIPE_FLUSH "FLUSH"

struct aServer {
    aLinkRef usbLink = 0;
    // Serial number, model (0 until known: no discovery answers), the address answers
    // carry and the client port.
    aServerAnnouncement announcement{};
    std::atomic<uint8_t> moduleAddress{0};
    uint8_t localOnly = 0;
    uint32_t networkInterface = 0;

    zactor_t* brokerActor = nullptr;
    zactor_t* syncActor = nullptr;
    // The multicast responder (local mode) or the beacon (network mode).
    zactor_t* discoveryActor = nullptr;
    uint8_t beaconMode = 0;
    // Broker only.
    aServerBeaconState beaconState{};

    zsock_t* clientSocket = nullptr;
    uint16_t syncPort = 0;
    zsock_t* syncActorSocket = nullptr;
    zsock_t* syncBrokerSocket = nullptr;
    uint16_t streamPort = 0;
    zsock_t* streamFilterSocket = nullptr;
    zsock_t* streamBrokerSocket = nullptr;

    // Reader thread of the USB link only, under the link's user-filter mutex.
    uint8_t streamBatch[aSERVER_BATCH_SIZE] = {};
    uint16_t streamBatchLength = 0;
    bool filterInstalled = false;

    // Tells the sync actor to give up a wait at once.
    std::atomic<bool> stopping{false};

    // Broker only: the served module was lost, and when its link was last looked at.
    bool moduleLost = false;
    uint64_t moduleCheckMs = 0;
};

// Request and reply path (aServerRequests.cpp). The broker's state for it lives in
// aServerRequestState, owned by the broker actor.
struct aServerRequestState;
aServerRequestState* aServerRequests_Create();
void aServerRequests_Destroy(aServerRequestState** state);
// clientSocket readable: one client message.
void aServerRequests_FromClient(aServer* server, aServerRequestState* state);
// syncBrokerSocket readable: the sync actor's answer to one request.
void aServerRequests_FromSync(aServer* server, aServerRequestState* state);
// Replies owed so far go to nobody.
void aServerRequests_Flush(aServerRequestState* state);
// streamBrokerSocket readable: one batch for every subscriber.
void aServerRequests_Batch(aServer* server, aServerRequestState* state);
// Called by the broker after each wait. Once the served link has failed for good (its
// module went away), the server withdraws: discovery stops answering for it, and every
// client connection is closed, so each client link reports the loss as a direct link
// would. The socket that replaces clientSocket is bound nowhere.
void aServer_WithdrawIfModuleLost(aServer* server, zpoller_t* poller);
// Runs the requests against the USB link, one at a time.
void aServerRequests_SyncActor(zsock_t* pipe, void* server);

// A frame that holds exactly one packet in wire form: 2 to 30 bytes, the size byte at
// most 28 and equal to the frame size minus 2. NULL otherwise.
aPacket* aServer_FrameToPacket(zframe_t* frame);
zframe_t* aServer_PacketToFrame(const aPacket* packet);
