// Replies of the link server reach only the request they answer. The test plays a
// module on the emulated USB bus that numbers its answers and answers some of them
// late; an independent ZeroMQ peer (tests/peers/zmq_peer.py) plays the clients.
#include <gtest/gtest.h>

#include <atomic>
#include <csignal>
#include <deque>
#include <functional>
#include <mutex>
#include <sstream>
#include <thread>

#include "aLink.h"
#include "aLinkServer.h"
#include "process.h"
#include "raw_packets.h"
#include "../usb/usb_bed.h"
#include "wait_until.h"

using namespace std::chrono_literals;
using testsupport::Bytes;
using testsupport::ProcessResult;

namespace {

const uint8_t ADDRESS = 6;
const uint8_t MODEL = 19;
const uint8_t EXCHANGE = 0x10;

std::string peerScript() {
    return testsupport::requiredEnv("SOURCE_DIR") + "/tests/peers/zmq_peer.py";
}

// Answers the server's start-up queries, and every read [0x10, 0x40 | option, 0x00]
// with [0x10, option, 0x00, n], n counting the reads from 1, `delay(n)` later.
class NumberingModule {
public:
    NumberingModule(int fd, std::function<std::chrono::milliseconds(int)> delay)
        : fd_(fd), delay_(std::move(delay)), thread_([this] { run(); }) {}
    ~NumberingModule() {
        stop_ = true;
        thread_.join();
    }
    int reads() const { return reads_; }

private:
    struct Due {
        std::chrono::steady_clock::time_point at;
        Bytes data;
    };

    void run() {
        using testsupport::sendPacket;
        std::deque<Due> due;
        while (!stop_) {
            const auto packet = testsupport::readPacket(fd_, 5ms);
            const auto now = std::chrono::steady_clock::now();
            while (!due.empty() && due.front().at <= now) {
                sendPacket(fd_, ADDRESS, due.front().data);
                due.pop_front();
            }
            if (!packet) continue;
            const Bytes& data = packet->data;
            if (packet->address == 0xAD && data.empty()) {
                sendPacket(fd_, ADDRESS, {});
            } else if (packet->address == ADDRESS && data == Bytes{0x03, 0x48, 0x20}) {
                sendPacket(fd_, ADDRESS, {0x03, 0x08, 0x00, MODEL});
            } else if (packet->address == ADDRESS && data.size() == 3 && data[0] == EXCHANGE && (data[1] & 0x40)) {
                const int n = ++reads_;
                Due reply{now + delay_(n),
                          {EXCHANGE, static_cast<uint8_t>(data[1] & 0x3F), 0x00, static_cast<uint8_t>(n)}};
                auto at = due.begin();
                while (at != due.end() && at->at <= reply.at) ++at;
                due.insert(at, reply);
            }
        }
    }

    int fd_;
    std::function<std::chrono::milliseconds(int)> delay_;
    std::atomic<int> reads_{0};
    std::atomic<bool> stop_{false};
    std::thread thread_;
};

struct LateCase {
    const char* name;
    int optionA;
    int optionB;
};

class LinkServerLateReply : public ::testing::TestWithParam<LateCase> {};

// Client A's read is answered after 2.6 s, past the server's 2 s wait; client B's read,
// made meanwhile, is answered 1.5 s after it reaches the module. A's late answer must
// go to nobody, also when B asks the very same thing.
TEST_P(LinkServerLateReply, GoesToNobodyElse) {
    usbtest::BedDevice device("00005E51", MODEL);
    ASSERT_TRUE(device.ready());
    NumberingModule module(device.moduleFd(), [](int n) { return n == 1 ? 2600ms : n == 2 ? 1500ms : 0ms; });
    uint16_t port = 0;
    uint32_t networkInterface = 0;
    aLinkRef id = aLink_CreateServer(0x00005E51, &port, &networkInterface, 1);
    ASSERT_NE(id, 0u);
    const ProcessResult peer = testsupport::runProcess(
        {"/usr/bin/python3", peerScript(), "late", std::to_string(port), std::to_string(ADDRESS),
         std::to_string(GetParam().optionA), std::to_string(GetParam().optionB)},
        30s);
    aLink_Destroy(&id);
    std::istringstream lines(peer.out);
    std::string line;
    std::vector<std::string> gotA, gotB;
    bool done = false;
    while (std::getline(lines, line)) {
        if (line == "done") done = true;
        if (line.rfind("A ", 0) == 0) gotA.push_back(line.substr(2));
        if (line.rfind("B ", 0) == 0) gotB.push_back(line.substr(2));
    }
    ASSERT_TRUE(done) << peer.out << peer.err;
    char wantedB[16];
    snprintf(wantedB, sizeof wantedB, "0604%02x%02x0002", EXCHANGE, GetParam().optionB);
    for (const std::string& frame : gotA) ADD_FAILURE() << "client A got " << frame << " after its request gave up";
    // B's own answer (number 2) is the only frame it may get, and it does get it.
    ASSERT_EQ(gotB.size(), 1u) << peer.out;
    EXPECT_EQ(gotB[0], wantedB);
}

INSTANTIATE_TEST_SUITE_P(Reads, LinkServerLateReply,
                         ::testing::Values(LateCase{"OtherValue", 1, 2}, LateCase{"SameValue", 1, 1}),
                         [](const ::testing::TestParamInfo<LateCase>& tested) {
                             return std::string(tested.param.name);
                         });

// A client killed with many reads queued: the server stops running them once it finds
// the client gone, instead of working through the rest.
TEST(LinkServerKilledClient, QueuedRequestsAreDropped) {
    usbtest::BedDevice device("00005E52", MODEL);
    ASSERT_TRUE(device.ready());
    NumberingModule module(device.moduleFd(), [](int) { return 20ms; });
    uint16_t port = 0;
    uint32_t networkInterface = 0;
    aLinkRef id = aLink_CreateServer(0x00005E52, &port, &networkInterface, 1);
    ASSERT_NE(id, 0u);
    const int queued = 200;
    testsupport::BackgroundProcess peer({"/usr/bin/python3", peerScript(), "burst", std::to_string(port),
                                         std::to_string(ADDRESS), std::to_string(queued)});
    std::string line;
    ASSERT_TRUE(peer.readLine(line));
    ASSERT_EQ(line, "sent");
    ASSERT_TRUE(testsupport::waitUntil([&] { return module.reads() >= 5; }, 10s));
    kill(peer.pid(), SIGKILL);
    peer.stop();
    const int atKill = module.reads();
    // Settled: no read for a second.
    int last = -1;
    for (int round = 0; round < 30 && last != module.reads(); ++round) {
        last = module.reads();
        std::this_thread::sleep_for(1s);
    }
    EXPECT_LE(module.reads() - atKill, 3) << "reads of a killed client still ran: " << module.reads() << " of "
                                          << queued << ", " << atKill << " at the kill";
    aLink_Destroy(&id);
}

}  // namespace
