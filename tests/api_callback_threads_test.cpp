// The callback threads of Links against simulated modules streaming over loopback TCP,
// with callbacks that change registrations from inside: a Link's callbacks run one at a
// time even when a callback ends its thread and starts a new one, callbacks of two Links
// that end each other's threads never wait on each other for good, and no callback runs
// once its Link has been destroyed.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "Link.h"
#include "aPacket.h"
#include "api_modsim.h"
#include "hang_guard.h"
#include "wait_until.h"

using namespace Veltrane::Corvalith;
using namespace std::chrono_literals;
using testsupport::ApiModsim;
using testsupport::HangGuard;

namespace {

constexpr uint8_t kAddress = 2;
constexpr uint8_t kExchange = 0x10;
constexpr uint8_t kAny = 0xFF;

bool waitFor(const std::function<bool()>& done, std::chrono::milliseconds limit = 60s) {
    return testsupport::waitUntil(done, limit, std::chrono::milliseconds(2));
}

std::unique_ptr<Link> connectedLink(const ApiModsim& sim, const char* name) {
    auto link = std::make_unique<Link>(sim.spec(), name);
    link->setConfig(testsupport::plainConfig());
    EXPECT_EQ(link->connect(), aErrNone);
    return link;
}

// Counts the callbacks of one Link that began while another of its callbacks still ran.
struct OneAtATime {
    std::atomic<int> running{0};
    std::atomic<int> overlaps{0};

    void enter() {
        if (running.fetch_add(1) != 0) ++overlaps;
    }
    void leave() { --running; }
};

// Every third call removes the Link's only registration, which ends the callback thread
// from inside its own callback, and registers again, which starts a new thread; the call
// then goes on a little while the new thread could already run.
struct Renewing {
    struct State {
        Link* link = nullptr;
        OneAtATime calls;
        std::atomic<int> count{0};
        std::atomic<int> renewals{0};
        std::atomic<bool> renewing{true};
    };
    std::shared_ptr<State> state;

    aErr operator()(aPacket const*, void*) const {
        state->calls.enter();
        const int count = ++state->count;
        if (state->renewing && count % 3 == 0 &&
            state->link->registerStreamCallback(kAddress, kExchange, 3, 0, false, nullptr, nullptr) == aErrNone &&
            state->link->registerStreamCallback(kAddress, kExchange, 3, 0, true, *this, nullptr) == aErrNone)
            ++state->renewals;
        std::this_thread::sleep_for(3ms);
        state->calls.leave();
        return aErrNone;
    }
};

TEST(CallbackThreads, NewThreadDeliversOnlyAfterTheOldOneEnded) {
    ApiModsim sim{{"--stream-ms", "0"}};
    ASSERT_TRUE(sim.ready());
    auto state = std::make_shared<Renewing::State>();
    {
        HangGuard guard("callbacks that renew their own registration", 120s);
        auto link = connectedLink(sim, "renewing");
        state->link = link.get();
        ASSERT_EQ(link->registerStreamCallback(kAddress, kExchange, 3, 0, true, Renewing{state}, nullptr), aErrNone);
        ASSERT_EQ(sim.control("stream-rate 1"), "ok");
        // A request the module's answer misses on a loaded machine leaves no registration:
        // register again then.
        EXPECT_TRUE(waitFor([&] {
            if (!link->isStreamCallbackThreadRunning())
                link->registerStreamCallback(kAddress, kExchange, 3, 0, true, Renewing{state}, nullptr);
            return state->renewals >= 15;
        })) << state->renewals.load()
            << " renewals";
        state->renewing = false;
        ASSERT_EQ(sim.control("stream-rate 0"), "ok");
        // A renewal a callback had begun may register again after a removal: remove
        // until no callback thread runs.
        EXPECT_TRUE(waitFor([&] {
            if (link->isStreamCallbackThreadRunning())
                link->registerStreamCallback(kAddress, kExchange, 3, 0, false, nullptr, nullptr);
            return !link->isStreamCallbackThreadRunning();
        }));
    }
    EXPECT_EQ(state->calls.overlaps.load(), 0) << "of " << state->count.load() << " callbacks";
}

// Two Links, each on its own module, whose callbacks remove the other Link's only
// registration (ending that Link's callback thread) and register it again. A callback
// crosses at most every 10 ms: the callbacks of a Link whose queue backed up on a loaded
// machine then catch up at once, instead of running back to back and ending the other
// Link's new threads before those could deliver anything.
struct Crossing {
    struct Shared {
        Link* links[2] = {nullptr, nullptr};
        std::atomic<int> crossings[2] = {{0}, {0}};
        std::chrono::steady_clock::time_point lastCrossing[2];
        std::atomic<bool> crossing{true};
    };
    std::shared_ptr<Shared> shared;
    int self;

