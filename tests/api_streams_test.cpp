// Streamed values against a simulated module over loopback TCP: stream keys and the
// sample layout, registrations on command 0x5D, samples in the value cache and in
// callbacks on the callback thread, typed gets served from the cache, and Links that
// share one link.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "Entity.h"
#include "LocklessQueue.h"
#include "Module.h"
#include "aPacket.h"
#include "api_modsim.h"
#include "wait_until.h"

using namespace Veltrane::Corvalith;
using testsupport::ApiModsim;
using testsupport::Bytes;
using testsupport::connectWithoutSharing;
using testsupport::wireText;

namespace {

constexpr uint8_t kAddress = 2;
constexpr uint8_t kExchange = 0x10;
constexpr uint8_t kAny = 0xFF;
// Every value the simulator streams: options 1-3, and 6-8 with four subindexes each.
constexpr std::size_t kAllSources = 15;

bool waitFor(const std::function<bool()>& done, std::chrono::milliseconds limit = std::chrono::seconds(30)) {
    return testsupport::waitUntil(done, limit, std::chrono::milliseconds(2));
}

aPacket* makePacket(const Bytes& data) {
    return aPacket_CreateWithData(kAddress, static_cast<uint8_t>(data.size()), data.data());
}

// [command, option, 0x40 | index, kind, (subindex,) stamp 8 bytes, value, 0]
Bytes sampleBytes(uint8_t kind, const Bytes& value, int subindex = -1) {
    Bytes data{kExchange, 3, 0x40, kind};
    if (subindex >= 0) data.push_back(static_cast<uint8_t>(subindex));
    const Bytes stamp{0x00, 0x00, 0x01, 0x02, 0x03, 0x04, 0x05, 0x06};
    data.insert(data.end(), stamp.begin(), stamp.end());
    data.insert(data.end(), value.begin(), value.end());
    data.push_back(0);
    return data;
}

TEST(StreamedValuesKeys, KeyElementsAndMasks) {
    const uint64_t key = Link::createStreamKey(4, 3, 7, 1, 2);
    EXPECT_EQ(key, 0x0204030701ull);
    EXPECT_EQ(Link::getStreamKeyElement(key, Link::MODULE), 4);
    EXPECT_EQ(Link::getStreamKeyElement(key, Link::COMMAND), 3);
    EXPECT_EQ(Link::getStreamKeyElement(key, Link::OPTION), 7);
    EXPECT_EQ(Link::getStreamKeyElement(key, Link::INDEX), 1);
    EXPECT_EQ(Link::getStreamKeyElement(key, Link::SUBINDEX), 2);
    EXPECT_EQ(Link::getStreamKeyElement(key, static_cast<Link::STREAM_KEY>(5)), 0);

    const uint64_t masks[] = {0xFF,         0xFF00,       0xFFFF,       0xFF0000,     0xFF00FF,
                              0xFFFF00,     0xFFFFFF,     0xFF00000000, 0xFF000000FF, 0xFF0000FF00,
                              0xFF0000FFFF, 0xFF00FF0000, 0xFF00FF00FF, 0xFF00FFFF00, 0xFF00FFFFFF};
    for (uint32_t i = 0; i < 15; ++i) EXPECT_EQ(Link::_getGenericStreamKeyMask(i), masks[i]) << i;
    EXPECT_EQ(Link::_getGenericStreamKeyMask(15), 0u);
    // A registration for any option of (4, 3, -, 0) is found from a sample through mask 9.
    EXPECT_EQ(Link::createStreamKey(4, 3, 7, 0, 0) | masks[9], 0xFF0403FF00ull);
}

TEST(StreamedValuesKeys, SampleLayouts) {
    struct Case {
        const char* what;
        Bytes data;
        aErr result;
        uint32_t value;
        uint8_t subindex;
    };
    Bytes longer = sampleBytes(1, {0x7F});
    longer.insert(longer.end() - 1, 0x00);
    Bytes chunk = sampleBytes(1, {0x7F});
    chunk.back() = 0x81;
    const std::vector<Case> cases = {
        {"8-bit", sampleBytes(1, {0x7F}), aErrNone, 0x7F, 0},
        {"16-bit", sampleBytes(2, {0x12, 0x34}), aErrNone, 0x1234, 0},
        {"32-bit", sampleBytes(3, {0x12, 0x34, 0x56, 0x78}), aErrNone, 0x12345678, 0},
        {"8-bit subindex", sampleBytes(5, {0x9A}, 1), aErrNone, 0x9A, 1},
        {"16-bit subindex", sampleBytes(6, {0xAB, 0xCD}, 3), aErrNone, 0xABCD, 3},
        {"32-bit subindex", sampleBytes(7, {0, 0, 0, 9}, 2), aErrNone, 9, 2},
        {"one byte too long", longer, aErrPacket, 0, 0},
        {"bytes chunk", chunk, aErrSize, 0, 0},
        {"unknown kind", sampleBytes(9, {0x01}), aErrPacket, 0, 0},
        {"a plain reply", {kExchange, 3, 0x00, 0x12, 0x34, 0x56, 0x78}, aErrPacket, 0, 0},
    };
    for (const auto& c : cases) {
        aPacket* packet = makePacket(c.data);
        ASSERT_NE(packet, nullptr);
        uint64_t stamp = 0;
        uint32_t value = 0;
        uint8_t subindex = 0xEE;
        EXPECT_EQ(Link::getStreamSample(packet, &stamp, &value, &subindex), c.result) << c.what;
        EXPECT_EQ(Link::isStreamSample(packet), c.result == aErrNone) << c.what;
        if (c.result == aErrNone) {
            EXPECT_EQ(stamp, 0x0000010203040506ull) << c.what;
            EXPECT_EQ(value, c.value) << c.what;
            EXPECT_EQ(subindex, c.subindex) << c.what;
        }
        aPacket_Destroy(&packet);
    }
    uint32_t high = 0;
    uint32_t low = 0;
    Link::getTimestampParts(0x0000010203040506ull, &high, &low);
    EXPECT_EQ(high, 0x0102u);
    EXPECT_EQ(low, 0x03040506u);
    Link::getTimestampParts(1, nullptr, nullptr);
}

TEST(StreamedValuesKeys, QueueHoldsOneLessThanItsCapacity) {
    Veltrane::LocklessQueue_SPSC<int> queue(500);
    for (int i = 0; i < 499; ++i) ASSERT_TRUE(queue.push(i)) << i;
    EXPECT_FALSE(queue.push(499));
    int item = -1;
    for (int i = 0; i < 499; ++i) {
        ASSERT_TRUE(queue.pop(&item));
        EXPECT_EQ(item, i);
    }
    EXPECT_FALSE(queue.pop(&item));
    EXPECT_TRUE(queue.push(7));
}

struct Recorded {
    std::mutex lock;
    std::vector<uint32_t> values;
    std::vector<std::thread::id> threads;

