// USB links and USB discovery through the real libusb against modules emulated by
// the umockdev test bed, each bridged to a simulated module program.
#include <gtest/gtest.h>

#include <poll.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "aLink.h"
// aLink_Sync: the engine's resync, which the registry drives at a USB link's start.
#include "aLinkManagerInternal.h"
#include "discover.h"
#include "lookalike_samples.h"
#include "modsim_process.h"
#include "streaming_module.h"
#include "tempdir.h"
#include "usbbed.h"
#include "wait_until.h"

using namespace std::chrono_literals;
using testsupport::ModsimProcess;
using testsupport::TempDir;

namespace {

const uint8_t MODULE_ADDRESS = 6;

struct EmulatedModule {
    std::unique_ptr<ModsimProcess> sim;
    UsbBedDevice* device = nullptr;
};

class UsbLink : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        dir = new TempDir;
        bed = usbbed_new();
        ASSERT_NE(bed, nullptr);
        answering = addModule("0000CAFE", 19, {"--address", std::to_string(MODULE_ADDRESS)});
        silent = addModule("0000D00D", 21, {});
        ASSERT_EQ(silent.sim->control("fault silence on"), "ok");
        UsbBedDeviceSpec shortSerial{"1234567", 19, 0, 0, USBBED_LAYOUT_MODULE};
        ASSERT_NE(usbbed_add_device(bed, &shortSerial), nullptr);
        UsbBedDeviceSpec otherVendor{"0000F00D", 19, 0x1234, 0, USBBED_LAYOUT_MODULE};
        ASSERT_NE(usbbed_add_device(bed, &otherVendor), nullptr);
    }
    static void TearDownTestSuite() {
        answering.sim.reset();
        silent.sim.reset();
        usbbed_free(bed);
        delete dir;
    }

    static EmulatedModule addModule(const char* serial, uint8_t model, std::vector<std::string> args) {
        EmulatedModule module;
        const std::string socketPath = dir->file(std::string(serial) + ".sock");
        args.insert(args.begin(), {"--unix", socketPath, "--serial", serial, "--model", std::to_string(model)});
        module.sim = std::make_unique<ModsimProcess>(dir->path(), args, serial);
        EXPECT_TRUE(module.sim->ready());
        UsbBedDeviceSpec spec{serial, model, 0, 0, USBBED_LAYOUT_MODULE};
        module.device = usbbed_add_device(bed, &spec);
        EXPECT_NE(module.device, nullptr);
        EXPECT_EQ(usbbed_device_bridge_unix(module.device, socketPath.c_str()), 0);
        return module;
    }

    static TempDir* dir;
    static UsbBed* bed;
    static EmulatedModule answering;
    static EmulatedModule silent;
};

TempDir* UsbLink::dir = nullptr;
UsbBed* UsbLink::bed = nullptr;
EmulatedModule UsbLink::answering;
EmulatedModule UsbLink::silent;

uint8_t fromModule(const aPacket* packet, const void*) {
    return packet->address == MODULE_ADDRESS;
}

uint8_t isHeartbeat(const aPacket* packet, const void*) {
    return packet->dataSize == 2 && packet->data[0] == 0x00;
}

