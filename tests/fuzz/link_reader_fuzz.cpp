// The link engine's reader: every byte a module sends, through the sync handshake,
// packet assembly, heartbeat answers, the user filter and the incoming queue.
#include <cstddef>
#include <cstdint>

#include "aLinkEngine.h"
#include "packetfifo.h"

namespace {

// Consumes packets whose first data byte is odd, as an installed filter would.
uint8_t consumeOdd(const aPacket* packet, const void*) {
    return packet->dataSize > 0 && (packet->data[0] & 1) ? 1 : 0;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1) return 0;
    aLink link;
    link.inFifo = aPacketFifo_Create();
    link.outFifo = aPacketFifo_Create();
    link.rxPacket = aPacket_Create();
    link.userFilterSema = aMutex_Create("fuzz user filter");
    // The first byte chooses where the reader starts: in sync, or syncing (not yet begun,
    // packet by packet or byte by byte); whether the stream is in step; and the filter.
    link.status = (data[0] & 1) ? LINK_SYNCING : LINK_RUNNING;
    link.syncState = (data[0] >> 1) % 6;
    if (data[0] & 0x10) link.userFilter = consumeOdd;
    link.inStep = (data[0] & 0x20) != 0;
    if (link.status == LINK_SYNCING)
        link.syncPhase = static_cast<aLinkSyncPhase>((data[0] >> 6) % 3);
    for (size_t i = 1; i < size; ++i) aLink_ReceiveByte(&link, data[i]);
    while (aPacket* packet = aPacketFifo_Get(link.inFifo)) aPacket_Destroy(&packet);
    aLink_Release(&link);
    return 0;
}
