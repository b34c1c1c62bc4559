// The link server object and the pieces of its actors that live in separate files.
#pragma once

#include <atomic>
#include <cstdint>
#include <czmq.h>
#include <vector>

#include "aServerDiscovery.h"
#include "aServer_ZeroMQ.h"
#include "aThreadSafety.h"

#define aSERVER_BATCH_SIZE 4096u
// A batch is sent once it holds more than this; one more packet (30 bytes at most)
// would not fit.
#define aSERVER_BATCH_FLUSH 4065u

// Commands on the broker's pipe besides CZMQ's own termination message.
#define aSERVER_PIPE_FLUSH "FLUSH"

// Roles the thread-safety analysis checks (clang's -Wthread-safety): the broker actor,
// the sync actor, and the stream filter, which the served link calls on its reader
// thread, one call at a time under its user-filter mutex. Each actor takes its role for
// its whole loop, the filter for each call; the server's owner takes all three while it
// makes the sockets before anything runs and frees them after everything has stopped.
struct aCAPABILITY("role") aServerRole{};
extern aServerRole aServerBroker;
extern aServerRole aServerSyncActor;
extern aServerRole aServerStreamFilter;

// Being in a role for a scope: no lock, only what the analysis is told.
class aSCOPED_CAPABILITY aServerInRole {
public:
    explicit aServerInRole(aServerRole& role) aACQUIRE(role) aNO_THREAD_SAFETY_ANALYSIS {}
    ~aServerInRole() aRELEASE() aNO_THREAD_SAFETY_ANALYSIS {}
    aServerInRole(const aServerInRole&) = delete;
    aServerInRole& operator=(const aServerInRole&) = delete;
};

// Which client connections are open (aServerConnections.cpp): the client socket's
// monitor names each accepted and each lost connection by its descriptor, and every
// message a client sends carries the descriptor it came on. Made before the client
// socket binds; used by the broker alone.
struct aServerConnections;
aServerConnections* aServerConnections_Create(zsock_t* clientSocket);
void aServerConnections_Destroy(aServerConnections** connections);
// Readable when events wait.
zsock_t* aServerConnections_Events(aServerConnections* connections);
// Takes every event waiting; the descriptors of the connections lost are appended.
void aServerConnections_Take(aServerConnections* connections, std::vector<int>* lost);
bool aServerConnections_IsOpen(const aServerConnections* connections, int descriptor);
// The descriptor of the connection a received frame came on, -1 when it does not tell.
int aServerConnections_Descriptor(zframe_t* frame);

struct aServer {
    // Set before the actors start and only read after them.
    aLinkRef usbLink = 0;
    // Serial number, model (0 until known: no discovery answers), the address answers
    // carry and the client port; fixed or atomic, read by the answering side.
    aServerAnnouncement announcement{};
    std::atomic<uint8_t> moduleAddress{0};
    uint8_t localOnly = 0;
    uint32_t networkInterface = 0;
    uint8_t beaconMode = 0;

    // The owner's (start and destroy); the broker only reads discoveryActor, which is
    // made before it starts and destroyed after it has stopped.
    zactor_t* brokerActor = nullptr;
    zactor_t* syncActor = nullptr;
    // The multicast responder (local mode) or the beacon (network mode).
    zactor_t* discoveryActor = nullptr;
    bool filterInstalled = false;

    aServerBeaconState beaconState aGUARDED_BY(aServerBroker) = {};
    // The broker replaces it when the module is lost.
    zsock_t* clientSocket aGUARDED_BY(aServerBroker) = nullptr;
    zsock_t* syncBrokerSocket aGUARDED_BY(aServerBroker) = nullptr;
    zsock_t* streamBrokerSocket aGUARDED_BY(aServerBroker) = nullptr;
    zsock_t* syncActorSocket aGUARDED_BY(aServerSyncActor) = nullptr;
    zsock_t* streamFilterSocket aGUARDED_BY(aServerStreamFilter) = nullptr;
    aServerConnections* connections aGUARDED_BY(aServerBroker) = nullptr;

    // The batch of stream samples the filter gathers.
    uint8_t streamBatch[aSERVER_BATCH_SIZE] aGUARDED_BY(aServerStreamFilter) = {};
    uint16_t streamBatchLength aGUARDED_BY(aServerStreamFilter) = 0;

