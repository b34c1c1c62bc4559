// SystemClass against a simulated module over loopback TCP: every accessor of the system
// entity's option table, with the request it sends and the result the module gives
// (the simulator leaves many options undefined and answers those with error 29).
#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "Module.h"
#include "SystemClass.h"
#include "api_modsim.h"

using namespace Veltrane::Corvalith;
using testsupport::ApiModsim;
using testsupport::Bytes;
using testsupport::wireText;

namespace {

constexpr uint8_t kAddress = 2;

struct Accessor {
    const char* name;
    std::function<aErr(SystemClass&, int64_t*)> run;
    Bytes sent;
    aErr result;
    int64_t value;  // checked when the result is 0 and the accessor reads
    bool reads;
};

template <typename T>
std::function<aErr(SystemClass&, int64_t*)> reader(aErr (SystemClass::*get)(T*)) {
    return [get](SystemClass& system, int64_t* out) {
        T value = 0;
        const aErr result = (system.*get)(&value);
        *out = value;
        return result;
    };
}

template <typename T>
std::function<aErr(SystemClass&, int64_t*)> writer(aErr (SystemClass::*set)(T), T value) {
    return [set, value](SystemClass& system, int64_t*) { return (system.*set)(value); };
}

std::function<aErr(SystemClass&, int64_t*)> caller(aErr (SystemClass::*call)()) {
    return [call](SystemClass& system, int64_t*) { return (system.*call)(); };
}

Accessor get(const char* name, std::function<aErr(SystemClass&, int64_t*)> run, uint8_t option, aErr result,
             int64_t value = 0) {
    return {name, std::move(run), {3, static_cast<uint8_t>(0x40 | option), 0x20}, result, value, true};
}

Accessor set(const char* name, std::function<aErr(SystemClass&, int64_t*)> run, Bytes sent, aErr result) {
    return {name, std::move(run), std::move(sent), result, 0, false};
}

class ApiSystem : public testsupport::ModsimModuleTest {
protected:
    ApiSystem()
        : ModsimModuleTest({"--serial", "1234ABCD", "--model", "9", "--version", "01020003", "--hw-version", "A5",
                            "--name", "sim", "--router", "2", "--chip-id", "11111111,22222222,33333333,44444444"},
                           kAddress) {}

    void SetUp() override {
        ModsimModuleTest::SetUp();
        if (HasFatalFailure()) return;
        system.init(&module, 0);
    }

