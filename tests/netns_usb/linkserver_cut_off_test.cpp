// A subscriber on another host loses its network while the module streams to it: no FIN
// and no RST reach the server, and what the server sends stays unacknowledged. Within
// about ten seconds the server lets the client go, and the module stops the stream that
// nobody wants any more. The other host is a second network namespace that the test
// makes inside its own, joined to it by a veth pair whose far end the test sets down;
// the subscriber is the independent ZeroMQ peer (tests/peers/zmq_peer.py).
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <chrono>
#include <climits>
#include <csignal>
#include <cstdio>
#include <memory>
#include <string>
#include <unistd.h>
#include <vector>

#include "aLink.h"
#include "aLinkServer.h"
#include "process.h"
#include "module_on_bus.h"
#include "wait_until.h"

using namespace std::chrono_literals;
using testsupport::ProcessResult;

namespace {

const uint32_t SERIAL = 0x00005E57;
const char* const SERIAL_TEXT = "00005E57";
const uint8_t ADDRESS = 6;
const uint8_t MODEL = 19;
const char* const NEAR_END = "cut0";
const char* const FAR_END = "cut1";
const char* const SERVER_ADDRESS = "198.19.0.1";
const char* const CLIENT_ADDRESS = "198.19.0.2/24";

bool run(const std::vector<std::string>& argv) {
    const ProcessResult result = testsupport::runProcess(argv, 10s);
    if (result.exitCode != 0) ADD_FAILURE() << argv[0] << " " << argv[1] << ": " << result.err;
    return result.exitCode == 0;
}

std::string networkNamespace(const std::string& pid) {
    char target[PATH_MAX] = {};
    const ssize_t length = readlink(("/proc/" + pid + "/ns/net").c_str(), target, sizeof target - 1);
    return length > 0 ? std::string(target, static_cast<size_t>(length)) : std::string();
}

bool inNetwork(const std::string& pid, std::vector<std::string> command) {
    std::vector<std::string> argv = {"/usr/bin/nsenter", "-t", pid, "-n"};
    argv.insert(argv.end(), command.begin(), command.end());
    return run(argv);
}

class LinkServerCutOff : public ::testing::Test {
protected:
    void SetUp() override {
        module = std::make_unique<testsupport::ModuleOnBus>(SERIAL_TEXT, MODEL, ADDRESS,
                                                            std::vector<std::string>{"--stream-ms", "20"});
        ASSERT_TRUE(module->ready());
        ASSERT_TRUE(run({"/usr/sbin/ip", "link", "add", NEAR_END, "type", "veth", "peer", "name", FAR_END}));
        ASSERT_TRUE(run({"/usr/sbin/ip", "addr", "add", std::string(SERVER_ADDRESS) + "/24", "dev", NEAR_END}));
        ASSERT_TRUE(run({"/usr/sbin/ip", "link", "set", NEAR_END, "up"}));
        uint32_t networkInterface = 0;
        ASSERT_EQ(inet_pton(AF_INET, SERVER_ADDRESS, &networkInterface), 1);
        id = aLink_CreateServer(SERIAL, &port, &networkInterface, 0);
        ASSERT_NE(id, 0u);
    }
    void TearDown() override {
        aLink_Destroy(&id);
        testsupport::runProcess({"/usr/sbin/ip", "link", "del", NEAR_END}, 10s);
    }

    std::unique_ptr<testsupport::ModuleOnBus> module;
    aLinkRef id = 0;
    uint16_t port = 0;
};

TEST_F(LinkServerCutOff, StreamingSubscriberWhoseNetworkGoesIsFreed) {
    const testsupport::Heartbeats heartbeats(module->sim());
    const std::string disabled = "ev stream disable 10 01 00";
    const size_t before = module->sim().countInLog(disabled);
    testsupport::BackgroundProcess peer({"/usr/bin/unshare", "--net", "/usr/bin/python3",
                                         testsupport::requiredEnv("SOURCE_DIR") + "/tests/peers/zmq_peer.py", "cut-off",
                                         std::to_string(port), SERVER_ADDRESS, std::to_string(ADDRESS)});
    const std::string pid = std::to_string(peer.pid());
    const std::string here = networkNamespace("self");
    ASSERT_TRUE(testsupport::waitUntil(
        [&] {
            const std::string there = networkNamespace(pid);
            return !there.empty() && there != here;
        },
        10s));
    ASSERT_TRUE(run({"/usr/sbin/ip", "link", "set", FAR_END, "netns", pid}));
    ASSERT_TRUE(inNetwork(pid, {"/usr/sbin/ip", "addr", "add", CLIENT_ADDRESS, "dev", FAR_END}));
    ASSERT_TRUE(inNetwork(pid, {"/usr/sbin/ip", "link", "set", FAR_END, "up"}));
    std::string line;
    ASSERT_TRUE(peer.readLine(line, 40s));
    ASSERT_EQ(line, "streaming");

    const auto cut = std::chrono::steady_clock::now();
    ASSERT_TRUE(inNetwork(pid, {"/usr/sbin/ip", "link", "set", FAR_END, "down"}));
    const bool stopped = module->sim().waitForLog(disabled, before + 1, 30s);
    const auto seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - cut).count();
    EXPECT_TRUE(stopped) << "the module still streams for the cut-off client " << seconds << " s after the cut";
    if (stopped) {
        std::printf("stream stopped %.1f s after the cut\n", seconds);
        EXPECT_LT(seconds, 15.0);
    }
    kill(peer.pid(), SIGKILL);
    peer.stop();
}

}  // namespace