    std::size_t size() {
        std::lock_guard<std::mutex> guard(lock);
        return values.size();
    }
};

Link::StreamCallback recorder(Recorded& into) {
    return [&into](aPacket const* packet, void* ref) {
        EXPECT_EQ(ref, &into);
        uint32_t value = 0;
        EXPECT_EQ(Link::getStreamSample(packet, nullptr, &value, nullptr), aErrNone);
        std::lock_guard<std::mutex> guard(into.lock);
        into.values.push_back(value);
        into.threads.push_back(std::this_thread::get_id());
        return aErrNone;
    };
}

// The same for state that must outlive the test body: the callback keeps it alive.
Link::StreamCallback recorder(std::shared_ptr<Recorded> into) {
    return [into](aPacket const* packet, void* ref) { return recorder(*into)(packet, ref); };
}

class StreamedValues : public testsupport::ModsimModuleTest {
protected:
    StreamedValues() : ModsimModuleTest({"--stream-ms", "0"}, kAddress) {}

    void SetUp() override {
        ModsimModuleTest::SetUp();
        if (HasFatalFailure()) return;
        entity.init(&module, kExchange, 0);
    }

    std::size_t cachedCount() {
        std::map<uint64_t, uint32_t> values;
        EXPECT_EQ(entity.getStreamStatus(&values), aErrNone);
        return values.size();
    }

