// Two callers creating one module's link at the same moment: the second shares the link
// only once it runs, or fails as the first did, and a failed creation leaves nothing
// that a later creation could find.
#include <gtest/gtest.h>

#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <thread>
#include <vector>

#include "aLink.h"
#include "modsim_process.h"
#include "net_address.h"
#include "tcp_peer.h"
#include "tempdir.h"
#include "wait_until.h"

using namespace std::chrono_literals;
using testsupport::ModsimProcess;
using testsupport::TempDir;

namespace {

const uint8_t MODULE_ADDRESS = 4;

// What one creator saw right after its create returned.
struct Outcome {
    aLinkRef id = 0;
    linkStatus status = LINK_INVALID;
    aErr put = aErrUnknown;
    aErr reset = aErrUnknown;
};

aErr putSyncQuery(aLinkRef id) {
    const uint8_t none = 0;
    aPacket* query = aPacket_CreateWithData(aLINK_ADDRESS_SYNC, 0, &none);
    const aErr result = aLink_PutPacket(id, query);
    aPacket_Destroy(&query);
    return result;
}

// Both creators start as close together as the machine allows.
std::vector<Outcome> createTogether(uint32_t ip, uint16_t port, bool resetAtOnce) {
    std::vector<Outcome> outcomes(2);
    std::atomic<int> ready{0};
    std::vector<std::thread> creators;
    for (Outcome& outcome : outcomes) {
        creators.emplace_back([&ready, &outcome, ip, port, resetAtOnce] {
            ++ready;
            while (ready < 2) std::this_thread::yield();
            outcome.id = aLink_CreateTCPIP(ip, port);
            if (!outcome.id) return;
            outcome.status = aLink_GetStatus(outcome.id);
            outcome.put = putSyncQuery(outcome.id);
            if (resetAtOnce) outcome.reset = aLink_Reset(outcome.id);
        });
    }
    for (auto& creator : creators) creator.join();
    return outcomes;
}

void destroyAll(std::vector<Outcome>& outcomes) {
    for (Outcome& outcome : outcomes) {
        if (outcome.id) {
            EXPECT_EQ(aLink_Destroy(&outcome.id), aErrNone);
        }
    }
}

class LinkShare : public ::testing::Test {
protected:
    void SetUp() override {
        sim = std::make_unique<ModsimProcess>(
            dir.path(), std::vector<std::string>{"--tcp", "127.0.0.6:0", "--address", std::to_string(MODULE_ADDRESS)});
        ASSERT_TRUE(sim->ready());
    }

