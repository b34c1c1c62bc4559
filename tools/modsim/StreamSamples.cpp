#include "StreamSamples.h"

#include <algorithm>
#include <cstdio>

#include "ExchangeEntities.h"

namespace modsim {

namespace {

constexpr uint8_t kAny = 0xFF;
constexpr uint8_t kEnable = 0x81;
constexpr uint8_t kDisable = 0x82;
constexpr uint8_t kStatus = 0x41;
constexpr uint8_t kRequestFlag = 0x20;
constexpr uint8_t kErrorFlag = 0x80;
constexpr uint8_t kStreamFlag = 0x40;
constexpr uint8_t kSourceIndex = 0;
constexpr uint8_t kSubindexes = 4;

bool matches(uint8_t wanted, uint8_t element) {
    return wanted == kAny || wanted == element;
}

void putBigEndian(std::vector<uint8_t>& data, uint32_t value, unsigned width) {
    for (unsigned i = width; i-- > 0;) data.push_back(static_cast<uint8_t>(value >> (8 * i)));
}

unsigned widthOf(uint8_t kind) {
    switch (kind) {
    case 1:
    case 5:
        return 1;
    case 2:
    case 6:
        return 2;
    default:
        return 4;
    }
}

}  // namespace

StreamSamples::StreamSamples(SimModule& module, unsigned intervalMs, Transmit transmit)
    : module_(module), intervalMs_(intervalMs), transmit_(std::move(transmit)), start_(Clock::now()), next_(start_) {
    sources_.push_back(Source{1, 0, 1});
    sources_.push_back(Source{2, 0, 2});
    sources_.push_back(Source{3, 0, 3});
    for (uint8_t subindex = 0; subindex < kSubindexes; ++subindex) {
        sources_.push_back(Source{6, subindex, 5});
        sources_.push_back(Source{7, subindex, 6});
        sources_.push_back(Source{8, subindex, 7});
    }
}

void StreamSamples::attach() {
    module_.onCommand(kStreamCommand, [this](const Packet& packet) { handle(packet); });
}

void StreamSamples::reply(std::vector<uint8_t> data) {
    module_.answer(Packet{module_.identity().address, std::move(data)});
}

std::string StreamSamples::fault(const std::vector<std::string>& words) {
    unsigned after = 0;
    uint8_t code = 0;
    const std::string usage = parseCountedFault(words, {"error", "error-short", "error-long", "lost"}, after, code);
    if (!usage.empty()) return usage;
    if (words[2] == "lost")
        lostFault_.arm(after);
    else
        errorFault_.arm(after, code, errorShapeOf(words[2]));
    module_.log().event("fault stream " + words[2] + " after " + std::to_string(after) + " armed");
    return "ok";
}

void StreamSamples::handle(const Packet& packet) {
    const auto& data = packet.data;
    if (data.size() < 3) return;
    const uint8_t option = data[1];
    const uint8_t replyOption =
        option == kStatus ? static_cast<uint8_t>(option & 0x3F) : static_cast<uint8_t>(option | 0x40);
    auto refuse = [&](uint8_t code, ErrorShape shape = ErrorShape::Normal) {
        module_.log().event("stream error " + std::to_string(code));
        reply(shapedError({kStreamCommand, replyOption, kErrorFlag}, code, shape));
    };
    const bool lost = lostFault_.strikes();
    const bool refused = errorFault_.strikes();
    if (lost) {
        module_.log().event("stream request lost: " + hexBytes(data));
        return;
    }
    if (refused) return refuse(errorFault_.code(), errorFault_.shape());
    if (const auto code = module_.takeErrorFault()) return refuse(*code);
    if (option != kEnable && option != kDisable && option != kStatus) return refuse(kErrInvalidOption);
    if (data[2] != kRequestFlag) return refuse(kErrPacket);
    if (option == kStatus) {
        if (data.size() != 3) return refuse(kErrPacket);
        module_.log().event("stream status " + std::to_string(enabled_.empty() ? 0 : 1));
        return reply({kStreamCommand, replyOption, 0, static_cast<uint8_t>(enabled_.empty() ? 0 : 1)});
    }
    if (data.size() != 7 || data[3] != module_.identity().address) return refuse(kErrPacket);
    const Key key{data[4], data[5], data[6]};
    const std::string what = hexBytes({key.command, key.option, key.index});
    if (option == kEnable) {
        RandomReplies* random = module_.randomReplies();
        if (random && random->refuseEnable()) {
            module_.log().event("stream enable " + what + " refused at random");
            return refuse(kErrResource);
        }
        const bool known = std::any_of(enabled_.begin(), enabled_.end(), [&key](const Key& k) {
            return k.command == key.command && k.option == key.option && k.index == key.index;
        });
        if (!known) enabled_.push_back(key);
        if (enabled_.size() == 1) next_ = Clock::now() + std::chrono::milliseconds(intervalMs_);
        module_.log().event("stream enable " + what);
    } else {
        enabled_.erase(std::remove_if(enabled_.begin(), enabled_.end(),
                                      [&key](const Key& k) {
                                          return matches(key.command, k.command) && matches(key.option, k.option) &&
                                                 matches(key.index, k.index);
                                      }),
                       enabled_.end());
        module_.log().event("stream disable " + what);
    }
    reply({kStreamCommand, replyOption, 0});
}

std::string StreamSamples::enabledText() const {
    std::string text;
    char item[16];
    for (const Key& key : enabled_) {
        std::snprintf(item, sizeof item, "%s%02X.%02X.%02X", text.empty() ? "" : " ", key.command, key.option,
                      key.index);
        text += item;
    }
    return text;
}

bool StreamSamples::covers(const Key& key, const Source& source) const {
    return matches(key.command, kExchangeCommand) && matches(key.option, source.option) &&
           matches(key.index, kSourceIndex);
}

Packet StreamSamples::sample(Source& source) {
    ++source.count;
    const auto micros = std::chrono::duration_cast<std::chrono::microseconds>(Clock::now() - start_).count();
    const uint64_t stamp = static_cast<uint64_t>(micros);
    std::vector<uint8_t> data{kExchangeCommand, source.option, static_cast<uint8_t>(kStreamFlag | kSourceIndex),
                              source.kind};
    if (source.kind >= 5) data.push_back(source.subindex);
    putBigEndian(data, static_cast<uint32_t>(stamp >> 32), 4);
    putBigEndian(data, static_cast<uint32_t>(stamp), 4);
    putBigEndian(data, source.count, widthOf(source.kind));
    data.push_back(0);
    return Packet{module_.identity().address, data};
}

std::size_t StreamSamples::sendRound() {
    std::size_t sent = 0;
    for (auto& source : sources_) {
        const bool wanted =
            std::any_of(enabled_.begin(), enabled_.end(), [&](const Key& key) { return covers(key, source); });
        if (!wanted) continue;
        transmit_(sample(source));
        ++sent;
    }
    return sent;
}

void StreamSamples::sendDue(Clock::time_point now) {
    const auto due = nextDue();
    if (!due || now < *due) return;
    sendRound();
    next_ = now + std::chrono::milliseconds(intervalMs_);
}

std::optional<StreamSamples::Clock::time_point> StreamSamples::nextDue() const {
    if (enabled_.empty() || intervalMs_ == 0) return std::nullopt;
    return next_;
}

void StreamSamples::setInterval(unsigned ms) {
    intervalMs_ = ms;
    next_ = Clock::now() + std::chrono::milliseconds(ms);
}

void StreamSamples::clear() {
    enabled_.clear();
}

}  // namespace modsim
