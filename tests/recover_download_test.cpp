// The fingerprint form of Download_Firmware against the simulated update server: the
// server names serial number and build for a chip, and the build lands in the store.
#include <gtest/gtest.h>

#include <string>

#include "Updater.h"
#include "process.h"
#include "tempdir.h"
#include "update_server_sim.h"

using testsupport::TempDir;
using testsupport::writeFixture;

namespace {

class Recorder : public UpdaterDisplayInterface {
public:
    void display_progress(bool) override {}
    void update_progress(double, const char*) override {}
    void update_spinner(bool, const char*) override {}
    void info_message(const char*) override {}
    void error_message(const char* text) override { errors += std::string(text) + "\n"; }
    std::string errors;
};

TEST(RecoverDownload, TheServerNamesSerialAndBuildForAFingerprint) {
    TempDir fixtures;
    writeFixture(fixtures.path(), "fingerprints.txt", "0000000A 0000000B 0000000C 0000000D 40F5849A 1234\n");
    writeFixture(fixtures.path(), "40F5849A/latest.txt", "1234\nmodfirm\n");
    writeFixture(fixtures.path(), "40F5849A/builds.txt", "1234;1.3.0\n1300;1.4.0\n");
    const std::string firmware =
        testsupport::runProcess({"/usr/bin/python3",
                                 testsupport::requiredEnv("SOURCE_DIR") + "/tools/trel_builder/trel_builder.py",
                                 "--out", fixtures.file("built.trel"), "--firmware-block", "0x4000:DEADBEEF", "--info",
                                 "1234", "1.3.0", "40F5849A", "19"})
                    .exitCode == 0
            ? testsupport::readWholeFile(fixtures.file("built.trel"))
            : "";
    ASSERT_FALSE(firmware.empty());
    writeFixture(fixtures.path(), "40F5849A/1234.trel", firmware);
    writeFixture(fixtures.path(), "40F5849A/1300.trel", firmware);
    testsupport::UpdateServerSim server(fixtures.path());
    ASSERT_FALSE(server.url().empty());

    const struct {
        Fingerprint fp;
        const char* buildText;
        uint32_t expected;
    } cases[] = {{{{10, 11, 12, 13}}, "", 1234},
                 {{{10, 11, 12, 13}}, "1300", 1300},
                 {{{10, 11, 12, 13}}, "abc", 1234},
                 {{{13, 12, 11, 10}}, "", 0}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.buildText);
        TempDir store;
        Recorder display;
        Updater updater(server.url().c_str(), store.path().c_str(), display);
        EXPECT_EQ(updater.Download_Firmware(c.fp, c.buildText, false), c.expected);
        if (c.expected != 0) {
            EXPECT_TRUE(testsupport::fileExists(store.file("40F5849A/" + std::to_string(c.expected) + ".trel")));
            EXPECT_EQ(display.errors, "");
        } else {
            EXPECT_EQ(display.errors, "Failed to retrieve recovery information from Veltrane update server\n");
        }
    }
}

}  // namespace
