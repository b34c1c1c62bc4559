// Store slots of Link against a simulated module over loopback TCP: whole slots written
// and read back in 25-byte chunks, the packets on the wire, module error replies, wrong
// sums, short slots and time-outs.
#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <vector>

#include "Link.h"
#include "Module.h"
#include "api_modsim.h"
#include "byte_patterns.h"

using namespace Veltrane::Corvalith;
using testsupport::ApiModsim;
using testsupport::Bytes;
using testsupport::connectWithoutSharing;
using testsupport::wireText;

namespace {

constexpr uint8_t kAddress = 2;
using Clock = std::chrono::steady_clock;

class StoreSlot : public testsupport::ModsimModuleTest {
protected:
    explicit StoreSlot(const std::vector<std::string>& args = {}) : ModsimModuleTest(args, kAddress) {}

    static std::string request(const Bytes& data) { return wireText(kAddress, data); }
};

TEST_F(StoreSlot, RoundTripsAcrossChunkBoundaries) {
    for (size_t length : {0u, 1u, 24u, 25u, 26u, 50u, 51u, 60u, 1024u}) {
        SCOPED_TRACE(length);
        const uint8_t slot = static_cast<uint8_t>(length % 8);
        const Bytes data = testsupport::steppedBytes(length, static_cast<uint8_t>(length));
        ASSERT_EQ(link->loadStoreSlot(kAddress, 0, slot, data.data(), data.size()), aErrNone);
        size_t size = 0;
        ASSERT_EQ(link->storeSlotSize(kAddress, 0, slot, &size), aErrNone);
        EXPECT_EQ(size, length);
        Bytes back(length + 5, 0xEE);
        size_t unloaded = 99;
        ASSERT_EQ(link->unloadStoreSlot(kAddress, 0, slot, back.data(), back.size(), &unloaded), aErrNone);
        EXPECT_EQ(unloaded, length);
        back.resize(unloaded);
        EXPECT_EQ(back, data);
    }
}

TEST_F(StoreSlot, WireLayoutOfWriteAndRead) {
    const Bytes data = testsupport::steppedBytes(60, 3);
    sim.mark();
    ASSERT_EQ(link->loadStoreSlot(kAddress, 0, 5, data.data(), data.size()), aErrNone);
    auto chunk = [&](size_t from, size_t count) {
        Bytes packet{4, 7, 1};
        packet.insert(packet.end(), data.begin() + from, data.begin() + from + count);
        return request(packet);
    };
    const std::vector<std::string> written = {request({4, 4, 0, 5}), chunk(0, 25), chunk(25, 25), chunk(50, 10),
                                              request({4, 8, 1})};
    EXPECT_EQ(sim.received(), written);

    sim.mark();
    Bytes back(60);
    size_t unloaded = 0;
    ASSERT_EQ(link->unloadStoreSlot(kAddress, 0, 5, back.data(), back.size(), &unloaded), aErrNone);
    const std::string read = request({4, 6, 1});
    const std::vector<std::string> reads = {request({4, 2, 0, 5}), request({4, 3, 0, 5}), read, read, read,
                                            request({4, 8, 1})};
    EXPECT_EQ(sim.received(), reads);
    EXPECT_EQ(back, data);
}

TEST_F(StoreSlot, CapacityAndSize) {
    size_t value = 0;
    ASSERT_EQ(link->storeSlotCapacity(kAddress, 0, 7, &value), aErrNone);
    EXPECT_EQ(value, 1024u);
    ASSERT_EQ(link->storeSlotCapacity(kAddress, 1, 1, &value), aErrNone);
    EXPECT_EQ(value, 32u);
    ASSERT_EQ(link->storeSlotSize(kAddress, 1, 1, &value), aErrNone);
    EXPECT_EQ(value, 0u);
    const Bytes data = testsupport::steppedBytes(32, 1);
    ASSERT_EQ(link->loadStoreSlot(kAddress, 1, 1, data.data(), data.size()), aErrNone);
    ASSERT_EQ(link->storeSlotSize(kAddress, 1, 1, &value), aErrNone);
    EXPECT_EQ(value, 32u);
}

TEST_F(StoreSlot, SmallerBufferIsFilledAndOverruns) {
    const Bytes data = testsupport::steppedBytes(40, 9);
    ASSERT_EQ(link->loadStoreSlot(kAddress, 0, 2, data.data(), data.size()), aErrNone);
    Bytes back(30);
    size_t unloaded = 0;
    sim.mark();
    EXPECT_EQ(link->unloadStoreSlot(kAddress, 0, 2, back.data(), back.size(), &unloaded), aErrOverrun);
    EXPECT_EQ(unloaded, 30u);
    EXPECT_EQ(back, Bytes(data.begin(), data.begin() + 30));
    const std::string read = request({4, 6, 1});
    const std::vector<std::string> sent = {request({4, 2, 0, 2}), request({4, 3, 0, 2}), read, read,
                                           request({4, 8, 1})};
    EXPECT_EQ(sim.received(), sent);
}

// Faults count the store requests of one operation from 0: a load is open, its chunks,
// close; an unload is size, open, its reads, close.
TEST_F(StoreSlot, ModuleErrorsPassedThrough) {
    struct Case {
        const char* what;
        const char* fault;
        bool load;
        uint8_t store;
        size_t length;
        aErr expected;
        bool closes;
    };
    const std::vector<Case> cases = {
        {"size error", "fault slot error 0 9", false, 0, 10, 9, false},
        {"no such slot", nullptr, false, 5, 10, aErrNotFound, false},
        {"open refused", "fault slot error 0 9", true, 0, 10, aErrMedia, false},
        {"read open refused", "fault slot error 1 9", false, 0, 10, aErrMedia, false},
        {"write chunk error", "fault slot error 2 21", true, 0, 60, aErrUnimplemented, true},
        {"slot full", nullptr, true, 1, 40, aErrOverrun, true},
        {"read chunk error", "fault slot error 2 9", false, 0, 10, 9, true},
        {"close error", "fault slot error 2 8", true, 0, 10, 8, true},
        {"wrong write sum", "fault slot sum 1", true, 0, 10, aErrIO, true},
        {"slot shorter than its size", "fault slot size 0", false, 0, 10, aErrEOF, true},
        // Error replies as firmware cuts them: a flagged reply fails whatever its length,
        // and one with code 0 or no code is never success.
        {"size error code 0", "fault slot error 0 0", false, 0, 10, aErrUnknown, false},
        {"size error without code", "fault slot error-short 0", false, 0, 10, aErrUnknown, false},
        {"size error with a trailing byte", "fault slot error-long 0 9", false, 0, 10, 9, false},
        {"open refused without code", "fault slot error-short 0", true, 0, 10, aErrMedia, false},
        {"write acknowledgement error of five bytes", "fault slot error-long 1 21", true, 0, 60, aErrUnimplemented,
         true},
        {"write acknowledgement error code 0", "fault slot error 1 0", true, 0, 60, aErrUnknown, true},
        {"write acknowledgement error without code", "fault slot error-short 1", true, 0, 60, aErrUnknown, true},
        {"read chunk error code 0", "fault slot error 2 0", false, 0, 10, aErrUnknown, true},
        {"read chunk error without code", "fault slot error-short 2", false, 0, 10, aErrUnknown, true},
        {"close error without code", "fault slot error-short 2", true, 0, 10, aErrUnknown, true},
        {"close error with a trailing byte", "fault slot error-long 2 8", true, 0, 10, 8, true},
    };
    const Bytes data = testsupport::steppedBytes(60, 5);
    ASSERT_EQ(link->loadStoreSlot(kAddress, 0, 3, data.data(), 10), aErrNone);
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        if (c.fault) {
            ASSERT_EQ(sim.control(c.fault), "ok");
        }
        sim.mark();
        Bytes back(60);
        size_t unloaded = 77;
        const aErr result = c.load ? link->loadStoreSlot(kAddress, c.store, 3, data.data(), c.length)
                                   : link->unloadStoreSlot(kAddress, c.store, 3, back.data(), back.size(), &unloaded);
        EXPECT_EQ(result, c.expected);
        EXPECT_EQ(unloaded, 77u);
        const auto sent = sim.received();
        const bool closed = !sent.empty() && sent.back().rfind(request({4, 8, 0}).substr(0, 11), 0) == 0;
        EXPECT_EQ(closed, c.closes);
        // Put the slot back for the next case.
        ASSERT_EQ(link->loadStoreSlot(kAddress, 0, 3, data.data(), 10), aErrNone);
    }
    size_t size = 0;
    ASSERT_EQ(sim.control("fault slot error 0 3"), "ok");
    EXPECT_EQ(link->storeSlotCapacity(kAddress, 0, 3, &size), aErrNotFound);
    for (const char* fault : {"fault slot error 0 0", "fault slot error-short 0"}) {
        SCOPED_TRACE(fault);
        size_t capacity = 4321;
        ASSERT_EQ(sim.control(fault), "ok");
        EXPECT_EQ(link->storeSlotCapacity(kAddress, 0, 3, &capacity), aErrUnknown);
        EXPECT_EQ(capacity, 4321u);
    }
}