    EntityClass entity;
};

TEST_F(StreamedValues, EnabledStreamFillsTheCacheThatTypedGetsRead) {
    uint8_t streaming = 9;
    ASSERT_EQ(link->isLinkStreaming(kAddress, &streaming), aErrNone);
    EXPECT_EQ(streaming, 0);
    sim.mark();
    ASSERT_EQ(entity.setStreamEnabled(1), aErrNone);
    EXPECT_EQ(sim.received(), std::vector<std::string>{wireText(kAddress, {0x5D, 0x81, 0x20, 2, 0x10, 0xFF, 0})});
    ASSERT_EQ(link->isLinkStreaming(kAddress, &streaming), aErrNone);
    EXPECT_EQ(streaming, 1);

    uint32_t value = 0;
    EXPECT_EQ(link->getStreamValue(kAddress, kExchange, 3, 0, 0, &value), aErrNotFound);
    ASSERT_EQ(sim.control("stream-send"), "ok 15 samples");
    ASSERT_TRUE(waitFor([&] { return cachedCount() == kAllSources; }));
    std::map<uint64_t, uint32_t> values;
    ASSERT_EQ(link->getStreamStatus(kAny, kAny, kAny, kAny, kAny, &values), aErrNone);
    EXPECT_EQ(values.size(), kAllSources);
    EXPECT_EQ(values.count(Link::createStreamKey(kAddress, kExchange, kAny, 0, kAny)), 0u);
    EXPECT_EQ(link->filterActiveStreamKeys(kAny, kAny, kAny, kAny, 2, true).size(), 3u);

    EXPECT_EQ(link->getStreamValue(kAddress, kExchange, 7, 0, 3, &value), aErrNone);
    EXPECT_EQ(value, 1u);
    EXPECT_EQ(link->getStreamValue(kAddress, kExchange, 7, 0, 3, &value), aErrStreamStale);
    EXPECT_EQ(value, 1u);

    ASSERT_EQ(sim.control("stream-send"), "ok 15 samples");
    ASSERT_TRUE(waitFor([&] {
        std::map<uint64_t, uint32_t> now;
        link->getStreamStatus(kAny, kAny, kAny, kAny, kAny, &now);
        for (const auto& row : now)
            if (row.second != 2) return false;
        return now.size() == kAllSources;
    }));
    sim.mark();
    uint32_t number = 0;
    EXPECT_EQ(entity.getUEI32(3, &number), aErrNone);
    EXPECT_EQ(number, 2u);
    EXPECT_EQ(entity.getUEI32(3, &number), aErrStreamStale);
    EXPECT_EQ(number, 2u);
    uint8_t small = 0;
    EXPECT_EQ(entity.getUEI8(6, 1, &small), aErrNone);
    EXPECT_EQ(small, 2);
    uint16_t middle = 0;
    EXPECT_EQ(entity.getUEI16(2, &middle), aErrNone);
    EXPECT_EQ(middle, 2);
    EXPECT_TRUE(sentBeforeFence().empty()) << "cached values are read without a request";
}

// The callback state is shared with the callbacks, so calls still queued when the
// Module goes (queued calls may run after a disable returns) find it alive.
TEST_F(StreamedValues, CallbacksRunInOrderOnTheCallbackThreadUntilDisabled) {
    auto calls = std::make_shared<Recorded>();
    auto fence = std::make_shared<Recorded>();
    ASSERT_EQ(entity.registerOptionCallback(3, true, recorder(calls), calls.get()), aErrNone);
    ASSERT_EQ(entity.registerOptionCallback(1, true, recorder(fence), fence.get()), aErrNone);
    ASSERT_EQ(sim.control("stream-rate 2"), "ok");
    ASSERT_TRUE(waitFor([&] { return calls->size() >= 5; }, std::chrono::seconds(30)));

    sim.mark();
    ASSERT_EQ(entity.registerOptionCallback(3, false, nullptr, nullptr), aErrNone);
    EXPECT_EQ(sim.received(), std::vector<std::string>{wireText(kAddress, {0x5D, 0x82, 0x20, 2, 0x10, 3, 0})});
    ASSERT_EQ(sim.control("stream-rate 0"), "ok");
    // The calls run in queue order on one thread: once the option-1 call of a sample
    // sent now has run, every call queued before it has run too. The echo first lets
    // every sample still on its way arrive, so the cached value is the new sample's.
    auto drainQueue = [&] {
        const uint8_t echo[] = {0xFE};
        ASSERT_EQ(module.debug(echo, 1), aErrNone);
        uint32_t old = 0;
        link->getStreamValue(kAddress, kExchange, 1, 0, 0, &old);
        ASSERT_EQ(sim.control("stream-send"), "ok 1 samples");
        uint32_t sent = 0;
        ASSERT_TRUE(waitFor([&] { return link->getStreamValue(kAddress, kExchange, 1, 0, 0, &sent) == aErrNone; },
                            std::chrono::seconds(30)));
        ASSERT_TRUE(waitFor(
            [&] {
                std::lock_guard<std::mutex> guard(fence->lock);
                return !fence->values.empty() && fence->values.back() == sent;
            },
            std::chrono::seconds(30)));
    };
    drainQueue();
    const std::size_t seen = calls->size();
    drainQueue();
    EXPECT_EQ(calls->size(), seen) << "no callback after the option was disabled";

    std::lock_guard<std::mutex> guard(calls->lock);
    for (std::size_t i = 0; i < calls->values.size(); ++i) {
        EXPECT_EQ(calls->values[i], i + 1) << "samples arrive in order";
        EXPECT_NE(calls->threads[i], std::this_thread::get_id());
        EXPECT_EQ(calls->threads[i], calls->threads[0]);
    }
}

TEST_F(StreamedValues, CallbackThreadLivesFromFirstToLastRegistration) {
    EXPECT_FALSE(link->isStreamCallbackThreadRunning());
    Recorded first;
    Recorded second;
    ASSERT_EQ(entity.registerOptionCallback(1, true, recorder(first), &first), aErrNone);
    EXPECT_TRUE(link->isStreamCallbackThreadRunning());
    ASSERT_EQ(entity.registerOptionCallback(2, true, recorder(second), &second), aErrNone);
    ASSERT_EQ(entity.registerOptionCallback(1, false, nullptr, nullptr), aErrNone);
    EXPECT_TRUE(link->isStreamCallbackThreadRunning());
    ASSERT_EQ(sim.control("stream-send"), "ok 1 samples");
    ASSERT_TRUE(waitFor([&] { return second.size() == 1; }));
    ASSERT_EQ(entity.registerOptionCallback(2, false, nullptr, nullptr), aErrNone);
    EXPECT_FALSE(link->isStreamCallbackThreadRunning());
    EXPECT_EQ(cachedCount(), 0u) << "the last removal clears the table";

    ASSERT_EQ(entity.registerOptionCallback(2, true, recorder(second), &second), aErrNone);
    EXPECT_TRUE(link->isStreamCallbackThreadRunning());
    ASSERT_EQ(sim.control("stream-send"), "ok 1 samples");
    ASSERT_TRUE(waitFor([&] { return second.size() == 2; }));
    std::lock_guard<std::mutex> guard(second.lock);
    EXPECT_EQ(second.values, (std::vector<uint32_t>{1, 2}));
}

TEST_F(StreamedValues, CallbackMayRemoveItsOwnRegistration) {
    std::atomic<int> calls{0};
    Link* target = link;
    ASSERT_EQ(entity.registerOptionCallback(
                  3, true,
                  [&calls, target](aPacket const*, void*) {
                      ++calls;
                      return target->registerStreamCallback(kAddress, kExchange, 3, 0, false, nullptr, nullptr);
                  },
                  nullptr),
              aErrNone);
    ASSERT_EQ(sim.control("stream-send"), "ok 1 samples");
    ASSERT_TRUE(sim.waitForLogStart("ev stream disable"));
    ASSERT_TRUE(waitFor([&] { return !link->isStreamCallbackThreadRunning(); }));
    EXPECT_EQ(calls.load(), 1);
    EXPECT_EQ(sim.control("stream-send"), "ok 0 samples");
}

// Registrations from two threads, and a callback that removes its own registration
// meanwhile, start and stop the one callback thread without joining or detaching it
// twice; the table ends empty with no thread.
TEST_F(StreamedValues, RegistrationsFromSeveralThreadsKeepOneCallbackThread) {
    std::atomic<int> selfRemoved{0};
    Link* target = link;
    auto removeSelf = [&selfRemoved, target](aPacket const*, void*) {
        const aErr removed = target->registerStreamCallback(kAddress, kExchange, 3, 0, false, nullptr, nullptr);
        ++selfRemoved;
        return removed;
    };
    auto churn = [this](uint8_t option) {
        for (int round = 0; round < 40; ++round) {
            EXPECT_EQ(
                link->registerStreamCallback(
                    kAddress, kExchange, option, 0, true, [](aPacket const*, void*) { return aErrNone; }, nullptr),
                aErrNone);
            EXPECT_EQ(link->registerStreamCallback(kAddress, kExchange, option, 0, false, nullptr, nullptr), aErrNone);
        }
    };
    {
        std::thread first(churn, 1);
        std::thread second(churn, 2);
        // Joined on every way out of this block, a failed assertion too.
        struct Joiner {
            std::thread& a;
            std::thread& b;
            ~Joiner() {
                a.join();
                b.join();
            }
        } joiner{first, second};
        for (int round = 0; round < 10; ++round) {
            ASSERT_EQ(link->registerStreamCallback(kAddress, kExchange, 3, 0, true, removeSelf, nullptr), aErrNone);
            // Replies to stream requests carry no key, so with requests of other threads
            // in flight the one taken may be another's: wait until the module has it.
            ASSERT_TRUE(sim.process().waitForLog("ev stream enable 10 03 00", round + 1, std::chrono::seconds(30)));
            ASSERT_EQ(sim.control("stream-send").rfind("ok ", 0), 0u);
            // The removal is complete before the next registration goes out; another
            // thread's removal never takes this registration with it.
            ASSERT_TRUE(waitFor([&] { return selfRemoved.load() > round; })) << "round " << round;
        }
    }
    ASSERT_TRUE(waitFor([&] { return !link->isStreamCallbackThreadRunning(); }));
    EXPECT_TRUE(link->filterActiveStreamKeys(kAny, kAny, kAny, kAny, kAny, true).empty());
    EXPECT_GE(selfRemoved.load(), 1);
}

// A callback that removes its own registration, registers again and removes that too
// starts and stops a second thread from inside the first one's callback.
TEST_F(StreamedValues, CallbackMayRegisterAgainAfterRemovingItself) {
    std::atomic<int> calls{0};
    std::atomic<aErr> last{aErrUnknown};
    Link* target = link;
    ASSERT_EQ(link->registerStreamCallback(
                  kAddress, kExchange, 3, 0, true,
                  [&calls, &last, target](aPacket const*, void*) -> aErr {
                      if (calls++ != 0) return aErrNone;
                      aErr result = target->registerStreamCallback(kAddress, kExchange, 3, 0, false, nullptr, nullptr);
                      if (result == aErrNone)
                          result = target->registerStreamCallback(
                              kAddress, kExchange, 2, 0, true, [](aPacket const*, void*) -> aErr { return aErrNone; },
                              nullptr);
                      if (result == aErrNone)
                          result = target->registerStreamCallback(kAddress, kExchange, 2, 0, false, nullptr, nullptr);
                      last = result;
                      return result;
                  },
                  nullptr),
              aErrNone);
    ASSERT_EQ(sim.control("stream-send"), "ok 1 samples");
    ASSERT_TRUE(waitFor([&] { return last.load() != aErrUnknown; }));
    EXPECT_EQ(last.load(), aErrNone);
    EXPECT_FALSE(link->isStreamCallbackThreadRunning());
    EXPECT_EQ(sim.control("stream-send"), "ok 0 samples");
    EXPECT_EQ(calls.load(), 1);
}

TEST_F(StreamedValues, RefusedUnansweredAndOddRegistrationsLeaveNothing) {
    sim.mark();
    EXPECT_EQ(link->enableStream(3, kExchange, 1, 0, true), aErrParam);
    EXPECT_TRUE(sentBeforeFence().empty());

    ASSERT_EQ(sim.control("fault error 12"), "ok");
    EXPECT_EQ(link->enableStream(kAddress, kExchange, 1, 0, true), 12);
    EXPECT_TRUE(link->filterActiveStreamKeys(kAny, kAny, kAny, kAny, kAny, true).empty());

    ASSERT_EQ(sim.control("fault no-reply"), "ok");
    EXPECT_EQ(link->enableStream(kAddress, kExchange, 2, 0, true), aErrTimeout);
    EXPECT_TRUE(link->filterActiveStreamKeys(kAny, kAny, kAny, kAny, kAny, true).empty());
    EXPECT_FALSE(link->isStreamCallbackThreadRunning());

    std::map<uint64_t, uint32_t>* none = nullptr;
    EXPECT_EQ(link->getStreamStatus(kAny, kAny, kAny, kAny, kAny, none), aErrParam);
    EXPECT_EQ(link->getStreamValue(kAddress, kExchange, 1, 0, 0, nullptr), aErrParam);
}

// A refusal however the module cuts it: the registration leaves no entry, and an
// emptied table takes the filter and the callback thread with it; a table that still
// holds another registration keeps both.
TEST_F(StreamedValues, RefusedEnablesOfAnyShapeLeaveNoEntry) {
    struct Case {
        const char* fault;
        aErr expected;
    };
    const std::vector<Case> cases = {
        {"fault stream error 0 0", aErrUnknown},
        // Too short for a value reply: refused as a bad packet.
        {"fault stream error-short 0", aErrPacket},
        {"fault stream error-long 0 12", 12},
        {"fault stream error 0 29", 29},
    };
    std::atomic<int> called{0};
    auto count = [&called](aPacket const*, void*) {
        ++called;
        return aErrNone;
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.fault);
        ASSERT_EQ(sim.control(c.fault), "ok");
        EXPECT_EQ(link->registerStreamCallback(kAddress, kExchange, 1, 0, true, count, nullptr), c.expected);
        EXPECT_TRUE(link->filterActiveStreamKeys(kAny, kAny, kAny, kAny, kAny, true).empty());
        EXPECT_FALSE(link->isStreamCallbackThreadRunning());
        ASSERT_EQ(sim.control("stream-send"), "ok 0 samples");
    }

