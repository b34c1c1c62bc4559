// Several clients flood the link server with well-formed requests for a minute; the
// process that hosts it lives on, its memory stays bounded, and a client is served
// again afterwards. Too long for the default suite, so disabled there; run it from the
// source directory the way the suite's launcher does:
//   tools/netns/netns-run umockdev-wrapper env SOURCE_DIR=$PWD
//       build/tests/linkserver_flood_test --gtest_also_run_disabled_tests
// (one command line).
#include <gtest/gtest.h>

#include <fstream>
#include <string>

#include "aLink.h"
#include "modsim_process.h"
#include "process.h"
#include "tempdir.h"
#include "../usb/usb_bed.h"

using namespace std::chrono_literals;
using testsupport::ModsimProcess;
using testsupport::ProcessResult;
using testsupport::TempDir;

namespace {

const uint32_t SERIAL = 0x00005E55;
const char* const SERIAL_TEXT = "00005E55";
const uint8_t ADDRESS = 6;
const uint8_t MODEL = 19;

long residentKB() {
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line))
        if (line.rfind("VmRSS:", 0) == 0) return std::stol(line.substr(6));
    return -1;
}

ProcessResult runPeer(const std::vector<std::string>& args, std::chrono::milliseconds limit) {
    std::vector<std::string> argv = {"/usr/bin/python3",
                                     testsupport::requiredEnv("SOURCE_DIR") + "/tests/peers/zmq_peer.py"};
    argv.insert(argv.end(), args.begin(), args.end());
    return testsupport::runProcess(argv, limit);
}

TEST(LinkServerFlood, DISABLED_SeveralClientsForAMinute) {
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
    uint16_t port = 0;
    uint32_t networkInterface = 0;
    aLinkRef id = aLink_CreateServer(SERIAL, &port, &networkInterface, 1);
    ASSERT_NE(id, 0u);
    const ProcessResult warm = runPeer({"flood", std::to_string(port), std::to_string(ADDRESS), "20", "4"}, 60s);
    ASSERT_EQ(warm.out, "ok\n") << warm.err;
    // Measured after a first flood, which also fills the sanitizer's quarantine of freed
    // memory: a minute more must add little.
    const long before = residentKB();
    const ProcessResult flood = runPeer({"flood", std::to_string(port), std::to_string(ADDRESS), "60", "4"}, 120s);
    EXPECT_EQ(flood.out, "ok\n") << flood.err;
    const long after = residentKB();
    std::printf("resident %ld kB before, %ld kB after the flood; %s", before, after, flood.err.c_str());
    EXPECT_LT(after - before, 64 * 1024L);
    const ProcessResult served = runPeer({"exchange", std::to_string(port), "0603104100", "060410010011"}, 30s);
    EXPECT_EQ(served.out, "ok\n") << served.err;
    aLink_Destroy(&id);
}

}  // namespace
