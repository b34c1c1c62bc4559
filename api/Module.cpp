#include "Module.h"

#include <cstring>

#include "aTime.h"
#include "aTrace.h"

namespace Veltrane {
namespace Corvalith {

namespace {

const int ADDRESS_PROBE_RETRIES = 3;
const uint64_t ADDRESS_PROBE_PAUSE_MS = 5;
const uint32_t TRACE_NETWORK = 0x40;
const uint8_t ECHO_COMMAND = 0x17;
const uint8_t INFO_COMMAND = 0x49;
const uint8_t INFO_HAS_UEI = 0x01;
const uint8_t INFO_CLASS_QUANTITY = 0x04;
const uint8_t INFO_SUBCLASS_QUANTITY = 0x05;
const uint8_t INFO_ENTITY_GROUP = 0x06;
const uint8_t RAW_PAYLOAD_LIMIT = 27;
const linkStatus STATUS_WITHOUT_LINK = 8;

}  // namespace

Module::Module(uint8_t address, uint8_t moduleModel) : Module(address, true, moduleModel) {}

Module::Module(uint8_t address, bool autoNetworkOn, uint8_t moduleModel)
    : link(new Link("Link")), moduleAddress(address), autoNetwork(autoNetworkOn), model(moduleModel) {}

Module::~Module() {
    delete link;
}

aErr Module::afterConnect(aErr linkResult) {
    return linkResult != aErrNone ? linkResult : _autoNetwork();
}

aErr Module::connect(linkType type, uint32_t serialNumber) {
    if (serialNumber == 0) return aErrParam;
    return discoverAndConnect(type, serialNumber);
}

aErr Module::discoverAndConnect(linkType type, uint32_t serialNumber) {
    if (!link) return aErrInitialization;
    return afterConnect(link->discoverAndConnect(type, serialNumber, model));
}

aErr Module::connectFromSpec(linkSpec spec) {
    if (!link) return aErrInitialization;
    if (link->isConnected()) return aErrBusy;
    const aErr result = link->setLinkSpecifier(spec);
    if (result != aErrNone) return result;
    return afterConnect(link->connect());
}

aErr Module::connectThroughLinkModule(Module* router) {
    if (!link) return aErrInitialization;
    if (link->isConnected()) return aErrNone;
    if (!router) return aErrParam;
    linkSpec spec;
    memset(&spec, 0, sizeof spec);
    aErr result = router->getLinkSpecifier(&spec);
    Link* routerLink = router->getLink();
    if (!routerLink) result = aErrInitialization;
    aWeaveConfig config;
    if (result == aErrNone) {
        routerLink->getConfig(&config);
        result = setConfig(config);
    }
    if (result == aErrNone) {
        if (config.enabled) {
            spec.type = AWEAVE;
            spec.ipAddress = config.networkInterface;
            spec.port = config.port;
        }
        result = link->setLinkSpecifier(spec);
    }
    if (result == aErrNone) result = link->connectThroughLinkModule(*routerLink);
    if (result == aErrNone) autoNetwork = false;
    return result;
}

aErr Module::reconnect() {
    if (!link) return aErrInitialization;
    return afterConnect(link->connect());
}

aErr Module::disconnect() {
    if (!link) return aErrInitialization;
    return link->disconnect();
}

bool Module::isConnected() const {
    return link && link->isConnected();
}

linkStatus Module::getStatus() const {
    return link ? link->getStatus() : STATUS_WITHOUT_LINK;
}

aErr Module::getLinkSpecifier(linkSpec* out) const {
    if (!link) return aErrNotReady;
    return link->getLinkSpecifier(out);
}

aErr Module::getConfig(aWeaveConfig* out) const {
    if (!link) return aErrNotReady;
    if (!out) return aErrParam;
    return link->getConfig(out);
}

aErr Module::setConfig(aWeaveConfig config) {
    if (!link) return aErrNotReady;
    return link->setConfig(config);
}

aErr Module::_autoNetwork() {
    if (!autoNetwork || !link) return aErrNone;
    uint8_t address = 0;
    aErr result = aErrNotReady;
    for (int tries = 0; result == aErrNotReady && tries <= ADDRESS_PROBE_RETRIES; ++tries) {
        result = link->getModuleAddress(&address);
        if (result != aErrNone) aTime_MSSleep(ADDRESS_PROBE_PAUSE_MS);
    }
    if (result != aErrNone) aTrace(TRACE_NETWORK, "BOO! Failed to autoNetwork\n");
    if (address != 0 && address != moduleAddress) moduleAddress = address;
    return result;
}

aErr Module::debug(const uint8_t* data, uint8_t length) {
    if (!isConnected()) return aErrConnection;
    if (length > RAW_PAYLOAD_LIMIT) return aErrParam;
    if (length > 0 && !data) return aErrParam;
    aErr result = link->sendPacket(moduleAddress, ECHO_COMMAND, length, data);
    if (result != aErrNone) return result;
    const uint8_t match = ECHO_COMMAND;
    uint8_t replyLength = 1;
    uint8_t reply[aPACKET_MAX_DATA] = {};
    result = link->receivePacket(moduleAddress, &match, &replyLength, reply);
    if (result != aErrNone) return result;
    if (replyLength != length + 1 || (length > 0 && memcmp(reply + 1, data, length) != 0)) return aErrIO;
    return aErrNone;
}

// Sends [0x49, request...] and takes the reply that echoes the first echoLength request
// bytes, with one answer byte after them.
aErr Module::informationQuery(const uint8_t* request, uint8_t requestLength, uint8_t echoLength, uint8_t* answer) {
    if (!isConnected()) return aErrConnection;
    aErr result = link->sendPacket(moduleAddress, INFO_COMMAND, requestLength, request);
    if (result != aErrNone) return result;
    const uint8_t match = INFO_COMMAND;
    uint8_t replyLength = 1;
    uint8_t reply[aPACKET_MAX_DATA] = {};
    result = link->receivePacket(moduleAddress, &match, &replyLength, reply);
    if (result != aErrNone) return result;
    if (replyLength != echoLength + 2 || memcmp(reply + 1, request, echoLength) != 0) return aErrUnknown;
    *answer = reply[echoLength + 1];
    return aErrNone;
}

aErr Module::hasUEI(uint8_t command, uint8_t option, uint8_t index, uint8_t flags) {
    const uint8_t access = ueiOPTION_GET | ueiOPTION_SET;
    if ((flags & ~access) != 0 || (flags & access) == access) return aErrParam;
    // The answer takes the place of the flags in the reply.
    const uint8_t request[] = {INFO_HAS_UEI, command, option, index, flags};
    uint8_t answer = 0;
    const aErr result = informationQuery(request, sizeof request, sizeof request - 1, &answer);
    return result != aErrNone ? result : answer;
}

aErr Module::classQuantity(uint8_t command, uint8_t* count) {
    if (!count) return aErrParam;
    *count = 0;
    const uint8_t request[] = {INFO_CLASS_QUANTITY, command};
    return informationQuery(request, sizeof request, sizeof request, count);
}

aErr Module::subClassQuantity(uint8_t command, uint8_t second, uint8_t* count) {
    if (!count) return aErrParam;
    *count = 0;
    const uint8_t request[] = {INFO_SUBCLASS_QUANTITY, command, second};
    return informationQuery(request, sizeof request, sizeof request, count);
}

aErr Module::entityGroup(uint8_t command, uint8_t second, uint8_t* group) {
    if (!group) return aErrParam;
    *group = 0;
    const uint8_t request[] = {INFO_ENTITY_GROUP, command, second};
    return informationQuery(request, sizeof request, sizeof request, group);
}

// Packet log: forwarded to the Link.

aErr Module::enablePacketLog(const char* path) {
    if (!link) return aErrConfiguration;
    return link->enablePacketLog(path);
}

aErr Module::disablePacketLog() {
    if (!link) return aErrConfiguration;
    return link->disablePacketLog();
}

}  // namespace Corvalith
}  // namespace Veltrane
