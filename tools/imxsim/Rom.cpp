#include "Rom.h"

#include <cstdio>

namespace imxsim {

namespace {

const uint16_t READ_REGISTER = 0x0101;
const uint16_t WRITE_FILE = 0x0404;
const uint16_t ERROR_STATUS = 0x0505;
const uint16_t JUMP_ADDRESS = 0x0B0B;
const uint32_t FUSE_CFG0 = 0x401F4410;
const uint32_t FUSE_CFG1 = 0x401F4420;
const uint32_t STATUS_OK = 0xF0F0F0F0;
const uint32_t MAX_READ = 0x10000;

uint32_t be32(const uint8_t* p) {
    return static_cast<uint32_t>(p[0]) << 24 | static_cast<uint32_t>(p[1]) << 16 | static_cast<uint32_t>(p[2]) << 8 |
           p[3];
}

std::vector<uint8_t> le32(uint32_t w) {
    return {static_cast<uint8_t>(w), static_cast<uint8_t>(w >> 8), static_cast<uint8_t>(w >> 16),
            static_cast<uint8_t>(w >> 24)};
}

std::string hex32(uint32_t w) {
    char text[16];
    std::snprintf(text, sizeof text, "0x%08X", w);
    return text;
}

}  // namespace

std::vector<Reply> Rom::answer(std::vector<uint8_t> status) {
    if (options_.silent) return {};
    return {Reply{Reply::Security, le32(options_.security)}, Reply{Reply::Status, std::move(status)}};
}

uint32_t Rom::readWord(uint32_t address) const {
    if (address == FUSE_CFG0) return options_.fuse[0];
    if (address == FUSE_CFG1) return options_.fuse[1];
    uint32_t word = 0;
    for (unsigned i = 0; i < 4; ++i) {
        const auto it = ram_.find(address + i);
        if (it != ram_.end()) word |= static_cast<uint32_t>(it->second) << (8 * i);
    }
    return word;
}

void Rom::store(uint32_t address, const uint8_t* bytes, size_t count) {
    for (size_t i = 0; i < count; ++i) ram_[address + static_cast<uint32_t>(i)] = bytes[i];
}

std::vector<Reply> Rom::command(const uint8_t* c) {
    const uint16_t type = static_cast<uint16_t>(c[0] << 8 | c[1]);
    const uint32_t address = be32(c + 2);
    const uint32_t count = be32(c + 7);
    switch (type) {
    case ERROR_STATUS:
        log_("error-status");
        return answer(le32(STATUS_OK));
    case READ_REGISTER: {
        log_("read-register " + hex32(address) + " count " + std::to_string(count));
        const uint32_t n = count > MAX_READ ? MAX_READ : count;
        std::vector<uint8_t> bytes;
        for (uint32_t i = 0; i < n; i += 4) {
            const std::vector<uint8_t> w = le32(readWord(address + i));
            bytes.insert(bytes.end(), w.begin(), w.begin() + (n - i < 4 ? n - i : 4));
        }
        return answer(bytes);
    }
    case WRITE_FILE:
        log_("write-file " + hex32(address) + " size " + std::to_string(count));
        loadAddress_ = address;
        loadSize_ = count;
        remaining_ = count;
        received_ = 0;
        strayDone_ = false;
        if (count == 0) return answer(le32(options_.writeStatus));
        return {};
    case JUMP_ADDRESS:
        log_("jump " + hex32(address));
        jumped_ = true;
        jumpAddress_ = address;
        if (options_.silent) return {};
        return {Reply{Reply::Security, le32(options_.security)}};
    default:
        log_("unknown command " + hex32(type));
        return {};
    }
}

std::vector<Reply> Rom::data(const uint8_t* bytes, size_t count) {
    const size_t take = count > remaining_ ? remaining_ : count;
    store(loadAddress_ + received_, bytes, take);
    received_ += static_cast<uint32_t>(take);
    remaining_ -= static_cast<uint32_t>(take);
    std::vector<Reply> out;
    if (options_.strayDuringLoad && !strayDone_ && remaining_ > 0) {
        strayDone_ = true;
        log_("stray bytes during write-file");
        out.push_back(Reply{Reply::Stray, {0xEE, 0xEE, 0xEE, 0xEE}});
    }
    if (remaining_ == 0) {
        uint32_t sum = 0;
        for (uint32_t i = 0; i < loadSize_; ++i) sum += ram_[loadAddress_ + i];
        log_("write-file done " + hex32(loadAddress_) + " size " + std::to_string(loadSize_) + " sum " + hex32(sum));
        const std::vector<Reply> end = answer(le32(options_.writeStatus));
        out.insert(out.end(), end.begin(), end.end());
    }
    return out;
}

bool Rom::takeJump(uint32_t& address) {
    if (!jumped_) return false;
    jumped_ = false;
    address = jumpAddress_;
    return true;
}

}  // namespace imxsim
