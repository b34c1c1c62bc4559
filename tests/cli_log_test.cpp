// The diagnostic log: package masks as -X sets them, the always-written mask 0,
// the length limit and the missing output stream.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "CommandLine.h"
#include "Log.h"
#include "UpdaterDisplayInterface.h"

namespace {

class NullDisplay : public UpdaterDisplayInterface {
public:
    void display_progress(bool) override {}
    void update_progress(double, const char*) override {}
    void update_spinner(bool, const char*) override {}
    void info_message(const char*) override {}
    void error_message(const char*) override {}
};

class CliLog : public ::testing::Test {
protected:
    void SetUp() override {
        Log::DeactivatePackage(0xFFFFFFFFu);
        sink = tmpfile();
        ASSERT_NE(sink, nullptr);
        Log::SetOutput(sink);
    }
    void TearDown() override {
        Log::SetOutput(nullptr);
        Log::DeactivatePackage(0xFFFFFFFFu);
        fclose(sink);
    }

    std::string written() {
        fflush(sink);
        rewind(sink);
        std::string text;
        char buffer[4096];
        size_t n;
        while ((n = fread(buffer, 1, sizeof buffer, sink)) > 0) text.append(buffer, n);
        return text;
    }

    // Sets the package mask the way the command line does.
    void parseMask(const char* mask) {
        std::vector<std::string> words = {"updater", "-X", mask};
        char* argv[] = {&words[0][0], &words[1][0], &words[2][0], nullptr};
        NullDisplay display;
        Parameters params;
        ASSERT_EQ(_get_params(display, 3, argv, params), 0);
    }

    FILE* sink = nullptr;
};

TEST_F(CliLog, PackageOutsideTheMaskIsSilent) {
    parseMask("0x10");
    Log::log(DEBUG_ServerComm, "GET(%s)\n", "x");
    EXPECT_EQ(written(), "");
}

TEST_F(CliLog, PackageInsideTheMaskIsWritten) {
    parseMask("0x30");
    Log::log(DEBUG_ServerComm, "GET(%s)\n", "x");
    EXPECT_EQ(written(), "GET(x)\n");
}

TEST_F(CliLog, MaskZeroAlwaysWrites) {
    Log::log(0, "always %d\n", 1);
    parseMask("0x1");
    Log::log(0, "always %d", 2);
    EXPECT_EQ(written(), "always 1\nalways 2");
}

TEST_F(CliLog, AnySharedBitWrites) {
    Log::ActivatePackage(DEBUG_APP | DEBUG_Updater);
    Log::log(DEBUG_APP | DEBUG_iMXSerial, "a");
    Log::DeactivatePackage(DEBUG_APP);
    Log::log(DEBUG_APP, "b");
    Log::log(DEBUG_Updater, "c");
    EXPECT_EQ(written(), "ac");
    EXPECT_EQ(Log::package_bitmask, DEBUG_Updater);
}

TEST_F(CliLog, LongMessageCutTo2047) {
    const std::string longText(5000, 'q');
    Log::log(0, "%s", longText.c_str());
    EXPECT_EQ(written(), longText.substr(0, 2047));
}

TEST_F(CliLog, NoStreamWritesNothing) {
    Log::SetOutput(nullptr);
    Log::log(0, "nowhere\n");
    Log::SetOutput(sink);
    EXPECT_EQ(written(), "");
}

}  // namespace