    aErr operator()(aPacket const*, void*) const {
        // Only this Link's callbacks touch its slot, one at a time.
        const auto now = std::chrono::steady_clock::now();
        if (!shared->crossing || now - shared->lastCrossing[self] < 10ms) return aErrNone;
        shared->lastCrossing[self] = now;
        const int other = 1 - self;
        Link* link = shared->links[other];
        link->registerStreamCallback(kAddress, kExchange, 3, 0, false, nullptr, nullptr);
        link->registerStreamCallback(kAddress, kExchange, 3, 0, true, Crossing{shared, other}, nullptr);
        ++shared->crossings[self];
        return aErrNone;
    }
};

TEST(CallbackThreads, CallbacksThatEndEachOthersThreadsGoOn) {
    ApiModsim firstSim{{"--stream-ms", "20"}, "127.0.0.2"};
    ApiModsim secondSim{{"--stream-ms", "20"}, "127.0.0.3"};
    ASSERT_TRUE(firstSim.ready());
    ASSERT_TRUE(secondSim.ready());
    auto shared = std::make_shared<Crossing::Shared>();
    {
        HangGuard guard("callbacks that end each other's callback threads", 150s);
        auto first = connectedLink(firstSim, "first");
        auto second = connectedLink(secondSim, "second");
        shared->links[0] = first.get();
        shared->links[1] = second.get();
        ASSERT_EQ(first->registerStreamCallback(kAddress, kExchange, 3, 0, true, Crossing{shared, 0}, nullptr),
                  aErrNone);
        ASSERT_EQ(second->registerStreamCallback(kAddress, kExchange, 3, 0, true, Crossing{shared, 1}, nullptr),
                  aErrNone);
        // A request whose answer is missed on a loaded machine leaves a Link without its
        // registration: register again then.
        EXPECT_TRUE(waitFor(
            [&] {
                for (int i = 0; i < 2; ++i)
                    if (!shared->links[i]->isStreamCallbackThreadRunning())
                        shared->links[i]->registerStreamCallback(kAddress, kExchange, 3, 0, true, Crossing{shared, i},
                                                                 nullptr);
                return shared->crossings[0] >= 30 && shared->crossings[1] >= 30;
            },
            90s))
            << shared->crossings[0].load() << " and " << shared->crossings[1].load() << " crossings";
        shared->crossing = false;
        // A registration a callback was making meanwhile may still arrive: remove until
        // both tables stay empty.
        for (int round = 0; round < 100; ++round) {
            first->registerStreamCallback(kAddress, kExchange, kAny, kAny, false, nullptr, nullptr);
            second->registerStreamCallback(kAddress, kExchange, kAny, kAny, false, nullptr, nullptr);
            if (!first->isStreamCallbackThreadRunning() && !second->isStreamCallbackThreadRunning()) break;
        }
        EXPECT_FALSE(first->isStreamCallbackThreadRunning());
        EXPECT_FALSE(second->isStreamCallbackThreadRunning());
    }
}

// A callback slower than the samples that registers again on every tenth call. A removal from
// another thread stops the callback thread, whose callbacks at once put the registration
// back, so the reader keeps the queue full while the stopped thread still empties it:
// the removal returns all the same, once the calls queued before it have run.
struct Refilling {
    struct State {
        Link* link = nullptr;
        OneAtATime calls;
        std::atomic<int> count{0};
        std::atomic<bool> renewing{true};
    };
    std::shared_ptr<State> state;

