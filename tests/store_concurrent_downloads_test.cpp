// -G into one store while other -G store into it, and -G ended or failing between putting
// its firmware file in place and recording it: every run that ends with 0 has its file and
// its record, the settings file stays whole with every writer's and the user's keys, and the
// record never names a file that is not there. Against the simulated update server.
#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "process.h"
#include "running_process.h"
#include "store_records.h"
#include "tempdir.h"

using testsupport::DownloadStore;
using testsupport::fileExists;
using testsupport::namesIn;
using testsupport::parseSettings;
using testsupport::ProcessResult;
using testsupport::readFileOrEmpty;
using testsupport::readWholeFile;
using testsupport::RunningProcess;
using testsupport::writeFixture;
using testsupport::writeWholeFile;

namespace {

using namespace std::chrono_literals;

const char* const SERIAL = "40F5849A";
const char* const USER_LINE = "MY_NOTE=kept by its user\n";
// Two downloads whose replies arrived together damaged the store in a quarter to a third of
// all rounds; four at once give six such pairs a round, and this many rounds catch it all
// but surely in some seconds.
const int kRounds = 10;
const int kFewestRounds = 4;
const auto kRoundsTime = std::chrono::seconds(60);

// A user's long notes in the record make each write of it last, as a well-used record does.
std::string userNotes() {
    std::string notes;
    for (int i = 0; i < 1500; ++i) notes += "NOTE_" + std::to_string(1000 + i) + "=" + std::string(50, 'n') + "\n";
    return notes;
}
// Large enough that storing a file takes a moment in which the other run stores too.
const size_t kPayloadBytes = 256 * 1024;

struct RaceCase {
    const char* name;
    std::vector<std::string> builds;  // one run for each, all at once
    bool newModule;                   // the store has no directory for the module when they start
};

void PrintTo(const RaceCase& c, std::ostream* os) {
    *os << c.name;
}

class ConcurrentDownloads : public ::testing::TestWithParam<RaceCase> {
protected:
    void SetUp() override {
        const std::string device = std::string(SERIAL) + "/";
        writeFixture(store.fixtures.path(), device + "latest.txt", "102\nmodfirm\n");
        writeFixture(store.fixtures.path(), device + "builds.txt", "101;1.0.1\n102;1.0.2\n103;1.0.3\n104;1.0.4\n");
        for (const char* build : {"101", "102", "103", "104"}) {
            firmware[build] = testsupport::buildFirmware(work, SERIAL, build, "1.0.0", kPayloadBytes);
            writeFixture(store.fixtures.path(), device + build + ".trel", firmware[build]);
        }
        // Each firmware reply waits until every run asked, so all of them store at once.
        store.serve({"--hold-firmware", std::to_string(GetParam().builds.size()), "--hold-seconds", "30"});
        ASSERT_FALSE(store.server->url().empty());
    }

