// The object face of one link of the link core: finds a module, holds one use of a
// link to it, and exchanges values and raw packets over that link. The use lives
// from connect() to disconnect() or the Link's end; each call goes through the link
// core, which holds the link for the call's length (see aLink.h), so several Links
// sharing one router's link may connect, call and disconnect on different threads.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <vector>

#include "Uei.h"
#include "aError.h"
#include "aLink.h"
#include "discover.h"
#include "packetfifo.h"

namespace Veltrane {
namespace Corvalith {

// Network configuration of a Link: link-server sharing and transport fallback.
struct aWeaveConfig {
    uint8_t enabled = 1;
    uint8_t fallback = 1;
    uint8_t localOnly = 1;
    uint16_t port = 0;
    // IPv4 address in network byte order; 127.0.0.1 by default.
    uint32_t networkInterface = 0x0100007Fu;
};

class Link {
public:
    Link(linkSpec spec, const char* name);
    explicit Link(const char* name);
    ~Link();
    Link(const Link&) = delete;
    Link& operator=(const Link&) = delete;

    aErr getConfig(aWeaveConfig* out) const;
    aErr setConfig(aWeaveConfig config);
    aErr getLinkSpecifier(linkSpec* out) const;
    aErr setLinkSpecifier(linkSpec spec);
    const char* getName() const;

    // Finds the module by discovery (serial number 0: the first module of the model,
    // model 0: any module), then connects.
    aErr discoverAndConnect(linkType type, uint32_t serialNumber, uint8_t model = 0);
    aErr connect();
    // Takes one use of the router Link's link, reached through this Link's specifier.
    aErr connectThroughLinkModule(Link& router);
    bool isConnected() const;
    linkStatus getStatus() const;
    aErr disconnect();
    aErr reset();
    // Learns the address of the module at the far end with an empty packet to 0xAD.
    aErr getModuleAddress(uint8_t* address);

    aErr sendUEI(uei request);
    aErr sendUEI(uei request, uint8_t subindex);
    // Waits up to 1000 ms for the reply that the record describes; the filter writes
    // the reply into the record. The four bytes after the module address are unused.
    aErr receiveUEI(uint8_t module, uint8_t command, uint8_t option, uint8_t index, uei* record);
    aErr receiveUEI(uint8_t module, uint8_t command, uint8_t option, uint8_t index, uei* record,
                    aPacketFilterProc filter);
    aErr dropMatchingUEIPackets(uint8_t module, uint8_t command, uint8_t option, uint8_t index);

    // Sends [command, data...] with at most 27 data bytes.
    aErr sendPacket(uint8_t module, uint8_t command, uint8_t length, const uint8_t* data);
    // Waits up to 1000 ms for a packet from the module whose data start with the *length
    // match bytes; copies its data (up to 28 bytes) to buffer and its length to *length.
    aErr receivePacket(uint8_t module, const uint8_t* match, uint8_t* length, uint8_t* buffer);
    // Drops the queued packets from the module whose data start with the length match bytes.
    aErr dropMatchingPackets(uint8_t module, const uint8_t* match, uint8_t length);

    // Packet log: every packet over the link, one text line each, appended to the
    // file at path by a logger thread. A later enable on the same link keeps the
    // first file; after a reconnect the log moves to the path given then.
    aErr enablePacketLog(const char* path);
    // Stops the logger thread; the link's ring keeps recording. A disconnect or a
    // reset stops the logger too, and a reset drops the ring: enable again to go on.
    aErr disablePacketLog();

    // Streamed values: registrations and cached samples by stream key, and user
    // callbacks run on this Link's callback thread.
    enum STREAM_KEY { MODULE = 0, COMMAND = 1, OPTION = 2, INDEX = 3, SUBINDEX = 4 };
    enum STREAM_PACKET : uint32_t {
        STREAM_NONE = 0,
        STREAM_U8 = 1,
        STREAM_U16 = 2,
        STREAM_U32 = 3,
        STREAM_BYTES = 4,
        STREAM_U8_SUBINDEX = 5,
        STREAM_U16_SUBINDEX = 6,
        STREAM_U32_SUBINDEX = 7,
    };
    using StreamCallback = std::function<aErr(aPacket const*, void*)>;

