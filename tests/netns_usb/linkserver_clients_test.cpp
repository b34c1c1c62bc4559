// One client of the link server never holds the others: stream subscriptions are
// counted per value, and a client that queues requests to an absent module delays
// another client by about one module time-out at most. The simulated module sits on the
// emulated USB bus; an independent ZeroMQ peer (tests/peers/zmq_peer.py) plays the
// clients.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <ostream>
#include <string>
#include <thread>
#include <vector>

#include "aLink.h"
#include "aLinkServer.h"
#include "modsim_process.h"
#include "process.h"
#include "tempdir.h"
#include "wait_until.h"
#include "module_on_bus.h"

using namespace std::chrono_literals;
using testsupport::ModsimProcess;
using testsupport::ProcessResult;
using testsupport::TempDir;

namespace {

const uint32_t SERIAL = 0x00005E53;
const char* const SERIAL_TEXT = "00005E53";
const uint8_t ADDRESS = 6;
const uint8_t ABSENT = 9;
const uint8_t MODEL = 19;
// Long enough for a reply of three chunks.
const char* const NAME = "A module name long enough to take three chunks to read";

ProcessResult runPeer(const std::vector<std::string>& args, std::chrono::milliseconds limit = 90s) {
    return testsupport::runZmqPeer(args, limit);
}

uint8_t fromModule(const aPacket* packet, const void*) {
    return packet->address == ADDRESS;
}

class LinkServerClients : public testsupport::ServedModuleSuite {
protected:
    static void SetUpTestSuite() { startModule(SERIAL_TEXT, MODEL, ADDRESS, {"--stream-ms", "10", "--name", NAME}); }
    static void TearDownTestSuite() { stopModule(); }
    void SetUp() override { serve(SERIAL); }
};

// Two clients stream the same value and a third another; one of the two disables it
// and the third disables with a pattern: the remaining subscriber keeps its samples,
// and neither of the others gets any more batches.
TEST_F(LinkServerClients, DisableEndsOnlyThatClientsSubscription) {
    const testsupport::Heartbeats heartbeats(*sim);
    const ProcessResult peer = runPeer({"shared-stream", std::to_string(port), std::to_string(ADDRESS)});
    EXPECT_EQ(peer.out, "ok\n") << peer.err;
}

// A client with 40 reads queued for a module that never answers: each of the other
// client's reads is answered within 4.5 s (one 2 s time-out of the absent module's
// request in flight, and slack for a loaded machine), where it used to wait for all 40.
TEST_F(LinkServerClients, AbsentModuleQueueDelaysOthersByOneTimeOut) {
    const ProcessResult peer =
        runPeer({"absent", std::to_string(port), std::to_string(ADDRESS), std::to_string(ABSENT), "40"});
    EXPECT_EQ(peer.out, "ok\n") << peer.err;
}

// Every value-exchange packet of any client ages an open multi-chunk write, refused ones
// too: after 2000 of them the write is gone and its last chunk completes nothing. With
// 1990 the write is still open and is acknowledged.
TEST_F(LinkServerClients, OpenWriteAgesOnEveryValuePacket) {
    const ProcessResult aged = runPeer({"age", std::to_string(port), std::to_string(ADDRESS), "2000"});
    EXPECT_EQ(aged.out, "no ack\n") << aged.err;
    const ProcessResult open = runPeer({"age", std::to_string(port), std::to_string(ADDRESS), "1990"});
    EXPECT_EQ(open.out, "ack\n") << open.err;
}

// A request the module never answers brings its client nothing at all: no reply, and no
// frame of the server's own (an empty one would end the link of a client that takes
// every frame as bytes of its stream). The client's next request is served as ever.
TEST_F(LinkServerClients, UnansweredRequestBringsNoFrame) {
    const ProcessResult peer =
        runPeer({"unanswered", std::to_string(port), std::to_string(ADDRESS), std::to_string(ABSENT)});
    EXPECT_EQ(peer.out, "ok\n") << peer.err;
}

struct QueueCase {
    const char* name;
    int requests;
    bool allReplies;  // else some are refused: more than one client's share is queued
};

void PrintTo(const QueueCase& tested, std::ostream* out) {
    *out << tested.name;
}

class LinkServerQueuedRequests : public LinkServerClients, public ::testing::WithParamInterface<QueueCase> {};

// A client that queues many reads back to back gets an answer to every one: the module's
// reply, or, past what the server keeps for one client, the module's error reply with
// aErrBusy; none is lost.
TEST_P(LinkServerQueuedRequests, EveryOneIsAnswered) {
    const QueueCase& wanted = GetParam();
    const ProcessResult peer =
        runPeer({"queue", std::to_string(port), std::to_string(ADDRESS), std::to_string(wanted.requests)});
    int answers = -1, replies = -1, refusals = -1;
    ASSERT_EQ(sscanf(peer.out.c_str(), "answers %d replies %d refusals %d", &answers, &replies, &refusals), 3)
        << peer.out << peer.err;
    EXPECT_EQ(answers, wanted.requests);
    if (wanted.allReplies)
        EXPECT_EQ(replies, wanted.requests);
    else
        EXPECT_GT(refusals, 0);
}

INSTANTIATE_TEST_SUITE_P(Reads, LinkServerQueuedRequests,
                         ::testing::Values(QueueCase{"ThreeHundred", 300, true},
                                           QueueCase{"ALibraryQueueFull", 1000, true},
                                           QueueCase{"BeyondOneClientsShare", 3000, false}),
                         [](const ::testing::TestParamInfo<QueueCase>& tested) {
                             return std::string(tested.param.name);
                         });

// A library client link that puts 300 reads at once gets 300 replies.
TEST_F(LinkServerClients, LibraryClientGetsEveryQueuedReply) {
    const uint8_t get[] = {0x10, 0x41, 0x00};
    const int requests = 300;
    for (int i = 0; i < requests; ++i) {
        aPacket* request = aPacket_CreateWithData(ADDRESS, sizeof get, get);
        ASSERT_EQ(aLink_PutPacket(id, request), aErrNone);
        aPacket_Destroy(&request);
    }
    int replies = 0;
    while (aPacket* reply = aLink_AwaitFirst(id, fromModule, nullptr, 5000)) {
        if (reply->dataSize == 4 && reply->data[3] == 0x11) ++replies;
        aPacket_Destroy(&reply);
        if (replies == requests) break;
    }
    EXPECT_EQ(replies, requests);
}

// Clients that queue reads of absent modules and leave take their queues with them: a
// new client is answered without waiting for each one's time-out, and the module gets
// hardly any of the reads of those that left.
TEST_F(LinkServerClients, LeftClientsQueuesAreNotRun) {
    const int leaving = 6;
    const int firstAbsent = 20;
    auto absentReads = [&] {
        size_t count = 0;
        for (int n = 0; n < leaving; ++n) {
            char line[32];
            snprintf(line, sizeof line, "rx %02X 03 10 41 00", firstAbsent + 2 * n);
            count += sim->countInLog(line);
        }
        return count;
    };
    const size_t before = absentReads();
    const ProcessResult peer = runPeer({"leavers", std::to_string(port), std::to_string(ADDRESS),
                                        std::to_string(firstAbsent), std::to_string(leaving)});
    EXPECT_EQ(peer.out, "ok\n") << peer.err;
    std::printf("%s", peer.err.c_str());
    EXPECT_LE(absentReads() - before, 2u) << absentReads() - before << " reads of clients that left ran";
}

// Client A's read of a reply of three chunks gives up; the module answers it late, while
// client B's read is on its way: the whole late reply goes to nobody, and B gets its own.
TEST_F(LinkServerClients, LateReplyOfSeveralChunksGoesWhole) {
    ASSERT_EQ(sim->control("fault delay 2500"), "ok");
    const size_t asked = sim->countInLog("rx 06 03 03 60 20");
    testsupport::BackgroundProcess peer({"/usr/bin/python3",
                                         testsupport::requiredEnv("SOURCE_DIR") + "/tests/peers/zmq_peer.py",
                                         "late-chunks", std::to_string(port), std::to_string(ADDRESS)});
    ASSERT_TRUE(sim->waitForLog("rx 06 03 03 60 20", asked + 1, 10s));
    // B's answer leaves after A's late one.
    ASSERT_EQ(sim->control("fault delay 1000"), "ok");
    std::vector<std::string> gotA, gotB;
    std::string line;
    bool done = false;
    while (!done && peer.readLine(line, 30s)) {
        if (line == "done") done = true;
        if (line.rfind("A ", 0) == 0) gotA.push_back(line.substr(2));
        if (line.rfind("B ", 0) == 0) gotB.push_back(line.substr(2));
    }
    ASSERT_TRUE(done);
    for (const std::string& frame : gotA) ADD_FAILURE() << "client A got " << frame << " after its request gave up";
    ASSERT_EQ(gotB.size(), 1u) << (gotB.empty() ? "" : gotB[0]) << (gotB.size() > 1 ? " " + gotB[1] : "");
    EXPECT_EQ(gotB[0], "060410010011");
}

// The module refuses client A's stream enable and accepts B's: only B is a subscriber,
// so A never gets a batch, and B's disable reaches the module, which stops streaming.
TEST_F(LinkServerClients, RefusedEnableIsNoSubscription) {
    const testsupport::Heartbeats heartbeats(*sim);
    const std::string disabled = "ev stream disable 10 01 00";
    const size_t before = sim->countInLog(disabled);
    ASSERT_EQ(sim->control("fault stream error 0 29"), "ok");
    const ProcessResult peer = runPeer({"refused-enable", std::to_string(port), std::to_string(ADDRESS)});
    EXPECT_EQ(peer.out, "ok\n") << peer.err;
    EXPECT_TRUE(sim->waitForLog(disabled, before + 1));
}

// A subscriber leaves while another's enable of the same value waits its turn: the
// server's disable for the leaver comes after the newcomer's enable was accepted, and is
// then left out, so the newcomer's value keeps streaming.
TEST_F(LinkServerClients, LeaversStreamGoesOnForANewSubscriber) {
    const testsupport::Heartbeats heartbeats(*sim);
    const ProcessResult peer =
        runPeer({"handover", std::to_string(port), std::to_string(ADDRESS), std::to_string(ABSENT)});
    EXPECT_EQ(peer.out, "ok\n") << peer.err;
}

// A stream request whose answer never came may have been carried out (the module lost
// its reply, or sent it past the server's wait) or may never have reached the module:
// the module may be streaming the value. The client's next disable of it then reaches
// the module, as does the server's own when the client leaves (asked again when it too
// goes unanswered), so the module ends up streaming nothing.
struct UnsureStreamCase {
    const char* name;
    const char* fault;
    std::vector<std::string> scenario;  // zmq_peer.py's, after PORT and ADDR
    const char* moduleSaw;              // a log line the fault shows in
};

void PrintTo(const UnsureStreamCase& c, std::ostream* out) {
    *out << c.name;
}

class LinkServerUnsureStream : public LinkServerClients, public ::testing::WithParamInterface<UnsureStreamCase> {};

TEST_P(LinkServerUnsureStream, ModuleEndsUpStreamingNothing) {
    const UnsureStreamCase& c = GetParam();
    const testsupport::Heartbeats heartbeats(*sim);
    ASSERT_EQ(sim->control("streams"), "ok") << "a value streams before the test";
    const size_t sawBefore = sim->countInLog(c.moduleSaw);
    ASSERT_EQ(sim->control(c.fault), "ok");
    std::vector<std::string> args{c.scenario[0], std::to_string(port), std::to_string(ADDRESS)};
    args.insert(args.end(), c.scenario.begin() + 1, c.scenario.end());
    const ProcessResult peer = runPeer(args);
    EXPECT_EQ(peer.out, "ok\n") << peer.err;
    EXPECT_GT(sim->countInLog(c.moduleSaw), sawBefore);
    std::string streams;
    EXPECT_TRUE(testsupport::waitUntil(
        [&] {
            streams = sim->control("streams");
            return streams == "ok";
        },
        15s, 50ms))
        << "the module still streams: " << streams;
}

INSTANTIATE_TEST_SUITE_P(
    Cases, LinkServerUnsureStream,
    ::testing::Values(
        UnsureStreamCase{"EnableAnsweredLateThenDisable", "fault delay 2500",
                         {"unanswered-enable", "disable", "2.3"}, "ev stream enable 10 01 00"},
        UnsureStreamCase{"EnableReplyLostThenDisable", "fault no-reply", {"unanswered-enable", "disable", "2.3"},
                         "ev module 0x06 fault no-reply: 5D C1 00"},
        UnsureStreamCase{"EnableReplyLostThenLeave", "fault no-reply", {"unanswered-enable", "leave", "2.3"},
                         "ev module 0x06 fault no-reply: 5D C1 00"},
        UnsureStreamCase{"LeaveWhileEnableUnanswered", "fault no-reply", {"unanswered-enable", "leave", "0.5"},
                         "ev module 0x06 fault no-reply: 5D C1 00"},
        UnsureStreamCase{"DisableLostThenDisableAgain", "fault stream lost 1", {"lost-disable", "disable"},
                         "ev stream request lost: 5D 82 20 06 10 01 00"},
        UnsureStreamCase{"LeaveAndTheServersDisableIsLost", "fault stream lost 1", {"lost-disable", "leave"},
                         "ev stream request lost: 5D 82 20 06 10 01 00"}),
    [](const ::testing::TestParamInfo<UnsureStreamCase>& param) { return std::string(param.param.name); });

}  // namespace
