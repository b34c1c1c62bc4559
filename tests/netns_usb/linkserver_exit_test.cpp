// A program that ends (exit, as a return from main does) while a link server and
// client links are live and another thread destroys or resets those client links:
// the process ends cleanly, without a crash, an abort or a sanitizer report.
//
// Each run is this test program started again as a child process (it finds its part
// in LINK_EXIT_CHILD), so the child begins with no libusb or CZMQ state of the test's
// own; the simulated module and the emulated bus stay in the test process. Each run has
// a module of its own: a process that ends with its served link open leaves the bed's
// device claimed.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "aLink.h"
#include "aLinkServer.h"
#include "modsim_process.h"
#include "process.h"
#include "tempdir.h"
#include "usbbed.h"
#include "wait_until.h"

using namespace std::chrono_literals;
using testsupport::ModsimProcess;
using testsupport::ProcessResult;
using testsupport::TempDir;

namespace {

const uint32_t FIRST_SERIAL = 0x00005E60;
const uint8_t ADDRESS = 6;
const uint8_t MODEL = 19;
const char* const CHILD_VARIABLE = "LINK_EXIT_CHILD";
const char* const SEED_VARIABLE = "LINK_EXIT_SEED";
const char* const SERIAL_VARIABLE = "LINK_EXIT_SERIAL";

uint8_t fromModule(const aPacket* packet, const void*) {
    return packet->address == ADDRESS;
}

// Reads a value through the link again and again: a caller busy on it at exit.
void keepReading(aLinkRef id) {
    const uint8_t get[] = {0x10, 0x41, 0x00};
    for (int round = 0; round < 100000; ++round) {
        aPacket* request = aPacket_CreateWithData(ADDRESS, sizeof get, get);
        const aErr put = aLink_PutPacket(id, request);
        aPacket_Destroy(&request);
        aPacket* reply = put == aErrNone ? aLink_AwaitFirst(id, fromModule, nullptr, 500) : nullptr;
        aPacket_Destroy(&reply);
        if (put != aErrNone) std::this_thread::sleep_for(1ms);
    }
}

// The child's part: a server, the creator's client link and a second client link, a
// reader on each, and one thread that destroys or resets the client links while the
// main thread ends the program.
[[noreturn]] void runChild(const std::string& part, unsigned seed, uint32_t serial) {
    std::mt19937 engine(seed);
    uint16_t port = 0;
    uint32_t networkInterface = 0;
    aLinkRef creator = 0;
    // The bed lists the module a moment after this process starts.
    testsupport::waitUntil([&] { return (creator = aLink_CreateServer(serial, &port, &networkInterface, 1)) != 0; },
                           20s, 50ms);
    if (!creator) std::_Exit(2);
    aLinkRef second = aLink_CreateClient(networkInterface, port, 0);
    if (!second) std::_Exit(3);
    std::thread(keepReading, creator).detach();
    std::thread(keepReading, second).detach();
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    const bool destroying = part == "destroy";
    std::atomic<bool> begun{false};
    std::thread([destroying, creator, second, &begun] {
        begun = true;
        if (destroying) {
            aLinkRef a = second, b = creator;
            aLink_Destroy(&a);
            aLink_Destroy(&b);
            return;
        }
        for (int round = 0; round < 10000; ++round) {
            aLink_Reset(second);
            aLink_Reset(creator);
        }
    }).detach();
    while (!begun) std::this_thread::yield();
    // Exit meets the other thread at any point of its work.
    std::this_thread::sleep_for(std::chrono::microseconds(engine() % 20000));
    std::exit(0);
}

// Runs the child's part when this process is one.
class ChildPart : public ::testing::Environment {
public:
    void SetUp() override {
        const char* part = getenv(CHILD_VARIABLE);
        if (!part) return;
        const char* seed = getenv(SEED_VARIABLE);
        const char* serial = getenv(SERIAL_VARIABLE);
        runChild(part, seed ? static_cast<unsigned>(strtoul(seed, nullptr, 10)) : 1u,
                 serial ? static_cast<uint32_t>(strtoul(serial, nullptr, 16)) : 0u);
    }
};

::testing::Environment* const kChildPart = ::testing::AddGlobalTestEnvironment(new ChildPart);

// A simulated module on the emulated bus, unplugged when this goes.
class ModuleOnBus {
public:
    ModuleOnBus(UsbBed* bed, const TempDir& dir, const std::string& serialText)
        : sim(dir.path(),
              {"--unix", dir.file(serialText + ".sock"), "--serial", serialText, "--model", std::to_string(MODEL),
               "--address", std::to_string(ADDRESS)},
              serialText) {
        if (!sim.ready()) return;
        UsbBedDeviceSpec spec{serialText.c_str(), MODEL, 0, 0, USBBED_LAYOUT_MODULE};
        device = usbbed_add_device(bed, &spec);
        listed = device && usbbed_device_bridge_unix(device, dir.file(serialText + ".sock").c_str()) == 0;
    }
    ~ModuleOnBus() {
        if (device) usbbed_device_unplug(device);
    }
    ModuleOnBus(const ModuleOnBus&) = delete;
    ModuleOnBus& operator=(const ModuleOnBus&) = delete;

    ModsimProcess sim;
    UsbBedDevice* device = nullptr;
    bool listed = false;
};

class LinkServerExit : public ::testing::TestWithParam<const char*> {
protected:
    static void SetUpTestSuite() {
        dir = new TempDir;
        bed = usbbed_new();
        ASSERT_NE(bed, nullptr);
    }
    static void TearDownTestSuite() {
        usbbed_free(bed);
        delete dir;
    }

    static inline TempDir* dir = nullptr;
    static inline UsbBed* bed = nullptr;
    static inline uint32_t nextSerial = FIRST_SERIAL;
};

bool sanitizerSpoke(const std::string& err) {
    for (const char* mark : {"Sanitizer", "runtime error", "Assertion", "SUMMARY"})
        if (err.find(mark) != std::string::npos) return true;
    return false;
}

TEST_P(LinkServerExit, EndsCleanlyWhileAnotherThreadWorksOnClientLinks) {
    const unsigned firstSeed = static_cast<unsigned>(std::random_device{}());
    for (unsigned run = 0; run < 6; ++run) {
        const unsigned seed = firstSeed + run;
        SCOPED_TRACE("seed " + std::to_string(seed));
        char serialText[9];
        snprintf(serialText, sizeof serialText, "%08X", static_cast<unsigned>(nextSerial++));
        const ModuleOnBus module(bed, *dir, serialText);
        ASSERT_TRUE(module.listed);
        const ProcessResult child = testsupport::runProcess(
            {"/proc/self/exe"}, 60s,
            {std::string(CHILD_VARIABLE) + "=" + GetParam(), std::string(SEED_VARIABLE) + "=" + std::to_string(seed),
             std::string(SERIAL_VARIABLE) + "=" + serialText});
        EXPECT_FALSE(child.timedOut);
        EXPECT_EQ(child.exitCode, 0) << child.err;
        EXPECT_FALSE(sanitizerSpoke(child.err)) << child.err;
        if (HasFailure()) break;
    }
}

INSTANTIATE_TEST_SUITE_P(Work, LinkServerExit, ::testing::Values("destroy", "reset"),
                         [](const ::testing::TestParamInfo<const char*>& tested) {
                             return std::string(tested.param);
                         });

}  // namespace
