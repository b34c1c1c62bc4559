// A module served through a link server goes away (unplugged on the emulated bus): the
// creator's own link, a client link of the product and an independent ZeroMQ client
// (tests/peers/zmq_peer.py) all learn of it within seconds, as a direct link would;
// discovery stops answering for it; and the creator serves the module again as soon as
// it is back. Discovery multicasts, so these run in a private namespace.
#include <gtest/gtest.h>

#include <chrono>
#include <fstream>
#include <memory>
#include <string>

#include "Module.h"
#include "SystemClass.h"
#include "aWeaveDiscovery.h"
#include "discover.h"
#include "modsim_process.h"
#include "process.h"
#include "running_process.h"
#include "tempdir.h"
#include "../usb/usb_bed.h"
#include "wait_until.h"

using namespace Veltrane::Corvalith;
using namespace std::chrono_literals;
using testsupport::ModsimProcess;
using testsupport::RunningProcess;
using testsupport::TempDir;

namespace {

const uint8_t ADDRESS = 6;
const uint32_t LOOPBACK = 0x0100007Fu;

std::string serialText(uint32_t serial) {
    char text[9];
    snprintf(text, sizeof text, "%08X", serial);
    return text;
}

// One module: a simulated module bridged to an emulated USB device.
class PluggedModule {
public:
    PluggedModule(const TempDir& dir, uint32_t serial, const std::string& name) {
        const std::string socketPath = dir.file(name + ".sock");
        sim_ = std::make_unique<ModsimProcess>(
            dir.path(),
            std::vector<std::string>{"--unix", socketPath, "--serial", serialText(serial), "--model", "19", "--address",
                                     std::to_string(ADDRESS)},
            name);
        const std::string text = serialText(serial);
        UsbBedDeviceSpec spec{text.c_str(), 19, 0, 0, USBBED_LAYOUT_MODULE};
        device_ = usbbed_add_device(usbtest::bed(), &spec);
        if (device_ && sim_->ready() && usbbed_device_bridge_unix(device_, socketPath.c_str()) == 0)
            ready_ = usbtest::waitListed(device_, true);
    }
    ~PluggedModule() { unplug(); }
    PluggedModule(const PluggedModule&) = delete;
    PluggedModule& operator=(const PluggedModule&) = delete;

    bool ready() const { return ready_; }
    void unplug() {
        if (device_ && !unplugged_) usbbed_device_unplug(device_);
        unplugged_ = true;
    }

private:
    std::unique_ptr<ModsimProcess> sim_;
    UsbBedDevice* device_ = nullptr;
    bool ready_ = false;
    bool unplugged_ = false;
};

aWeaveConfig plainConfig() {
    aWeaveConfig config;
    config.enabled = 0;
    config.fallback = 0;
    return config;
}

aErr readSerial(Module& module, uint32_t* serial) {
    SystemClass system;
    system.init(&module, 0);
    return system.getSerialNumber(serial);
}

// What a user of a link sees once its module is gone.
struct Loss {
    bool reported = false;
    linkStatus status = LINK_INVALID;
    aErr exchange = aErrNone;
    bool connected = true;
};

Loss awaitLoss(Module& module) {
    Loss loss;
    loss.reported = testsupport::waitUntil([&] { return module.getStatus() != LINK_RUNNING; }, 8s, 10ms);
    loss.status = module.getStatus();
    uint32_t serial = 0;
    loss.exchange = readSerial(module, &serial);
    loss.connected = module.isConnected();
    return loss;
}

void expectSameLoss(const Loss& seen, const Loss& direct, const char* who) {
    EXPECT_TRUE(seen.reported) << who << " still running 8 s after the unplug";
    EXPECT_EQ(seen.status, direct.status) << who;
    EXPECT_EQ(seen.exchange, direct.exchange) << who;
    EXPECT_EQ(seen.connected, direct.connected) << who;
}

bool countServer(const linkSpec* spec, bool* found, void* ref) {
    auto* wanted = static_cast<std::pair<uint32_t, int>*>(ref);
    if (spec->serialNumber == wanted->first) {
        ++wanted->second;
        *found = true;
    }
    return true;
}

// Servers of this serial number that local discovery reports now.
int announced(uint32_t serial) {
    std::pair<uint32_t, int> wanted{serial, 0};
    aDiscovery_Enumerate_aWeaveModules(countServer, &wanted, LOOPBACK);
    return wanted.second;
}

uint16_t serverPort(const Module& creator) {
    aWeaveConfig config;
    return creator.getConfig(&config) == aErrNone ? config.port : 0;
}

class LinkServerModuleLoss : public ::testing::Test {
protected:
    // How a direct USB link reports the loss of its module; every user of a served
    // module must see the same.
    static Loss directLoss(const TempDir& dir) {
        PluggedModule module(dir, 0x00D1EC70, "direct");
        EXPECT_TRUE(module.ready());
        Module direct(2, 0);
        direct.setConfig(plainConfig());
        EXPECT_EQ(direct.connect(USB, 0x00D1EC70), aErrNone);
        module.unplug();
        return awaitLoss(direct);
    }

