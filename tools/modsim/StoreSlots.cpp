#include "StoreSlots.h"

#include <algorithm>

namespace modsim {

namespace {

constexpr uint8_t kErrorFlag = 0x80;
constexpr uint8_t kCapacity = 1;
constexpr uint8_t kSize = 2;
constexpr uint8_t kOpenRead = 3;
constexpr uint8_t kOpenWrite = 4;
constexpr uint8_t kRead = 6;
constexpr uint8_t kWrite = 7;
constexpr uint8_t kClose = 8;
constexpr std::size_t kChunk = 25;
constexpr uint8_t kHandles = 4;
constexpr std::size_t kSizeFaultExtra = 10;

constexpr uint8_t kErrParam = 2;
constexpr uint8_t kErrNotFound = 3;
constexpr uint8_t kErrBusy = 5;
constexpr uint8_t kErrEOF = 10;
constexpr uint8_t kErrOverrun = 15;
constexpr uint8_t kErrPacketLength = 24;

}  // namespace

StoreSlots::StoreSlots(SimModule& module) : module_(module) {
    for (uint8_t slot = 0; slot < 8; ++slot) slots_[{0, slot}].capacity = 1024;
    for (uint8_t slot = 0; slot < 4; ++slot) slots_[{1, slot}].capacity = 32;
}

void StoreSlots::attach() {
    module_.onCommand(kStoreCommand, [this](const Packet& packet) { handle(packet); });
}

std::string StoreSlots::fault(const std::vector<std::string>& words) {
    unsigned after = 0;
    uint8_t code = 0;
    const std::string usage = parseCountedFault(
        words, {"error", "error-short", "error-long", "silent", "sum", "size", "no-close"}, after, code);
    if (!usage.empty()) return usage;
    const std::string& kind = words[2];
    if (isErrorKind(kind)) errorFault_.arm(after, code, errorShapeOf(kind));
    if (kind == "no-close") noCloseFault_.arm(after);
    if (kind == "silent") silentFault_.arm(after);
    if (kind == "sum") sumFault_.arm(after);
    if (kind == "size") sizeFault_.arm(after);
    module_.log().event(module_.name() + " fault slot " + kind + " after " + std::to_string(after) + " armed");
    return "ok";
}

StoreSlots::Slot* StoreSlots::findSlot(uint8_t store, uint8_t slot) {
    const auto found = slots_.find({store, slot});
    return found == slots_.end() ? nullptr : &found->second;
}

void StoreSlots::reply(std::vector<uint8_t> data) {
    if (silent_) {
        module_.log().event(module_.name() + " fault slot silent: " + hexBytes(data));
        return;
    }
    module_.answer(Packet{module_.identity().address, std::move(data)});
}

void StoreSlots::error(const std::vector<uint8_t>& data, uint8_t code, ErrorShape shape) {
    // Requests that name a slot carry the code after store and slot, the others after the handle.
    const bool namesSlot = data[1] >= kCapacity && data[1] <= kOpenWrite;
    std::vector<uint8_t> answer{kStoreCommand, static_cast<uint8_t>(data[1] | kErrorFlag), data[2]};
    if (namesSlot) answer.push_back(data.size() > 3 ? data[3] : 0);
    module_.log().event(module_.name() + " slot error " + std::to_string(code));
    reply(shapedError(std::move(answer), code, shape));
}

void StoreSlots::handle(const Packet& packet) {
    const auto& data = packet.data;
    if (data.size() < 3) {
        module_.log().event(module_.name() + " slot request malformed");
        return;
    }
    const bool errorStrikes = errorFault_.strikes();
    silent_ = silentFault_.strikes();
    if (data[1] == kClose && noCloseFault_.strikes()) silent_ = true;
    const bool sumStrikes = sumFault_.strikes();
    const bool sizeStrikes = sizeFault_.strikes();
    std::optional<uint8_t> code = module_.takeErrorFault();
    ErrorShape shape = ErrorShape::Normal;
    if (errorStrikes) {
        code = errorFault_.code();
        shape = errorFault_.shape();
    }
    if (code) {
        error(data, *code, shape);
    } else if (data[1] >= kCapacity && data[1] <= kOpenWrite) {
        answerSlot(data, sizeStrikes);
    } else {
        answerHandle(data, sumStrikes);
    }
    silent_ = false;
}

void StoreSlots::answerSlot(const std::vector<uint8_t>& data, bool sizeFault) {
    if (data.size() < 4) {
        error(data, kErrPacketLength);
        return;
    }
    const uint8_t op = data[1];
    Slot* slot = findSlot(data[2], data[3]);
    if (!slot) {
        error(data, kErrNotFound);
        return;
    }
    std::vector<uint8_t> answer{kStoreCommand, op, data[2], data[3]};
    if (op == kCapacity || op == kSize) {
        std::size_t value = op == kCapacity ? slot->capacity : slot->bytes.size();
        if (sizeFault && op == kSize) value += kSizeFaultExtra;
        answer.push_back(static_cast<uint8_t>(value >> 8));
        answer.push_back(static_cast<uint8_t>(value));
        reply(std::move(answer));
        return;
    }
    uint8_t number = 1;
    while (number <= kHandles && handles_.count(number)) ++number;
    if (number > kHandles) {
        error(data, kErrBusy);
        return;
    }
    const bool writing = op == kOpenWrite;
    if (writing) slot->bytes.clear();
    handles_[number] = Handle{slot, writing, 0};
    module_.log().event(module_.name() + " slot open " + (writing ? "write " : "read ") + std::to_string(data[2]) +
                        "." + std::to_string(data[3]) + " handle " + std::to_string(number));
    answer.push_back(number);
    reply(std::move(answer));
}

void StoreSlots::answerHandle(const std::vector<uint8_t>& data, bool sumFault) {
    const uint8_t op = data[1];
    if (op != kRead && op != kWrite && op != kClose) {
        error(data, kErrParam);
        return;
    }
    const auto found = handles_.find(data[2]);
    if (found == handles_.end()) {
        error(data, kErrParam);
        return;
    }
    Handle& open = found->second;
    std::vector<uint8_t> answer{kStoreCommand, op, data[2]};
    if (op == kClose) {
        module_.log().event(module_.name() + " slot close handle " + std::to_string(data[2]) + " " +
                            std::to_string(open.writing ? open.slot->bytes.size() : open.position) + " bytes");
        handles_.erase(found);
        answer.push_back(0);
        reply(std::move(answer));
        return;
    }
    if (open.writing != (op == kWrite)) {
        error(data, kErrPermission);
        return;
    }
    if (op == kRead) {
        if (open.position == open.slot->bytes.size()) {
            error(data, kErrEOF);
            return;
        }
        const std::size_t count = std::min(kChunk, open.slot->bytes.size() - open.position);
        const auto from = open.slot->bytes.begin() + static_cast<std::ptrdiff_t>(open.position);
        answer.insert(answer.end(), from, from + static_cast<std::ptrdiff_t>(count));
        open.position += count;
        reply(std::move(answer));
        return;
    }
    const std::size_t count = data.size() - 3;
    if (count == 0 || count > kChunk) {
        error(data, kErrPacketLength);
        return;
    }
    if (open.slot->bytes.size() + count > open.slot->capacity) {
        error(data, kErrOverrun);
        return;
    }
    uint8_t sum = sumFault ? 1 : 0;
    for (std::size_t i = 3; i < data.size(); ++i) sum = static_cast<uint8_t>(sum + data[i]);
    open.slot->bytes.insert(open.slot->bytes.end(), data.begin() + 3, data.end());
    answer.push_back(sum);
    reply(std::move(answer));
}

}  // namespace modsim
