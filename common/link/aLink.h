// Links: packet connections to one module over a byte stream, each with a reader
// and a writer thread, held in a process-wide registry under 32-bit IDs.
//
// Lifetime: a create call gives its caller one use of a link, and aLink_Destroy drops
// one; the link lives until its last use is dropped. A create that finds the module's
// link still being started by another caller waits for that start and is given a use of
// the running link, or fails as that caller did; a failed start leaves nothing behind. A
// create of a USB or serial module whose last link is still being torn down waits until
// that link has let the device go, then opens it afresh. Every call on an ID holds the
// link for the whole call, so a destroy or reset on another thread never frees what a
// running call uses: the destroy waits for running calls to end, a waiting call
// (aLink_AwaitPacket, aLink_AwaitFirst) returns early without a packet, and a call made
// once the last use is dropped finds the ID unknown (aErrParam, NULL, LINK_INVALID). The
// last destroy removes the user filter first. A reset keeps the ID and finishes in
// bounded time however many callers keep calling: once it has begun, a call that begins
// waits for it and then returns early as above, and running waits return at once.
//
// Filters: a packet filter runs on the link's reader thread and may call the library,
// on its own link and on others. A call made on any link's reader or writer thread never
// waits for a reset or stop that may be waiting for that thread: while a reset stops a
// link, such calls are served at once. No thread joins a reader that may be waiting on
// it: a reset that would have to wait on the calling filter's own reader (its own link,
// or a link whose filter waits on this one) is refused with aErrBusy, and so is a filter
// installed on a link whose filter waits on the caller; a last destroy made there returns
// at once and the link is torn down apart as soon as that reader is free. A filter may
// install a filter on its own link: the new one takes over from the next packet.
//
// Exit: when the process exits, the registry stops taking creates and resets (0,
// aErrBusy), lets those under way end, and stops the links over ZeroMQ, closing their
// client streams and link servers before CZMQ closes its sockets. Destroys still work.
#pragma once

#include <cstdint>

#include "aError.h"
#include "aPacket.h"
#include "aStream.h"
#include "packetfifo.h"

typedef uint32_t aLinkRef;

typedef int32_t linkStatus;
enum {
    LINK_STOPPED = 0,
    LINK_STARTING = 1,
    LINK_RUNNING = 2,
    LINK_STOPPING = 3,
    LINK_SYNCING = 4,
    LINK_INVALID = 5,
    LINK_IO_ERROR = 6,
    LINK_PACKET_ERROR = 8,
};

#define aLINK_ADDRESS_SYNC 0xAD
#define aLINK_ADDRESS_ROUTE 0xAF

// Creation by transport; each returns the link's ID, 0 on failure. A module that the
// registry already holds gets one more use of its existing link.
aLinkRef aLink_CreateUSB(uint32_t serialNumber);
aLinkRef aLink_CreateTCPIP(uint32_t ipAddress, uint16_t port);
aLinkRef aLink_CreateSerial(uint32_t serialNumber, const char* portName, uint32_t baudRate);
// Legacy: a link over the caller's open stream, which the link then owns.
aLinkRef aLink_Create(aStreamRef stream);
// Drops one use; the last use tears the link down. Always clears *id.
aErr aLink_Destroy(aLinkRef* id);

linkStatus aLink_GetStatus(aLinkRef id);
aErr aLink_PutPacket(aLinkRef id, const aPacket* packet);
// From now on the link's writer thread writes every packet put on it, never the caller
// that puts it, so a caller that waits for the reply waits while the write runs.
aErr aLink_SetWriterOnly(aLinkRef id);
aPacket* aLink_GetPacket(aLinkRef id);
// Both waits end early, without a packet, once the link's last use is destroyed or the
// link is reset on another thread.
aPacket* aLink_AwaitPacket(aLinkRef id, uint64_t timeoutMs);
aPacket* aLink_GetFirst(aLinkRef id, aPacketFilterProc proc, const void* ref);
// Waits only while the link is running.
aPacket* aLink_AwaitFirst(aLinkRef id, aPacketFilterProc proc, const void* ref, uint64_t timeoutMs);
uint64_t aLink_DrainPackets(aLinkRef id, aPacketFilterProc proc, const void* ref);
// The filter runs on the reader thread; returning exactly 1 consumes the packet.
// When this returns, the previous filter is not running and is never called again (on the
// link's own reader, inside its filter, the one running is the caller); the same holds
// for the filter of a link once its last destroy has returned. A filter is refused
// (aErrParam) once the last use of the link is being dropped, and (aErrBusy) from a
// filter of a link that the link's own filter waits on.
aErr aLink_InstallUserPacketFilter(aLinkRef id, aPacketFilterProc proc, const void* ref);
// Stops the link, reopens its stream and starts it again (USB, TCP/IP and client links).
// Ends the waits in progress on other threads and waits for their calls to return;
// calls begun meanwhile wait for the reset. aErrBusy while another reset runs, once the
// process exits, or when called from a filter whose reader the stop would wait on.
aErr aLink_Reset(aLinkRef id);

// Queues the route-control packet (cmdFORCEROUTE): [0xAF, 0x01, value] on the wire.
aErr aLink_ForceRoute(aLinkRef id, uint8_t value);
// Accepts every packet.
uint8_t drainAll(const aPacket* packet, const void* ref);

// Packet log of a link: a ring of records of every packet the link's threads pass
// (direction 1 sent, 2 received) and of caller text. Unknown IDs give aErrParam,
// a link without a ring aErrNotReady.
// Ring size for the next enable (0: 0x10000 bytes); aErrBusy once a ring exists.
aErr aLink_PacketDebug_SetLogSize(aLinkRef id, int32_t size);
// Creates the ring when missing (keeping an existing one and its records).
aErr aLink_PacketDebug_Enable(aLinkRef id);
// Marks the ring disabled; recording goes on until the link is released.
aErr aLink_PacketDebug_Disable(aLinkRef id);
// Takes the oldest record; *length is the buffer's capacity in, the record's length out.
aErr aLink_PacketDebug_Read(aLinkRef id, uint32_t* direction, uint32_t* length, uint8_t* buffer);
// Adds a record of 0 to 255 bytes; other lengths give aErrParam.
aErr aLink_PacketDebug_Write(aLinkRef id, uint8_t direction, int32_t length, const uint8_t* bytes);

// A link to a link server at ipAddress:port (network order); with a non-zero ref, one
// more use of that registered link instead.
// Needs the link-server library in the program (aLinkSharing.h). aLink_CreateServer is
// in aLinkServer.h.
aLinkRef aLink_CreateClient(uint32_t ipAddress, uint16_t port, aLinkRef ref);
