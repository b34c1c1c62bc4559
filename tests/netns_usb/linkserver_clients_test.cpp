// One client of the link server never holds the others: stream subscriptions are
// counted per value, and a client that queues requests to an absent module delays
// another client by about one module time-out at most. The simulated module sits on the
// emulated USB bus; an independent ZeroMQ peer (tests/peers/zmq_peer.py) plays the
// clients.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "aLink.h"
#include "aLinkServer.h"
#include "modsim_process.h"
#include "process.h"
#include "tempdir.h"
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

ProcessResult runPeer(const std::vector<std::string>& args, std::chrono::milliseconds limit = 90s) {
    return testsupport::runZmqPeer(args, limit);
}

class LinkServerClients : public testsupport::ServedModuleSuite {
protected:
    static void SetUpTestSuite() { startModule(SERIAL_TEXT, MODEL, ADDRESS, {"--stream-ms", "10"}); }
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

// Every value-exchange packet of any client ages an open multi-chunk write, short ones
// too: after 2000 of them the write is gone and its last chunk completes nothing. With
// 1990 the write is still open and is acknowledged.
TEST_F(LinkServerClients, OpenWriteAgesOnEveryValuePacket) {
    const ProcessResult aged = runPeer({"age", std::to_string(port), std::to_string(ADDRESS), "2000"});
    EXPECT_EQ(aged.out, "no ack\n") << aged.err;
    const ProcessResult open = runPeer({"age", std::to_string(port), std::to_string(ADDRESS), "1990"});
    EXPECT_EQ(open.out, "ack\n") << open.err;
}

}  // namespace
