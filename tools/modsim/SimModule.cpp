#include "SimModule.h"

#include <cstdio>

#include "StreamSamples.h"
#include "SystemEntity.h"

namespace modsim {

std::string hexByte(uint8_t value) {
    char text[8];
    std::snprintf(text, sizeof text, "0x%02X", value);
    return text;
}

SimModule::SimModule(const ModuleConfig& config, const Options& options, PacketLog& log, ModuleHost& host)
    : identity_{config.serial, config.model, config.address},
      log_(log),
      host_(host),
      buildNumber_(config.buildNumber),
      version_(config.version),
      updateBuild_(config.updateBuild),
      updateVersion_(config.updateVersion),
      uei_(values_, *this),
      queries_(values_, *this),
      loader_(*this, options) {
    defineSystemEntity(values_, config);
    uei_.attach();
    queries_.attach();
    loader_.attach();
}

std::string SimModule::name() const {
    return "module " + hexByte(identity_.address);
}

void SimModule::receive(const Packet& packet) {
    if (absent_) return;
    if (refusing_) {
        log_.event(name() + " refusing, not answered");
        return;
    }
    if (packet.data.empty()) {
        log_.event("empty packet to this module");
        return;
    }
    const auto handler = commands_.find(packet.data[0]);
    if (handler == commands_.end()) {
        log_.event("unhandled command " + hexByte(packet.data[0]));
        return;
    }
    current_ = armed_;
    armed_ = ReplyFaults{};
    if (random_) randomFate_ = random_->shape(current_, packet.data[0] == kStreamCommand);
    handler->second(packet);
    current_ = ReplyFaults{};
    randomFate_.clear();
}

void SimModule::answer(Packet packet) {
    if (!randomFate_.empty()) log_.event(name() + " random reply " + randomFate_ + ": " + hexBytes(packet.data));
    if (current_.noReply) {
        if (randomFate_.empty()) log_.event(name() + " fault no-reply: " + hexBytes(packet.data));
        return;
    }
    if (current_.wrongLength) {
        if (packet.data.size() < kMaxPacketData) {
            packet.data.push_back(0x00);
        } else {
            packet.data.pop_back();
        }
    }
    host_.send(packet, current_.delayMs);
}

void SimModule::longReply() {
    if (!random_) return;
    const std::string fate = random_->shapeLong(current_);
    if (!fate.empty()) randomFate_ = fate;
}

std::optional<uint8_t> SimModule::takeErrorFault() {
    const auto code = current_.errorCode;
    current_.errorCode.reset();
    return code;
}

void SimModule::called(const UeiKey& key) {
    if (key.command == kSystemCommand && key.option == kSystemResetOption && key.index == 0) {
        loader_.reset();
        log_.event(name() + " reset");
        restart(Restart::Reboot);
    }
}

void SimModule::reboot(bool updated) {
    if (updated) {
        if (updateBuild_) buildNumber_ = *updateBuild_;
        if (updateVersion_) {
            version_ = *updateVersion_;
            values_.defineNumber(UeiKey{kSystemCommand, kSystemVersionOption, 0, 0}, UeiType::Int, version_);
        }
    }
    char text[64];
    std::snprintf(text, sizeof text, " reboot build %u version %08X", buildNumber_, version_);
    log_.event(name() + text);
    restart(Restart::Reboot);
}

void SimModule::setUpdate(uint32_t build, std::optional<uint32_t> version) {
    updateBuild_ = build;
    if (version) updateVersion_ = version;
}

}  // namespace modsim
