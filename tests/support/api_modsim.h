// A simulated module on a loopback TCP address for the device object API tests: the
// link specifier that reaches it and the packets it received, as its log shows them,
// and the fixture of a Module connected to it.
#pragma once

#include <arpa/inet.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "byte_io.h"
#include "Link.h"
#include "Module.h"
#include "discover.h"
#include "modsim_process.h"
#include "tempdir.h"
#include "wait_until.h"

namespace testsupport {

inline linkSpec tcpLinkSpec(const std::string& address, uint16_t port) {
    linkSpec spec;
    std::memset(&spec, 0, sizeof spec);
    spec.type = TCPIP;
    in_addr ip{};
    inet_pton(AF_INET, address.c_str(), &ip);
    spec.ipAddress = ip.s_addr;
    spec.port = port;
    return spec;
}

// The wire form of a packet to `address`, as the simulator logs it.
// The updater's link settings: no link-server sharing, no transport fallback.
inline Veltrane::Corvalith::aWeaveConfig plainConfig() {
    Veltrane::Corvalith::aWeaveConfig config;
    config.enabled = 0;
    config.fallback = 0;
    return config;
}

// Connects the way the updater does.
inline aErr connectWithoutSharing(Veltrane::Corvalith::Module& module, const linkSpec& spec) {
    const aErr configured = module.setConfig(plainConfig());
    return configured != aErrNone ? configured : module.connectFromSpec(spec);
}

// The wire form of a packet to `address`, as the simulator logs it.
inline std::string wireText(uint8_t address, const Bytes& data) {
    Bytes wire(data.size() + 2);
    wire[0] = address;
    wire[1] = static_cast<uint8_t>(data.size());
    std::copy(data.begin(), data.end(), wire.begin() + 2);
    return hexText(wire);
}

class ApiModsim {
public:
    // `args` are modsim options beside the TCP address (identity, address...).
    explicit ApiModsim(const std::vector<std::string>& args = {}, const std::string& address = "127.0.0.2")
        : address_(address) {
        std::vector<std::string> argv{"--tcp", address + ":0"};
        argv.insert(argv.end(), args.begin(), args.end());
        sim_ = std::make_unique<ModsimProcess>(dir_.path(), argv);
    }

    bool ready() const { return sim_->ready(); }
    ModsimProcess& process() { return *sim_; }
    const std::string& address() const { return address_; }
    uint16_t port() const { return sim_->tcpPort(); }
    linkSpec spec() const { return tcpLinkSpec(address_, sim_->tcpPort()); }
    std::string control(const std::string& command) const { return sim_->control(command); }
    bool waitForLog(const std::string& line, std::size_t count = 1) const { return sim_->waitForLog(line, count); }
    std::size_t countInLog(const std::string& line) const { return sim_->countInLog(line); }
    std::size_t countStartingWith(const std::string& prefix) const {
        std::size_t count = 0;
        for (const auto& line : sim_->logLines()) count += line.rfind(prefix, 0) == 0 ? 1 : 0;
        return count;
    }
    // Waits until `count` log lines start with `prefix`.
    bool waitForLogStart(const std::string& prefix, std::size_t count = 1,
                         std::chrono::milliseconds limit = std::chrono::seconds(5)) const {
        return waitUntil([&] { return countStartingWith(prefix) >= count; }, limit, std::chrono::milliseconds(10));
    }

    // Everything logged from here on is what received() lists.
    void mark() { mark_ = sim_->logLines().size(); }
    // Wire forms ("02 03 03 49 20") of the packets received since the mark, leaving out
    // the route control that the link core sends on its own.
    std::vector<std::string> received() const {
        std::vector<std::string> packets;
        const auto lines = sim_->logLines();
        for (std::size_t i = mark_; i < lines.size(); ++i)
            if (lines[i].rfind("rx ", 0) == 0 && lines[i].rfind("rx AF ", 0) != 0)
                packets.push_back(lines[i].substr(3));
        return packets;
    }
    // Waits until `count` packets arrived since the mark, then lists them.
    std::vector<std::string> awaitReceived(std::size_t count,
                                           std::chrono::milliseconds limit = std::chrono::seconds(5)) const {
        std::vector<std::string> packets;
        waitUntil(
            [&] {
                packets = received();
                return packets.size() >= count;
            },
            limit, std::chrono::milliseconds(10));
        return packets;
    }

private:
    TempDir dir_;
    std::string address_;
    std::unique_ptr<ModsimProcess> sim_;
    std::size_t mark_ = 0;
};

// A Module at `address` connected the updater's way to a simulated module started with
// `args`; `link` is the module's link.
class ModsimModuleTest : public ::testing::Test {
protected:
    explicit ModsimModuleTest(const std::vector<std::string>& args = {}, uint8_t address = 2)
        : sim(args), module(address, false, 0) {}

    void SetUp() override {
        ASSERT_TRUE(sim.ready());
        ASSERT_EQ(connectWithoutSharing(module, sim.spec()), aErrNone);
        link = module.getLink();
    }

    // The echo is answered by every module, so the packets received up to it are
    // exactly what the operation before it sent.
    std::vector<std::string> sentBeforeFence() {
        const uint8_t fence[] = {0xFE};
        EXPECT_EQ(module.debug(fence, 1), aErrNone);
        auto packets = sim.received();
        EXPECT_FALSE(packets.empty());
        if (!packets.empty()) packets.pop_back();
        return packets;
    }

    ApiModsim sim;
    Veltrane::Corvalith::Module module;
    Veltrane::Corvalith::Link* link = nullptr;
};

}  // namespace testsupport
