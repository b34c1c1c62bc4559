// The module's behaviour: what it answers to each packet the host sends.
// Packets to the module's own address are handled by command (data byte 0), so each
// command family registers one handler.
#pragma once

#include <cstdint>
#include <functional>
#include <map>

#include "Heartbeats.h"
#include "Packet.h"
#include "PacketLog.h"

namespace modsim {

struct Identity {
    uint32_t serial = 0;
    uint8_t model = 0;
    uint8_t address = 0;
};

class SimModule {
public:
    using Send = std::function<void(const Packet&)>;
    using Handler = std::function<void(const Packet&)>;

    SimModule(const Identity& identity, PacketLog& log, Send send);

    // A complete packet from the host.
    void receive(const Packet& packet);
    // Sends a heartbeat with value n; it is sent even while silent.
    void sendHeartbeat(uint8_t n);
    // The connection went away: unanswered heartbeats are given up.
    void disconnected() { heartbeats_.abandon(); }

    // While silent the module answers nothing; it still takes in and logs every packet.
    void setSilent(bool silent) { silent_ = silent; }
    bool silent() const { return silent_; }

    const Identity& identity() const { return identity_; }
    const Heartbeats& heartbeats() const { return heartbeats_; }
    unsigned syncAnswers() const { return syncAnswers_; }
    int route() const { return route_; }

    void onCommand(uint8_t command, Handler handler) { commands_[command] = std::move(handler); }
    // Sends an answer to the host unless the module is silent.
    void answer(const Packet& packet);
    PacketLog& log() { return log_; }

private:
    void handleSyncQuery(const Packet& packet);
    void handleRouteControl(const Packet& packet);
    void handleHeartbeatAnswer(const Packet& packet);

    Identity identity_;
    PacketLog& log_;
    Send send_;
    std::map<uint8_t, Handler> commands_;
    Heartbeats heartbeats_;
    bool silent_ = false;
    unsigned syncAnswers_ = 0;
    int route_ = -1;  // last route-control value, -1 before any
};

}  // namespace modsim