    Recorded kept;
    ASSERT_EQ(entity.registerOptionCallback(2, true, recorder(kept), &kept), aErrNone);
    ASSERT_EQ(sim.control("fault stream error 0 0"), "ok");
    EXPECT_EQ(link->registerStreamCallback(kAddress, kExchange, 1, 0, true, count, nullptr), aErrUnknown);
    EXPECT_EQ(link->filterActiveStreamKeys(kAny, kAny, kAny, kAny, kAny, true),
              std::vector<uint64_t>{Link::createStreamKey(kAddress, kExchange, 2, 0, kAny)});
    EXPECT_TRUE(link->isStreamCallbackThreadRunning());
    ASSERT_EQ(sim.control("stream-send"), "ok 1 samples");
    ASSERT_TRUE(waitFor([&] { return kept.size() == 1; }, std::chrono::seconds(30)));
    ASSERT_EQ(entity.registerOptionCallback(2, false, nullptr, nullptr), aErrNone);
    EXPECT_EQ(called.load(), 0);
}

TEST(StreamedValuesUnbound, EntityWithoutModuleOrLink) {
    EntityClass entity;
    std::map<uint64_t, uint32_t> values;
    EXPECT_EQ(entity.setStreamEnabled(1), aErrResource);
    EXPECT_EQ(entity.registerOptionCallback(1, true, nullptr, nullptr), aErrResource);
    EXPECT_EQ(entity.getStreamStatus(&values), aErrResource);
    Link link("unconnected");
    EXPECT_EQ(link.enableStream(kAddress, kExchange, 1, 0, true), aErrConfiguration);
    EXPECT_FALSE(link.isStreamCallbackThreadRunning());
}