TEST_F(StoreSlot, MissingRepliesTimeOutAfterOneSecond) {
    struct Case {
        const char* what;
        const char* fault;
        bool load;
        aErr expected;
    };
    const std::vector<Case> cases = {
        {"size", "fault slot silent 0", false, aErrTimeout},
        {"write chunk", "fault slot silent 1", true, aErrTimeout},
        {"read chunk", "fault slot silent 2", false, aErrTimeout},
        // A close the module never confirms may have lost the data.
        {"close", "fault slot no-close 0", true, aErrTimeout},
        {"close after a read", "fault slot no-close 0", false, aErrTimeout},
    };
    const Bytes data = testsupport::steppedBytes(10, 1);
    ASSERT_EQ(link->loadStoreSlot(kAddress, 0, 4, data.data(), data.size()), aErrNone);
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        ASSERT_EQ(sim.control(c.fault), "ok");
        Bytes back(10);
        size_t unloaded = 0;
        const auto start = Clock::now();
        const aErr result = c.load ? link->loadStoreSlot(kAddress, 0, 4, data.data(), data.size())
                                   : link->unloadStoreSlot(kAddress, 0, 4, back.data(), back.size(), &unloaded);
        const auto waited = Clock::now() - start;
        EXPECT_EQ(result, c.expected);
        EXPECT_GE(waited, std::chrono::milliseconds(1000));
        // Well short of the three seconds an open waits, with room for a loaded machine.
        EXPECT_LT(waited, std::chrono::milliseconds(2900));
    }
}

