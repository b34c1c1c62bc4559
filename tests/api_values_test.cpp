// Value exchanges of EntityClass and Link against a simulated module over loopback TCP:
// typed gets, sets and calls, byte strings in chunks, error replies, time-outs, stale
// replies, and raw packets.
#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "Entity.h"
#include "Module.h"
#include "api_modsim.h"
#include "byte_patterns.h"
#include "wait_until.h"

using namespace Veltrane::Corvalith;
using testsupport::ApiModsim;
using testsupport::Bytes;
using testsupport::connectWithoutSharing;
using testsupport::wireText;

namespace {

constexpr uint8_t kAddress = 2;
constexpr uint8_t kExchange = 0x10;
constexpr uint8_t kMalformed = 0x11;
constexpr uint8_t kSystem = 3;

class ApiValues : public testsupport::ModsimModuleTest {
protected:
    ApiValues() : ModsimModuleTest({}, kAddress) {}

    void SetUp() override {
        ModsimModuleTest::SetUp();
        if (HasFatalFailure()) return;
        entity.init(&module, kExchange, 0);
    }

    // Wire form of a request to the module.
    static std::string request(const Bytes& data) { return wireText(kAddress, data); }

    EntityClass entity;
};

TEST_F(ApiValues, TypedSetsGetsAndCalls) {
    struct Step {
        const char* what;
        std::function<aErr(EntityClass&, uint32_t*)> run;
        Bytes sent;
        uint32_t value;  // the value a get reads
    };
    auto get8 = [](uint8_t option) {
        return [option](EntityClass& e, uint32_t* out) {
            uint8_t v = 0;
            const aErr r = e.getUEI8(option, &v);
            *out = v;
            return r;
        };
    };
    const std::vector<Step> steps = {
        {"set8", [](EntityClass& e, uint32_t*) { return e.setUEI8(1, 0xA5); }, {0x10, 0x81, 0x20, 0xA5}, 0},
        {"get8", get8(1), {0x10, 0x41, 0x20}, 0xA5},
        {"set16", [](EntityClass& e, uint32_t*) { return e.setUEI16(2, 0xBEEF); }, {0x10, 0x82, 0x20, 0xBE, 0xEF}, 0},
        {"get16",
         [](EntityClass& e, uint32_t* out) {
             uint16_t v = 0;
             const aErr r = e.getUEI16(2, &v);
             *out = v;
             return r;
         },
         {0x10, 0x42, 0x20},
         0xBEEF},
        {"set32",
         [](EntityClass& e, uint32_t*) { return e.setUEI32(3, 0x12345678); },
         {0x10, 0x83, 0x20, 0x12, 0x34, 0x56, 0x78},
         0},
        {"get32", [](EntityClass& e, uint32_t* out) { return e.getUEI32(3, out); }, {0x10, 0x43, 0x20}, 0x12345678},
        {"call", [](EntityClass& e, uint32_t*) { return e.callUEI(4); }, {0x10, 0x84, 0x20}, 0},
        {"set8 subindex",
         [](EntityClass& e, uint32_t*) { return e.setUEI8(6, 2, 0x77); },
         {0x10, 0x86, 0x20, 0x02, 0x77},
         0},
        {"get8 subindex",
         [](EntityClass& e, uint32_t* out) {
             uint8_t v = 0;
             const aErr r = e.getUEI8(6, 2, &v);
             *out = v;
             return r;
         },
         {0x10, 0x46, 0x20, 0x02},
         0x77},
        {"set16 subindex",
         [](EntityClass& e, uint32_t*) { return e.setUEI16(7, 3, 0x0102); },
         {0x10, 0x87, 0x20, 0x03, 0x01, 0x02},
         0},
        {"get16 subindex",
         [](EntityClass& e, uint32_t* out) {
             uint16_t v = 0;
             const aErr r = e.getUEI16(7, 3, &v);
             *out = v;
             return r;
         },
         {0x10, 0x47, 0x20, 0x03},
         0x0102},
        {"set32 subindex",
         [](EntityClass& e, uint32_t*) { return e.setUEI32(8, 1, 0xCAFEF00D); },
         {0x10, 0x88, 0x20, 0x01, 0xCA, 0xFE, 0xF0, 0x0D},
         0},
        {"get32 subindex",
         [](EntityClass& e, uint32_t* out) { return e.getUEI32(8, 1, out); },
         {0x10, 0x48, 0x20, 0x01},
         0xCAFEF00D},
        {"get32 other subindex",
         [](EntityClass& e, uint32_t* out) { return e.getUEI32(8, 0, out); },
         {0x10, 0x48, 0x20, 0x00},
         1},
    };
    for (const Step& step : steps) {
        sim.mark();
        uint32_t value = 0xFFFFFFFF;
        EXPECT_EQ(step.run(entity, &value), aErrNone) << step.what;
        EXPECT_EQ(sim.received(), std::vector<std::string>{request(step.sent)}) << step.what;
        if (step.value) {
            EXPECT_EQ(value, step.value) << step.what;
        }
    }
}

TEST_F(ApiValues, NullOutPointersAndUnboundEntities) {
    sim.mark();
    EXPECT_EQ(entity.getUEI8(1, static_cast<uint8_t*>(nullptr)), aErrParam);
    EXPECT_EQ(entity.getUEI32(3, 0, nullptr), aErrParam);
    size_t received = 0;
    uint8_t buffer[4];
    EXPECT_EQ(entity.getUEIBytes(5, nullptr, 4, &received), aErrParam);
    EXPECT_EQ(entity.getUEIBytes(5, buffer, 0, &received), aErrParam);
    EXPECT_EQ(entity.getUEIBytes(5, buffer, 4, nullptr), aErrParam);
    EXPECT_EQ(entity.awaitUEI32Val(3, nullptr, 0), aErrParam);

    EntityClass unbound;
    uint32_t value = 0;
    EXPECT_EQ(unbound.getUEI32(3, &value), aErrResource);
    EXPECT_EQ(unbound.setUEI8(1, 1), aErrResource);
    EXPECT_EQ(unbound.callUEI(4), aErrResource);
    EXPECT_EQ(unbound.drainUEI(3), aErrResource);
    EXPECT_EQ(unbound.getUEIBytes(5, buffer, 4, &received), aErrResource);
    EXPECT_TRUE(sentBeforeFence().empty());

    size_t count = 10;
    EXPECT_EQ(entity.getUEIBytesCheck(&count, 4), aErrMemory);
    EXPECT_EQ(count, 10u);
    count = 12;
    EXPECT_EQ(entity.getUEIBytesCheck(&count, 4), aErrNone);
    EXPECT_EQ(count, 3u);
}

// The chunks of a byte string on the wire: up to 24 bytes each and a sequence byte.
std::vector<std::string> chunks(uint8_t command, uint8_t option, uint8_t specifier, const Bytes& value) {
    std::vector<std::string> packets;
    size_t offset = 0;
    uint8_t sequence = 0;
    do {
        const size_t chunk = std::min<size_t>(value.size() - offset, 24);
        const bool more = offset + chunk < value.size();
        Bytes data{command, option, specifier};
        data.insert(data.end(), value.begin() + static_cast<long>(offset),
                    value.begin() + static_cast<long>(offset + chunk));
        data.push_back(static_cast<uint8_t>(sequence | (more ? 0x80 : 0)));
        packets.push_back(wireText(kAddress, data));
        offset += chunk;
        ++sequence;
    } while (offset < value.size());
    return packets;
}

// The module's packets logged from line `from` on whose data start with `start`, once
// `count` of them are there: the simulator may log an answer after the host took it.
std::vector<std::string> sentByModule(ApiModsim& sim, size_t from, const std::string& start, size_t count) {
    std::vector<std::string> packets;
    testsupport::waitUntil(
        [&] {
            packets.clear();
            const auto lines = sim.process().logLines();
            for (size_t i = from; i < lines.size(); ++i)
                if (lines[i].rfind("tx ", 0) == 0 && lines[i].substr(9, start.size()) == start)
                    packets.push_back(lines[i].substr(3));
            return packets.size() >= count;
        },
        std::chrono::seconds(5), std::chrono::milliseconds(10));
    return packets;
}

TEST_F(ApiValues, ByteStringsBothWays) {
    for (const size_t length : {0u, 24u, 25u, 100u, 3072u}) {
        const Bytes value = testsupport::steppedBytes(length, 1);
        sim.mark();
        ASSERT_EQ(entity.setUEIBytes(5, value.data(), value.size()), aErrNone) << length;
        EXPECT_EQ(sim.received(), chunks(kExchange, 0x85, 0x20, value)) << length;

        const size_t logged = sim.process().logLines().size();
        Bytes back(3072 + 8, 0xEE);
        size_t received = 99;
        ASSERT_EQ(entity.getUEIBytes(5, back.data(), back.size(), &received), aErrNone) << length;
        ASSERT_EQ(received, length);
        EXPECT_EQ(Bytes(back.begin(), back.begin() + static_cast<long>(length)), value) << length;
        EXPECT_EQ(back[length], 0xEE) << length;
        const auto expected = chunks(kExchange, 0x05, 0x00, value);
        EXPECT_EQ(sentByModule(sim, logged, "10 05 00", expected.size()), expected) << length;
    }
}

TEST_F(ApiValues, ByteStringLimits) {
    const Bytes tooLong = testsupport::steppedBytes(3073, 1);
    sim.mark();
    EXPECT_EQ(entity.setUEIBytes(5, tooLong.data(), tooLong.size()), aErrSize);
    EXPECT_TRUE(sentBeforeFence().empty());

    const Bytes value = testsupport::steppedBytes(12, 1);
    ASSERT_EQ(entity.setUEIBytes(5, value.data(), value.size()), aErrNone);
    uint8_t small[10];
    size_t received = 0;
    EXPECT_EQ(entity.getUEIBytes(5, small, sizeof small, &received), aErrMemory);
    EXPECT_EQ(received, 0u);
    uint8_t exact[12];
    EXPECT_EQ(entity.getUEIBytes(5, exact, sizeof exact, &received), aErrNone);
    EXPECT_EQ(received, 12u);
}

TEST_F(ApiValues, ModuleErrorsCarriedThrough) {
    EntityClass system;
    system.init(&module, kSystem, 0);
    EntityClass missingIndex;
    missingIndex.init(&module, kExchange, 5);
    uint32_t word = 0;
    uint8_t byte = 0;
    EXPECT_EQ(entity.getUEI32(9, &word), aErrInvalidOption);
    EXPECT_EQ(entity.setUEI32(1, 5), aErrPacket);
    EXPECT_EQ(system.setUEI8(8, 1), aErrPermission);
    EXPECT_EQ(system.getUEI8(10, &byte), aErrPermission);
    EXPECT_EQ(missingIndex.getUEI8(1, &byte), aErrInvalidEntity);
    EXPECT_EQ(missingIndex.callUEI(4), aErrInvalidEntity);
    uint8_t buffer[8];
    size_t received = 0;
    EXPECT_EQ(missingIndex.getUEIBytes(5, buffer, sizeof buffer, &received), aErrInvalidEntity);
}

// Error replies without a code, or with code 0, and a chunk without its sequence byte
// are failures, never a success with a value that was not sent.
TEST_F(ApiValues, MalformedRepliesAreFailures) {
    EntityClass malformed;
    malformed.init(&module, kMalformed, 0);
    uint32_t word = 0xABCD;
    EXPECT_EQ(malformed.getUEI32(1, &word), aErrUnknown);
    EXPECT_EQ(word, 0xABCDu);
    EXPECT_EQ(malformed.getUEI32(2, &word), aErrPacket);
    EXPECT_EQ(word, 0xABCDu);
    uint8_t buffer[8];
    size_t received = 0;
    EXPECT_EQ(malformed.getUEIBytes(3, buffer, sizeof buffer, &received), aErrPacket);
    EXPECT_EQ(received, 0u);
    EXPECT_EQ(malformed.getUEIBytes(1, buffer, sizeof buffer, &received), aErrUnknown);
    EXPECT_EQ(malformed.getUEI32(9, &word), aErrInvalidOption);
}

TEST_F(ApiValues, SilentModuleTimesOutAfterOneSecond) {
    ASSERT_EQ(sim.control("fault silence on"), "ok");
    uint32_t value = 0;
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(entity.getUEI32(3, &value), aErrTimeout);
    const auto waited = std::chrono::steady_clock::now() - start;
    EXPECT_GE(waited, std::chrono::milliseconds(1000));
    EXPECT_LT(waited, std::chrono::milliseconds(1800));
    EXPECT_EQ(entity.callUEI(4), aErrTimeout);
}

uei getRequest(uint8_t command, uint8_t option) {
    uei record{};
    record.module = kAddress;
    record.command = command;
    record.option = static_cast<uint8_t>(option | 0x40);
    record.specifier = 0x20;
    record.type = ueiVOID;
    return record;
}

TEST_F(ApiValues, AwaitAndDrainReplies) {
    // The module may log a reply after the host has it: count from before the first.
    const size_t logged = sim.process().logLines().size();
    ASSERT_EQ(link->sendUEI(getRequest(kExchange, 3)), aErrNone);
    uint32_t value = 0;
    EXPECT_EQ(entity.awaitUEI32Val(3, &value, 0), aErrNone);
    EXPECT_EQ(value, 0x44556677u);

    // Two replies that nobody waited for stay queued until they are drained.
    ASSERT_EQ(link->sendUEI(getRequest(kExchange, 3)), aErrNone);
    ASSERT_EQ(link->sendUEI(getRequest(kExchange, 3)), aErrNone);
    ASSERT_EQ(sentByModule(sim, logged, "10 03 00", 3).size(), 3u);
    // The module answers in order: once the reply to a later request is in, both are queued.
    uint8_t fence = 0;
    ASSERT_EQ(entity.getUEI8(1, &fence), aErrNone);
    EXPECT_EQ(entity.drainUEI(3), aErrNone);
    EXPECT_EQ(entity.awaitUEI32Val(3, &value, 0), aErrTimeout);
}

TEST_F(ApiValues, LinkRequestLayout) {
    uei set{};
    set.module = kAddress;
    set.command = 3;
    set.option = 0x85;
    set.specifier = 0x22;
    set.type = ueiINT;
    set.value.intVal = 0x12345678;
    sim.mark();
    EXPECT_EQ(link->sendUEI(set), aErrNone);
    uei get = getRequest(3, 9);
    EXPECT_EQ(link->sendUEI(get), aErrNone);
    get.option = 9;
    get.specifier = 0;
    EXPECT_EQ(link->receiveUEI(kAddress, 0, 0, 0, &get), aErrNone);
    EXPECT_EQ(get.type, ueiINT);
    EXPECT_EQ(get.value.intVal, 0x1234ABCDu);
    EXPECT_EQ(sim.awaitReceived(2), (std::vector<std::string>{"02 07 03 85 22 12 34 56 78", "02 03 03 49 20"}));
}

TEST_F(ApiValues, RawPackets) {
    Bytes payload = testsupport::steppedBytes(28, 1);
    sim.mark();
    EXPECT_EQ(link->sendPacket(kAddress, 0x17, 28, payload.data()), aErrParam);
    EXPECT_EQ(link->sendPacket(kAddress, 0x17, 27, payload.data()), aErrNone);
    uint8_t length = 0;
    uint8_t buffer[28] = {};
    ASSERT_EQ(link->receivePacket(kAddress, nullptr, &length, buffer), aErrNone);
    Bytes echoed{0x17};
    echoed.insert(echoed.end(), payload.begin(), payload.begin() + 27);
    EXPECT_EQ(length, 28);
    EXPECT_EQ(Bytes(buffer, buffer + length), echoed);
    EXPECT_EQ(sim.received(), std::vector<std::string>{wireText(kAddress, echoed)});
}

TEST_F(ApiValues, ChecksBeforeAnyInputOrOutput) {
    const uint8_t data[1] = {0};
    uint8_t length = 1;
    uint8_t buffer[28];
    uei record = getRequest(3, 9);
    record.module = 0xAD;
    sim.mark();
    EXPECT_EQ(link->sendUEI(record), aErrPacket);
    EXPECT_EQ(link->sendUEI(record, 1), aErrPacket);
    EXPECT_EQ(link->receiveUEI(0xAD, 3, 9, 0, &record), aErrPacket);
    EXPECT_EQ(link->dropMatchingUEIPackets(0, 3, 9, 0), aErrPacket);
    EXPECT_EQ(link->sendPacket(0xAD, 0x17, 1, data), aErrPacket);
    EXPECT_EQ(link->receivePacket(0xAD, data, &length, buffer), aErrPacket);
    EXPECT_TRUE(sentBeforeFence().empty());

    module.disconnect();
    record.module = kAddress;
    EXPECT_EQ(link->sendUEI(record), aErrConnection);
    EXPECT_EQ(link->sendUEI(record, 1), aErrConnection);
    EXPECT_EQ(link->receiveUEI(kAddress, 3, 9, 0, &record), aErrConnection);
    EXPECT_EQ(link->dropMatchingUEIPackets(0xAD, 3, 9, 0), aErrConnection);
    EXPECT_EQ(link->sendPacket(kAddress, 0x17, 40, data), aErrConnection);
    EXPECT_EQ(link->receivePacket(kAddress, data, &length, buffer), aErrConnection);
}

}  // namespace
