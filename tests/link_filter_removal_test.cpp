// Once a filter removal or the last destroy of a link has returned, the link never calls
// the old user filter again, even while the module keeps sending: callers free the
// filter's reference right after.
#include <gtest/gtest.h>

#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <thread>
#include <vector>

#include "aLink.h"
#include "tcp_peer.h"
#include "wait_until.h"

using namespace std::chrono_literals;
using testsupport::TcpPeer;
using testsupport::waitUntil;

namespace {

const uint8_t PACKET[] = {0x04, 0x01, 0x11};
// Packets sent each millisecond: enough to keep the reader in the filter most of the time.
const int PACKETS_PER_MS = 16;
const int ROUNDS = 50;

// A module that sends packets every millisecond on every connection it has, taking
// new connections as they come; it ends with the test, or after two minutes at most.
class PacketSpray {
public:
    PacketSpray() : thread([this] { run(); }) {}
    ~PacketSpray() {
        stop = true;
        thread.join();
        for (int fd : connections) close(fd);
    }
    PacketSpray(const PacketSpray&) = delete;
    PacketSpray& operator=(const PacketSpray&) = delete;

    uint16_t port() const { return peer.port(); }

private:
    void run() {
        std::vector<uint8_t> burst;
        for (int i = 0; i < PACKETS_PER_MS; ++i) burst.insert(burst.end(), PACKET, PACKET + sizeof PACKET);
        const auto end = std::chrono::steady_clock::now() + 120s;
        while (!stop && std::chrono::steady_clock::now() < end) {
            pollfd pending = {peer.listener(), POLLIN, 0};
            if (poll(&pending, 1, 1) == 1) {
                const int fd = accept4(peer.listener(), nullptr, nullptr, SOCK_CLOEXEC);
                if (fd >= 0) connections.push_back(fd);
            }
            for (auto it = connections.begin(); it != connections.end();) {
                if (send(*it, burst.data(), burst.size(), MSG_NOSIGNAL | MSG_DONTWAIT) < 0 && errno != EAGAIN) {
                    close(*it);
                    it = connections.erase(it);
                } else {
                    ++it;
                }
            }
        }
    }

    TcpPeer peer;
    std::atomic<bool> stop{false};
    std::vector<int> connections;
    std::thread thread;
};

// What a caller hands its filter; retired as soon as the removal (or the destroy) has
// returned, when a real caller would free it. The filter takes a little while over each
// packet, as real ones do, so a removal that returns too early finds it running.
struct FilterRef {
    std::atomic<int> calls{0};
    std::atomic<int> running{0};
    std::atomic<bool> retired{false};
    // Calls begun after retirement, or still running at it.
    std::atomic<int> lateCalls{0};

    void retire() {
        retired = true;
        if (running > 0) ++lateCalls;
    }
};

const auto FILTER_WORK = std::chrono::microseconds(50);

uint8_t busyFilter(const aPacket*, const void* ref) {
    auto* filterRef = static_cast<FilterRef*>(const_cast<void*>(ref));
    ++filterRef->running;
    if (filterRef->retired) ++filterRef->lateCalls;
    ++filterRef->calls;
    const auto end = std::chrono::steady_clock::now() + FILTER_WORK;
    while (std::chrono::steady_clock::now() < end) {}
    --filterRef->running;
    return 0;
}

enum class Ending {
    // The filter is removed while nothing else happens to the link.
    Removal,
    // The last use is destroyed; the destroy returns with the filter still installed.
    LastDestroy,
    // One thread removes the filter while another destroys the last use.
    RemovalRacingTheLastDestroy,
};

struct Case {
    const char* name;
    Ending ending;
};

void PrintTo(const Case& testCase, std::ostream* out) {
    *out << testCase.name;
}

class LinkFilterRemoval : public ::testing::TestWithParam<Case> {};

// Starts both threads as close together as the machine allows.
void runTogether(const std::function<void()>& first, const std::function<void()>& second) {
    std::atomic<int> ready{0};
    auto start = [&ready](const std::function<void()>& body) {
        return std::thread([&ready, &body] {
            ++ready;
            while (ready < 2) std::this_thread::yield();
            body();
        });
    };
    std::thread a = start(first);
    std::thread b = start(second);
    a.join();
    b.join();
}

TEST_P(LinkFilterRemoval, TheFilterIsNeverCalledAfterItsRemovalReturned) {
    PacketSpray module;
    for (int round = 0; round < ROUNDS; ++round) {
        SCOPED_TRACE(round);
        aLinkRef id = aLink_CreateTCPIP(testsupport::loopback(), module.port());
        ASSERT_NE(id, 0u);
        FilterRef ref;
        ASSERT_EQ(aLink_InstallUserPacketFilter(id, busyFilter, &ref), aErrNone);
        ASSERT_TRUE(waitUntil([&] { return ref.calls > 0; }));

        auto remove = [&] {
            aLink_InstallUserPacketFilter(id, nullptr, nullptr);
            ref.retire();
        };
        aLinkRef doomed = id;
        auto destroy = [&] {
            EXPECT_EQ(aLink_Destroy(&doomed), aErrNone);
            ref.retire();
        };
        switch (GetParam().ending) {
        case Ending::Removal:
            remove();
            // The module goes on sending for a while with the filter gone.
            std::this_thread::sleep_for(5ms);
            aLink_Destroy(&doomed);
            break;
        case Ending::LastDestroy:
            destroy();
            break;
        case Ending::RemovalRacingTheLastDestroy:
            runTogether(remove, destroy);
            break;
        }
        EXPECT_EQ(aLink_GetStatus(id), LINK_INVALID);
        ASSERT_EQ(ref.lateCalls, 0);
    }
}

INSTANTIATE_TEST_SUITE_P(Endings, LinkFilterRemoval,
                         ::testing::Values(Case{"Removal", Ending::Removal}, Case{"LastDestroy", Ending::LastDestroy},
                                           Case{"RemovalRacingTheLastDestroy", Ending::RemovalRacingTheLastDestroy}),
                         [](const ::testing::TestParamInfo<Case>& caseInfo) {
                             return std::string(caseInfo.param.name);
                         });

}  // namespace
