// Streamed values on a Link: stream keys, the stream sample layout, registrations told
// to the module on command 0x5D, and reads of the cached values.
#include <cstring>

#include "Link.h"
#include "LinkImpl.h"
#include "StreamProtocol.h"
#include "aUEI.h"

namespace Veltrane {
namespace Corvalith {

namespace {

using namespace StreamProtocol;

constexpr uint32_t MASK_COUNT = 15;

bool _checkStreamSampleLength(Link::STREAM_PACKET kind, uint8_t dataSize) {
    const uint8_t size = kind < 8 ? sampleSize(static_cast<uint8_t>(kind)) : 0;
    return size != 0 && size == dataSize;
}

bool elementMatches(uint8_t element, uint8_t wanted) {
    return wanted == WILDCARD || element == wanted;
}

bool isConcreteKey(uint64_t key) {
    for (int element = Link::MODULE; element <= Link::SUBINDEX; ++element)
        if (Link::getStreamKeyElement(key, static_cast<Link::STREAM_KEY>(element)) == WILDCARD) return false;
    return true;
}

std::vector<uint64_t> matchingKeys(const std::map<uint64_t, StreamEntry>& streams, uint8_t module, uint8_t command,
                                   uint8_t option, uint8_t index, uint8_t subindex) {
    std::vector<uint64_t> keys;
    for (const auto& row : streams) {
        const uint64_t key = row.first;
        if (elementMatches(Link::getStreamKeyElement(key, Link::MODULE), module) &&
            elementMatches(Link::getStreamKeyElement(key, Link::COMMAND), command) &&
            elementMatches(Link::getStreamKeyElement(key, Link::OPTION), option) &&
            elementMatches(Link::getStreamKeyElement(key, Link::INDEX), index) &&
            elementMatches(Link::getStreamKeyElement(key, Link::SUBINDEX), subindex))
            keys.push_back(key);
    }
    return keys;
}

// An error reply with code 0, or without a code, is still a refusal.
aErr streamErrorCode(const uei& reply) {
    return reply.value.byteVal != 0 ? static_cast<aErr>(reply.value.byteVal) : aErrUnknown;
}

}  // namespace

uint64_t Link::createStreamKey(uint8_t module, uint8_t command, uint8_t option, uint8_t index, uint8_t subindex) {
    return packKey(module, command, option, index, subindex);
}

uint8_t Link::getStreamKeyElement(uint64_t key, STREAM_KEY element) {
    switch (element) {
    case MODULE:
        return keyElement(key, KEY_SHIFT_MODULE);
    case COMMAND:
        return keyElement(key, KEY_SHIFT_COMMAND);
    case OPTION:
        return keyElement(key, KEY_SHIFT_OPTION);
    case INDEX:
        return keyElement(key, KEY_SHIFT_INDEX);
    case SUBINDEX:
        return keyElement(key, KEY_SHIFT_SUBINDEX);
    default:
        return 0;
    }
}

uint64_t Link::_getGenericStreamKeyMask(uint32_t i) {
    if (i >= MASK_COUNT) return 0;
    const uint32_t elements = i + 1;
    uint64_t mask = 0;
    if (elements & 1) mask |= 0xFFull;
    if (elements & 2) mask |= 0xFF00ull;
    if (elements & 4) mask |= 0xFF0000ull;
    if (elements & 8) mask |= 0xFF00000000ull;
    return mask;
}

bool Link::isStreamPacket(aPacket const* packet) {
    return packet && aUEI_isStreamPacket(packet);
}

bool Link::getStreamPacketType(aPacket const* packet, STREAM_PACKET* kind) {
    STREAM_PACKET found = STREAM_NONE;
    bool result = false;
    if (isStreamPacket(packet)) {
        if (aUEI_getBytesSequence(packet) != 0 || aUEI_getBytesContinue(packet)) {
            found = STREAM_BYTES;
            result = true;
        } else if (packet->data[AT_KIND] >= STREAM_U8 && packet->data[AT_KIND] <= STREAM_U32_SUBINDEX) {
            found = static_cast<STREAM_PACKET>(packet->data[AT_KIND]);
            result = true;
        }
    }
    if (kind) *kind = found;
    return result;
}

bool Link::isSubindexType(STREAM_PACKET kind) {
    return kind < 8 && hasSubindex(static_cast<uint8_t>(kind));
}

bool Link::isStreamSample(aPacket const* packet) {
    STREAM_PACKET kind = STREAM_NONE;
    if (!getStreamPacketType(packet, &kind)) return false;
    return packet->data[packet->dataSize - 1] == 0 && _checkStreamSampleLength(kind, packet->dataSize);
}

aErr Link::getStreamSample(aPacket const* packet, uint64_t* timestamp, uint32_t* value, uint8_t* subindex) {
    STREAM_PACKET kind = STREAM_NONE;
    if (!getStreamPacketType(packet, &kind)) return aErrPacket;
    if (kind == STREAM_BYTES) return aErrSize;
    if (!isStreamSample(packet)) return aErrPacket;
    const uint8_t sampleKind = static_cast<uint8_t>(kind);
    const uint8_t* data = packet->data;
    if (timestamp) *timestamp = readTimestamp(data, sampleKind);
    if (value) *value = readValue(data, sampleKind);
    if (subindex) *subindex = hasSubindex(sampleKind) ? data[AT_SUBINDEX] : 0;
    return aErrNone;
}

void Link::getTimestampParts(uint64_t timestamp, uint32_t* high, uint32_t* low) {
    if (high) *high = static_cast<uint32_t>(timestamp >> 32);
    if (low) *low = static_cast<uint32_t>(timestamp);
}

uint8_t Link::linkStreamFilter(aPacket const* packet, void* ref) {
    return static_cast<StreamTable*>(ref)->filter(packet);
}

aErr Link::enableStream(uint8_t module, uint8_t command, uint8_t option, uint8_t index, bool enable) {
    return registerStreamCallback(module, command, option, index, enable, StreamCallback(), nullptr);
}

aErr Link::registerStreamCallback(uint8_t module, uint8_t command, uint8_t option, uint8_t index, bool enable,
                                  StreamCallback callback, void* ref) {
    if (module & 1) return aErrParam;
    const uint64_t key = createStreamKey(module, command, option, index, WILDCARD);
    StreamTable& table = *m_impl->streams;
    const aLinkRef linkRef = m_impl->linkRef;
    auto eraseCovered = [&](std::map<uint64_t, StreamEntry>& streams) {
        for (uint64_t covered : matchingKeys(streams, module, command, option, index, WILDCARD)) streams.erase(covered);
    };
    aErr result = table.change(linkRef, [&](std::map<uint64_t, StreamEntry>& streams) {
        if (!enable) {
            eraseCovered(streams);
            return;
        }
        StreamEntry& entry = streams[key];
        entry.key = key;
        entry.callback = std::move(callback);
        entry.ref = ref;
    });
    if (result == aErrNone) result = sendStreamRequest(module, key, enable);
    // A registration the module never took leaves nothing behind; an emptied table
    // takes its filter and callback thread with it.
    if (result != aErrNone) table.change(linkRef, eraseCovered);
    return result;
}

aErr Link::sendStreamRequest(uint8_t module, uint64_t key, bool enable) {
    uei request{};
    request.module = module;
    request.command = StreamProtocol::COMMAND;
    request.option = static_cast<uint8_t>(ueiOPTION_SET | (enable ? OP_ENABLE : OP_DISABLE));
    request.specifier = ueiSPECIFIER_REQUEST;
    request.type = ueiINT;
    request.value.intVal = static_cast<uint32_t>(key);
    aErr result = sendUEI(request);
    if (result != aErrNone) return result;

    uei reply{};
    reply.module = module;
    reply.command = StreamProtocol::COMMAND;
    reply.option = static_cast<uint8_t>(ueiOPTION_ACK | (enable ? OP_ENABLE : OP_DISABLE));
    reply.specifier = 0;
    result = receiveUEI(module, StreamProtocol::COMMAND, reply.option, 0, &reply);
    if (result == aErrNone && (reply.specifier & ueiSPECIFIER_ERROR)) result = streamErrorCode(reply);
    return result;
}

aErr Link::isLinkStreaming(uint8_t module, uint8_t* status) {
    if (!status) return aErrParam;
    uei request{};
    request.module = module;
    request.command = StreamProtocol::COMMAND;
    request.option = static_cast<uint8_t>(ueiOPTION_GET | OP_STATUS);
    request.specifier = ueiSPECIFIER_REQUEST;
    request.type = ueiVOID;
    aErr result = sendUEI(request);
    if (result != aErrNone) return result;
    uei reply{};
    reply.module = module;
    reply.command = StreamProtocol::COMMAND;
    reply.option = OP_STATUS;
    reply.specifier = 0;
    result = receiveUEI(module, StreamProtocol::COMMAND, OP_STATUS, 0, &reply);
    if (result != aErrNone) return result;
    if (reply.specifier & ueiSPECIFIER_ERROR) return streamErrorCode(reply);
    *status = reply.value.byteVal;
    return aErrNone;
}

aErr Link::getStreamValue(uint8_t module, uint8_t command, uint8_t option, uint8_t index, uint8_t subindex,
                          uint32_t* value) {
    if (!value) return aErrParam;
    const uint64_t key = createStreamKey(module, command, option, index, subindex);
    return m_impl->streams->withStreams([&](std::map<uint64_t, StreamEntry>& streams) -> aErr {
        auto found = streams.find(key);
        if (found == streams.end()) return aErrNotFound;
        *value = found->second.value;
        if (!found->second.fresh) return aErrStreamStale;
        found->second.fresh = false;
        return aErrNone;
    });
}

aErr Link::getStreamStatus(uint8_t module, uint8_t command, uint8_t option, uint8_t index, uint8_t subindex,
                           std::map<uint64_t, uint32_t>* values) {
    if (!values) return aErrParam;
    values->clear();
    m_impl->streams->withStreams([&](std::map<uint64_t, StreamEntry>& streams) {
        for (uint64_t key : matchingKeys(streams, module, command, option, index, subindex))
            if (isConcreteKey(key)) (*values)[key] = streams[key].value;
    });
    return aErrNone;
}

// The table is private to its lock, so it is always read under it; `lock` stays for
// callers of the published signature.
std::vector<uint64_t> Link::filterActiveStreamKeys(uint8_t module, uint8_t command, uint8_t option, uint8_t index,
                                                   uint8_t subindex, bool) {
    return m_impl->streams->withStreams([&](std::map<uint64_t, StreamEntry>& streams) {
        return matchingKeys(streams, module, command, option, index, subindex);
    });
}

bool Link::isStreamCallbackThreadRunning() const {
    return m_impl->streams->callbackThreadRunning();
}

}  // namespace Corvalith
}  // namespace Veltrane
