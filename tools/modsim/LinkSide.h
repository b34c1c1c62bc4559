// The link as the simulated module (or router) sees it: sync queries, route control and
// heartbeats belong to the connection; every other packet goes to the module at its
// address, or is logged and dropped when nothing sits there.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <vector>

#include "Heartbeats.h"
#include "Packet.h"
#include "PacketLog.h"

namespace modsim {

class SimModule;

class LinkSide {
public:
    using Write = std::function<void(const Packet&)>;

    LinkSide(PacketLog& log, Write write);

    // The module the host connects to comes first; routed modules follow.
    void add(SimModule& module);
    const std::map<uint8_t, SimModule*>& modules() const { return modules_; }
    SimModule* find(uint8_t address) const;

    void receive(const Packet& packet);
    // Writes to the host unless the link side is silent or gone.
    void transmit(const Packet& packet);
    void sendHeartbeat(uint8_t n);
    // The connection went away: unanswered heartbeats are given up.
    void disconnected() { heartbeats_.abandon(); }
    // Sent right after the next answer to an address probe.
    void afterNextProbe(const Packet& packet) { afterProbe_.push_back(packet); }
    // Sent on every new connection and after every route-on, until the host sends the
    // module anything: a host that syncs a new link throws away what came before.
    void announceUntilHeard(const Packet& packet) { announcement_ = packet; }
    // A host connected.
    void connected() { announce("connect"); }

    // While silent nothing is answered; packets are still taken in and logged.
    void setSilent(bool silent) { silent_ = silent; }
    bool silent() const { return silent_; }
    // A module that is gone answers nothing, for good.
    void setGone() { gone_ = true; }
    void setProbeRefused(bool refused) { probeRefused_ = refused; }

    uint8_t address() const { return address_; }
    const Heartbeats& heartbeats() const { return heartbeats_; }
    unsigned syncAnswers() const { return syncAnswers_; }
    int route() const { return route_; }

private:
    void handleSyncQuery(const Packet& packet);
    void handleRouteControl(const Packet& packet);
    void handleHeartbeatAnswer(const Packet& packet);
    void announce(const char* when);

    PacketLog& log_;
    Write write_;
    uint8_t address_ = 0;
    std::map<uint8_t, SimModule*> modules_;
    std::vector<Packet> afterProbe_;
    std::optional<Packet> announcement_;
    Heartbeats heartbeats_;
    bool silent_ = false;
    bool gone_ = false;
    bool probeRefused_ = false;
    unsigned syncAnswers_ = 0;
    int route_ = -1;  // last route-control value, -1 before any
};

}  // namespace modsim