    TempDir dir;
};

TEST_F(LinkServerModuleLoss, EveryUserLearnsOfTheLossAndDiscoveryFallsSilent) {
    const Loss direct = directLoss(dir);
    ASSERT_TRUE(direct.reported);
    EXPECT_EQ(direct.status, LINK_IO_ERROR);

    const uint32_t serial = 0x00105E01;
    PluggedModule module(dir, serial, "served");
    ASSERT_TRUE(module.ready());
    Module creator(2, 0);
    ASSERT_EQ(creator.connect(USB, serial), aErrNone);
    const uint16_t port = serverPort(creator);
    ASSERT_NE(port, 0);
    linkSpec spec{};
    spec.type = AWEAVE;
    spec.ipAddress = LOOPBACK;
    spec.port = port;
    Module client(2, 0);
    ASSERT_EQ(client.connectFromSpec(spec), aErrNone);
    uint32_t read = 0;
    ASSERT_EQ(readSerial(client, &read), aErrNone);

    const std::string served = dir.file("peer.served");
    RunningProcess peer({"/usr/bin/python3", testsupport::requiredEnv("SOURCE_DIR") + "/tests/peers/zmq_peer.py",
                         "loss", std::to_string(port), std::to_string(ADDRESS), served});
    ASSERT_TRUE(testsupport::waitUntil([&] { return std::ifstream(served).good(); }, 20s, 20ms)) << peer.finish(1s).out;
    EXPECT_EQ(announced(serial), 1);

    module.unplug();
    expectSameLoss(awaitLoss(creator), direct, "the creator");
    expectSameLoss(awaitLoss(client), direct, "the product's client");
    const testsupport::ProcessResult seen = peer.finish(20s);
    EXPECT_EQ(seen.out, "ok\n") << seen.err;
    EXPECT_EQ(announced(serial), 0);
}

TEST_F(LinkServerModuleLoss, CreatorServesTheModuleAgainOnceItIsBack) {
    const uint32_t serial = 0x00105E02;
    auto module = std::make_unique<PluggedModule>(dir, serial, "first");
    ASSERT_TRUE(module->ready());
    Module creator(2, 0);
    ASSERT_EQ(creator.connect(USB, serial), aErrNone);
    module->unplug();
    ASSERT_TRUE(testsupport::waitUntil([&] { return creator.getStatus() != LINK_RUNNING; }, 8s, 10ms));

    // Gone for now: a new server cannot be made, and nothing is left half made.
    creator.disconnect();
    EXPECT_NE(creator.connect(USB, serial), aErrNone);
    creator.disconnect();

    module = std::make_unique<PluggedModule>(dir, serial, "again");
    ASSERT_TRUE(module->ready());
    ASSERT_EQ(creator.connect(USB, serial), aErrNone);
    uint32_t read = 0;
    EXPECT_EQ(readSerial(creator, &read), aErrNone);
    EXPECT_EQ(read, serial);
    EXPECT_EQ(announced(serial), 1);
    // The new server has clients of its own.
    linkSpec spec{};
    spec.type = AWEAVE;
    spec.ipAddress = LOOPBACK;
    spec.port = serverPort(creator);
    Module client(2, 0);
    ASSERT_EQ(client.connectFromSpec(spec), aErrNone);
    EXPECT_EQ(readSerial(client, &read), aErrNone);
    EXPECT_EQ(read, serial);
}

}  // namespace