TEST_F(UsbLink, StartsSyncsAndRoutesOnTwice) {
    const std::size_t routesBefore = answering.sim->countInLog("rx AF 01 01");
    aLinkRef id = aLink_CreateUSB(0x0000CAFE);
    ASSERT_NE(id, 0u);
    EXPECT_EQ(aLink_GetStatus(id), LINK_RUNNING);
    EXPECT_TRUE(answering.sim->waitForLog("rx AF 01 01", routesBefore + 2));
    EXPECT_EQ(aLink_CreateUSB(0x0000CAFE), id);

    ASSERT_EQ(answering.sim->control("heartbeat 0"), "ok");
    EXPECT_NE(answering.sim->control("heartbeat-wait 2000").find("hb-answered=1"), std::string::npos);
    // Late answers to the sync burst may still arrive on a slow bus; a heartbeat never queues.
    EXPECT_EQ(aLink_DrainPackets(id, isHeartbeat, nullptr), 0u);

    const uint8_t none = 0;
    aPacket* query = aPacket_CreateWithData(aLINK_ADDRESS_SYNC, 0, &none);
    aLink_PutPacket(id, query);
    aPacket_Destroy(&query);
    aPacket* answer = aLink_AwaitFirst(id, fromModule, nullptr, 1000);
    ASSERT_NE(answer, nullptr);
    aPacket_Destroy(&answer);

    const std::size_t queriesBefore = answering.sim->countInLog("rx AD 00");
    ASSERT_EQ(answering.sim->control("fault framing odd"), "ok");
    EXPECT_TRUE(answering.sim->waitForLog("rx AD 00", queriesBefore + 6));
    testsupport::waitUntil([&] { return aLink_GetStatus(id) == LINK_RUNNING; }, 3s, 10ms);
    EXPECT_EQ(aLink_GetStatus(id), LINK_RUNNING);

    aLinkRef second = id;
    ASSERT_EQ(aLink_Destroy(&second), aErrNone);
    EXPECT_EQ(aLink_GetStatus(id), LINK_RUNNING);
    const aLinkRef old = id;
    ASSERT_EQ(aLink_Destroy(&id), aErrNone);
    EXPECT_EQ(aLink_GetStatus(old), LINK_INVALID);
}

TEST_F(UsbLink, ModuleThatNeverAnswersTheSyncIsRefusedInBoundedTime) {
    const std::size_t before = silent.sim->countInLog("rx AD 00");
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(aLink_CreateUSB(0x0000D00D), 0u);
    const auto took = std::chrono::steady_clock::now() - start;
    EXPECT_GE(took, 2000ms);
    EXPECT_LT(took, 4000ms);
    // Bursts are paced: about one every 100 ms over the 2 s sync wait, never a flood.
    EXPECT_LE(silent.sim->countInLog("rx AD 00") - before, 6u * 25);
}

// Two callers creating one module's USB link at the same moment: the second waits out
// the first one's start and sync, then shares the synced link; for a module that never
// answers the sync both fail, and a later create finds nothing left of the first try.
TEST_F(UsbLink, TwoCreatorsAtOnceShareTheSyncedLinkOrFailAlike) {
    struct Outcome {
        aLinkRef id = 0;
        linkStatus status = LINK_INVALID;
    };
    for (const uint32_t serial : {0x0000CAFEu, 0x0000D00Du}) {
        SCOPED_TRACE(serial);
        Outcome outcomes[2];
        std::atomic<int> ready{0};
        std::vector<std::thread> creators;
        for (Outcome& outcome : outcomes) {
            creators.emplace_back([&ready, &outcome, serial] {
                ++ready;
                while (ready < 2) std::this_thread::yield();
                outcome.id = aLink_CreateUSB(serial);
                if (outcome.id) outcome.status = aLink_GetStatus(outcome.id);
            });
        }
        for (auto& creator : creators) creator.join();
        if (serial == 0x0000CAFEu) {
            EXPECT_NE(outcomes[0].id, 0u);
            EXPECT_EQ(outcomes[0].id, outcomes[1].id);
            EXPECT_EQ(outcomes[0].status, LINK_RUNNING);
            EXPECT_EQ(outcomes[1].status, LINK_RUNNING);
        } else {
            EXPECT_EQ(outcomes[0].id, 0u);
            EXPECT_EQ(outcomes[1].id, 0u);
            aLinkRef later = aLink_CreateUSB(serial);
            EXPECT_EQ(later, 0u);
            if (later) {
                EXPECT_EQ(aLink_Destroy(&later), aErrNone);
            }
        }
        for (Outcome& outcome : outcomes) {
            if (outcome.id) {
                EXPECT_EQ(aLink_Destroy(&outcome.id), aErrNone);
            }
        }
    }
}

