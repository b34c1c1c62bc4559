#include "LinkSide.h"

#include "SimModule.h"

namespace modsim {

LinkSide::LinkSide(PacketLog& log, Write write) : log_(log), write_(std::move(write)) {}

void LinkSide::add(SimModule& module) {
    if (modules_.empty()) address_ = module.identity().address;
    modules_[module.identity().address] = &module;
}

SimModule* LinkSide::find(uint8_t address) const {
    const auto found = modules_.find(address);
    return found == modules_.end() ? nullptr : found->second;
}

void LinkSide::receive(const Packet& packet) {
    if (packet.address == kSyncAddress) return handleSyncQuery(packet);
    if (packet.address == kRouteAddress) return handleRouteControl(packet);
    if (packet.address == address_ && !packet.data.empty() && packet.data[0] == 0x00)
        return handleHeartbeatAnswer(packet);
    SimModule* module = find(packet.address);
    if (!module) {
        log_.event("not for this module: address " + hexByte(packet.address));
        return;
    }
    announcement_.reset();
    module->receive(packet);
}

void LinkSide::transmit(const Packet& packet) {
    if (!silent_ && !gone_) write_(packet);
}

void LinkSide::sendHeartbeat(uint8_t n) {
    write_(heartbeats_.make(address_, n));
}

void LinkSide::handleSyncQuery(const Packet& packet) {
    if (!packet.data.empty()) {
        log_.event("sync query with data ignored");
        return;
    }
    if (silent_ || gone_) return;
    if (probeRefused_) {
        log_.event("fault no-probe: sync query not answered");
        return;
    }
    ++syncAnswers_;
    transmit(Packet{address_, {}});
    std::vector<Packet> after;
    after.swap(afterProbe_);
    for (const auto& next : after) {
        log_.event("after probe: " + hexBytes(next.wire()));
        transmit(next);
    }
}

void LinkSide::handleRouteControl(const Packet& packet) {
    if (packet.data.size() != 1) {
        log_.event("route control malformed");
        return;
    }
    route_ = packet.data[0];
    log_.event(std::string("route ") + (route_ == 1 ? "on" : route_ == 0 ? "off" : hexByte(packet.data[0])));
    if (route_ == 1) announce("route on");
}

void LinkSide::announce(const char* when) {
    if (!announcement_ || silent_ || gone_) return;
    log_.event(std::string("announce after ") + when + ": " + hexBytes(announcement_->wire()));
    transmit(*announcement_);
}

void LinkSide::handleHeartbeatAnswer(const Packet& packet) {
    if (packet.data.size() != 2) {
        log_.event("command 0x00 of unexpected length");
        return;
    }
    const uint8_t value = packet.data[1];
    log_.event(std::string(heartbeats_.answer(value) ? "heartbeat answer ok " : "heartbeat answer wrong ") +
               std::to_string(value));
}

}  // namespace modsim