    testsupport::TempDir work;
    DownloadStore store;
    std::map<std::string, std::string> firmware;
};

TEST_P(ConcurrentDownloads, EveryRunKeepsItsFileAndItsRecord) {
    const RaceCase& c = GetParam();
    const std::string module = store.moduleDir(SERIAL);
    if (!c.newModule) {
        std::filesystem::create_directories(module);
        writeWholeFile(module + "/.settings",
                       std::string("CREATED_TIME=Mon Jan  1 00:00:00 2024\n") + USER_LINE + userNotes());
    }
    const std::set<std::string> builds(c.builds.begin(), c.builds.end());
    std::set<std::string> allowed = {".settings", ".settings.lock"};
    for (const std::string& build : builds) allowed.insert(build + ".trel");

    // A machine too loaded for every round still gets a few, within the test's time limit.
    const auto deadline = std::chrono::steady_clock::now() + kRoundsTime;
    int round = 1;
    for (; round <= kRounds && !HasFailure(); ++round) {
        if (round > kFewestRounds && std::chrono::steady_clock::now() > deadline) break;
        SCOPED_TRACE("round " + std::to_string(round));
        if (c.newModule) std::filesystem::remove_all(module);
        std::vector<std::unique_ptr<RunningProcess>> runs;
        for (const std::string& build : c.builds)
            runs.push_back(
                std::make_unique<RunningProcess>(store.argv({"-G", "-d", SERIAL, "-b", build}), store.env()));
        for (auto& run : runs) {
            const ProcessResult result = run->finish(90s);
            EXPECT_EQ(result.exitCode, 0) << result.out << result.err;
        }
        for (const std::string& build : builds)
            EXPECT_EQ(readFileOrEmpty(module + "/" + build + ".trel"), firmware[build]) << build;

        const std::string text = readFileOrEmpty(module + "/.settings");
        const auto settings = parseSettings(text);
        EXPECT_TRUE(settings.strayLines.empty()) << text;
        EXPECT_TRUE(settings.endsWithNewline) << text;
        const auto latest = settings.entries.find("LATEST_DOWNLOAD");
        ASSERT_NE(latest, settings.entries.end()) << text;
        EXPECT_EQ(builds.count(latest->second.substr(0, latest->second.find(".trel"))), 1u) << text;
        EXPECT_TRUE(fileExists(module + "/" + latest->second)) << text;
        EXPECT_EQ(settings.entries.count("LAST_DOWNLOAD_DATE"), 1u) << text;
        EXPECT_EQ(settings.entries.count("CREATED_TIME"), 1u) << text;
        if (!c.newModule) {
            EXPECT_NE(text.find(USER_LINE + userNotes()), std::string::npos) << text;
        }
        for (const std::string& name : namesIn(module)) EXPECT_EQ(allowed.count(name), 1u) << name << " left behind";
    }
    std::printf("%d rounds of %zu downloads at once\n", round - 1, c.builds.size());
    // The replies went out together: the runs really overlapped.
    size_t together = 0;
    for (const std::string& line : store.server->requests()) together += line == "# firmware reply released together";
    EXPECT_GT(together, 0u);
}

INSTANTIATE_TEST_SUITE_P(Store, ConcurrentDownloads,
                         ::testing::Values(RaceCase{"DifferentBuilds", {"101", "102", "103", "104"}, false},
                                           RaceCase{"SameBuild", {"101", "101", "101", "101"}, false},
                                           RaceCase{"NewModule", {"101", "101", "102", "103"}, true}),
                         [](const ::testing::TestParamInfo<RaceCase>& caseInfo) {
                             return std::string(caseInfo.param.name);
                         });

// The store before the faulty run holds build 1100 (recorded), or an older file of build 1234
// (recorded) that the run is to replace with the server's newer one.
enum class Before { Build1100, Older1234 };
// What 1234.trel holds after the faulty run.
enum class After { Absent, Older, Newer };

struct StepFault {
    const char* name;
    const char* renameFault;  // RENAME_FAULT for the faulty run (tests/preload/rename_fault.cpp)
    Before before;
    int exitCode;
    After file1234;
    std::vector<std::string> messages;  // on standard error; MODULE stands for the module directory
};

void PrintTo(const StepFault& c, std::ostream* os) {
    *os << c.name;
}

std::string withModule(std::string text, const std::string& module) {
    for (size_t at = text.find("MODULE"); at != std::string::npos; at = text.find("MODULE", at + module.size()))
        text.replace(at, 6, module);
    return text;
}

class DownloadStepFaults : public ::testing::TestWithParam<StepFault> {
protected:
    void SetUp() override {
        const std::string device = std::string(SERIAL) + "/";
        writeFixture(store.fixtures.path(), device + "latest.txt", "1234\nmodfirm\n");
        writeFixture(store.fixtures.path(), device + "builds.txt", "1100;1.1.0\n1234;1.3.0\n");
        firmware1100 = testsupport::buildFirmware(work, SERIAL, "1100", "1.1.0", 4096);
        older1234 = testsupport::buildFirmware(work, SERIAL, "1234", "1.2.9", 4096);
        newer1234 = testsupport::buildFirmware(work, SERIAL, "1234", "1.3.0", 4096);
        writeFixture(store.fixtures.path(), device + "1100.trel", firmware1100);
        writeFixture(store.fixtures.path(), device + "1234.trel", older1234);
        store.serve();
        ASSERT_FALSE(store.server->url().empty());
    }

