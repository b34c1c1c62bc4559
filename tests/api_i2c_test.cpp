// I2CClass against a simulated router's I2C bus over loopback TCP: reads, writes,
// pull-up control, the speed setting, and bus addresses that nothing acknowledges.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "I2CClass.h"
#include "Module.h"
#include "api_modsim.h"

using namespace Veltrane::Corvalith;
using testsupport::ApiModsim;
using testsupport::Bytes;
using testsupport::wireText;

using testsupport::plainConfig;

namespace {

constexpr uint8_t kAddress = 2;
constexpr uint8_t kRouted = 0x0A;

// A router with one module on its I2C network at address 0x0A.
class ApiI2C : public testsupport::ModsimModuleTest {
protected:
    ApiI2C() : ModsimModuleTest({"--router-module", "10:0000BEEF:21"}, kAddress) {}

    void SetUp() override {
        ModsimModuleTest::SetUp();
        if (HasFatalFailure()) return;
        bus.init(&module, 0);
    }

    I2CClass bus;
};

TEST_F(ApiI2C, WriteAndReadAnAcknowledgingAddress) {
    ASSERT_EQ(bus.setSpeed(2), aErrNone);
    const uint8_t data[] = {0x10, 0xDE, 0xAD};
    sim.mark();
    ASSERT_EQ(bus.write(kRouted, sizeof data, data), aErrNone);
    uint8_t buffer[8];
    std::fill(buffer, buffer + sizeof buffer, 0x77);
    ASSERT_EQ(bus.read(kRouted, 5, buffer), aErrNone);
    EXPECT_EQ(sim.received(), (std::vector<std::string>{wireText(kAddress, {8, 0, 0x0A, 3, 2, 0x10, 0xDE, 0xAD}),
                                                        wireText(kAddress, {8, 0, 0x0B, 5, 2})}));
    // The simulated router reads zeros; nothing beyond the asked length is written.
    EXPECT_EQ(Bytes(buffer, buffer + 6), (Bytes{0, 0, 0, 0, 0, 0x77}));
    EXPECT_TRUE(sim.waitForLog("ev i2c write 0x0A ack"));
    EXPECT_TRUE(sim.waitForLog("ev i2c read 0x0B ack"));
}

TEST_F(ApiI2C, TransferSizes) {
    const Bytes full(23, 0x33);
    sim.mark();
    EXPECT_EQ(bus.write(kRouted, 23, full.data()), aErrNone);
    ASSERT_EQ(sim.received().size(), 1u);
    EXPECT_EQ(sim.received()[0].substr(0, 5), "02 1C");

    const Bytes tooMany(24, 0x33);
    uint8_t buffer[24];
    sim.mark();
    EXPECT_EQ(bus.write(kRouted, 24, tooMany.data()), aErrSize);
    EXPECT_EQ(bus.read(kRouted, 24, buffer), aErrSize);
    EXPECT_EQ(bus.read(kRouted, 23, buffer), aErrNone);
    EXPECT_EQ(sim.received(), std::vector<std::string>{wireText(kAddress, {8, 0, 0x0B, 23, 0})});
}

TEST_F(ApiI2C, Pullup) {
    sim.mark();
    EXPECT_EQ(bus.setPullup(true), aErrNone);
    EXPECT_EQ(bus.setPullup(false), aErrNone);
    EXPECT_EQ(sim.received(),
              (std::vector<std::string>{wireText(kAddress, {8, 0, 1, 1}), wireText(kAddress, {8, 0, 1, 0})}));
    EXPECT_TRUE(sim.waitForLog("ev i2c pullup on"));
    EXPECT_TRUE(sim.waitForLog("ev i2c pullup off"));
}

TEST_F(ApiI2C, Speed) {
    uint8_t speed = 9;
    EXPECT_EQ(bus.getSpeed(&speed), aErrNone);
    EXPECT_EQ(speed, 0);
    EXPECT_EQ(bus.setSpeed(3), aErrNone);
    EXPECT_EQ(bus.setSpeed(4), aErrParam);
    EXPECT_EQ(bus.getSpeed(&speed), aErrNone);
    EXPECT_EQ(speed, 3);
    bus.init(&module, 0);
    EXPECT_EQ(bus.getSpeed(&speed), aErrNone);
    EXPECT_EQ(speed, 0);
}

TEST_F(ApiI2C, ModuleStatusCodesCarriedThrough) {
    const uint8_t probe[] = {0, 0};
    uint8_t buffer[4] = {0x77, 0x77, 0x77, 0x77};
    EXPECT_EQ(bus.write(0x50, 2, probe), aErrNotFound);
    EXPECT_EQ(bus.read(0x50, 4, buffer), aErrNotFound);
    EXPECT_EQ(buffer[0], 0x77);

    I2CClass second;
    second.init(&module, 1);
    EXPECT_EQ(second.write(kRouted, 2, probe), aErrInvalidEntity);
    EXPECT_EQ(second.read(kRouted, 1, buffer), aErrInvalidEntity);
}

TEST_F(ApiI2C, SilentModuleTimesOut) {
    ASSERT_EQ(sim.control("fault silence on"), "ok");
    uint8_t buffer[2];
    EXPECT_EQ(bus.read(kRouted, 2, buffer), aErrTimeout);

    I2CClass unbound;
    EXPECT_EQ(unbound.read(kRouted, 2, buffer), aErrResource);
}

// A bus that flags a transfer with the error bit but no code has still refused it, so a
// sweep of the bus never counts such an address as a device.
TEST(ApiI2CBare, ErrorFlagWithoutCodeIsAFailure) {
    ApiModsim sim;
    ASSERT_TRUE(sim.ready());
    Module module(kAddress, false, 0);
    module.setConfig(plainConfig());
    ASSERT_EQ(module.connectFromSpec(sim.spec()), aErrNone);
    I2CClass bus;
    bus.init(&module, 0);
    const uint8_t probe[] = {0, 0};
    EXPECT_EQ(bus.write(0x50, 2, probe), aErrUnknown);
    uint8_t buffer[4] = {0x77, 0x77, 0x77, 0x77};
    EXPECT_EQ(bus.read(0x50, 4, buffer), aErrUnknown);
    EXPECT_EQ(buffer[0], 0x77);
    EXPECT_EQ(bus.setPullup(true), aErrUnknown);
    EXPECT_TRUE(sim.waitForLog("ev bare i2c: no code", 3));
}

}  // namespace