TEST(StreamedValuesShared, TwoLinksOnOneLinkKeepEachOthersFilters) {
    ApiModsim sim{{"--stream-ms", "0"}};
    ASSERT_TRUE(sim.ready());
    aWeaveConfig config;
    config.enabled = 0;
    config.fallback = 0;
    // Declared before the Links, so they outlive every callback thread.
    Recorded one;
    Recorded two;
    Link first(sim.spec(), "first");
    auto second = std::make_unique<Link>(sim.spec(), "second");
    first.setConfig(config);
    second->setConfig(config);
    ASSERT_EQ(first.connect(), aErrNone);
    ASSERT_EQ(second->connect(), aErrNone);

    ASSERT_EQ(first.registerStreamCallback(kAddress, kExchange, 1, 0, true, recorder(one), &one), aErrNone);
    ASSERT_EQ(second->registerStreamCallback(kAddress, kExchange, 2, 0, true, recorder(two), &two), aErrNone);
    ASSERT_EQ(sim.control("stream-send"), "ok 2 samples");
    ASSERT_TRUE(waitFor([&] { return one.size() == 1 && two.size() == 1; }));

    // Both filters see every sample; each Link caches only what its registrations cover.
    uint32_t value = 0;
    EXPECT_EQ(first.getStreamValue(kAddress, kExchange, 2, 0, 0, &value), aErrNotFound);
    EXPECT_EQ(second->getStreamValue(kAddress, kExchange, 2, 0, 0, &value), aErrNone);

    second->disconnect();
    second.reset();
    ASSERT_EQ(sim.control("stream-send"), "ok 2 samples");
    ASSERT_TRUE(waitFor([&] { return one.size() == 2; }));
    EXPECT_EQ(first.getStreamValue(kAddress, kExchange, 1, 0, 0, &value), aErrNone);
    EXPECT_EQ(value, 2u);
    EXPECT_EQ(two.size(), 1u);
}

}  // namespace