    // A value of 0xFF in an element matches every value of it.
    static uint64_t createStreamKey(uint8_t module, uint8_t command, uint8_t option, uint8_t index, uint8_t subindex);
    static uint8_t getStreamKeyElement(uint64_t key, STREAM_KEY element);
    // Key mask i (0..14) opens the elements named by the bits of i + 1: index, option,
    // command, subindex; any other i yields 0.
    static uint64_t _getGenericStreamKeyMask(uint32_t i);
    static bool isStreamPacket(aPacket const* packet);
    static bool getStreamPacketType(aPacket const* packet, STREAM_PACKET* kind);
    static bool isSubindexType(STREAM_PACKET kind);
    static bool isStreamSample(aPacket const* packet);
    static aErr getStreamSample(aPacket const* packet, uint64_t* timestamp, uint32_t* value, uint8_t* subindex);
    static void getTimestampParts(uint64_t timestamp, uint32_t* high, uint32_t* low);
    // The filter behind the link's user filter; ref is the Link's stream table.
    static uint8_t linkStreamFilter(aPacket const* packet, void* ref);

    aErr enableStream(uint8_t module, uint8_t command, uint8_t option, uint8_t index, bool enable);
    aErr registerStreamCallback(uint8_t module, uint8_t command, uint8_t option, uint8_t index, bool enable,
                                StreamCallback callback, void* ref);
    aErr isLinkStreaming(uint8_t module, uint8_t* status);
    // aErrNotFound for a key never seen, aErrStreamStale for a value already read.
    aErr getStreamValue(uint8_t module, uint8_t command, uint8_t option, uint8_t index, uint8_t subindex,
                        uint32_t* value);
    aErr getStreamStatus(uint8_t module, uint8_t command, uint8_t option, uint8_t index, uint8_t subindex,
                         std::map<uint64_t, uint32_t>* values);
    // The table is always read under its own lock; `lock` is accepted and not needed.
    std::vector<uint64_t> filterActiveStreamKeys(uint8_t module, uint8_t command, uint8_t option, uint8_t index,
                                                 uint8_t subindex, bool lock);
    // True while this Link's callback thread runs.
    bool isStreamCallbackThreadRunning() const;

    // Store slots (command 4): whole byte files moved between the host and the numbered
    // slots of a module's numbered stores. Sizes are 16-bit on the module.
    aErr storeSlotCapacity(uint8_t module, uint8_t store, uint8_t slot, size_t* capacity);
    aErr storeSlotSize(uint8_t module, uint8_t store, uint8_t slot, size_t* size);
    // Writes length bytes into the slot, 25 bytes per acknowledged packet.
    aErr loadStoreSlot(uint8_t module, uint8_t store, uint8_t slot, const uint8_t* data, size_t length);
    // Reads the slot into the buffer; a slot larger than the buffer fills it and
    // answers aErrOverrun.
    aErr unloadStoreSlot(uint8_t module, uint8_t store, uint8_t slot, uint8_t* buffer, size_t length, size_t* unloaded);

    // Factory data (command 0x5E): the block of a 4-bit sub-command, 26 bytes per packet.
    // The buffer must be larger than the block.
    aErr getFactoryData(uint8_t module, uint8_t subCommand, uint8_t* buffer, size_t length, size_t* received);
    aErr setFactoryData(uint8_t module, uint8_t subCommand, const uint8_t* data, size_t length);

private:
    // Sends a stream enable or disable for the key and awaits the module's answer.
    aErr sendStreamRequest(uint8_t module, uint64_t key, bool enable);

    class impl;
    impl* m_impl;
};

}  // namespace Corvalith
}  // namespace Veltrane
