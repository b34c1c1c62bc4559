// The object face of one link of the link core: finds a module, holds one use of a
// link to it, and exchanges values and raw packets over that link.
#pragma once

#include <cstdint>

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

private:
    class impl;
    impl* m_impl;
};

}  // namespace Corvalith
}  // namespace Veltrane
