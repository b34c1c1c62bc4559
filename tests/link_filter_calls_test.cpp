// A user filter that calls back into the library while the links are reset: on its own
// link (status, puts, a filter of its own, its last destroy) and on another link whose
// filter does the same to it (resets, filters, last destroys). Every case must end. Each runs in a child process with a time limit, so
// a hang fails its test instead of stopping the run.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>

#include "aLink.h"
#include "forked_child.h"
#include "streaming_module.h"
#include "tcp_peer.h"
#include "wait_until.h"

using namespace std::chrono_literals;
using testsupport::StreamingModule;
using testsupport::waitUntil;

namespace {

const uint8_t MODULE_ADDRESS = 4;
// A packet the module sends every millisecond; the filters see each one.
const std::string PACKET{4, 1, 0x11};
const auto PACE = 1ms;
const auto CHILD_LIMIT = 60s;

void spin(std::chrono::microseconds work) {
    const auto end = std::chrono::steady_clock::now() + work;
    while (std::chrono::steady_clock::now() < end) {}
}

aErr putPacket(aLinkRef id) {
    const uint8_t data[] = {0x17};
    aPacket* packet = aPacket_CreateWithData(MODULE_ADDRESS, sizeof data, data);
    const aErr result = aLink_PutPacket(id, packet);
    aPacket_Destroy(&packet);
    return result;
}

enum class OwnCall { Status, Put };

struct OwnCallCase {
    const char* name;
    OwnCall call;
    std::chrono::microseconds work;
    int resets;
};

void PrintTo(const OwnCallCase& tested, std::ostream* out) {
    *out << tested.name;
}

struct OwnCaller {
    aLinkRef id = 0;
    OwnCall call = OwnCall::Status;
    std::chrono::microseconds work{0};
    std::atomic<int> calls{0};
};

uint8_t callOwnLink(const aPacket*, const void* ref) {
    auto* caller = static_cast<OwnCaller*>(const_cast<void*>(ref));
    ++caller->calls;
    // Work first: a reset that begins meanwhile meets the call.
    spin(caller->work);
    if (caller->call == OwnCall::Status)
        aLink_GetStatus(caller->id);
    else
        putPacket(caller->id);
    return 0;
}

// Installs the filter and waits until it has been called: the next reset meets it at work.
bool filterAtWork(aLinkRef id, aPacketFilterProc proc, OwnCaller& caller) {
    const int before = caller.calls;
    if (aLink_InstallUserPacketFilter(id, proc, &caller) != aErrNone) return false;
    return waitUntil([&] { return caller.calls > before; }, 20s, 1ms);
}

class LinkFilterCallingItsOwnLink : public ::testing::TestWithParam<OwnCallCase> {};

TEST_P(LinkFilterCallingItsOwnLink, NeverHoldsUpAReset) {
    const OwnCallCase tested = GetParam();
    const int code = testsupport::runForked(
        [&tested] {
            StreamingModule module(MODULE_ADDRESS, PACKET, PACE);
            OwnCaller caller;
            caller.call = tested.call;
            caller.work = tested.work;
            caller.id = aLink_CreateTCPIP(testsupport::loopback(), module.port());
            if (!caller.id) return 2;
            for (int reset = 0; reset < tested.resets; ++reset) {
                // A reset removes the filter: each round installs it again.
                if (!filterAtWork(caller.id, callOwnLink, caller)) return 3;
                if (aLink_Reset(caller.id) != aErrNone) return 4;
            }
            if (aLink_GetStatus(caller.id) != LINK_RUNNING) return 5;
            return aLink_Destroy(&caller.id) == aErrNone ? 0 : 6;
        },
        CHILD_LIMIT);
    EXPECT_EQ(code, 0) << "-1: the child hung and was killed";
}

INSTANTIATE_TEST_SUITE_P(Calls, LinkFilterCallingItsOwnLink,
                         ::testing::Values(OwnCallCase{"Status", OwnCall::Status, 0us, 100},
                                           OwnCallCase{"Put", OwnCall::Put, 0us, 100},
                                           OwnCallCase{"SlowStatus", OwnCall::Status, 3000us, 10}),
                         [](const ::testing::TestParamInfo<OwnCallCase>& tested) {
                             return std::string(tested.param.name);
                         });

// Each link's filter, once armed, resets the other link at the next packet it sees.
struct CrossResetter {
    aLinkRef other = 0;
    std::atomic<bool> armed{false};
    std::atomic<int> fired{0};
    std::atomic<int> resets{0};
    std::atomic<int> unexpected{0};
};

uint8_t resetTheOther(const aPacket*, const void* ref) {
    auto* resetter = static_cast<CrossResetter*>(const_cast<void*>(ref));
    if (!resetter->armed.exchange(false)) return 0;
    const aErr result = aLink_Reset(resetter->other);
    if (result == aErrNone) ++resetter->resets;
    // Refused while another reset of that link runs, or while it would wait on this one.
    else if (result != aErrBusy)
        ++resetter->unexpected;
    ++resetter->fired;
    return 0;
}

// Both filters are armed at once, so each meets the other link's filter at work.
TEST(LinkFiltersResettingEachOther, EveryResetEnds) {
    const int code = testsupport::runForked(
        [] {
            StreamingModule moduleA(MODULE_ADDRESS, PACKET, PACE);
            StreamingModule moduleB(MODULE_ADDRESS, PACKET, PACE);
            aLinkRef a = aLink_CreateTCPIP(testsupport::loopback(), moduleA.port());
            aLinkRef b = aLink_CreateTCPIP(testsupport::loopback(), moduleB.port());
            if (!a || !b) return 2;
            CrossResetter ofA, ofB;
            ofA.other = b;
            ofB.other = a;
            for (int round = 0; round < 50; ++round) {
                // A reset removes the link's filter: each round installs both again.
                if (aLink_InstallUserPacketFilter(a, resetTheOther, &ofA) != aErrNone) return 3;
                if (aLink_InstallUserPacketFilter(b, resetTheOther, &ofB) != aErrNone) return 4;
                const int before = ofA.fired + ofB.fired;
                ofA.armed = true;
                ofB.armed = true;
                // One filter's reset may remove the other filter before it fires.
                if (!waitUntil([&] { return ofA.fired + ofB.fired > before; }, 20s, 1ms)) return 5;
                for (aLinkRef id : {a, b}) {
                    const aErr result = aLink_Reset(id);
                    if (result != aErrNone && result != aErrBusy) return 6;
                }
                ofA.armed = false;
                ofB.armed = false;
            }
            if (ofA.unexpected || ofB.unexpected) return 7;
            if (ofA.resets + ofB.resets == 0) return 8;
            // Any reset still running ends; then both links carry packets again.
            for (aLinkRef id : {a, b}) {
                aErr result = aErrBusy;
                for (int attempt = 0; attempt < 1000 && result == aErrBusy; ++attempt) {
                    result = aLink_Reset(id);
                    if (result == aErrBusy) std::this_thread::sleep_for(10ms);
                }
                if (result != aErrNone || aLink_GetStatus(id) != LINK_RUNNING) return 9;
            }
            aLink_Destroy(&a);
            aLink_Destroy(&b);
            return 0;
        },
        CHILD_LIMIT);
    EXPECT_EQ(code, 0) << "-1: the child hung and was killed";
}

// The second filter counts the packets it is given.
std::atomic<int> sSecondFilterCalls{0};

uint8_t secondFilter(const aPacket*, const void*) {
    ++sSecondFilterCalls;
    return 0;
}

struct Installer {
    aLinkRef id = 0;
    std::atomic<bool> done{false};
    std::atomic<aErr> result{aErrUnknown};
};

uint8_t installOnOwnLink(const aPacket*, const void* ref) {
    auto* installer = static_cast<Installer*>(const_cast<void*>(ref));
    if (!installer->done) {
        installer->result = aLink_InstallUserPacketFilter(installer->id, secondFilter, nullptr);
        installer->done = true;
    }
    return 0;
}

// Installing a filter from inside the link's own filter replaces it for the packets that
// follow; the link still stops.
TEST(LinkFilterInstallingAFilter, OnItsOwnLinkTakesEffectAndTheLinkStillStops) {
    const int code = testsupport::runForked(
        [] {
            StreamingModule module(MODULE_ADDRESS, PACKET, PACE);
            Installer installer;
            installer.id = aLink_CreateTCPIP(testsupport::loopback(), module.port());
            if (!installer.id) return 2;
            if (aLink_InstallUserPacketFilter(installer.id, installOnOwnLink, &installer) != aErrNone) return 3;
            if (!waitUntil([&] { return installer.done.load(); }, 20s, 1ms)) return 4;
            if (installer.result != aErrNone) return 5;
            if (!waitUntil([] { return sSecondFilterCalls > 0; }, 20s, 1ms)) return 6;
            return aLink_Destroy(&installer.id) == aErrNone ? 0 : 7;
        },
        CHILD_LIMIT);
    EXPECT_EQ(code, 0) << "-1: the child hung and was killed";
}

struct SelfDestroyer {
    aLinkRef id = 0;
    std::atomic<bool> armed{false};
    std::atomic<bool> returned{false};
    std::atomic<aErr> result{aErrUnknown};
};

uint8_t destroyOwnLink(const aPacket*, const void* ref) {
    auto* destroyer = static_cast<SelfDestroyer*>(const_cast<void*>(ref));
    if (!destroyer->armed.exchange(false)) return 0;
    aLinkRef doomed = destroyer->id;
    destroyer->result = aLink_Destroy(&doomed);
    destroyer->returned = true;
    return 0;
}

// The last destroy of a link from inside its own filter cannot wait for the link's
// reader, which runs it: it returns at once, and the link goes once the filter returns.
TEST(LinkFilterDestroyingItsOwnLink, ReturnsAtOnceAndTheLinkGoes) {
    const int code = testsupport::runForked(
        [] {
            StreamingModule module(MODULE_ADDRESS, PACKET, PACE);
            SelfDestroyer destroyer;
            destroyer.id = aLink_CreateTCPIP(testsupport::loopback(), module.port());
            if (!destroyer.id) return 2;
            if (aLink_InstallUserPacketFilter(destroyer.id, destroyOwnLink, &destroyer) != aErrNone) return 3;
            destroyer.armed = true;
            if (!waitUntil([&] { return destroyer.returned.load(); }, 20s, 1ms)) return 4;
            if (destroyer.result != aErrNone) return 5;
            if (!waitUntil([&] { return aLink_GetStatus(destroyer.id) == LINK_INVALID; }, 20s, 1ms)) return 6;
            // The module's connection closes with the link.
            aLinkRef again = aLink_CreateTCPIP(testsupport::loopback(), module.port());
            if (!again || again == destroyer.id) return 7;
            return aLink_Destroy(&again) == aErrNone ? 0 : 8;
        },
        CHILD_LIMIT);
    EXPECT_EQ(code, 0) << "-1: the child hung and was killed";
}

// Each link's filter, once armed, does one thing to the other link.
enum class CrossCall { InstallFilter, LastDestroy };

struct CrossCaller {
    CrossCall call = CrossCall::InstallFilter;
    aLinkRef other = 0;
    std::atomic<bool> armed{false};
    std::atomic<int> done{0};
    std::atomic<aErr> result{aErrUnknown};
};

uint8_t countOnly(const aPacket*, const void*) {
    return 0;
}

uint8_t callTheOther(const aPacket*, const void* ref) {
    auto* caller = static_cast<CrossCaller*>(const_cast<void*>(ref));
    if (!caller->armed.exchange(false)) return 0;
    if (caller->call == CrossCall::InstallFilter) {
        caller->result = aLink_InstallUserPacketFilter(caller->other, countOnly, nullptr);
    } else {
        aLinkRef doomed = caller->other;
        caller->result = aLink_Destroy(&doomed);
    }
    ++caller->done;
    return 0;
}

struct CrossCase {
    const char* name;
    CrossCall call;
    int rounds;
};

void PrintTo(const CrossCase& tested, std::ostream* out) {
    *out << tested.name;
}

class LinkFiltersCallingEachOther : public ::testing::TestWithParam<CrossCase> {};

// Both filters armed at once, each waits for the other link's filter (to replace it) or
// its reader (to stop it) while that filter may be doing the same: one of the two waits
// is refused or put apart, and both calls end.
TEST_P(LinkFiltersCallingEachOther, BothCallsEnd) {
    const CrossCase tested = GetParam();
    const int code = testsupport::runForked(
        [&tested] {
            StreamingModule moduleA(MODULE_ADDRESS, PACKET, PACE);
            StreamingModule moduleB(MODULE_ADDRESS, PACKET, PACE);
            for (int round = 0; round < tested.rounds; ++round) {
                aLinkRef a = aLink_CreateTCPIP(testsupport::loopback(), moduleA.port());
                aLinkRef b = aLink_CreateTCPIP(testsupport::loopback(), moduleB.port());
                if (!a || !b) return 2;
                CrossCaller ofA, ofB;
                ofA.call = ofB.call = tested.call;
                ofA.other = b;
                ofB.other = a;
                if (aLink_InstallUserPacketFilter(a, callTheOther, &ofA) != aErrNone) return 3;
                if (aLink_InstallUserPacketFilter(b, callTheOther, &ofB) != aErrNone) return 4;
                ofA.armed = true;
                ofB.armed = true;
                if (tested.call == CrossCall::InstallFilter) {
                    // Each replaces the other's filter, so at least one of them runs.
                    if (!waitUntil([&] { return ofA.done + ofB.done > 0; }, 20s, 1ms)) return 5;
                    for (const CrossCaller* caller : {&ofA, &ofB})
                        if (caller->done && caller->result != aErrNone && caller->result != aErrBusy) return 6;
                    aLink_Destroy(&a);
                    aLink_Destroy(&b);
                    continue;
                }
                // A destroyed link's filter runs no more: one or both destroys happen, and
                // whatever is left is destroyed here.
                if (!waitUntil([&] { return ofA.done + ofB.done > 0; }, 20s, 1ms)) return 7;
                if (!waitUntil([&] { return aLink_GetStatus(ofA.done ? b : a) == LINK_INVALID; }, 20s, 1ms)) return 8;
                for (aLinkRef id : {a, b}) {
                    aLinkRef left = id;
                    if (aLink_GetStatus(id) != LINK_INVALID) aLink_Destroy(&left);
                }
                if (!waitUntil([&] { return aLink_GetStatus(a) == LINK_INVALID && aLink_GetStatus(b) == LINK_INVALID; },
                               20s, 1ms))
                    return 9;
            }
            return 0;
        },
        CHILD_LIMIT);
    EXPECT_EQ(code, 0) << "-1: the child hung and was killed";
}

INSTANTIATE_TEST_SUITE_P(Calls, LinkFiltersCallingEachOther,
                         ::testing::Values(CrossCase{"InstallFilter", CrossCall::InstallFilter, 30},
                                           CrossCase{"LastDestroy", CrossCall::LastDestroy, 30}),
                         [](const ::testing::TestParamInfo<CrossCase>& tested) {
                             return std::string(tested.param.name);
                         });

}  // namespace