// A module that leaves the bus ends a wait for its reply at once instead of at the
// wait's own end: the caller can reconnect while the module restarts.
TEST_F(UsbLink, AModuleLeavingTheBusEndsAWaitForItsReply) {
    EmulatedModule leaving = addModule("0000CA1E", 19, {"--address", std::to_string(MODULE_ADDRESS)});
    aLinkRef id = aLink_CreateUSB(0x0000CA1E);
    ASSERT_NE(id, 0u);
    std::thread unplug([&leaving] {
        std::this_thread::sleep_for(200ms);
        usbbed_device_unplug(leaving.device);
    });
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(aLink_AwaitFirst(id, fromModule, nullptr, 60000), nullptr);
    EXPECT_LT(std::chrono::steady_clock::now() - start, 30s);
    unplug.join();
    EXPECT_EQ(aLink_GetStatus(id), LINK_IO_ERROR);
    EXPECT_EQ(aLink_Destroy(&id), aErrNone);
}

// A module that restarts in place stays listed, but every transfer to it fails with "no
// device" until it is back: no module is behind the link, so its start ends at once
// instead of waiting out the sync, and a link made once the module is back runs.
TEST_F(UsbLink, StartOnADeviceRefusingTransfersEndsLongBeforeTheSyncTimeOut) {
    EmulatedModule restarting = addModule("0000CA2E", 19, {"--address", std::to_string(MODULE_ADDRESS)});
    usbbed_device_restart(restarting.device, 1500);
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(aLink_CreateUSB(0x0000CA2E), 0u);
    // The sync alone would wait 2 s for an answer.
    EXPECT_LT(std::chrono::steady_clock::now() - start, 1000ms);
    EXPECT_EQ(restarting.sim->countInLog("ev connect"), 0u);

    aLinkRef id = 0;
    testsupport::waitUntil([&] { return (id = aLink_CreateUSB(0x0000CA2E)) != 0; }, 10s, 100ms);
    ASSERT_NE(id, 0u);
    EXPECT_EQ(aLink_GetStatus(id), LINK_RUNNING);
    EXPECT_EQ(aLink_Destroy(&id), aErrNone);
}

// Plays a module at MODULE_ADDRESS on the bed's pipe: answers every address probe, and
// right after its first answer sends one packet of its own, as a loader that confirms its
// start once the host speaks on the new link does.
class PipeModule {
public:
    PipeModule(int fd, std::string afterFirstAnswer) : fd_(fd), after_(std::move(afterFirstAnswer)) {
        thread_ = std::thread([this] { serve(); });
    }
    ~PipeModule() {
        stop_ = true;
        thread_.join();
        close(fd_);
    }

private:
    void serve() {
        std::string input;
        bool answered = false;
        while (!stop_) {
            struct pollfd ready = {fd_, POLLIN, 0};
            if (poll(&ready, 1, 20) <= 0) continue;
            char buffer[512];
            const ssize_t n = read(fd_, buffer, sizeof buffer);
            if (n <= 0) return;
            input.append(buffer, static_cast<size_t>(n));
            while (input.size() >= 2 && input.size() >= 2u + static_cast<uint8_t>(input[1])) {
                const bool probe = static_cast<uint8_t>(input[0]) == aLINK_ADDRESS_SYNC && input[1] == 0;
                input.erase(0, 2u + static_cast<uint8_t>(input[1]));
                if (!probe) continue;
                const char answer[2] = {static_cast<char>(MODULE_ADDRESS), 0};
                if (write(fd_, answer, sizeof answer) != sizeof answer) return;
                if (!answered && write(fd_, after_.data(), after_.size()) != static_cast<ssize_t>(after_.size()))
                    return;
                answered = true;
            }
        }
    }

