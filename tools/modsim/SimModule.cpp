#include "SimModule.h"

#include <cstdio>

namespace modsim {

namespace {

std::string hexByte(uint8_t value) {
    char text[8];
    std::snprintf(text, sizeof text, "0x%02X", value);
    return text;
}

}  // namespace

SimModule::SimModule(const Identity& identity, PacketLog& log, Send send)
    : identity_(identity), log_(log), send_(std::move(send)) {
    onCommand(0x00, [this](const Packet& packet) { handleHeartbeatAnswer(packet); });
}

void SimModule::receive(const Packet& packet) {
    if (packet.address == kSyncAddress) {
        handleSyncQuery(packet);
    } else if (packet.address == kRouteAddress) {
        handleRouteControl(packet);
    } else if (packet.address != identity_.address) {
        log_.event("not for this module: address " + hexByte(packet.address));
    } else if (packet.data.empty()) {
        log_.event("empty packet to this module");
    } else {
        const auto handler = commands_.find(packet.data[0]);
        if (handler == commands_.end()) {
            log_.event("unhandled command " + hexByte(packet.data[0]));
        } else {
            handler->second(packet);
        }
    }
}

void SimModule::sendHeartbeat(uint8_t n) {
    send_(heartbeats_.make(identity_.address, n));
}

void SimModule::answer(const Packet& packet) {
    if (!silent_) send_(packet);
}

void SimModule::handleSyncQuery(const Packet& packet) {
    if (!packet.data.empty()) {
        log_.event("sync query with data ignored");
        return;
    }
    if (silent_) return;
    ++syncAnswers_;
    answer(Packet{identity_.address, {}});
}

void SimModule::handleRouteControl(const Packet& packet) {
    if (packet.data.size() != 1) {
        log_.event("route control malformed");
        return;
    }
    route_ = packet.data[0];
    log_.event(std::string("route ") + (route_ == 1 ? "on" : route_ == 0 ? "off" : hexByte(packet.data[0])));
}

void SimModule::handleHeartbeatAnswer(const Packet& packet) {
    if (packet.data.size() != 2) {
        log_.event("command 0x00 of unexpected length");
        return;
    }
    const uint8_t value = packet.data[1];
    log_.event(std::string(heartbeats_.answer(value) ? "heartbeat answer ok " : "heartbeat answer wrong ") +
               std::to_string(value));
}

}  // namespace modsim
