#include "FactoryData.h"

#include <algorithm>

namespace modsim {

namespace {

constexpr uint8_t kSubMask = 0x0F;
constexpr uint8_t kWriteFlag = 0x10;
constexpr uint8_t kEndFlag = 0x20;
constexpr uint8_t kFirstFlag = 0x40;
constexpr uint8_t kErrorFlag = 0x80;
constexpr std::size_t kChunk = 26;
constexpr std::size_t kBlockCapacity = 256;

constexpr uint8_t kErrParam = 2;
constexpr uint8_t kErrSize = 14;
constexpr uint8_t kErrOverrun = 15;

}  // namespace

FactoryData::FactoryData(SimModule& module) : module_(module) {
    for (uint8_t i = 0; i < 62; ++i) blocks_[0].push_back(static_cast<uint8_t>(3 * i + 1));
    for (uint8_t i = 0; i < 26; ++i) blocks_[1].push_back(static_cast<uint8_t>(0xA0 + i));
}

void FactoryData::attach() {
    module_.onCommand(kFactoryCommand, [this](const Packet& packet) { handle(packet); });
}

std::string FactoryData::fault(const std::vector<std::string>& words) {
    unsigned after = 0;
    uint8_t code = 0;
    const std::string usage =
        parseCountedFault(words, {"error", "error-short", "error-long", "silent", "ack"}, after, code);
    if (!usage.empty()) return usage;
    const std::string& kind = words[2];
    if (isErrorKind(kind)) errorFault_.arm(after, code, errorShapeOf(kind));
    if (kind == "silent") silentFault_.arm(after);
    if (kind == "ack") ackFault_.arm(after);
    module_.log().event(module_.name() + " fault factory " + kind + " after " + std::to_string(after) + " armed");
    return "ok";
}

void FactoryData::reply(std::vector<uint8_t> data) {
    if (silent_) {
        module_.log().event(module_.name() + " fault factory silent: " + hexBytes(data));
        return;
    }
    module_.answer(Packet{module_.identity().address, std::move(data)});
}

void FactoryData::error(uint8_t sub, uint8_t code, ErrorShape shape) {
    module_.log().event(module_.name() + " factory error " + std::to_string(code));
    reply(shapedError({kFactoryCommand, static_cast<uint8_t>(sub | kErrorFlag)}, code, shape));
}

void FactoryData::handle(const Packet& packet) {
    const auto& data = packet.data;
    if (data.size() < 2) {
        module_.log().event(module_.name() + " factory request malformed");
        return;
    }
    const bool errorStrikes = errorFault_.strikes();
    silent_ = silentFault_.strikes();
    const bool ackStrikes = ackFault_.strikes();
    std::optional<uint8_t> code = module_.takeErrorFault();
    ErrorShape shape = ErrorShape::Normal;
    if (errorStrikes) {
        code = errorFault_.code();
        shape = errorFault_.shape();
    }
    const uint8_t flags = data[1] & ~kSubMask;
    const uint8_t sub = data[1] & kSubMask;
    if (code) {
        error(data[1] == kEndFlag ? 0 : sub, *code, shape);
        transfer_.reset();
    } else if (data[1] == kEndFlag) {
        end(data);
    } else if (flags == 0 || flags == kFirstFlag) {
        if (data.size() == 2)
            read(sub, flags == kFirstFlag);
        else
            error(sub, kErrParam);
    } else if (flags == kWriteFlag || flags == (kWriteFlag | kFirstFlag)) {
        write(data, sub, flags & kFirstFlag, ackStrikes);
    } else {
        error(sub, kErrParam);
    }
    silent_ = false;
}

void FactoryData::read(uint8_t sub, bool first) {
    if (first) transfer_ = Transfer{sub, false, 0, {}};
    if (!transfer_ || transfer_->writing || transfer_->sub != sub) {
        error(sub, kErrParam);
        return;
    }
    const auto& block = blocks_[sub];
    const std::size_t count = std::min(kChunk, block.size() - transfer_->count);
    std::vector<uint8_t> answer{kFactoryCommand, sub};
    const auto from = block.begin() + static_cast<std::ptrdiff_t>(transfer_->count);
    answer.insert(answer.end(), from, from + static_cast<std::ptrdiff_t>(count));
    transfer_->count += count;
    if (first) module_.log().event(module_.name() + " factory read " + std::to_string(sub));
    reply(std::move(answer));
}

void FactoryData::write(const std::vector<uint8_t>& data, uint8_t sub, bool first, bool longAck) {
    if (first) transfer_ = Transfer{sub, true, 0, {}};
    if (!transfer_ || !transfer_->writing || transfer_->sub != sub) {
        error(sub, kErrParam);
        return;
    }
    const std::size_t count = data.size() - 2;
    if (count > kChunk || transfer_->staged.size() + count > kBlockCapacity) {
        transfer_.reset();
        error(sub, kErrOverrun);
        return;
    }
    transfer_->staged.insert(transfer_->staged.end(), data.begin() + 2, data.end());
    transfer_->count = transfer_->staged.size();
    std::vector<uint8_t> answer{kFactoryCommand, sub};
    if (longAck) answer.push_back(0);
    reply(std::move(answer));
}

void FactoryData::end(const std::vector<uint8_t>& data) {
    const std::size_t count = data.size() >= 4 ? static_cast<std::size_t>(data[2] << 8 | data[3]) : SIZE_MAX;
    const std::size_t expected = transfer_ ? transfer_->count : 0;
    if (count != expected) {
        module_.log().event(module_.name() + " factory end " + std::to_string(count) + " mismatch");
        transfer_.reset();
        error(0, kErrSize);
        return;
    }
    if (transfer_ && transfer_->writing) blocks_[transfer_->sub] = transfer_->staged;
    module_.log().event(module_.name() + " factory end " + std::to_string(count) +
                        (transfer_ && transfer_->writing ? " written" : " ok"));
    transfer_.reset();
    reply({kFactoryCommand, 0x00});
}

}  // namespace modsim