    SystemClass system;
};

TEST_F(ApiSystem, EveryAccessorOfTheOptionTable) {
    using S = SystemClass;
    const aErr none = aErrNone;
    const aErr undefined = aErrInvalidOption;
    const std::vector<Accessor> table = {
        get("getModule", reader(&S::getModule), 1, none, 2),
        get("getRouter", reader(&S::getRouter), 2, none, 2),
        set("setRouter", writer<uint8_t>(&S::setRouter, 4), {3, 0x82, 0x20, 4}, none),
        get("getHBInterval", reader(&S::getHBInterval), 3, none, 0),
        set("setHBInterval", writer<uint8_t>(&S::setHBInterval, 7), {3, 0x83, 0x20, 7}, none),
        get("getLED", reader(&S::getLED), 4, none, 0),
        set("setLED", writer<uint8_t>(&S::setLED, 5), {3, 0x84, 0x20, 1}, none),
        set("setLED off", writer<uint8_t>(&S::setLED, 0), {3, 0x84, 0x20, 0}, none),
        get("getBootSlot", reader(&S::getBootSlot), 6, undefined),
        set("setBootSlot", writer<uint8_t>(&S::setBootSlot, 1), {3, 0x86, 0x20, 1}, undefined),
        get("getVersion", reader(&S::getVersion), 7, none, 0x01020003),
        get("getModel", reader(&S::getModel), 8, none, 9),
        get("getSerialNumber", reader(&S::getSerialNumber), 9, none, 0x1234ABCD),
        set("save", caller(&S::save), {3, 0x8A, 0x20}, none),
        get("getInputVoltage", reader(&S::getInputVoltage), 12, undefined),
        get("getModuleHardwareOffset", reader(&S::getModuleHardwareOffset), 13, undefined),
        get("getModuleBaseAddress", reader(&S::getModuleBaseAddress), 14, undefined),
        get("getModuleSoftwareOffset", reader(&S::getModuleSoftwareOffset), 15, undefined),
        set("setModuleSoftwareOffset", writer<uint8_t>(&S::setModuleSoftwareOffset, 3), {3, 0x8F, 0x20, 3}, undefined),
        get("getRouterAddressSetting", reader(&S::getRouterAddressSetting), 16, undefined),
        set("routeToMe", writer<uint8_t>(&S::routeToMe, 1), {3, 0x94, 0x20, 1}, none),
        get("getInputCurrent", reader(&S::getInputCurrent), 21, undefined),
        get("getUptime", reader(&S::getUptime), 22, none, 0),
        get("getMaximumTemperature", reader(&S::getMaximumTemperature), 23, undefined),
        set("logEvents", caller(&S::logEvents), {3, 0x98, 0x20}, undefined),
        get("getUnregulatedVoltage", reader(&S::getUnregulatedVoltage), 25, undefined),
        get("getUnregulatedCurrent", reader(&S::getUnregulatedCurrent), 26, undefined),
        get("getTemperature", reader(&S::getTemperature), 27, undefined),
        get("getMinimumTemperature", reader(&S::getMinimumTemperature), 28, undefined),
        get("getInputPowerSource", reader(&S::getInputPowerSource), 29, undefined),
        get("getInputPowerBehavior", reader(&S::getInputPowerBehavior), 30, undefined),
        set("setInputPowerBehavior", writer<uint8_t>(&S::setInputPowerBehavior, 2), {3, 0x9E, 0x20, 2}, undefined),
        get("getPowerLimit", reader(&S::getPowerLimit), 33, undefined),
        get("getPowerLimitMax", reader(&S::getPowerLimitMax), 34, undefined),
        set("setPowerLimitMax", writer<uint32_t>(&S::setPowerLimitMax, 500), {3, 0xA2, 0x20, 0, 0, 1, 0xF4}, undefined),
        get("getPowerLimitState", reader(&S::getPowerLimitState), 35, undefined),
        set("resetEntityToFactoryDefaults", caller(&S::resetEntityToFactoryDefaults), {3, 0xA4, 0x20}, undefined),
        set("resetDeviceToFactoryDefaults", caller(&S::resetDeviceToFactoryDefaults), {3, 0xA5, 0x20}, undefined),
        get("getLinkInterface", reader(&S::getLinkInterface), 38, undefined),
        set("setLinkInterface", writer<uint8_t>(&S::setLinkInterface, 1), {3, 0xA6, 0x20, 1}, undefined),
        get("getHardwareVersion", reader(&S::getHardwareVersion), 40, none, 0xA5),
        get("getErrors", reader(&S::getErrors), 41, undefined),
        get("getLEDMaxBrightness", reader(&S::getLEDMaxBrightness), 42, undefined),
        set("setLEDMaxBrightness", writer<uint8_t>(&S::setLEDMaxBrightness, 9), {3, 0xAA, 0x20, 9}, undefined),
    };
    for (const Accessor& accessor : table) {
        sim.mark();
        int64_t value = -1;
        EXPECT_EQ(accessor.run(system, &value), accessor.result) << accessor.name;
        EXPECT_EQ(sim.received(), std::vector<std::string>{wireText(kAddress, accessor.sent)}) << accessor.name;
        if (accessor.reads && accessor.result == aErrNone) {
            EXPECT_EQ(value, accessor.value) << accessor.name;
        }
    }
    // What the sets above changed reads back.
    uint8_t byte = 0;
    EXPECT_EQ(system.getRouter(&byte), aErrNone);
    EXPECT_EQ(byte, 4);
    EXPECT_EQ(system.getHBInterval(&byte), aErrNone);
    EXPECT_EQ(byte, 7);
}

// The module acknowledges the reset call, then restarts and drops the link.
TEST_F(ApiSystem, ResetIsAcknowledgedBeforeTheModuleRestarts) {
    sim.mark();
    EXPECT_EQ(system.reset(), aErrNone);
    EXPECT_EQ(sim.received(), std::vector<std::string>{wireText(kAddress, {3, 0x8B, 0x20})});
    EXPECT_TRUE(sim.waitForLogStart("ev disconnect"));
}

TEST_F(ApiSystem, NullOutPointersSendNothing) {
    sim.mark();
    EXPECT_EQ(system.getModule(nullptr), aErrParam);
    EXPECT_EQ(system.getSerialNumber(nullptr), aErrParam);
    EXPECT_EQ(system.getTemperature(nullptr), aErrParam);
    EXPECT_EQ(system.getName(nullptr, 4, nullptr), aErrParam);
    const uint8_t fence[] = {1};
    ASSERT_EQ(module.debug(fence, 1), aErrNone);
    EXPECT_EQ(sim.received(), std::vector<std::string>{"02 02 17 01"});
}

TEST_F(ApiSystem, NameAndPowerBehaviorConfigAreByteStrings) {
    uint8_t name[40] = {};
    size_t received = 0;
    ASSERT_EQ(system.getName(name, sizeof name, &received), aErrNone);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(name), received), "sim");

    const std::string longName = "a module name longer than one chunk";
    sim.mark();
    ASSERT_EQ(system.setName(reinterpret_cast<const uint8_t*>(longName.data()), longName.size()), aErrNone);
    EXPECT_EQ(sim.received().size(), 2u);
    ASSERT_EQ(system.getName(name, sizeof name, &received), aErrNone);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(name), received), longName);

    // The words go as the bytes of the array, in memory order.
    const uint32_t words[2] = {0x01020304, 0x0A0B0C0D};
    Bytes raw(8);
    std::memcpy(raw.data(), words, sizeof words);
    Bytes chunk{3, 0x9F, 0x20};
    chunk.insert(chunk.end(), raw.begin(), raw.end());
    chunk.push_back(0);
    sim.mark();
    EXPECT_EQ(system.setInputPowerBehaviorConfig(words, 2), aErrInvalidOption);
    EXPECT_EQ(sim.received(), std::vector<std::string>{wireText(kAddress, chunk)});
    uint32_t back[2] = {};
    EXPECT_EQ(system.getInputPowerBehaviorConfig(back, 2, &received), aErrInvalidOption);
}

TEST_F(ApiSystem, ChipIdentifierBySubindex) {
    const uint32_t expected[4] = {0x11111111, 0x22222222, 0x33333333, 0x44444444};
    for (uint8_t word = 0; word < 4; ++word) {
        sim.mark();
        uint32_t value = 0;
        EXPECT_EQ(system.getUEI32(systemUniqueIdentifier, word, &value), aErrNone);
        EXPECT_EQ(value, expected[word]);
        EXPECT_EQ(sim.received(), std::vector<std::string>{wireText(kAddress, {3, 0x67, 0x20, word})});
    }
}

}  // namespace
