// The simulator's single-threaded event loop: the host connection, the control channel
// (standard input and an optional control socket), discovery, signals, delayed replies
// and module restarts.
#pragma once

#include <chrono>
#include <deque>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "Discovery.h"
#include "ExchangeEntities.h"
#include "FactoryData.h"
#include "HostPort.h"
#include "I2CBus.h"
#include "LinkSide.h"
#include "Options.h"
#include "Packet.h"
#include "PacketLog.h"
#include "RandomReplies.h"
#include "SimModule.h"
#include "StreamSamples.h"
#include "StoreSlots.h"

namespace modsim {

class Simulator : private ModuleHost {
public:
    explicit Simulator(const Options& options);
    ~Simulator() override;
    Simulator(const Simulator&) = delete;
    Simulator& operator=(const Simulator&) = delete;

    // Sets everything up, prints the ready line and serves until "quit" or SIGTERM/SIGINT.
    // Returns the process exit code.
    int run();

private:
    using Clock = std::chrono::steady_clock;

    struct ControlClient {
        int inFd = -1;
        int outFd = -1;
        std::string input;
        // Set while a heartbeat-wait is outstanding; later lines wait their turn.
        std::optional<Clock::time_point> waitUntil;
    };

    struct Delayed {
        Clock::time_point due;
        Packet packet;
    };

    // ModuleHost
    void send(const Packet& packet, unsigned delayMs) override;
    void restart(SimModule& module, Restart how) override;

    bool setUp(std::string& error);
    void serve();

    void acceptHost();
    void readHost();
    void writeHost(const std::vector<uint8_t>& bytes);
    // Closes the host connection; `reset` makes a TCP peer see a reset instead of an orderly close.
    void dropHost(const std::string& reason, bool reset = false);
    void renewPty();
    void printReady();
    void sendDueReplies();
    void listenAgainWhenDue();
    void pauseListening(unsigned ms);

    void acceptControl();
    void readControl(ControlClient& client);
    void runLines(ControlClient& client);
    void finishWaits();
    int pollTimeoutMs() const;

    // ControlCommands.cpp: one command line, answered with one "ok ..." or "error ..." line
    // (a heartbeat-wait answers later, from finishWaits).
    void execute(const std::string& line, ControlClient& client);
    std::string statusText() const;
    std::string heartbeatCounts() const;
    std::string moduleCommand(const std::vector<std::string>& words);
    std::string streamCommand(const std::vector<std::string>& words);
    std::string randomCommand(const std::vector<std::string>& words);
    static void reply(const ControlClient& client, const std::string& text);
    // FaultCommands.cpp
    std::string faultCommand(const std::vector<std::string>& words);
    std::string loaderFault(const std::vector<std::string>& words);
    std::string linkFault(const std::string& kind, const std::string& arg);
    // The module a trailing ADDR names (the connected one when absent), or null with `error`.
    SimModule* moduleAt(const std::vector<std::string>& words, std::size_t position, std::string& error) const;

    SimModule& primary() const { return *modules_.front(); }
    bool connectionPort() const { return options_.port != PortKind::Pty; }

    Options options_;
    PacketLog log_;
    LinkSide link_;
    std::vector<std::unique_ptr<SimModule>> modules_;
    std::unique_ptr<I2CBus> i2c_;
    std::unique_ptr<ExchangeEntities> exchange_;
    std::unique_ptr<StreamSamples> streams_;
    std::unique_ptr<StoreSlots> slots_;
    std::unique_ptr<FactoryData> factory_;
    std::unique_ptr<HostPort> port_;
    std::unique_ptr<DiscoveryResponder> discovery_;
    PacketAssembler assembler_;
    int host_ = -1;
    unsigned connections_ = 0;  // counts host connections, so a restart mid-read stops the read
    std::deque<Delayed> delayed_;
    RandomReplies random_;
    // Once replies are shaped at random, a reply never overtakes an earlier one.
    bool inOrder_ = false;
    std::optional<Clock::time_point> listenAgainAt_;
    bool refuseConnections_ = false;
    int controlListen_ = -1;
    int signals_ = -1;
    std::vector<std::unique_ptr<ControlClient>> clients_;
    bool running_ = true;
};

}  // namespace modsim
