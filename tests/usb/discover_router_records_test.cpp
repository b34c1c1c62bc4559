// The records of the router sweep: a simulated router on the emulated USB bus with
// modules on its I2C network, swept by Updater::Discover_CVNetwork_Devices.
#include <gtest/gtest.h>

#include <algorithm>
#include <memory>

#include "Updater.h"
#include "modsim_process.h"
#include "tempdir.h"
#include "usb_bed.h"
#include "usbbed.h"

using testsupport::ModsimProcess;
using testsupport::TempDir;

namespace {

const uint32_t kRouterSerial = 0x00C0FFEE;
const uint8_t kRouterAddress = 10;

class Recorder : public UpdaterDisplayInterface {
public:
    void display_progress(bool) override {}
    void update_progress(double, const char*) override {}
    void update_spinner(bool, const char*) override {}
    void info_message(const char* text) override { text_ += std::string(text) + "\n"; }
    void error_message(const char* text) override { text_ += "error: " + std::string(text) + "\n"; }
    const std::string& text() const { return text_; }

private:
    std::string text_;
};

class DiscoverRouterRecords : public ::testing::Test {
protected:
    void SetUp() override {
        const std::string socketPath = dir.file("router.sock");
        router = std::make_unique<ModsimProcess>(
            dir.path(),
            std::vector<std::string>{"--unix", socketPath, "--serial", "00C0FFEE", "--model", "13", "--address",
                                     std::to_string(kRouterAddress), "--router-module", "2:0B0B0002:19:1111:2100000C",
                                     "--router-module", "6:0D0D0006:21", "--router-module",
                                     "8:0C0C0008:26:4000000000:2300002A"},
            "router");
        ASSERT_TRUE(router->ready());
        UsbBedDeviceSpec spec{"00C0FFEE", 13, 0, 0, USBBED_LAYOUT_MODULE};
        device = usbbed_add_device(usbtest::bed(), &spec);
        ASSERT_NE(device, nullptr);
        ASSERT_EQ(usbbed_device_bridge_unix(device, socketPath.c_str()), 0);
        ASSERT_TRUE(usbtest::waitListed(device, true));
    }
    void TearDown() override {
        if (device) {
            usbbed_device_unplug(device);
            usbtest::waitListed(device, false);
        }
    }

    std::vector<DeviceInfo> sweep() {
        Updater updater("http://127.0.0.1:1/cgi/u", dir.path().c_str(), display);
        return updater.Discover_CVNetwork_Devices(kRouterSerial, USB);
    }

    // Log lines of the I2C probes, in order.
    std::vector<std::string> probes() const {
        std::vector<std::string> lines;
        for (const auto& line : router->logLines())
            if (line.rfind("ev i2c write ", 0) == 0) lines.push_back(line);
        return lines;
    }

    TempDir dir;
    Recorder display;
    std::unique_ptr<ModsimProcess> router;
    UsbBedDevice* device = nullptr;
};

TEST_F(DiscoverRouterRecords, EachAnsweringModuleGetsARecordOfTheRouterAndItsOwnAnswers) {
    // The module at 6 acknowledges the probe but answers nothing after it.
    ASSERT_EQ(router->control("fault refuse on 6"), "ok");
    const auto devices = sweep();
    EXPECT_EQ(display.text(), "");
    ASSERT_EQ(devices.size(), 2u);

    struct Expected {
        uint32_t serial;
        uint8_t address;
        uint32_t model;
        const char* modelName;
        uint32_t build;
        uint8_t major, minor;
        uint32_t patch;
    };
    const Expected expected[] = {{0x0B0B0002, 2, 19, "Hallvex", 1111, 2, 1, 12},
                                 {0x0C0C0008, 8, 26, "Krowle", 4000000000u, 2, 3, 42}};
    for (size_t i = 0; i < 2; ++i) {
        SCOPED_TRACE(i);
        const DeviceInfo& record = devices[i];
        const Expected& want = expected[i];
        EXPECT_EQ(record.spec.type, static_cast<uint32_t>(USB));
        EXPECT_EQ(record.spec.serialNumber, want.serial);
        EXPECT_EQ(record.spec.moduleAddress, want.address);
        EXPECT_EQ(record.spec.routerAddress, kRouterAddress);
        EXPECT_EQ(record.spec.routerSerialNumber, kRouterSerial);
        EXPECT_EQ(record.spec.model, want.model);
        // The transport part comes from the router: on USB it repeats the router's serial number.
        EXPECT_EQ(record.spec.ipAddress, kRouterSerial);
        EXPECT_EQ(record.networkAddress, want.address);
        EXPECT_EQ(record.modelName, want.modelName);
        EXPECT_EQ(record.buildNumber, want.build);
        EXPECT_EQ(record.versionMajor, want.major);
        EXPECT_EQ(record.versionMinor, want.minor);
        EXPECT_EQ(record.versionPatch, want.patch);
        EXPECT_EQ(record.error, 0);
    }
}

// Every even address from 2 to 252 but the router's own is probed once, in order, and
// the router is routed to before the sweep and released after it.
TEST_F(DiscoverRouterRecords, SweepProbesEveryEvenAddressButTheRouters) {
    sweep();
    std::vector<std::string> wanted;
    for (int address = 2; address <= 252; address += 2) {
        if (address == kRouterAddress) continue;
        char line[64];
        snprintf(line, sizeof line, "ev i2c write 0x%02X %s", address,
                 address == 2 || address == 6 || address == 8 ? "ack" : "refused");
        wanted.push_back(line);
    }
    EXPECT_EQ(probes(), wanted);

    const auto lines = router->logLines();
    const auto at = [&](const std::string& text) {
        return std::find(lines.begin(), lines.end(), text) - lines.begin();
    };
    const auto routeOn = at("rx 0A 04 03 94 20 01");
    const auto routeOff = at("rx 0A 04 03 94 20 00");
    const auto firstProbe = at(probes().front());
    const auto lastProbe = at(probes().back());
    ASSERT_LT(routeOff, static_cast<long>(lines.size()));
    EXPECT_LT(routeOn, firstProbe);
    EXPECT_GT(routeOff, lastProbe);
}

struct RouterFault {
    const char* name;
    const char* command;
    const char* message;
};

void PrintTo(const RouterFault& fault, std::ostream* os) {
    *os << fault.name;
}

class DiscoverRouterFaults : public DiscoverRouterRecords, public ::testing::WithParamInterface<RouterFault> {};

// A router that cannot be used gives the empty list and its message, and nothing is probed.
TEST_P(DiscoverRouterFaults, EmptyListAndNoProbe) {
    ASSERT_EQ(router->control(GetParam().command), "ok");
    EXPECT_TRUE(sweep().empty());
    EXPECT_EQ(display.text(), GetParam().message);
    EXPECT_TRUE(probes().empty());
}

INSTANTIATE_TEST_SUITE_P(
    Faults, DiscoverRouterFaults,
    ::testing::Values(RouterFault{"RefusesConnection", "fault refuse on", "error: Error 25 on connectFromSpec\n"},
                      RouterFault{"RouteToMeRefused", "fault error 12", "error: Error 12 on route to me\n"}),
    [](const ::testing::TestParamInfo<RouterFault>& fault) { return std::string(fault.param.name); });

}  // namespace
