// The link lifetime under a seeded randomized stress over loopback TCP: many threads
// create, destroy, reset, wait on and put to the links of four modules (three played by
// a forked child, two of them sending a packet every millisecond, and the simulated
// module), while user filters call back into the library. Each case is a mix of
// operations that puts one part of the lifetime under pressure; STRESS_SEED replays a
// run, STRESS_SECONDS sets its length, STRESS_OPS / STRESS_OPS_OFF pick the operations
// (names in tests/support/link_stress.h).
#include <gtest/gtest.h>

#include <arpa/inet.h>

#include <chrono>
#include <memory>
#include <string>
#include <vector>

#include "aLink.h"
#include "link_stress.h"
#include "modsim_process.h"
#include "stress_settings.h"
#include "tempdir.h"
#include "ticking_modules.h"

using namespace std::chrono_literals;
using testsupport::ModsimProcess;
using testsupport::StressSettings;
using testsupport::TempDir;
using testsupport::TickingModules;

namespace {

const uint8_t SIM_ADDRESS = 10;

// A mix uses the first of the modules: two that tick, one quiet, the simulator.
using linkstress::Mix;

class LinkLifetimeStress : public ::testing::TestWithParam<Mix> {
protected:
    // Forked before any thread of the test exists.
    static void SetUpTestSuite() {
        ticking = new TickingModules({{"127.0.1.1", 4, true}, {"127.0.1.2", 6, true}, {"127.0.1.3", 8, false}});
        dir = new TempDir;
        sim = new ModsimProcess(dir->path(), {"--tcp", "127.0.1.4:0", "--address", std::to_string(SIM_ADDRESS),
                                              "--stream-ms", "2"});
    }
    static void TearDownTestSuite() {
        delete sim;
        delete dir;
        delete ticking;
    }

    std::vector<linkstress::ModuleSpec> modules(std::size_t count) const {
        std::vector<linkstress::ModuleSpec> specs;
        for (std::size_t i = 0; i < 3; ++i) {
            const uint32_t ip = ticking->ip(i);
            const uint16_t port = ticking->port(i);
            specs.push_back({"ticking module " + std::to_string(i), [ip, port] { return aLink_CreateTCPIP(ip, port); },
                             static_cast<uint8_t>(4 + 2 * i), 0, {}});
        }
        const uint32_t simIp = htonl(0x7F000104);
        const uint16_t simPort = sim->tcpPort();
        // Enables the 8-bit value of index 0 of command 0x10.
        specs.push_back({"simulated module", [simIp, simPort] { return aLink_CreateTCPIP(simIp, simPort); },
                         SIM_ADDRESS, 0, {0x5D, 0x81, 0x20, SIM_ADDRESS, 0x10, 0x01, 0x00}});
        specs.resize(count);
        // Filters reset each other's links in pairs: 0 and 1, 2 and 3.
        for (std::size_t i = 0; i < specs.size(); ++i) specs[i].partner = (i ^ 1) < specs.size() ? (i ^ 1) : i;
        return specs;
    }

    static inline TickingModules* ticking = nullptr;
    static inline TempDir* dir = nullptr;
    static inline ModsimProcess* sim = nullptr;
};

TEST_P(LinkLifetimeStress, KeepsItsPromises) {
    ASSERT_TRUE(ticking->ready());
    ASSERT_TRUE(sim->ready());
    const Mix& mix = GetParam();
    const StressSettings settings(mix.duration, mix.ops);
    linkstress::Run run(settings, modules(mix.modules));
    run.warmUp();
    run.go();
}

INSTANTIATE_TEST_SUITE_P(
    Mixes, LinkLifetimeStress,
    ::testing::Values(
        Mix{"Everything", linkstress::kOps, 6s, 4},
        // Resets while filters ask their own link's status and queue packets on it.
        Mix{"FiltersCallingTheirOwnLink",
            {"create", "destroy", "reset", "wait", "await", "put", "filter-own-status", "filter-own-put"},
            4s,
            2},
        // Filters of two links resetting each other's link while threads reset both.
        Mix{"FiltersResettingEachOthersLinks",
            {"create", "reset", "wait", "filter-reset-other", "filter-reset-other", "filter-reset-other",
             "filter-reset-other"},
            4s,
            2},
        Mix{"FiltersInstallingOnTheirOwnLink", {"create", "destroy", "reset", "await", "filter-own-install"}, 3s, 2},
        // Every thread makes and drops the link of one module: creates meet its start.
        Mix{"CreatorsMeetingStarts", {"blink"}, 3s, 1},
        // Creators of one module meeting its start and its last destroy while others hold it.
        Mix{"CreatorsMeetingLastDestroys", {"create", "destroy", "blink"}, 3s, 1}),
    [](const ::testing::TestParamInfo<Mix>& tested) { return std::string(tested.param.name); });

}  // namespace