    int fd_;
    std::string after_;
    std::atomic<bool> stop_{false};
    std::thread thread_;
};

uint8_t isLoadConfirmation(const aPacket* packet, const void*) {
    return packet->address == MODULE_ADDRESS && packet->dataSize == 2 && packet->data[0] == 0x5F &&
           packet->data[1] == 0x02;
}

TEST_F(UsbLink, APacketSentAmongTheSyncAnswersIsKeptForTheCaller) {
    UsbBedDeviceSpec spec{"0000CA3E", 19, 0, 0, USBBED_LAYOUT_MODULE};
    UsbBedDevice* device = usbbed_add_device(bed, &spec);
    ASSERT_NE(device, nullptr);
    const int fd = usbbed_device_open_pipe(device);
    ASSERT_GE(fd, 0);
    aLinkRef id = 0;
    {
        const std::string confirmation{static_cast<char>(MODULE_ADDRESS), 2, 0x5F, 0x02};
        PipeModule module(fd, confirmation);
        testsupport::waitUntil([&] { return (id = aLink_CreateUSB(0x0000CA3E)) != 0; }, 5s, 100ms);
        ASSERT_NE(id, 0u);
        // Sent before the sync ended: queued by the time the link is made, and only once.
        aPacket* taken = aLink_GetFirst(id, isLoadConfirmation, nullptr);
        EXPECT_NE(taken, nullptr);
        if (taken) aPacket_Destroy(&taken);
        EXPECT_EQ(aLink_GetFirst(id, isLoadConfirmation, nullptr), nullptr);
        EXPECT_EQ(aLink_Destroy(&id), aErrNone);
    }
    usbbed_device_unplug(device);
}

// A create begun while the last destroy of the module's link is still letting the module
// go waits until it has, then opens the module afresh.
TEST_F(UsbLink, ACreateRacingTheLastDestroyOpensTheModuleOnceItIsFree) {
    for (int round = 0; round < 60; ++round) {
        SCOPED_TRACE(round);
        aLinkRef id = aLink_CreateUSB(0x0000CAFE);
        ASSERT_NE(id, 0u);
        std::atomic<bool> destroying{false};
        std::thread destroyer([&id, &destroying] {
            destroying = true;
            EXPECT_EQ(aLink_Destroy(&id), aErrNone);
        });
        while (!destroying) std::this_thread::yield();
        // 0 to 3 ms into the destroy.
        std::this_thread::sleep_for(std::chrono::microseconds(round * 250 % 3000));
        aLinkRef again = aLink_CreateUSB(0x0000CAFE);
        destroyer.join();
        EXPECT_NE(again, 0u);
        if (again) {
            EXPECT_EQ(aLink_GetStatus(again), LINK_RUNNING);
            EXPECT_EQ(aLink_Destroy(&again), aErrNone);
        }
    }
}

uint8_t isProbeAnswer(const aPacket* packet, const void*) {
    return packet->dataSize == 0;
}