    // Tells the sync actor to give up a wait at once.
    std::atomic<bool> stopping{false};

    // The served module was lost, and when its link was last looked at.
    bool moduleLost aGUARDED_BY(aServerBroker) = false;
    uint64_t moduleCheckMs aGUARDED_BY(aServerBroker) = 0;
};

// Request and reply path (aServerRequests.cpp). The broker's state for it lives in
// aServerRequestState, owned by the broker actor; every call on it is the broker's.
struct aServerRequestState;
aServerRequestState* aServerRequests_Create() aREQUIRES(aServerBroker);
void aServerRequests_Destroy(aServerRequestState** state) aREQUIRES(aServerBroker);
// clientSocket readable: every client message waiting, each queued for its client.
void aServerRequests_FromClient(aServer* server, aServerRequestState* state) aREQUIRES(aServerBroker);
// syncBrokerSocket readable: the sync actor's answer to the request in flight.
void aServerRequests_FromSync(aServer* server, aServerRequestState* state) aREQUIRES(aServerBroker);
// Hands the next request, taking the clients in turn, to the sync actor when none is
// in flight.
void aServerRequests_Dispatch(aServer* server, aServerRequestState* state) aREQUIRES(aServerBroker);
// How long the broker may wait for events before a held-back request is due.
int aServerRequests_WaitMs(aServerRequestState* state, int longest) aREQUIRES(aServerBroker);
// Replies owed so far go to nobody.
void aServerRequests_Flush(aServerRequestState* state) aREQUIRES(aServerBroker);
// The connections' events are readable: the clients of every lost connection go.
void aServerRequests_Connections(aServer* server, aServerRequestState* state) aREQUIRES(aServerBroker);
// Every client goes (the server has closed all their connections).
void aServerRequests_DropAll(aServerRequestState* state) aREQUIRES(aServerBroker);
// streamBrokerSocket readable: one batch for every subscriber.
void aServerRequests_Batch(aServer* server, aServerRequestState* state) aREQUIRES(aServerBroker);

// Called by the broker after each wait. Once the served link has failed for good (its
// module went away), the server withdraws: discovery stops answering for it, and every
// client connection is closed, so each client link reports the loss as a direct link
// would. The socket that replaces clientSocket is bound nowhere. True when it withdrew
// just now.
bool aServer_WithdrawIfModuleLost(aServer* server, zpoller_t* poller) aREQUIRES(aServerBroker);
// The sync actor (aServerSync.cpp): runs the requests against the USB link, one at a
// time, in the sync actor's role.
void aServerRequests_SyncActor(zsock_t* pipe, void* server);

// First frame of every answer of the sync actor.
enum aServerSyncAnswer : uint8_t {
    aSERVER_ANSWER_DROPPED = 0,  // not queued on the link
    aSERVER_ANSWER_REPLIES = 1,  // the following frames are the module's replies
    aSERVER_ANSWER_NONE = 2,     // the request expects no reply
    aSERVER_ANSWER_GAVE_UP = 3,  // queued, but no reply came in time
    aSERVER_ANSWER_CUT = 4,      // replies follow, but the last of them never came
};

// A reply late for a request that gave up still comes; until this long after the give-
// up (the module's slowest answer, a store-slot open of 3000 ms, is well inside it) no
// other request that such a reply could be taken for is run.
#define aSERVER_LATE_REPLY_MS 2000u

// What a request and the reply that answers it have in common: the module's address
// and the command byte, and for a value exchange its option number and index. The
// address query (an empty packet to 0xAD) is answered by an empty packet.
uint32_t aServer_RequestKey(const aPacket* request);
bool aServer_ReplyMatches(const aPacket* reply, uint32_t requestKey);
bool aServer_DoesPacketContinue(const aPacket* packet);
// Route control and the leading chunks of a multi-chunk write get no reply.
bool aServer_ExpectsReply(const aPacket* packet);

// A frame that holds exactly one packet in wire form: 2 to 30 bytes, the size byte at
// most 28 and equal to the frame size minus 2. NULL otherwise.
aPacket* aServer_FrameToPacket(zframe_t* frame);
zframe_t* aServer_PacketToFrame(const aPacket* packet);
