// The loader protocol entity against the simulated module over loopback TCP: chunking,
// sums, pieces, resends, replies that come late, and what it refuses to send.
#include <gtest/gtest.h>

#include <arpa/inet.h>

#include <chrono>
#include <cstring>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "Module.h"
#include "ModuleNetworkConfig.h"
#include "UpdaterDisplayInterface.h"
#include "UpdaterEntity.h"
#include "modsim_process.h"
#include "tempdir.h"

using namespace std::chrono_literals;
using testsupport::ModsimProcess;
using testsupport::TempDir;
using Veltrane::Corvalith::Module;

namespace {

class RecordingDisplay : public UpdaterDisplayInterface {
public:
    void display_progress(bool show) override { shown.push_back(show); }
    void update_progress(double fraction, const char*) override { fractions.push_back(fraction); }
    void update_spinner(bool, const char*) override {}
    void info_message(const char*) override {}
    void error_message(const char*) override {}

    std::vector<bool> shown;
    std::vector<double> fractions;
};

// A block's data as the firmware file holds it: the load address word, then the image.
std::vector<uint8_t> blockData(uint32_t address, size_t imageLength) {
    std::vector<uint8_t> data{static_cast<uint8_t>(address >> 24), static_cast<uint8_t>(address >> 16),
                              static_cast<uint8_t>(address >> 8), static_cast<uint8_t>(address)};
    for (size_t i = 0; i < imageLength; ++i) data.push_back(static_cast<uint8_t>(i * 13 + 7));
    return data;
}

uint32_t length(const std::vector<uint8_t>& data) {
    return static_cast<uint32_t>(data.size());
}

class UpdateEntity : public ::testing::Test {
protected:
    void SetUp() override {
        sim = std::make_unique<ModsimProcess>(dir.path(), std::vector<std::string>{"--tcp", "127.0.0.1:0"});
        ASSERT_TRUE(sim->ready());
        ASSERT_EQ(_disableWeave(module, display), aErrNone);
        linkSpec spec;
        std::memset(&spec, 0, sizeof spec);
        spec.type = TCPIP;
        inet_pton(AF_INET, "127.0.0.1", &spec.ipAddress);
        spec.port = sim->tcpPort();
        ASSERT_EQ(module.connectFromSpec(spec), aErrNone);
        entity.init(&module, 0, true, false);
    }

    // Loader sent and started: the module now takes firmware pieces.
    void startLoader() {
        const auto loader = blockData(0x10000000, 30);
        uint16_t piece = 0;
        ASSERT_EQ(entity.LoaderInit(), aErrNone);
        ASSERT_EQ(entity.TransferPrepare(loader.data(), length(loader), 0, piece), aErrNone);
        ASSERT_EQ(entity.LoaderTransfer(loader.data(), length(loader)), aErrNone);
        ASSERT_EQ(entity.LoaderStart(), aErrNone);
    }

    size_t logged(const std::string& prefix) const {
        size_t count = 0;
        for (const auto& line : sim->logLines()) count += line.rfind(prefix, 0) == 0;
        return count;
    }

