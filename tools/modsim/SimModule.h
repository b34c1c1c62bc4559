// One addressable module: its identity and values, the commands it answers (by data byte 0),
// its loader, and the faults armed for it. A router holds several of these on its network;
// the link-level traffic (sync, route control, heartbeats) belongs to LinkSide.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <string>

#include "Loader.h"
#include "ModuleQueries.h"
#include "Options.h"
#include "Packet.h"
#include "PacketLog.h"
#include "RandomReplies.h"
#include "ReplyFaults.h"
#include "UeiHandler.h"
#include "UeiStore.h"

namespace modsim {

struct Identity {
    uint32_t serial = 0;
    uint8_t model = 0;
    uint8_t address = 0;
};

class SimModule;

// How a module's restart reaches the host connection.
enum class Restart {
    LinkLost,              // the connection breaks (a fault mid-transfer)
    IntoLoader,            // LOAD answered by dropping the link; the loader announces itself after a probe
    IntoAnnouncingLoader,  // the same, but the loader announces itself as soon as the host is back
    Reboot,                // REBOOT or the reset call: the module is away for a moment
    Gone,                  // LOAD of a module that never comes back
};

// What a module needs from the simulator around it.
class ModuleHost {
public:
    virtual ~ModuleHost() = default;
    // Writes a packet to the host, `delayMs` from now.
    virtual void send(const Packet& packet, unsigned delayMs) = 0;
    virtual void restart(SimModule& module, Restart how) = 0;
};

class SimModule {
public:
    using Handler = std::function<void(const Packet&)>;

    SimModule(const ModuleConfig& config, const Options& options, PacketLog& log, ModuleHost& host);
    SimModule(const SimModule&) = delete;
    SimModule& operator=(const SimModule&) = delete;

    // A complete packet to this module's address.
    void receive(const Packet& packet);

    void onCommand(uint8_t command, Handler handler) { commands_[command] = std::move(handler); }
    // Sends an answer to the host, shaped by the faults taken for the current request.
    void answer(Packet packet);
    // The value request being answered consumes an armed error reply: its code, if any.
    std::optional<uint8_t> takeErrorFault();
    bool chunkSequenceFault() const { return current_.chunkSequence; }
    // The reply being made takes several packets (random replies may make it late).
    void longReply();
    // A call was acknowledged: the reset call restarts the module.
    void called(const UeiKey& key);

    void restart(Restart how) { host_.restart(*this, how); }
    // Comes back from a reboot, running the update's build when the loader had taken firmware.
    void reboot(bool updated);

    ReplyFaults& armedFaults() { return armed_; }
    // Replies shaped at random (the connected module only); null while none are.
    void setRandomReplies(RandomReplies* random) { random_ = random; }
    RandomReplies* randomReplies() const { return random_; }
    // A refusing module acknowledges the I2C probe and answers nothing else.
    void setRefusing(bool refusing) { refusing_ = refusing; }
    bool refusing() const { return refusing_; }
    // A module that restarted and never came back: nothing answers at its address.
    void setAbsent(bool absent) { absent_ = absent; }
    bool absent() const { return absent_; }

    const Identity& identity() const { return identity_; }
    uint32_t buildNumber() const { return buildNumber_; }
    uint32_t version() const { return version_; }
    void setUpdate(uint32_t build, std::optional<uint32_t> version);
    Loader& loader() { return loader_; }
    const Loader& loader() const { return loader_; }
    PacketLog& log() { return log_; }
    // "module 0x04": how events of this module name it.
    std::string name() const;

private:
    Identity identity_;
    PacketLog& log_;
    ModuleHost& host_;
    uint32_t buildNumber_;
    uint32_t version_;
    std::optional<uint32_t> updateBuild_;
    std::optional<uint32_t> updateVersion_;
    std::map<uint8_t, Handler> commands_;
    ReplyFaults armed_;
    ReplyFaults current_;
    RandomReplies* random_ = nullptr;
    // What the random draw did to the reply being sent; empty for an ordinary one.
    std::string randomFate_;
    bool refusing_ = false;
    bool absent_ = false;
    UeiStore values_;
    UeiHandler uei_;
    ModuleQueries queries_;
    Loader loader_;
};

std::string hexByte(uint8_t value);

}  // namespace modsim