    TempDir dir;
    std::unique_ptr<ModsimProcess> sim;
};

TEST_F(LinkShare, BothCreatorsGetTheSameRunningLink) {
    for (int round = 0; round < 20; ++round) {
        SCOPED_TRACE(round);
        std::vector<Outcome> outcomes = createTogether(testsupport::ipv4("127.0.0.6"), sim->tcpPort(), false);
        for (const Outcome& outcome : outcomes) {
            ASSERT_NE(outcome.id, 0u);
            EXPECT_EQ(outcome.id, outcomes[0].id);
            EXPECT_EQ(outcome.status, LINK_RUNNING);
            EXPECT_EQ(outcome.put, aErrNone);
        }
        const aLinkRef id = outcomes[0].id;
        destroyAll(outcomes);
        EXPECT_EQ(aLink_GetStatus(id), LINK_INVALID);
    }
}

// A reset may come from either user the moment its create returns; the other's reset
// at the same time is refused as busy.
TEST_F(LinkShare, ACreatorThatResetsAtOnceResetsARunningLink) {
    for (int round = 0; round < 10; ++round) {
        SCOPED_TRACE(round);
        std::vector<Outcome> outcomes = createTogether(testsupport::ipv4("127.0.0.6"), sim->tcpPort(), true);
        for (const Outcome& outcome : outcomes) {
            ASSERT_NE(outcome.id, 0u);
            EXPECT_EQ(outcome.id, outcomes[0].id);
            EXPECT_EQ(outcome.status, LINK_RUNNING);
            EXPECT_EQ(outcome.put, aErrNone);
            EXPECT_TRUE(outcome.reset == aErrNone || outcome.reset == aErrBusy) << outcome.reset;
        }
        EXPECT_TRUE(outcomes[0].reset == aErrNone || outcomes[1].reset == aErrNone);
        EXPECT_EQ(aLink_GetStatus(outcomes[0].id), LINK_RUNNING);
        EXPECT_EQ(putSyncQuery(outcomes[0].id), aErrNone);
        destroyAll(outcomes);
    }
}

// Eight creators arrive while a ninth starts the link and drops its use the moment its
// create returns: each of the eight gets a running link, for a start that succeeded
// never fails those waiting on it.
TEST_F(LinkShare, CreatorsWaitingOnAStartGetALinkItsCreatorDropsAtOnce) {
    const uint32_t ip = testsupport::ipv4("127.0.0.6");
    const uint16_t port = sim->tcpPort();
    int failed = 0;
    for (int round = 0; round < 60; ++round) {
        std::atomic<bool> firstBegun{false};
        std::vector<Outcome> outcomes(8);
        std::thread first([&] {
            firstBegun = true;
            aLinkRef id = aLink_CreateTCPIP(ip, port);
            if (id) aLink_Destroy(&id);
        });
        std::vector<std::thread> others;
        for (Outcome& outcome : outcomes) {
            others.emplace_back([&] {
                while (!firstBegun) std::this_thread::yield();
                outcome.id = aLink_CreateTCPIP(ip, port);
                if (outcome.id) outcome.status = aLink_GetStatus(outcome.id);
            });
        }
        first.join();
        for (auto& other : others) other.join();
        for (const Outcome& outcome : outcomes) {
            if (!outcome.id) ++failed;
            else EXPECT_EQ(outcome.status, LINK_RUNNING);
        }
        destroyAll(outcomes);
    }
    EXPECT_EQ(failed, 0) << "creates that failed, of " << 60 * 8;
}

// A listener whose queue of unaccepted connections is full: a new connection to it
// neither completes nor is refused, so a create waits out its whole connect time.
class StalledListener {
public:
    StalledListener() {
        listen(peer.listener(), 0);
        sockaddr_in address = {};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = testsupport::loopback();
        address.sin_port = htons(peer.port());
        for (int i = 0; i < 16 && !stalled; ++i) {
            const int fd = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
            connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address);
            int error = -1;
            socklen_t length = sizeof error;
            if (testsupport::waitForEvent(fd, POLLOUT, 200) &&
                getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &length) == 0 && error == 0) {
                fills.push_back(fd);
            } else {
                close(fd);
                stalled = true;
            }
        }
    }
    ~StalledListener() {
        for (int fd : fills) close(fd);
    }
    StalledListener(const StalledListener&) = delete;
    StalledListener& operator=(const StalledListener&) = delete;

    bool isStalled() const { return stalled; }
    uint16_t port() const { return peer.port(); }
    // Takes the waiting connections off the queue: new ones complete again.
    void release() {
        while (testsupport::waitForEvent(peer.listener(), POLLIN, 0)) {
            const int fd = accept4(peer.listener(), nullptr, nullptr, SOCK_CLOEXEC);
            if (fd < 0) break;
            fills.push_back(fd);
        }
    }

private:
    testsupport::TcpPeer peer;
    std::vector<int> fills;
    bool stalled = false;
};

TEST(LinkShareFailure, BothCreatorsFailAlikeAndALaterCreateStartsAfresh) {
    for (int round = 0; round < 2; ++round) {
        SCOPED_TRACE(round);
        StalledListener module;
        ASSERT_TRUE(module.isStalled());
        std::vector<Outcome> outcomes = createTogether(testsupport::loopback(), module.port(), false);
        EXPECT_EQ(outcomes[0].id, 0u);
        EXPECT_EQ(outcomes[1].id, 0u);

        module.release();
        aLinkRef later = aLink_CreateTCPIP(testsupport::loopback(), module.port());
        EXPECT_NE(later, 0u);
        EXPECT_EQ(aLink_GetStatus(later), LINK_RUNNING);
        EXPECT_EQ(putSyncQuery(later), aErrNone);
        if (later) {
            EXPECT_EQ(aLink_Destroy(&later), aErrNone);
        }
        destroyAll(outcomes);
    }
}

}  // namespace
