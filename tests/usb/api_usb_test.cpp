// Link and Module over USB through the real libusb against modules emulated by the
// umockdev test bed, each bridged to a simulated module program: discovery by serial
// number and by model, the single transport fallback, and two Modules on one USB link.
#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "Module.h"
#include "SystemClass.h"
#include "aTrace.h"
#include "modsim_process.h"
#include "tempdir.h"
#include "usbbed.h"

using namespace Veltrane::Corvalith;
using testsupport::ModsimProcess;
using testsupport::TempDir;

namespace {

aWeaveConfig plainConfig(uint8_t fallback = 0) {
    aWeaveConfig config;
    config.enabled = 0;
    config.fallback = fallback;
    return config;
}

class ApiUsb : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        dir = new TempDir;
        bed = usbbed_new();
        ASSERT_NE(bed, nullptr);
        cafe = addModule("0000CAFE", 19, 6);
        beef = addModule("0000BEEF", 21, 8);
    }
    static void TearDownTestSuite() {
        delete cafe;
        delete beef;
        usbbed_free(bed);
        delete dir;
    }

    static ModsimProcess* addModule(const char* serial, uint8_t model, uint8_t address) {
        const std::string socketPath = dir->file(std::string(serial) + ".sock");
        auto* sim = new ModsimProcess(dir->path(),
                                      {"--unix", socketPath, "--serial", serial, "--model", std::to_string(model),
                                       "--address", std::to_string(address)},
                                      serial);
        EXPECT_TRUE(sim->ready());
        UsbBedDeviceSpec spec{serial, model, 0, 0, USBBED_LAYOUT_MODULE};
        UsbBedDevice* device = usbbed_add_device(bed, &spec);
        EXPECT_NE(device, nullptr);
        EXPECT_EQ(usbbed_device_bridge_unix(device, socketPath.c_str()), 0);
        return sim;
    }

    static TempDir* dir;
    static UsbBed* bed;
    static ModsimProcess* cafe;
    static ModsimProcess* beef;
};

TempDir* ApiUsb::dir = nullptr;
UsbBed* ApiUsb::bed = nullptr;
ModsimProcess* ApiUsb::cafe = nullptr;
ModsimProcess* ApiUsb::beef = nullptr;

TEST_F(ApiUsb, ConnectBySerialNumber) {
    Module module(2, 0);
    module.setConfig(plainConfig());
    ASSERT_EQ(module.connect(USB, 0x0000CAFE), aErrNone);
    EXPECT_EQ(module.getModuleAddress(), 6);
    linkSpec spec;
    ASSERT_EQ(module.getLinkSpecifier(&spec), aErrNone);
    EXPECT_EQ(spec.type, static_cast<uint32_t>(USB));
    EXPECT_EQ(spec.serialNumber, 0x0000CAFEu);

    SystemClass system;
    system.init(&module, 0);
    uint32_t serial = 0;
    EXPECT_EQ(system.getSerialNumber(&serial), aErrNone);
    EXPECT_EQ(serial, 0x0000CAFEu);
    uint8_t model = 0;
    EXPECT_EQ(system.getModel(&model), aErrNone);
    EXPECT_EQ(model, 19);
}

TEST_F(ApiUsb, DiscoveryByModel) {
    Module wanted(2, 21);
    wanted.setConfig(plainConfig());
    ASSERT_EQ(wanted.discoverAndConnect(USB, 0), aErrNone);
    EXPECT_EQ(wanted.getModuleAddress(), 8);

    Link any("Link");
    any.setConfig(plainConfig());
    ASSERT_EQ(any.discoverAndConnect(USB, 0, 0), aErrNone);
    linkSpec spec;
    ASSERT_EQ(any.getLinkSpecifier(&spec), aErrNone);
    EXPECT_TRUE(spec.serialNumber == 0x0000CAFEu || spec.serialNumber == 0x0000BEEFu);

    Link none("Link");
    none.setConfig(plainConfig());
    EXPECT_EQ(none.discoverAndConnect(USB, 0, 99), aErrNotFound);
    EXPECT_EQ(none.getLinkSpecifier(&spec), aErrNotFound);
}

TEST_F(ApiUsb, TwoModulesShareOneUsbLink) {
    auto first = std::make_unique<Module>(2, 0);
    first->setConfig(plainConfig());
    ASSERT_EQ(first->connect(USB, 0x0000BEEF), aErrNone);
    Module second(8, false, 0);
    second.setConfig(plainConfig());
    ASSERT_EQ(second.connectThroughLinkModule(first.get()), aErrNone);

    first.reset();
    EXPECT_TRUE(second.isConnected());
    const uint8_t data[] = {0x5A};
    EXPECT_EQ(second.debug(data, 1), aErrNone);
}

}  // namespace
