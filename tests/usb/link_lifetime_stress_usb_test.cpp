// The link lifetime under a seeded randomized stress over the emulated USB bus: many
// threads create, destroy, reset, wait on and put to the USB links of three simulated
// modules (each bridged from a device of the bed, streaming samples when asked), while
// user filters call back into the library. STRESS_SEED replays a run, STRESS_SECONDS
// sets its length, STRESS_OPS / STRESS_OPS_OFF pick the operations (names in
// tests/support/link_stress.h).
#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <string>
#include <vector>

#include "aLink.h"
#include "link_stress.h"
#include "modsim_process.h"
#include "stress_settings.h"
#include "tempdir.h"
#include "usb_bed.h"

using namespace std::chrono_literals;
using testsupport::ModsimProcess;
using testsupport::StressSettings;
using testsupport::TempDir;

namespace {

struct BusModule {
    const char* serialText;
    uint32_t serial;
    uint8_t address;
};

const BusModule kModules[] = {{"00002701", 0x00002701, 6}, {"00002702", 0x00002702, 8}, {"00002703", 0x00002703, 10}};

using linkstress::Mix;

class LinkLifetimeStressUsb : public ::testing::TestWithParam<Mix> {
protected:
    static void SetUpTestSuite() {
        dir = new TempDir;
        for (const BusModule& module : kModules) {
            const std::string socketPath = dir->file(std::string(module.serialText) + ".sock");
            sims.push_back(std::make_unique<ModsimProcess>(
                dir->path(),
                std::vector<std::string>{"--unix", socketPath, "--serial", module.serialText, "--model", "19",
                                         "--address", std::to_string(module.address), "--stream-ms", "2"},
                module.serialText));
            ASSERT_TRUE(sims.back()->ready());
            devices.push_back(std::make_unique<usbtest::BedDevice>(
                UsbBedDeviceSpec{module.serialText, 19, 0, 0, USBBED_LAYOUT_MODULE}, false));
            ASSERT_EQ(usbbed_device_bridge_unix(devices.back()->get(), socketPath.c_str()), 0);
            ASSERT_TRUE(devices.back()->ready());
        }
    }
    static void TearDownTestSuite() {
        devices.clear();
        sims.clear();
        delete dir;
    }

    static std::vector<linkstress::ModuleSpec> modules(std::size_t count) {
        std::vector<linkstress::ModuleSpec> specs;
        for (const BusModule& module : kModules) {
            const uint32_t serial = module.serial;
            // Enables the 8-bit value of index 0 of command 0x10.
            specs.push_back({std::string("USB module ") + module.serialText,
                             [serial] { return aLink_CreateUSB(serial); }, module.address, 0,
                             {0x5D, 0x81, 0x20, module.address, 0x10, 0x01, 0x00}});
        }
        specs.resize(count);
        for (std::size_t i = 0; i < specs.size(); ++i) specs[i].partner = (i + 1) % specs.size();
        return specs;
    }

    static inline TempDir* dir = nullptr;
    static inline std::vector<std::unique_ptr<ModsimProcess>> sims;
    static inline std::vector<std::unique_ptr<usbtest::BedDevice>> devices;
};

TEST_P(LinkLifetimeStressUsb, KeepsItsPromises) {
    const Mix& mix = GetParam();
    const StressSettings settings(mix.duration, mix.ops);
    linkstress::RunOptions options;
    options.workers = 6;
    linkstress::Run run(settings, modules(mix.modules), options);
    run.warmUp();
    run.go();
}

INSTANTIATE_TEST_SUITE_P(
    Mixes, LinkLifetimeStressUsb,
    ::testing::Values(Mix{"Everything", linkstress::kOps, 6s, 3},
                      // Every thread makes and drops the link of one module: creates meet its
                      // start and its last destroy.
                      Mix{"CreatorsMeetingStartsAndLastDestroys", {"blink"}, 4s, 1}),
    [](const ::testing::TestParamInfo<Mix>& tested) { return std::string(tested.param.name); });

}  // namespace
