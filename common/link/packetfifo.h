// Process-wide packet queues, addressed by 64-bit IDs (0 = none). Callable from any thread.
// Queues keep copies of what is put and hand out copies that the caller destroys with
// aPacket_Destroy. A queue holds at most 1000 packets: the 1001st put empties it.
// Filter procedures run on the calling thread under the queue's lock: they must not call
// these functions on the same queue nor keep the packet pointer.
#pragma once

#include <cstdint>

#include "aError.h"
#include "aPacket.h"

#define aPACKETFIFO_MAX_PACKETS 1000

// ID of a new empty queue; 0 on failure.
uint64_t aPacketFifo_Create();
// Removes the queue, destroys its packets, wakes its waiters and sets *id to 0.
// aErrParam for a null address, aErrNotFound for an unknown ID (left unchanged).
aErr aPacketFifo_Destroy(uint64_t* id);
// Number of queued packets; 0 for an unknown ID.
uint64_t aPacketFifo_GetLength(uint64_t id);
// Queues a copy of the packet. aErrParam for an unknown ID, an invalid packet or a failed
// copy; aErrResource when storing the copy fails.
aErr aPacketFifo_Put(uint64_t id, const aPacket* packet);

// The oldest packet, removed from the queue; NULL when empty or unknown.
aPacket* aPacketFifo_Get(uint64_t id);
// The oldest packet, waiting up to timeoutMS for one; NULL on time-out, destroy or unknown ID.
aPacket* aPacketFifo_Await(uint64_t id, uint64_t timeoutMS);
// Whether the queue holds a packet, waiting up to timeoutMS for one and taking none; false
// on time-out, a wake (aPacketFifo_WakeWaiters), destroy or unknown ID. Unlike the waits
// that take a packet it sleeps at once, without watching the queue first.
bool aPacketFifo_AwaitQueued(uint64_t id, uint64_t timeoutMS);
// The oldest packet that proc accepts, removed from the queue; NULL when none does.
aPacket* aPacketFifo_GetFirst(uint64_t id, aPacketFilterProc proc, const void* ref);
// The first packet that proc accepts, waiting up to timeoutMS. Within one call each packet
// is offered once, in queue order, however often the caller wakes; declined packets stay
// queued in order. NULL on time-out, destroy or unknown ID.
aPacket* aPacketFifo_AwaitFirst(uint64_t id, aPacketFilterProc proc, const void* ref, uint64_t timeoutMS);
// Ends every wait in progress on the queue (each answers as on a time-out), so that a
// waiter can look again at what it waits for besides packets; aErrNotFound for an
// unknown ID.
aErr aPacketFifo_WakeWaiters(uint64_t id);
// Removes and destroys every packet that proc accepts, keeping the others in order;
// the number removed.
uint64_t aPacketFifo_DrainPackets(uint64_t id, aPacketFilterProc proc, const void* ref);
