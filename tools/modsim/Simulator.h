// The simulator's single-threaded event loop: the host connection, the control channel
// (standard input and an optional control socket), discovery, and signals.
#pragma once

#include <chrono>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "Discovery.h"
#include "HostPort.h"
#include "I2CBus.h"
#include "Options.h"
#include "Packet.h"
#include "PacketLog.h"
#include "ModuleQueries.h"
#include "SimModule.h"
#include "UeiHandler.h"
#include "UeiStore.h"

namespace modsim {

class Simulator {
public:
    explicit Simulator(const Options& options);
    ~Simulator();
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

    bool setUp(std::string& error);
    void serve();

    void acceptHost();
    void readHost();
    void writeHost(const std::vector<uint8_t>& bytes);
    void dropHost(const std::string& reason);
    void renewPty();
    void printReady();

    void acceptControl();
    void readControl(ControlClient& client);
    void runLines(ControlClient& client);
    void finishWaits();
    int pollTimeoutMs() const;

    // ControlCommands.cpp: one command line, answered with one "ok ..." or "error ..." line
    // (a heartbeat-wait answers later, from finishWaits).
    void execute(const std::string& line, ControlClient& client);
    std::string faultCommand(const std::vector<std::string>& words);
    std::string statusText() const;
    std::string heartbeatCounts() const;
    static void reply(const ControlClient& client, const std::string& text);

    Options options_;
    PacketLog log_;
    SimModule module_;
    UeiStore values_;
    UeiHandler uei_;
    ModuleQueries queries_;
    I2CBus i2c_;
    std::unique_ptr<HostPort> port_;
    std::unique_ptr<DiscoveryResponder> discovery_;
    PacketAssembler assembler_;
    int host_ = -1;
    int controlListen_ = -1;
    int signals_ = -1;
    std::vector<std::unique_ptr<ControlClient>> clients_;
    bool running_ = true;
};

}  // namespace modsim
