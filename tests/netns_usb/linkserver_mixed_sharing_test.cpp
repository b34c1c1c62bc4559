// One process opens a USB module both directly (sharing off) and with the default
// configuration, which would serve it through a link server: the two never share one
// link's replies. Whichever comes second is refused; the first keeps the module to
// itself. A failed server falls back to discovery, which multicasts, so these run in a
// private namespace.
#include <gtest/gtest.h>

#include <string>

#include "Module.h"
#include "SystemClass.h"
#include "aLink.h"
#include "aLinkServer.h"
#include "modsim_process.h"
#include "tempdir.h"
#include "module_on_bus.h"

using namespace Veltrane::Corvalith;
using testsupport::ModsimProcess;
using testsupport::TempDir;

namespace {

const uint32_t SERIAL = 0x0000B1E5;
const char* const SERIAL_TEXT = "0000B1E5";
const uint8_t ADDRESS = 6;
const uint8_t MODEL = 19;

aWeaveConfig plainConfig() {
    aWeaveConfig config;
    config.enabled = 0;
    config.fallback = 0;
    return config;
}

// Reads the module's serial number `rounds` times; counts the reads that failed or
// brought another answer.
int wrongReads(Module& module, int rounds) {
    int wrong = 0;
    for (int i = 0; i < rounds; ++i) {
        SystemClass system;
        system.init(&module, 0);
        uint32_t serial = 0;
        if (system.getSerialNumber(&serial) != aErrNone || serial != SERIAL) ++wrong;
    }
    return wrong;
}

class LinkServerMixedSharing : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        module = new testsupport::ModuleOnBus(SERIAL_TEXT, MODEL, ADDRESS);
        ASSERT_TRUE(module->ready());
        sim = &module->sim();
    }
    static void TearDownTestSuite() {
        delete module;
        module = nullptr;
        sim = nullptr;
    }

    static testsupport::ModuleOnBus* module;
    static ModsimProcess* sim;
};

testsupport::ModuleOnBus* LinkServerMixedSharing::module = nullptr;
ModsimProcess* LinkServerMixedSharing::sim = nullptr;

TEST_F(LinkServerMixedSharing, ServerIsRefusedOnAModuleHeldDirectly) {
    Module direct(2, 0);
    direct.setConfig(plainConfig());
    ASSERT_EQ(direct.connect(USB, SERIAL), aErrNone);

    uint16_t port = 0;
    uint32_t networkInterface = 0;
    EXPECT_EQ(aLink_CreateServer(SERIAL, &port, &networkInterface, 1), 0u);
    Module shared(2, 0);
    EXPECT_NE(shared.connect(USB, SERIAL), aErrNone);
    EXPECT_FALSE(shared.isConnected());

    // The direct user's link is untouched and its replies all its own.
    EXPECT_EQ(wrongReads(direct, 100), 0);
    // Its use count is as before: one disconnect frees the module.
    direct.disconnect();
    Module after(2, 0);
    after.setConfig(plainConfig());
    EXPECT_EQ(after.connect(USB, SERIAL), aErrNone);
    EXPECT_EQ(wrongReads(after, 5), 0);
}

TEST_F(LinkServerMixedSharing, DirectLinkIsRefusedOnAServedModule) {
    Module shared(2, 0);
    ASSERT_EQ(shared.connect(USB, SERIAL), aErrNone);
    Module direct(2, 0);
    direct.setConfig(plainConfig());
    EXPECT_NE(direct.connect(USB, SERIAL), aErrNone);
    EXPECT_EQ(aLink_CreateUSB(SERIAL), 0u);
    EXPECT_EQ(wrongReads(shared, 100), 0);
}

}  // namespace