    TempDir dir;
    std::unique_ptr<ModsimProcess> sim;
    RecordingDisplay display;
    Module module{0, 0};
    UpdaterEntity entity;
};

TEST_F(UpdateEntity, ALoaderImageGoesInChunksOf26WithOneSum) {
    const auto loader = blockData(0x10000000, 27);
    uint16_t piece = 0;
    ASSERT_EQ(entity.LoaderInit(), aErrNone);
    ASSERT_EQ(entity.TransferPrepare(loader.data(), length(loader), 2, piece), aErrNone);
    EXPECT_EQ(piece, 512);
    ASSERT_EQ(entity.LoaderTransfer(loader.data(), length(loader)), aErrNone);
    EXPECT_EQ(logged("rx 02 1C 5F 01 "), 1u);
    EXPECT_EQ(logged("rx 02 03 5F 01 "), 1u);
    EXPECT_EQ(sim->countInLog("rx 02 02 5F 04"), 1u);
    EXPECT_TRUE(sim->waitForLog("ev loader 0x02 prepare loader at 0x10000000 flags 2 piece 512"));
}

// A firmware block of 1300 bytes in pieces of 512: 512, 512 and 276, each summed and
// written with its own length; the bar ends at exactly 1.
TEST_F(UpdateEntity, FirmwareGoesInPiecesEachSummedAndWritten) {
    startLoader();
    const auto firmware = blockData(0x4000, 1300);
    uint16_t piece = 0;
    ASSERT_EQ(entity.TransferPrepare(firmware.data(), length(firmware), 0, piece), aErrNone);
    ASSERT_EQ(entity.FirmwareTransfer(firmware.data(), length(firmware), piece, display), aErrNone);
    EXPECT_EQ(sim->countInLog("ev loader 0x02 write 512 at 0x00004000"), 1u);
    EXPECT_EQ(sim->countInLog("ev loader 0x02 write 512 at 0x00004200"), 1u);
    EXPECT_EQ(sim->countInLog("ev loader 0x02 write 276 at 0x00004400"), 1u);
    EXPECT_EQ(sim->countInLog("rx 02 04 5F 05 01 14"), 1u);
    EXPECT_EQ(display.shown, (std::vector<bool>{true, false}));
    ASSERT_EQ(display.fractions.size(), 3u);
    EXPECT_DOUBLE_EQ(display.fractions.back(), 1.0);
}

// The module counts a chunk one short: the chunk goes again and the sum counts it once.
TEST_F(UpdateEntity, AChunkWithAWrongCountIsSentAgain) {
    const auto loader = blockData(0x10000000, 30);
    uint16_t piece = 0;
    ASSERT_EQ(entity.LoaderInit(), aErrNone);
    ASSERT_EQ(entity.TransferPrepare(loader.data(), length(loader), 0, piece), aErrNone);
    ASSERT_EQ(sim->control("fault loader data-count"), "ok");
    EXPECT_EQ(entity.LoaderTransfer(loader.data(), length(loader)), aErrNone);
    EXPECT_EQ(logged("rx 02 1C 5F 01 "), 2u);
    EXPECT_EQ(logged("rx 02 06 5F 01 "), 1u);
}

TEST_F(UpdateEntity, WithoutTheSumCheckNoSumIsAsked) {
    entity.init(&module, 0, false, false);
    const auto loader = blockData(0x10000000, 30);
    uint16_t piece = 0;
    ASSERT_EQ(entity.LoaderInit(), aErrNone);
    ASSERT_EQ(entity.TransferPrepare(loader.data(), length(loader), 0, piece), aErrNone);
    EXPECT_EQ(entity.LoaderTransfer(loader.data(), length(loader)), aErrNone);
    EXPECT_EQ(sim->countInLog("rx 02 02 5F 04"), 0u);
}

// A PREPARE answered after the host gave up leaves a 5F 07 reply in the queue; the SUM,
// answered with 5F 07 too, must take its own reply and not that one.
TEST_F(UpdateEntity, ALateReplyNeverAnswersTheNextExchange) {
    const auto loader = blockData(0x10000000, 30);
    uint16_t piece = 0;
    ASSERT_EQ(entity.LoaderInit(), aErrNone);
    ASSERT_EQ(sim->control("fault delay 1300"), "ok");
    EXPECT_EQ(entity.TransferPrepare(loader.data(), length(loader), 0, piece), aErrTimeout);
    ASSERT_TRUE(sim->waitForLog("tx 02 05 5F 07 00 02 00"));
    std::this_thread::sleep_for(100ms);
    EXPECT_EQ(entity.LoaderTransfer(loader.data(), length(loader)), aErrNone);
}

struct FaultCase {
    const char* name;
    const char* fault;
    bool firmwareStage;
    aErr expected;
};

void PrintTo(const FaultCase& c, std::ostream* os) {
    *os << c.name;
}

class UpdateEntityFaults : public UpdateEntity, public ::testing::WithParamInterface<FaultCase> {};

TEST_P(UpdateEntityFaults, AFaultyAnswerFailsTheTransfer) {
    const FaultCase& c = GetParam();
    if (c.firmwareStage) startLoader();
    const auto block = blockData(c.firmwareStage ? 0x4000 : 0x10000000, 100);
    uint16_t piece = 0;
    if (!c.firmwareStage) {
        ASSERT_EQ(entity.LoaderInit(), aErrNone);
    }
    ASSERT_EQ(sim->control(std::string("fault loader ") + c.fault), "ok");
    const auto started = std::chrono::steady_clock::now();
    aErr result = entity.TransferPrepare(block.data(), length(block), 0, piece);
    if (result == aErrNone) {
        result = c.firmwareStage ? entity.FirmwareTransfer(block.data(), length(block), piece, display)
                                 : entity.LoaderTransfer(block.data(), length(block));
    }
    EXPECT_EQ(result, c.expected);
    EXPECT_LT(std::chrono::steady_clock::now() - started, 1s);
}

INSTANTIATE_TEST_SUITE_P(Update, UpdateEntityFaults,
                         ::testing::Values(FaultCase{"SumOneTooHigh", "sum", false, aErrInvalidOption},
                                           FaultCase{"WriteStatus3", "write", true, aErrInvalidOption},
                                           FaultCase{"PieceSizeZero", "piece-zero", true, aErrInvalidOption}),
                         [](const ::testing::TestParamInfo<FaultCase>& c) { return std::string(c.param.name); });

// A block too short to hold its load address has no image: nothing of it is sent.
TEST_F(UpdateEntity, ABlockShorterThanItsAddressIsRefused) {
    const std::vector<uint8_t> stub{0x00, 0x00, 0x40};
    uint16_t piece = 0;
    EXPECT_EQ(entity.TransferPrepare(stub.data(), length(stub), 0, piece), aErrSize);
    EXPECT_EQ(entity.LoaderTransfer(stub.data(), length(stub)), aErrSize);
    EXPECT_EQ(entity.FirmwareTransfer(stub.data(), length(stub), 512, display), aErrSize);
    std::this_thread::sleep_for(100ms);
    EXPECT_EQ(logged("rx 02 "), 0u);
}

// The module drops its link as it restarts into the loader and answers LOAD on the new
// one; the entity reconnects with the stored TCP/IP link specifier.
TEST_F(UpdateEntity, LoaderStartReconnectsWhereTheModuleWas) {
    ASSERT_EQ(sim->control("load-way reconnect"), "ok");
    ASSERT_EQ(entity.LoaderInit(), aErrNone);
    EXPECT_EQ(entity.LoaderStart(), aErrNone);
    EXPECT_TRUE(module.isConnected());
    EXPECT_TRUE(sim->waitForLog("ev disconnect restart into loader"));
    EXPECT_TRUE(sim->waitForLog("ev after probe: 02 02 5F 02"));
}

// A loader that confirms its start as soon as the host is back: the confirmation comes
// over the connection the stream made again in place, so the first wait takes it and
// the entity never disconnects to reconnect.
TEST_F(UpdateEntity, LoaderStartTakesAConfirmationFromTheRestartedModule) {
    ASSERT_EQ(sim->control("load-way announce"), "ok");
    ASSERT_EQ(entity.LoaderInit(), aErrNone);
    EXPECT_EQ(entity.LoaderStart(), aErrNone);
    EXPECT_TRUE(module.isConnected());
    EXPECT_TRUE(sim->waitForLog("ev announce after connect: 02 02 5F 02"));
    EXPECT_EQ(logged("ev disconnect"), 1u) << "the entity dropped the restarted module's connection";
}

}  // namespace
