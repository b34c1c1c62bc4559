// A signal delivered to any thread of the link server and its client link leaves both
// working: the actors' waits are not ended by it. The threads that the server and the
// creator's client link add are found in /proc/self/task and each is sent signals
// with a handler (so they interrupt waits) through tgkill.
#include <gtest/gtest.h>

#include <csignal>
#include <dirent.h>
#include <set>
#include <sys/syscall.h>
#include <thread>
#include <unistd.h>

#include "aLink.h"
#include "aLinkServer.h"
#include "discover.h"
#include "modsim_process.h"
#include "process.h"
#include "tempdir.h"
#include "../usb/usb_bed.h"

using namespace std::chrono_literals;
using testsupport::ModsimProcess;
using testsupport::ProcessResult;
using testsupport::TempDir;

namespace {

const uint32_t SERIAL = 0x00005E54;
const char* const SERIAL_TEXT = "00005E54";
const uint8_t ADDRESS = 6;
const uint8_t MODEL = 19;

std::set<pid_t> threads() {
    std::set<pid_t> found;
    DIR* tasks = opendir("/proc/self/task");
    if (!tasks) return found;
    while (dirent* entry = readdir(tasks))
        if (entry->d_name[0] != '.') found.insert(static_cast<pid_t>(atoi(entry->d_name)));
    closedir(tasks);
    return found;
}

void onSignal(int) {}

uint8_t fromModule(const aPacket* packet, const void*) {
    return packet->address == ADDRESS;
}

bool countServers(const linkSpec*, bool* found, void* ref) {
    *found = true;
    ++*static_cast<int*>(ref);
    return true;
}

bool readThroughLink(aLinkRef id) {
    const uint8_t get[] = {0x10, 0x41, 0x00};
    aPacket* request = aPacket_CreateWithData(ADDRESS, sizeof get, get);
    if (aLink_PutPacket(id, request) != aErrNone) return false;
    aPacket_Destroy(&request);
    aPacket* reply = aLink_AwaitFirst(id, fromModule, nullptr, 3000);
    const bool answered = reply && reply->dataSize == 4 && reply->data[3] == 0x11;
    aPacket_Destroy(&reply);
    return answered;
}

struct SignalCase {
    const char* name;
    int signal;
};

class LinkServerSignals : public ::testing::TestWithParam<SignalCase> {};

TEST_P(LinkServerSignals, LeaveEveryActorWorking) {
    TempDir dir;
    const std::string socketPath = dir.file("module.sock");
    ModsimProcess sim(dir.path(),
                      {"--unix", socketPath, "--serial", SERIAL_TEXT, "--model", std::to_string(MODEL), "--address",
                       std::to_string(ADDRESS)},
                      "module");
    ASSERT_TRUE(sim.ready());
    usbtest::BedDevice device(UsbBedDeviceSpec{SERIAL_TEXT, MODEL, 0, 0, USBBED_LAYOUT_MODULE}, false);
    ASSERT_EQ(usbbed_device_bridge_unix(device.get(), socketPath.c_str()), 0);
    ASSERT_TRUE(device.ready());

    struct sigaction action = {};
    action.sa_handler = onSignal;
    sigemptyset(&action.sa_mask);
    struct sigaction previous = {};
    ASSERT_EQ(sigaction(GetParam().signal, &action, &previous), 0);

    const std::set<pid_t> before = threads();
    uint16_t port = 0;
    uint32_t networkInterface = 0;
    aLinkRef id = aLink_CreateServer(SERIAL, &port, &networkInterface, 1);
    ASSERT_NE(id, 0u);
    ASSERT_TRUE(readThroughLink(id));
    std::set<pid_t> added;
    for (const pid_t thread : threads())
        if (!before.count(thread)) added.insert(thread);
    EXPECT_GE(added.size(), 5u);
    for (int round = 0; round < 5; ++round) {
        for (const pid_t thread : added) syscall(SYS_tgkill, getpid(), thread, GetParam().signal);
        std::this_thread::sleep_for(50ms);
    }
    sigaction(GetParam().signal, &previous, nullptr);

    EXPECT_TRUE(readThroughLink(id)) << "the creator's client link";
    const ProcessResult peer = testsupport::runProcess(
        {"/usr/bin/python3", testsupport::requiredEnv("SOURCE_DIR") + "/tests/peers/zmq_peer.py", "exchange",
         std::to_string(port), "0603104100", "060410010011"},
        20s);
    EXPECT_EQ(peer.out, "ok\n") << peer.err;
    int servers = 0;
    aDiscovery_EnumerateModules(AWEAVE, countServers, &servers, 0);
    EXPECT_EQ(servers, 1) << "local discovery answers";
    aLink_Destroy(&id);
}

INSTANTIATE_TEST_SUITE_P(Signals, LinkServerSignals,
                         ::testing::Values(SignalCase{"SIGCHLD", SIGCHLD}, SignalCase{"SIGALRM", SIGALRM},
                                           SignalCase{"SIGWINCH", SIGWINCH}, SignalCase{"SIGPROF", SIGPROF}),
                         [](const ::testing::TestParamInfo<SignalCase>& tested) {
                             return std::string(tested.param.name);
                         });

}  // namespace
