// One addressable module: reached over its own link, or through a router module's
// link on the router's network. Owns its Link.
#pragma once

#include <cstdint>

#include "Link.h"

namespace Veltrane {
namespace Corvalith {

class Module {
public:
    Module(uint8_t address, uint8_t model);
    Module(uint8_t address, bool autoNetwork, uint8_t model);
    virtual ~Module();
    Module(const Module&) = delete;
    Module& operator=(const Module&) = delete;

    aErr connect(linkType type, uint32_t serialNumber);
    aErr discoverAndConnect(linkType type, uint32_t serialNumber);
    aErr connectFromSpec(linkSpec spec);
    // Shares the router's link; the module keeps the address it was given.
    aErr connectThroughLinkModule(Module* router);
    aErr reconnect();
    aErr disconnect();
    bool isConnected() const;
    linkStatus getStatus() const;

    uint8_t getModuleAddress() const { return moduleAddress; }
    void setModuleAddress(uint8_t address) { moduleAddress = address; }
    aErr getLinkSpecifier(linkSpec* out) const;
    aErr getConfig(aWeaveConfig* out) const;
    aErr setConfig(aWeaveConfig config);
    Link* getLink() const { return link; }
    void setNetworkingMode(bool on) { autoNetwork = on; }
    // Learns the module address with up to four probes, when automatic probing is on.
    aErr _autoNetwork();

    // Echo on command 0x17: the module sends the data back.
    aErr debug(const uint8_t* data, uint8_t length);
    // Information queries on command 0x49. hasUEI answers 0 when the module has the
    // value for the access in flags (0x40 get, 0x80 set, 0 either), else the module's code.
    aErr hasUEI(uint8_t command, uint8_t option, uint8_t index, uint8_t flags);
    aErr classQuantity(uint8_t command, uint8_t* count);
    aErr subClassQuantity(uint8_t command, uint8_t second, uint8_t* count);
    aErr entityGroup(uint8_t command, uint8_t second, uint8_t* group);

    // Packet log of the module's Link (see Link::enablePacketLog).
    aErr enablePacketLog(const char* path);
    aErr disablePacketLog();

private:
    aErr afterConnect(aErr linkResult);
    aErr informationQuery(const uint8_t* request, uint8_t requestLength, uint8_t echoLength, uint8_t* answer);

    Link* link;
    uint8_t moduleAddress;
    bool autoNetwork;
    uint8_t model;
};

}  // namespace Corvalith
}  // namespace Veltrane