// A module on the bed's pipe streams samples that look like a probe answer and the start
// of a packet: neither the sync at the link's start nor later ones hand out a packet cut
// from inside a sample, nor an answer to their own bursts; a probe of the caller's own is
// answered.
TEST_F(UsbLink, SyncsAmidLookalikeSamplesHandOutWholeSamplesOnly) {
    struct Case {
        const char* serialText;
        uint32_t serial;
        size_t offset;
    };
    for (const Case tested : {Case{"0000CA4E", 0x0000CA4E, 0}, Case{"0000CA5E", 0x0000CA5E, 7}}) {
        SCOPED_TRACE(tested.serialText);
        UsbBedDeviceSpec spec{tested.serialText, 19, 0, 0, USBBED_LAYOUT_MODULE};
        UsbBedDevice* device = usbbed_add_device(bed, &spec);
        ASSERT_NE(device, nullptr);
        const int fd = usbbed_device_open_pipe(device);
        ASSERT_GE(fd, 0);
        const std::string sample = testsupport::lookalikeSample(tested.offset);
        testsupport::TakenPackets taken;
        {
            testsupport::StreamingModule module(fd, testsupport::LOOKALIKE_ADDRESS, sample, 1ms);
            aLinkRef id = 0;
            testsupport::waitUntil([&] { return (id = aLink_CreateUSB(tested.serial)) != 0; }, 5s, 100ms);
            ASSERT_NE(id, 0u);
            for (int round = 0; round < 30; ++round) {
                testsupport::takeQueued(id, sample, taken);
                ASSERT_EQ(aLink_Sync(id), aErrNone) << round;
                std::this_thread::sleep_for(3ms);
            }
            std::this_thread::sleep_for(300ms);
            testsupport::takeQueued(id, sample, taken);
            const uint8_t none = 0;
            aPacket* probe = aPacket_CreateWithData(aLINK_ADDRESS_SYNC, 0, &none);
            EXPECT_EQ(aLink_PutPacket(id, probe), aErrNone);
            aPacket_Destroy(&probe);
            aPacket* answer = aLink_AwaitFirst(id, isProbeAnswer, nullptr, 2000);
            EXPECT_NE(answer, nullptr);
            aPacket_Destroy(&answer);
            EXPECT_EQ(aLink_Destroy(&id), aErrNone);
        }
        EXPECT_EQ(taken.foreign, 0) << "first: " << taken.firstForeign;
        EXPECT_EQ(taken.answers, 0);
        EXPECT_GT(taken.samples, 30);
        usbbed_device_unplug(device);
    }
}

TEST_F(UsbLink, UnknownSerialIsNotFound) {
    EXPECT_EQ(aLink_CreateUSB(0x0BADCAFE), 0u);
}

bool countAll(const linkSpec*, bool* found, void*) {
    *found = true;
    return true;
}

TEST_F(UsbLink, DiscoveryFindsModulesBySerialModelAndFirst) {
    // The 7-character serial and the foreign vendor are skipped.
    EXPECT_EQ(aDiscovery_EnumerateModules(USB, countAll, nullptr, 0), 2);

    linkSpec* spec = aDiscovery_FindModule(USB, 0x0000CAFE, 0);
    ASSERT_NE(spec, nullptr);
    EXPECT_EQ(spec->type, static_cast<uint32_t>(USB));
    EXPECT_EQ(spec->serialNumber, 0x0000CAFEu);
    EXPECT_EQ(spec->model, 19u);
    EXPECT_EQ(spec->ipAddress, 0x0000CAFEu);
    EXPECT_EQ(spec->moduleAddress, 0u);
    aLinkSpec_Destroy(&spec);
    EXPECT_EQ(aLinkSpec_Destroy(&spec), aErrParam);

    EXPECT_EQ(aDiscovery_FindModule(USB, 0x12345678, 0), nullptr);

    uint32_t model21 = 0;
    aDiscovery_EnumerateModules(
        USB,
        [](const linkSpec* found, bool* flag, void* ref) {
            if (found->model != 21) return true;
            *static_cast<uint32_t*>(ref) = found->serialNumber;
            *flag = true;
            return false;
        },
        &model21, 0);
    EXPECT_EQ(model21, 0x0000D00Du);

    linkSpec* first = aDiscovery_FindFirstModule(USB, 0);
    ASSERT_NE(first, nullptr);
    EXPECT_TRUE(first->serialNumber == 0x0000CAFEu || first->serialNumber == 0x0000D00Du);
    aLinkSpec_Destroy(&first);

    EXPECT_EQ(aDiscovery_EnumerateModules(SERIAL, countAll, nullptr, 0), 0);
    EXPECT_EQ(aDiscovery_EnumerateModules(0, countAll, nullptr, 0), 0);
}

}  // namespace
