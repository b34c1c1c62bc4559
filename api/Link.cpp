// Link life cycle: configuration, discovery, link creation by transport through the
// registry, the wait for a running link, sharing a router's link, and the address probe.
#include "Link.h"

#include <cstdlib>
#include <cstring>

#include "LinkImpl.h"
#include "PacketLoggers.h"
#include "aLinkSharing.h"
#include "aPacket.h"
#include "aTime.h"
#include "aTrace.h"

namespace Veltrane {
namespace Corvalith {

namespace {

const size_t NAME_LIMIT = 1024;
const uint16_t CONNECT_WAIT_POLLS = 200;
const uint64_t CONNECT_POLL_MS = 10;
const uint64_t ADDRESS_PROBE_MS = 1000;
const uint32_t TRACE_LINK = 0x1;
// What getStatus answers while the Link holds no link.
const linkStatus STATUS_WITHOUT_LINK = 8;

bool _fallbackHelper(aErr result, linkType type, bool fallback) {
    const bool retryable = result == aErrNotFound || result == aErrInitialization || result == aErrConnection;
    return retryable && (type == USB || type == AWEAVE) && fallback;
}

bool cbModelCallback(const linkSpec* candidate, bool* found, void* ref) {
    auto* wanted = static_cast<linkSpec*>(ref);
    if (wanted->model != 0 && candidate->model != wanted->model) return true;
    memcpy(wanted, candidate, sizeof(linkSpec));
    *found = true;
    return false;
}

uint8_t MatchMagic(const aPacket* packet, const void*) {
    return packet->dataSize == 0;
}

char* copyName(const char* name) {
    if (!name) return nullptr;
    const size_t length = strnlen(name, NAME_LIMIT);
    auto* copy = static_cast<char*>(malloc(length + 1));
    if (!copy) return nullptr;
    memcpy(copy, name, length);
    copy[length] = '\0';
    return copy;
}

}  // namespace

Link::impl::impl(Link* ownerLink, const char* linkName) : owner(ownerLink), name(copyName(linkName)) {}

Link::impl::~impl() {
    // No callback runs once the table is closed, so none uses this Link or starts its
    // packet log again while it goes.
    streams->close(true);
    packetLoggers_Destroy(&logger);
    aLink_Destroy(&linkRef);
    if (spec) aLinkSpec_Destroy(&spec);
    free(name);
}

void Link::impl::giveUpLink() {
    // Callbacks end first and cannot register again meanwhile: none of them uses the
    // link, or starts the packet log again, once it is given up.
    streams->close(false);
    stopPacketLog();
    if (linkRef != 0) aLink_Destroy(&linkRef);
    streams->reopen();
}

aErr Link::impl::setSpecifier(const linkSpec& newSpec) {
    linkSpec* copy = aLinkSpec_Copy(&newSpec);
    if (!copy) return aErrMemory;
    if (spec) aLinkSpec_Destroy(&spec);
    spec = copy;
    return aErrNone;
}

aErr Link::impl::getSpecifier(linkSpec* out) const {
    if (!spec) return aErrNotFound;
    if (!out) return aErrParam;
    memcpy(out, spec, sizeof(linkSpec));
    return aErrNone;
}

aErr Link::impl::discoveryAndConnectHelper(linkType type, uint32_t serialNumber, uint8_t model, Link* link) {
    linkSpec* found = nullptr;
    if (serialNumber != 0) {
        found = aDiscovery_FindModule(type, serialNumber, config.networkInterface);
    } else {
        found = aLinkSpec_Create(type);
        if (!found) return aErrMemory;
        found->model = model;
        if (aDiscovery_EnumerateModules(type, cbModelCallback, found, config.networkInterface) == 0)
            aLinkSpec_Destroy(&found);
    }
    if (!found) return aErrNotFound;
    setSpecifier(*found);
    aLinkSpec_Destroy(&found);
    return link->connect();
}

aErr Link::impl::connectHelper(aLinkRef shared) {
    if (!spec) return aErrConfiguration;
    const aErr result = linkCreateHelper(*spec, shared);
    if (result != aErrNone) return result;
    if (linkRef == 0) return aErrConnection;
    return waitForLink(CONNECT_WAIT_POLLS);
}

// With `enabled` set a USB module is opened through a link server of this process, and
// an AWEAVE specifier reaches a link server as its client.
aErr Link::impl::linkCreateHelper(const linkSpec& target, aLinkRef shared) {
    switch (target.type) {
    case USB:
        // A program built without the link server is told so, not given a connection error.
        if (config.enabled && aLinkSharing_Check("Sharing a USB link through a link server") != aErrNone)
            return aErrUnimplemented;
        if (config.enabled)
            linkRef = aLinkSharing_CreateServer(target.serialNumber, &config.port, &config.networkInterface,
                                                config.localOnly);
        else
            linkRef = aLink_CreateUSB(target.serialNumber);
        return aErrNone;
    case TCPIP:
        linkRef = aLink_CreateTCPIP(target.ipAddress, static_cast<uint16_t>(target.port & 0xFFFF));
        return aErrNone;
    case SERIAL:
        linkRef = aLink_CreateSerial(target.serialNumber, target.portName, target.baudRate);
        return aErrNone;
    case AWEAVE:
        if (!config.enabled) return aErrConfiguration;
        if (aLinkSharing_Check("A client link to a link server") != aErrNone) return aErrUnimplemented;
        linkRef = aLink_CreateClient(target.ipAddress, static_cast<uint16_t>(target.port & 0xFFFF), shared);
        return aErrNone;
    default:
        return aErrMode;
    }
}

aErr Link::impl::waitForLink(uint16_t count) {
    switch (aLink_GetStatus(linkRef)) {
    case LINK_RUNNING:
        return aErrNone;
    case LINK_STOPPED:
    case LINK_STARTING:
    case LINK_SYNCING:
        break;
    case LINK_STOPPING:
        return aErrBusy;
    case LINK_INVALID:
    case LINK_IO_ERROR:
    case LINK_PACKET_ERROR:
        return aErrConnection;
    default:
        return aErrDuplicate;
    }
    for (uint16_t i = 0; aLink_GetStatus(linkRef) != LINK_RUNNING && i < count; ++i) aTime_MSSleep(CONNECT_POLL_MS);
    return aLink_GetStatus(linkRef) == LINK_RUNNING ? aErrNone : aErrConnection;
}

Link::Link(linkSpec spec, const char* name) : m_impl(new impl(this, name)) {
    m_impl->setSpecifier(spec);
}

Link::Link(const char* name) : m_impl(new impl(this, name)) {}

Link::~Link() {
    delete m_impl;
}

aErr Link::getConfig(aWeaveConfig* out) const {
    if (!out) return aErrParam;
    *out = m_impl->config;
    return aErrNone;
}

aErr Link::setConfig(aWeaveConfig config) {
    if (isConnected()) return aErrPermission;
    m_impl->config = config;
    return aErrNone;
}

aErr Link::getLinkSpecifier(linkSpec* out) const {
    return m_impl->getSpecifier(out);
}

aErr Link::setLinkSpecifier(linkSpec spec) {
    if (isConnected()) return aErrBusy;
    return m_impl->setSpecifier(spec);
}

const char* Link::getName() const {
    return m_impl->getName();
}

aErr Link::discoverAndConnect(linkType type, uint32_t serialNumber, uint8_t model) {
    aErr result = m_impl->discoveryAndConnectHelper(type, serialNumber, model, this);
    if (_fallbackHelper(result, type, m_impl->config.fallback != 0)) {
        const linkType other = type == AWEAVE ? USB : AWEAVE;
        aTrace(TRACE_LINK, "Executing Fallback: %s\n", other == USB ? "USB" : "aWeave");
        result = m_impl->discoveryAndConnectHelper(other, serialNumber, model, this);
    }
    return result;
}

aErr Link::connect() {
    if (m_impl->linkRef != 0) return aErrConnection;
    return m_impl->connectHelper();
}

// The registry hands out the router's link for the same module, so this Link ends up
// holding a use of its own; the router's ID is only compared, never kept.
aErr Link::connectThroughLinkModule(Link& router) {
    const aLinkRef routerRef = router.m_impl->linkRef;
    if (routerRef == 0) return aErrInitialization;
    if (m_impl->linkRef != 0) {
        if (isConnected()) return aErrConnection;
        m_impl->giveUpLink();
    }
    const aErr result = m_impl->connectHelper(routerRef);
    if (m_impl->linkRef != 0 && m_impl->linkRef != routerRef) {
        aLink_Destroy(&m_impl->linkRef);
        return aErrConnection;
    }
    return result;
}

bool Link::isConnected() const {
    return m_impl->linkRef != 0 && aLink_GetStatus(m_impl->linkRef) == LINK_RUNNING;
}

linkStatus Link::getStatus() const {
    if (m_impl->linkRef == 0) return STATUS_WITHOUT_LINK;
    return aLink_GetStatus(m_impl->linkRef);
}

aErr Link::disconnect() {
    m_impl->giveUpLink();
    return aErrNone;
}

aErr Link::reset() {
    // A reset releases the link's packet log: the loggers of every Link sharing the
    // link stop reading it.
    m_impl->stopPacketLog();
    packetLoggers_StopAll(m_impl->linkRef);
    if (m_impl->linkRef != 0) aLink_Reset(m_impl->linkRef);
    return aErrNone;
}

aErr Link::getModuleAddress(uint8_t* address) {
    if (!address) return aErrParam;
    *address = 0;
    if (!isConnected()) return aErrNotReady;
    aTrace(TRACE_LINK, "getModuleAddress\n");
    const uint8_t none = 0;
    aPacket* probe = aPacket_CreateWithData(aLINK_ADDRESS_SYNC, 0, &none);
    if (probe) {
        aLink_PutPacket(m_impl->linkRef, probe);
        aPacket_Destroy(&probe);
    }
    aTrace(TRACE_LINK, "getModuleAddress wait\n");
    aPacket* reply = aLink_AwaitFirst(m_impl->linkRef, MatchMagic, nullptr, ADDRESS_PROBE_MS);
    if (!reply) return aErrNotReady;
    *address = reply->address;
    aPacket_Destroy(&reply);
    return aErrNone;
}

}  // namespace Corvalith
}  // namespace Veltrane