    aErr operator()(aPacket const*, void*) const {
        state->calls.enter();
        if (++state->count % 10 == 0 && state->renewing)
            state->link->registerStreamCallback(kAddress, kExchange, 1, 0, true, *this, nullptr);
        std::this_thread::sleep_for(3ms);
        state->calls.leave();
        return aErrNone;
    }
};

TEST(CallbackThreads, ARemovalEndsWhileTheStoppedThreadsCallbacksKeepItsQueueFull) {
    ApiModsim sim{{"--stream-ms", "1"}};
    ASSERT_TRUE(sim.ready());
    auto state = std::make_shared<Refilling::State>();
    {
        HangGuard guard("removals of a registration whose callbacks register again", 120s);
        auto link = connectedLink(sim, "refilling");
        state->link = link.get();
        for (int round = 0; round < 5; ++round) {
            SCOPED_TRACE(round);
            const int before = state->count;
            if (!link->isStreamCallbackThreadRunning()) {
                ASSERT_EQ(link->registerStreamCallback(kAddress, kExchange, 1, 0, true, Refilling{state}, nullptr),
                          aErrNone);
            }
            // The queue has filled: samples come three times as fast as callbacks return.
            ASSERT_TRUE(waitFor([&] { return state->count >= before + 50; }));
            EXPECT_EQ(link->registerStreamCallback(kAddress, kExchange, 1, 0, false, nullptr, nullptr), aErrNone);
        }
        state->renewing = false;
        // A callback's registration may come after a removal: remove until no thread runs.
        EXPECT_TRUE(waitFor([&] {
            if (link->isStreamCallbackThreadRunning())
                link->registerStreamCallback(kAddress, kExchange, 1, 0, false, nullptr, nullptr);
            return !link->isStreamCallbackThreadRunning();
        }));
    }
    EXPECT_EQ(state->calls.overlaps.load(), 0) << "of " << state->count.load() << " callbacks";
}

// A callback that registers again whenever it runs, and reads its Link's name: while
// its Link is being destroyed, the registration is refused, and once the destructor has
// returned no callback of it runs, while the link goes on streaming for another Link.
struct Clinging {
    struct State {
        Link* link = nullptr;
        std::atomic<bool> destroyed{false};
        std::atomic<int> calls{0};
        std::atomic<int> late{0};
    };
    std::shared_ptr<State> state;

    aErr operator()(aPacket const*, void*) const {
        if (state->destroyed) ++state->late;
        ++state->calls;
        const char* name = state->link->getName();
        EXPECT_EQ(std::strcmp(name, "clinging"), 0);
        state->link->registerStreamCallback(kAddress, kExchange, 1, 0, true, *this, nullptr);
        return aErrNone;
    }
};

TEST(CallbackThreads, NoCallbackOutlivesItsLink) {
    ApiModsim sim{{"--stream-ms", "1"}};
    ASSERT_TRUE(sim.ready());
    auto keeper = connectedLink(sim, "keeper");
    std::atomic<int> kept{0};
    ASSERT_EQ(keeper->registerStreamCallback(
                  kAddress, kExchange, 2, 0, true,
                  [&kept](aPacket const*, void*) {
                      ++kept;
                      return aErrNone;
                  },
                  nullptr),
              aErrNone);
    HangGuard guard("destroying Links whose callbacks register again", 120s);
    for (int round = 0; round < 10; ++round) {
        SCOPED_TRACE(round);
        auto state = std::make_shared<Clinging::State>();
        auto link = connectedLink(sim, "clinging");
        state->link = link.get();
        ASSERT_EQ(link->registerStreamCallback(kAddress, kExchange, 1, 0, true, Clinging{state}, nullptr), aErrNone);
        ASSERT_TRUE(waitFor([&] { return state->calls >= 5; }));
        link.reset();
        state->destroyed = true;
        // The module keeps streaming what the destroyed Link enabled: the keeper's
        // callbacks show that samples go on arriving on the shared link.
        const int before = kept;
        ASSERT_TRUE(waitFor([&] { return kept >= before + 20; }));
        EXPECT_EQ(state->late.load(), 0);
    }
    EXPECT_EQ(keeper->registerStreamCallback(kAddress, kExchange, 2, 0, false, nullptr, nullptr), aErrNone);
}

}  // namespace
