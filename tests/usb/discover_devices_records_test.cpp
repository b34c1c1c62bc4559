// The records of direct discovery on the emulated USB bus: each simulated module is
// connected once and asked for its build number and version; a build reply that goes
// wrong reads as build 0 in that module's record only.
#include <gtest/gtest.h>

#include <map>
#include <memory>

#include "Updater.h"
#include "modsim_process.h"
#include "tempdir.h"
#include "usb_bed.h"
#include "usbbed.h"

using testsupport::ModsimProcess;
using testsupport::TempDir;

namespace {

class Silent : public UpdaterDisplayInterface {
public:
    void display_progress(bool) override {}
    void update_progress(double, const char*) override {}
    void update_spinner(bool, const char*) override {}
    void info_message(const char* text) override { text_ += std::string(text) + "\n"; }
    void error_message(const char* text) override { text_ += std::string(text) + "\n"; }
    const std::string& text() const { return text_; }

private:
    std::string text_;
};

struct Case {
    const char* serial;
    const char* fault;  // armed before the run, "" for none
    uint32_t build;
};

// Every module runs build 777 and version 2.3.42 at address 6.
const Case kCases[] = {
    {"0000A0A0", "", 777},
    // A build reply one byte too long, or none at all, reads as build 0 and no error.
    {"0000A1A1", "fault length", 0},
    {"0000A2A2", "fault no-reply", 0},
};

class DiscoverDeviceRecords : public ::testing::Test {
protected:
    void TearDown() override {
        for (UsbBedDevice* device : devices) {
            usbbed_device_unplug(device);
            usbtest::waitListed(device, false);
        }
    }

    TempDir dir;
    std::vector<std::unique_ptr<ModsimProcess>> modules;
    std::vector<UsbBedDevice*> devices;
};

TEST_F(DiscoverDeviceRecords, EachModuleAnswersForItself) {
    for (const Case& c : kCases) {
        const std::string socketPath = dir.file(std::string(c.serial) + ".sock");
        modules.push_back(std::make_unique<ModsimProcess>(
            dir.path(),
            std::vector<std::string>{"--unix", socketPath, "--serial", c.serial, "--model", "19", "--address", "6",
                                     "--build", "777", "--version", "2300002A"},
            c.serial));
        ASSERT_TRUE(modules.back()->ready());
        if (*c.fault) {
            ASSERT_EQ(modules.back()->control(c.fault), "ok");
        }
        UsbBedDeviceSpec spec{c.serial, 19, 0, 0, USBBED_LAYOUT_MODULE};
        UsbBedDevice* device = usbbed_add_device(usbtest::bed(), &spec);
        ASSERT_NE(device, nullptr);
        devices.push_back(device);
        ASSERT_EQ(usbbed_device_bridge_unix(device, socketPath.c_str()), 0);
        ASSERT_TRUE(usbtest::waitListed(device, true));
    }

    Silent display;
    Updater updater("http://127.0.0.1:1/cgi/u", dir.path().c_str(), display);
    std::map<uint32_t, DeviceInfo> found;
    for (const DeviceInfo& record : updater.Discover_Devices(USB)) found[record.spec.serialNumber] = record;
    EXPECT_EQ(display.text(), "");
    ASSERT_EQ(found.size(), std::size(kCases));

    for (const Case& c : kCases) {
        SCOPED_TRACE(c.serial);
        const DeviceInfo& record = found[static_cast<uint32_t>(std::stoul(c.serial, nullptr, 16))];
        EXPECT_EQ(record.spec.type, static_cast<uint32_t>(USB));
        EXPECT_EQ(record.modelName, "Hallvex");
        EXPECT_EQ(record.buildNumber, c.build);
        EXPECT_EQ(record.versionMajor, 2);
        EXPECT_EQ(record.versionMinor, 3);
        EXPECT_EQ(record.versionPatch, 42u);
        EXPECT_EQ(record.spec.moduleAddress, 6u);
        EXPECT_EQ(record.spec.routerAddress, 6u);
        EXPECT_EQ(record.networkAddress, 0);
        EXPECT_EQ(record.error, 0);
    }
}

}  // namespace