    std::string fileOf(const std::string& name) const { return readFileOrEmpty(store.moduleDir(SERIAL) + "/" + name); }

    testsupport::TempDir work;
    DownloadStore store;
    std::string firmware1100;
    std::string older1234;
    std::string newer1234;
};

TEST_P(DownloadStepFaults, TheStoreKeepsItsRecordAndItsFiles) {
    const StepFault& c = GetParam();
    const std::string module = store.moduleDir(SERIAL);
    const char* const earlier = c.before == Before::Build1100 ? "1100" : "1234";
    const auto stored = store.run({"-G", "-d", SERIAL, "-b", earlier});
    ASSERT_EQ(stored.exitCode, 0) << stored.err;
    writeWholeFile(module + "/.settings", readWholeFile(module + "/.settings") + USER_LINE);
    writeFixture(store.fixtures.path(), std::string(SERIAL) + "/1234.trel", newer1234);
    const std::string record = readWholeFile(module + "/.settings");

    const ProcessResult faulty = store.run(
        {"-G", "-d", SERIAL, "-b", "1234"},
        {"LD_PRELOAD=" + testsupport::requiredEnv("RENAME_FAULT_LIB"), std::string("RENAME_FAULT=") + c.renameFault});
    EXPECT_EQ(faulty.exitCode, c.exitCode) << faulty.out << faulty.err;
    for (const std::string& message : c.messages)
        EXPECT_NE(faulty.err.find(withModule(message, module)), std::string::npos) << faulty.err;

    // The record is the one from before, naming a whole file.
    EXPECT_EQ(readWholeFile(module + "/.settings"), record);
    const std::string latest = parseSettings(record).entries["LATEST_DOWNLOAD"];
    EXPECT_EQ(latest, std::string(earlier) + ".trel");
    if (c.before == Before::Build1100) {
        EXPECT_EQ(fileOf("1100.trel"), firmware1100);
    }
    switch (c.file1234) {
    case After::Absent:
        EXPECT_FALSE(fileExists(module + "/1234.trel"));
        break;
    case After::Older:
        EXPECT_EQ(fileOf("1234.trel"), older1234);
        break;
    case After::Newer:
        EXPECT_EQ(fileOf("1234.trel"), newer1234);
        break;
    }

    // What an interrupted run left behind does not disturb the next one.
    const ProcessResult again = store.run({"-G", "-d", SERIAL, "-b", "1234"});
    EXPECT_EQ(again.exitCode, 0) << again.err;
    EXPECT_EQ(fileOf("1234.trel"), newer1234);
    const std::string after = readWholeFile(module + "/.settings");
    EXPECT_EQ(parseSettings(after).entries["LATEST_DOWNLOAD"], "1234.trel") << after;
    EXPECT_NE(after.find(USER_LINE), std::string::npos) << after;
    // Nor does it stay: the next download takes away the firmware copies it left.
    for (const std::string& name : namesIn(module))
        EXPECT_EQ(name.find(".trel.tmp."), std::string::npos) << name << " left behind";
}

// Downloads ended one after another as they store their file (a power cut, a kill): each
// leaves a whole copy of the firmware under a name of its own, which the next download that
// stores a file removes, whatever build it was for; the copies never pile up.
TEST(DownloadLeftovers, TheNextDownloadRemovesTheCopiesOfEndedOnes) {
    testsupport::TempDir work;
    DownloadStore store;
    const std::string device = std::string(SERIAL) + "/";
    writeFixture(store.fixtures.path(), device + "latest.txt", "102\nmodfirm\n");
    writeFixture(store.fixtures.path(), device + "builds.txt", "101;1.0.1\n102;1.0.2\n");
    for (const char* build : {"101", "102"})
        writeFixture(store.fixtures.path(), device + build + ".trel",
                     testsupport::buildFirmware(work, SERIAL, build, "1.0.0", 4096));
    store.serve();
    ASSERT_FALSE(store.server->url().empty());
    const std::string module = store.moduleDir(SERIAL);
    const std::vector<std::string> killed = {"LD_PRELOAD=" + testsupport::requiredEnv("RENAME_FAULT_LIB"),
                                             "RENAME_FAULT=.trel:kill"};
    for (const char* build : {"101", "101", "102"})
        EXPECT_EQ(store.run({"-G", "-d", SERIAL, "-b", build}, killed).exitCode, 128 + SIGKILL);
    size_t copies = 0;
    for (const std::string& name : namesIn(module)) copies += name.find(".trel.tmp.") != std::string::npos;
    EXPECT_EQ(copies, 1u) << "the last ended download's copy, and only that";

    const ProcessResult stored = store.run({"-G", "-d", SERIAL, "-b", "101"});
    EXPECT_EQ(stored.exitCode, 0) << stored.err;
    EXPECT_EQ(namesIn(module), (std::set<std::string>{".settings", ".settings.lock", "101.trel"}));
}

INSTANTIATE_TEST_SUITE_P(
    Store, DownloadStepFaults,
    ::testing::Values(
        // Killed as it puts the file in place: nothing changed.
        StepFault{
            "KilledBeforeTheFileIsInPlace", "/1234.trel:kill", Before::Build1100, 128 + SIGKILL, After::Absent, {}},
        // Killed between the file and its record: a whole new file that nothing names yet.
        StepFault{
            "KilledBetweenTheFileAndItsRecord", "/.settings:kill", Before::Build1100, 128 + SIGKILL, After::Newer, {}},
        StepFault{"FileNotPutInPlace",
                  "/1234.trel:EIO",
                  Before::Older1234,
                  1,
                  After::Older,
                  {"Failed to write file with 6\nMODULE/1234.trel: Input/output error\n"}},
        StepFault{"FileAndRecordRestoreFail",
                  "/1234.trel:EIO,/.settings:EIO:2",
                  Before::Build1100,
                  1,
                  After::Absent,
                  {"Failed to write file with 6\nMODULE/1234.trel: Input/output error\n"}},
        // The record cannot be written: the file it would have named is taken back.
        StepFault{"RecordNotWrittenForANewBuild",
                  "/.settings:EIO",
                  Before::Build1100,
                  1,
                  After::Absent,
                  {"Failed to save the settings file MODULE/.settings\nMODULE/.settings: Input/output error\n"}},
        StepFault{"RecordNotWrittenForAReplacedFile",
                  "/.settings:EIO",
                  Before::Older1234,
                  1,
                  After::Older,
                  {"Failed to save the settings file MODULE/.settings\nMODULE/.settings: Input/output error\n"}},
        // Neither the record nor the old file: the new, whole file stays, and the user is told.
        StepFault{"RecordNotWrittenAndOldFileNotPutBack",
                  "/.settings:EIO,/1234.trel:EIO:2",
                  Before::Older1234,
                  1,
                  After::Newer,
                  {"Failed to save the settings file MODULE/.settings\n",
                   "MODULE/1234.trel holds the new download, unrecorded; the file it replaced could not be put "
                   "back\nMODULE/1234.trel: Input/output error\n"}}),
    [](const ::testing::TestParamInfo<StepFault>& caseInfo) { return std::string(caseInfo.param.name); });

}  // namespace
