// Streamed values on a Link: stream keys, the stream sample layout, registrations told
// to the module on command 0x5D, and reads of the cached values.
#include <cstring>

#include "Link.h"
#include "LinkImpl.h"
#include "aUEI.h"

namespace Veltrane {
namespace Corvalith {

namespace {

constexpr uint8_t STREAM_COMMAND = 0x5D;
constexpr uint8_t STREAM_ENABLE = 1;
constexpr uint8_t STREAM_DISABLE = 2;
constexpr uint8_t STREAM_STATUS = 1;
constexpr uint8_t WILDCARD = 0xFF;
constexpr uint8_t KIND_OFFSET = 3;
constexpr uint32_t MASK_COUNT = 15;

// Data size of a sample of each kind; 0 where no sample exists.
constexpr uint8_t SAMPLE_SIZES[8] = {0, 14, 15, 17, 0, 15, 16, 18};

uint8_t valueWidth(Link::STREAM_PACKET kind) {
    switch (kind) {
    case Link::STREAM_U8:
    case Link::STREAM_U8_SUBINDEX:
        return 1;
    case Link::STREAM_U16:
    case Link::STREAM_U16_SUBINDEX:
        return 2;
    default:
        return 4;
    }
}

bool _checkStreamSampleLength(Link::STREAM_PACKET kind, uint8_t dataSize) {
    return kind < 8 && SAMPLE_SIZES[kind] != 0 && SAMPLE_SIZES[kind] == dataSize;
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
    return static_cast<uint64_t>(index) | static_cast<uint64_t>(option) << 8 | static_cast<uint64_t>(command) << 16 |
           static_cast<uint64_t>(module) << 24 | static_cast<uint64_t>(subindex) << 32;
}

uint8_t Link::getStreamKeyElement(uint64_t key, STREAM_KEY element) {
    switch (element) {
    case MODULE:
        return static_cast<uint8_t>(key >> 24);
    case COMMAND:
        return static_cast<uint8_t>(key >> 16);
    case OPTION:
        return static_cast<uint8_t>(key >> 8);
    case INDEX:
        return static_cast<uint8_t>(key);
    case SUBINDEX:
        return static_cast<uint8_t>(key >> 32);
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
        } else if (packet->data[KIND_OFFSET] >= STREAM_U8 && packet->data[KIND_OFFSET] <= STREAM_U32_SUBINDEX) {
            found = static_cast<STREAM_PACKET>(packet->data[KIND_OFFSET]);
            result = true;
        }
    }
    if (kind) *kind = found;
    return result;
}

bool Link::isSubindexType(STREAM_PACKET kind) {
    return kind == STREAM_U8_SUBINDEX || kind == STREAM_U16_SUBINDEX || kind == STREAM_U32_SUBINDEX;
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
    const bool withSubindex = isSubindexType(kind);
    const uint8_t* data = packet->data;
    const uint8_t* stamp = data + (withSubindex ? 5 : 4);
    const uint8_t* number = data + (withSubindex ? 13 : 12);
    uint32_t decoded = 0;
    switch (valueWidth(kind)) {
    case 1:
        decoded = number[0];
        break;
    case 2:
        decoded = aUEI_RetrieveShort(number);
        break;
    default:
        decoded = aUEI_RetrieveInt(number);
        break;
    }
    if (timestamp)
        *timestamp = static_cast<uint64_t>(aUEI_RetrieveInt(stamp)) << 32 | aUEI_RetrieveInt(stamp + 4);
    if (value) *value = decoded;
    if (subindex) *subindex = withSubindex ? data[4] : 0;
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
        for (uint64_t covered : matchingKeys(streams, module, command, option, index, WILDCARD))
            streams.erase(covered);
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
    request.command = STREAM_COMMAND;
    request.option = static_cast<uint8_t>(ueiOPTION_SET | (enable ? STREAM_ENABLE : STREAM_DISABLE));
    request.specifier = ueiSPECIFIER_REQUEST;
    request.type = ueiINT;
    request.value.intVal = static_cast<uint32_t>(key);
    aErr result = sendUEI(request);
    if (result != aErrNone) return result;

    uei reply{};
    reply.module = module;
    reply.command = STREAM_COMMAND;
    reply.option = static_cast<uint8_t>(ueiOPTION_ACK | (enable ? STREAM_ENABLE : STREAM_DISABLE));
    reply.specifier = 0;
    result = receiveUEI(module, STREAM_COMMAND, reply.option, 0, &reply);
    if (result == aErrNone && (reply.specifier & ueiSPECIFIER_ERROR)) result = streamErrorCode(reply);
    return result;
}

aErr Link::isLinkStreaming(uint8_t module, uint8_t* status) {
    if (!status) return aErrParam;
    uei request{};
    request.module = module;
    request.command = STREAM_COMMAND;
    request.option = static_cast<uint8_t>(ueiOPTION_GET | STREAM_STATUS);
    request.specifier = ueiSPECIFIER_REQUEST;
    request.type = ueiVOID;
    aErr result = sendUEI(request);
    if (result != aErrNone) return result;
    uei reply{};
    reply.module = module;
    reply.command = STREAM_COMMAND;
    reply.option = STREAM_STATUS;
    reply.specifier = 0;
    result = receiveUEI(module, STREAM_COMMAND, STREAM_STATUS, 0, &reply);
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