TEST_F(StoreSlot, OpenWaitsThreeSeconds) {
    const Bytes data = testsupport::steppedBytes(10, 1);
    ASSERT_EQ(sim.control("fault delay 1500"), "ok");
    EXPECT_EQ(link->loadStoreSlot(kAddress, 0, 6, data.data(), data.size()), aErrNone);

    ASSERT_EQ(sim.control("fault slot silent 0"), "ok");
    const auto start = Clock::now();
    EXPECT_EQ(link->loadStoreSlot(kAddress, 0, 6, data.data(), data.size()), aErrMedia);
    const auto waited = Clock::now() - start;
    EXPECT_GE(waited, std::chrono::milliseconds(3000));
    EXPECT_LT(waited, std::chrono::milliseconds(5000));
}

TEST_F(StoreSlot, ChecksBeforeAnyInputOrOutput) {
    sim.mark();
    size_t value = 0;
    uint8_t buffer[4] = {};
    EXPECT_EQ(link->storeSlotSize(kAddress, 0, 0, nullptr), aErrParam);
    EXPECT_EQ(link->storeSlotCapacity(kAddress, 0, 0, nullptr), aErrParam);
    EXPECT_EQ(link->loadStoreSlot(kAddress, 0, 0, nullptr, 4), aErrParam);
    EXPECT_EQ(link->unloadStoreSlot(kAddress, 0, 0, nullptr, 4, &value), aErrParam);
    EXPECT_EQ(link->unloadStoreSlot(kAddress, 0, 0, buffer, 4, nullptr), aErrParam);
    EXPECT_TRUE(sim.received().empty());

    Link idle("idle");
    EXPECT_EQ(idle.storeSlotSize(kAddress, 0, 0, &value), aErrConnection);
    EXPECT_EQ(idle.storeSlotCapacity(kAddress, 0, 0, &value), aErrConnection);
    EXPECT_EQ(idle.loadStoreSlot(kAddress, 0, 0, buffer, 4), aErrConnection);
    EXPECT_EQ(idle.unloadStoreSlot(kAddress, 0, 0, buffer, 4, &value), aErrConnection);
}

// Behind a router every module shares the link: a late reply of one module must not
// answer the same request to another.
class StoreSlotRouted : public StoreSlot {
protected:
    StoreSlotRouted() : StoreSlot({"--router-module", "4:00000044:5"}) {}
};

TEST_F(StoreSlotRouted, LateReplyOfAnotherModuleIsNotTaken) {
    ASSERT_EQ(sim.control("fault delay 1500"), "ok");
    size_t size = 0;
    EXPECT_EQ(link->storeSlotSize(kAddress, 0, 0, &size), aErrTimeout);
    // Module 4 keeps no store; the late size reply of module 2 arrives during this wait.
    EXPECT_EQ(link->storeSlotSize(4, 0, 0, &size), aErrTimeout);
}

}  // namespace
