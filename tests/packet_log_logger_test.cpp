// The logger thread against real files in a temporary directory: appending, prompt
// stops, one thread per logger, and the refusals of invalid handles.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "aLogger.h"
#include "aTime.h"
#include "tempdir.h"
#include "wait_until.h"

using namespace std::chrono_literals;
using testsupport::readWholeFile;
using testsupport::TempDir;
using testsupport::writeWholeFile;

namespace {

struct Counter {
    std::atomic<int> calls{0};
    std::atomic<int> running{0};
    std::atomic<int> overlapped{0};
};

Counter gCounter;

// Writes one "x" per call, and notes whether two threads ever ran it at once.
void writeMark(void* file, uint32_t param) {
    if (gCounter.running.fetch_add(1) != 0) gCounter.overlapped = 1;
    aFile_Printf(static_cast<aFileRef>(file), "%c", static_cast<char>(param));
    ++gCounter.calls;
    aTime_MSSleep(2);
    --gCounter.running;
}

bool waitForCalls(int count, std::chrono::milliseconds limit) {
    return testsupport::waitUntil([&] { return gCounter.calls >= count; }, limit, 1ms);
}

TEST(PacketLogLogger, AppendsToTheFileAndStopsPromptly) {
    TempDir dir;
    const std::string path = dir.file("log.txt");
    writeWholeFile(path, "kept\n");
    gCounter.calls = 0;
    aLoggerRef logger = aLogger_Create('x', writeMark, path.c_str());
    ASSERT_NE(logger, nullptr);
    EXPECT_EQ(logger->enabled, 0);
    EXPECT_EQ(logger->param, static_cast<uint32_t>('x'));
    EXPECT_EQ(aLogger_Disable(logger), aErrNone);

    ASSERT_EQ(aLogger_Enable(logger), aErrNone);
    EXPECT_EQ(aLogger_Enable(logger), aErrNone);
    ASSERT_TRUE(waitForCalls(5, 30s));
    const auto stopStart = std::chrono::steady_clock::now();
    EXPECT_EQ(aLogger_Disable(logger), aErrNone);
    EXPECT_LT(std::chrono::steady_clock::now() - stopStart, 100ms);
    EXPECT_EQ(gCounter.overlapped, 0) << "a second enable started a second thread";

    // Unbuffered: everything written is in the file once the thread has stopped.
    const int calls = gCounter.calls;
    const std::string content = readWholeFile(path);
    EXPECT_EQ(content, "kept\n" + std::string(calls, 'x'));
    std::this_thread::sleep_for(20ms);
    EXPECT_EQ(gCounter.calls, calls);

    // Enabled again, it goes on appending to the same file.
    ASSERT_EQ(aLogger_Enable(logger), aErrNone);
    ASSERT_TRUE(waitForCalls(calls + 2, 30s));
    EXPECT_EQ(aLogger_Destroy(&logger), aErrNone);
    EXPECT_EQ(logger, nullptr);
    EXPECT_EQ(readWholeFile(path), "kept\n" + std::string(gCounter.calls, 'x'));
}

TEST(PacketLogLogger, InvalidHandlesAreRefusedOrIgnored) {
    TempDir dir;
    EXPECT_EQ(aLogger_Create(0, writeMark, dir.file("missing/log.txt").c_str()), nullptr);
    EXPECT_EQ(aLogger_Create(0, nullptr, dir.file("log.txt").c_str()), nullptr);
    EXPECT_EQ(aLogger_Enable(nullptr), aErrParam);
    EXPECT_EQ(aLogger_Disable(nullptr), aErrParam);
    aLoggerRef none = nullptr;
    EXPECT_EQ(aLogger_Destroy(&none), aErrNone);
    EXPECT_EQ(aLogger_Destroy(nullptr), aErrNone);

    aLoggerRef logger = aLogger_Create(0, writeMark, dir.file("log.txt").c_str());
    ASSERT_NE(logger, nullptr);
    logger->check = 0;
    EXPECT_EQ(aLogger_Enable(logger), aErrParam);
    aLoggerRef forged = logger;
    EXPECT_EQ(aLogger_Destroy(&forged), aErrNone);
    EXPECT_EQ(forged, logger) << "a handle with a wrong check word is left alone";
    logger->check = aLOGGER_CHECK;
    EXPECT_EQ(aLogger_Destroy(&logger), aErrNone);
}

// Stopping from within the procedure changes nothing; the thread goes on.
std::atomic<aErr> gSelfDisable{aErrUnknown};
std::atomic<aErr> gSelfDestroy{aErrUnknown};
std::atomic<int> gSelfCalls{0};
aLoggerRef gSelf = nullptr;

void stopMyself(void*, uint32_t) {
    if (gSelfCalls++ == 0) {
        gSelfDisable = aLogger_Disable(gSelf);
        aLoggerRef self = gSelf;
        gSelfDestroy = aLogger_Destroy(&self);
    }
    aTime_MSSleep(1);
}

TEST(PacketLogLogger, ProcedureCannotStopItsOwnLogger) {
    TempDir dir;
    gSelf = aLogger_Create(0, stopMyself, dir.file("log.txt").c_str());
    ASSERT_NE(gSelf, nullptr);
    ASSERT_EQ(aLogger_Enable(gSelf), aErrNone);
    testsupport::waitUntil([] { return gSelfCalls >= 3; }, 30s, 1ms);
    EXPECT_GE(gSelfCalls, 3);
    EXPECT_EQ(gSelfDisable, aErrNone);
    EXPECT_EQ(gSelfDestroy, aErrBusy);
    EXPECT_EQ(gSelf->enabled, 1);
    EXPECT_EQ(aLogger_Destroy(&gSelf), aErrNone);
    EXPECT_EQ(gSelf, nullptr);
}

}  // namespace
