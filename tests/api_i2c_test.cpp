// I2CClass against the simulated module's I2C bus over loopback TCP: reads, writes,
// pull-up control, the speed setting, and bus addresses that nothing acknowledges.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "I2CClass.h"
#include "Module.h"
#include "api_modsim.h"

using namespace Veltrane::Corvalith;
using testsupport::ApiModsim;
using testsupport::Bytes;
using testsupport::wireText;

namespace {

constexpr uint8_t kAddress = 2;
constexpr uint8_t kMemory = 0xA0;

class ApiI2C : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(sim.ready());
        aWeaveConfig config;
        config.enabled = 0;
        config.fallback = 0;
        module.setConfig(config);
        ASSERT_EQ(module.connectFromSpec(sim.spec()), aErrNone);
        bus.init(&module, 0);
    }

    ApiModsim sim;
    Module module{kAddress, false, 0};
    I2CClass bus;
};

TEST_F(ApiI2C, WriteThenReadBack) {
    ASSERT_EQ(bus.setSpeed(2), aErrNone);
    const uint8_t data[] = {0x10, 0xDE, 0xAD, 0xBE};
    sim.mark();
    ASSERT_EQ(bus.write(kMemory, sizeof data, data), aErrNone);
    EXPECT_EQ(sim.received(), std::vector<std::string>{wireText(kAddress, {8, 0, 0xA0, 4, 2, 0x10, 0xDE, 0xAD, 0xBE})});

    const uint8_t pointer[] = {0x10};
    ASSERT_EQ(bus.write(kMemory, 1, pointer), aErrNone);
    uint8_t buffer[8] = {};
    sim.mark();
    ASSERT_EQ(bus.read(kMemory, 5, buffer), aErrNone);
    EXPECT_EQ(sim.received(), std::vector<std::string>{wireText(kAddress, {8, 0, 0xA1, 5, 2})});
    // Bytes 0x13 and 0x14 still hold their starting values.
    EXPECT_EQ(Bytes(buffer, buffer + 6), (Bytes{0xDE, 0xAD, 0xBE, 0x13, 0x14, 0x00}));
    EXPECT_TRUE(sim.waitForLog("ev i2c read A1 5 speed 2"));
}

TEST_F(ApiI2C, TransferSizes) {
    const Bytes full(23, 0x33);
    sim.mark();
    EXPECT_EQ(bus.write(kMemory, 23, full.data()), aErrNone);
    ASSERT_EQ(sim.received().size(), 1u);
    EXPECT_EQ(sim.received()[0].substr(0, 5), "02 1C");

    const Bytes tooMany(24, 0x33);
    uint8_t buffer[24];
    sim.mark();
    EXPECT_EQ(bus.write(kMemory, 24, tooMany.data()), aErrSize);
    EXPECT_EQ(bus.read(kMemory, 24, buffer), aErrSize);
    EXPECT_EQ(bus.read(kMemory, 23, buffer), aErrNone);
    EXPECT_EQ(sim.received(), std::vector<std::string>{wireText(kAddress, {8, 0, 0xA1, 23, 0})});
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

// An address that nothing acknowledges answers the error flag without a code: that is a
// failure, so a sweep of the bus never counts an empty address as a device.
TEST_F(ApiI2C, UnacknowledgedAddressIsAFailure) {
    const uint8_t probe[] = {0, 0};
    EXPECT_EQ(bus.write(0x50, 2, probe), aErrUnknown);
    uint8_t buffer[4] = {0x77, 0x77, 0x77, 0x77};
    EXPECT_EQ(bus.read(0x50, 4, buffer), aErrUnknown);
    EXPECT_EQ(buffer[0], 0x77);
    EXPECT_TRUE(sim.waitForLog("ev i2c nack 50"));
}

TEST_F(ApiI2C, ModuleStatusCodesCarriedThrough) {
    I2CClass second;
    second.init(&module, 1);
    const uint8_t data[] = {1};
    uint8_t buffer[1];
    EXPECT_EQ(second.write(kMemory, 1, data), aErrInvalidEntity);
    EXPECT_EQ(second.read(kMemory, 1, buffer), aErrInvalidEntity);
    EXPECT_EQ(second.setPullup(true), aErrInvalidEntity);
}

TEST_F(ApiI2C, SilentModuleTimesOut) {
    ASSERT_EQ(sim.control("fault silence on"), "ok");
    uint8_t buffer[2];
    EXPECT_EQ(bus.read(kMemory, 2, buffer), aErrTimeout);

    I2CClass unbound;
    EXPECT_EQ(unbound.read(kMemory, 2, buffer), aErrResource);
}

}  // namespace
