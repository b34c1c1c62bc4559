// Updates that are doubled or interrupted, as a user at a terminal causes them: two
// updater processes against simulated modules, and Ctrl-C or SIGTERM at each phase of an
// update followed by a second run that finishes it.
#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <filesystem>
#include <memory>

#include "firmware_update.h"
#include "modsim_process.h"
#include "process.h"
#include "running_process.h"
#include "tempdir.h"
#include "test_namespace.h"
#include "update_server_sim.h"
#include "updater_cli.h"
#include "byte_patterns.h"

using namespace std::chrono_literals;
using testsupport::FirmwareFile;
using testsupport::ModsimProcess;
using testsupport::ProcessResult;
using testsupport::readWholeFile;
using testsupport::RunningProcess;
using testsupport::TempDir;

using testsupport::fileExists;

namespace {

const char* const MODEL_NAME = "Hallvex";

// The module's events, for a failure message.
std::string eventsOf(const ModsimProcess& module) {
    std::string events;
    for (const auto& line : module.logLines())
        if (line.compare(0, 3, "ev ") == 0) events += line + "\n";
    return events;
}

// One simulated module on its own loopback address with its firmware file and dump.
struct Target {
    Target(const TempDir& dir, const std::string& serialText, const std::string& address) : serial(serialText) {
        file.serial = serial;
        file.model = MODEL_NAME;
        // Large enough that each stage lasts while the test watches the module's log.
        file.loader = testsupport::noiseText(24 * 1024, 99);
        file.firmware = {{0x4000, testsupport::noiseText(48 * 1024, 1)}, {0x20000, testsupport::noiseText(300, 2)}};
        path = testsupport::writeFirmwareFile(dir.file(serial + ".trel"), file);
        dump = dir.file(serial + ".bin");
        module = std::make_unique<ModsimProcess>(
            dir.path(),
            std::vector<std::string>{"--tcp", address + ":0", "--discovery", "--serial", serial, "--model", "19",
                                     "--load-way", "reconnect", "--piece-size", "256", "--dump-image", dump},
            "modsim-" + serial);
    }

    std::string serial;
    FirmwareFile file;
    std::string path;
    std::string dump;
    std::unique_ptr<ModsimProcess> module;
};

class UpdateGuard : public ::testing::Test {
protected:
    void SetUp() override {
        if (!testsupport::insideTestNamespace())
            GTEST_SKIP() << "refusing to send multicast outside the test namespace";
    }

    Target& addTarget(const std::string& serial, const std::string& address) {
        targets.push_back(std::make_unique<Target>(dir, serial, address));
        EXPECT_TRUE(targets.back()->module->ready());
        return *targets.back();
    }

    std::vector<std::string> updateArgs(const Target& target) const { return updateArgs(target, store); }
    static std::vector<std::string> updateArgs(const Target& target, const TempDir& storeDir) {
        return {testsupport::requiredEnv("UPDATER_BIN"),
                "-i",
                storeDir.path(),
                "-u",
                testsupport::kUnreachableServer,
                "-U",
                "-d",
                target.serial,
                "-f",
                target.path};
    }
    std::unique_ptr<RunningProcess> startUpdate(const Target& target) const {
        return std::make_unique<RunningProcess>(updateArgs(target), std::vector<std::string>{"HOME=" + store.path()});
    }
    // The update with the store mounted read-only, in a mount namespace of its own.
    std::unique_ptr<RunningProcess> startUpdateOnReadOnlyStore(const Target& target) const {
        std::vector<std::string> argv{
            "/usr/bin/unshare", "-m", "/bin/sh", "-c", "mount -o bind,ro \"$0\" \"$0\" && exec \"$@\"", store.path()};
        const std::vector<std::string> update = updateArgs(target);
        argv.insert(argv.end(), update.begin(), update.end());
        return std::make_unique<RunningProcess>(argv, std::vector<std::string>{"HOME=" + store.path()});
    }
    ProcessResult update(const Target& target) const {
        return testsupport::runProcess(updateArgs(target), 90s, {"HOME=" + store.path()});
    }

    std::string moduleDir(const Target& target) const { return store.path() + "/updater/" + target.serial; }
    std::string settings(const Target& target) const {
        const std::string path = moduleDir(target) + "/.settings";
        return testsupport::readFileOrEmpty(path);
    }

    // Holds the update where it stands: the module answers nothing until released.
    static void hold(Target& target) { ASSERT_EQ(target.module->control("fault silence on"), "ok"); }
    static void release(Target& target) { ASSERT_EQ(target.module->control("fault silence off"), "ok"); }

    void expectUpdated(const Target& target, const ProcessResult& result) const {
        EXPECT_EQ(result.exitCode, 0) << result.out << result.err;
        EXPECT_EQ(readWholeFile(target.dump), testsupport::imageOf(target.file.firmware));
        EXPECT_NE(settings(target).find("LATEST_TRANSFER=" + target.path + "\n"), std::string::npos)
            << settings(target);
    }

    TempDir dir;
    TempDir store;
    std::vector<std::unique_ptr<Target>> targets;
};

// The second update of a module that is being updated refuses at once, naming the
// module; the first one is not disturbed and finishes.
TEST_F(UpdateGuard, ASecondUpdateOfTheSameModuleRefusesAtOnce) {
    Target& target = addTarget("0000CAFE", "127.0.0.2");
    auto first = startUpdate(target);
    ASSERT_TRUE(target.module->waitForLog("ev loader 0x02 prepare firmware at 0x00004000 flags 0 piece 256", 1, 30s))
        << eventsOf(*target.module);
    hold(target);

    const auto started = std::chrono::steady_clock::now();
    const ProcessResult second = update(target);
    EXPECT_LT(std::chrono::steady_clock::now() - started, 5s);
    EXPECT_EQ(second.exitCode, 1);
    EXPECT_NE(second.err.find("Module 0000CAFE is busy: another update of it is running (lock "), std::string::npos)
        << second.err;
    EXPECT_NE(second.err.find(" is held by process " + std::to_string(first->pid()) + ")\n"), std::string::npos)
        << second.err;
    EXPECT_EQ(target.module->countInLog("ev loader 0x02 init"), 1u);

    release(target);
    expectUpdated(target, first->finish(90s));
}

// The lock is the machine's, not the store's: an update from another store (another user's
// home, another -i) refuses as busy while the first runs, and the first finishes undisturbed.
TEST_F(UpdateGuard, AnUpdateFromAnotherStoreRefusesAtOnce) {
    Target& target = addTarget("0000CAFE", "127.0.0.2");
    auto first = startUpdate(target);
    ASSERT_TRUE(target.module->waitForLog("ev loader 0x02 prepare firmware at 0x00004000 flags 0 piece 256", 1, 30s))
        << eventsOf(*target.module);
    hold(target);

    TempDir otherStore;
    const auto started = std::chrono::steady_clock::now();
    const ProcessResult second =
        testsupport::runProcess(updateArgs(target, otherStore), 90s, {"HOME=" + otherStore.path()});
    EXPECT_LT(std::chrono::steady_clock::now() - started, 5s);
    EXPECT_EQ(second.exitCode, 1);
    EXPECT_NE(second.err.find("Module 0000CAFE is busy: another update of it is running ("), std::string::npos)
        << second.err;
    EXPECT_EQ(target.module->countInLog("ev loader 0x02 init"), 1u);

    release(target);
    expectUpdated(target, first->finish(90s));
}

// A store that cannot be written does not stop the update, which still holds the module's
// lock; the user is told that the module was written but nothing was recorded, and why.
TEST_F(UpdateGuard, AReadOnlyStoreUpdatesTheModuleAndSaysTheTransferWasNotRecorded) {
    Target& target = addTarget("0000CAFE", "127.0.0.2");
    std::filesystem::create_directories(moduleDir(target));
    const std::string before = "CREATED_TIME=Mon Jan  1 00:00:00 2024\n";
    testsupport::writeWholeFile(moduleDir(target) + "/.settings", before);

    auto first = startUpdateOnReadOnlyStore(target);
    ASSERT_TRUE(target.module->waitForLog("ev loader 0x02 prepare firmware at 0x00004000 flags 0 piece 256", 1, 30s))
        << eventsOf(*target.module);
    hold(target);
    TempDir otherStore;
    const ProcessResult second =
        testsupport::runProcess(updateArgs(target, otherStore), 90s, {"HOME=" + otherStore.path()});
    EXPECT_EQ(second.exitCode, 1);
    EXPECT_NE(second.err.find("Module 0000CAFE is busy"), std::string::npos) << second.err;
    release(target);

    const ProcessResult result = first->finish(90s);
    EXPECT_EQ(result.exitCode, 0) << result.out << result.err;
    EXPECT_EQ(readWholeFile(target.dump), testsupport::imageOf(target.file.firmware));
    EXPECT_NE(result.err.find("Module 0000CAFE was updated, but the transfer could not be recorded in the store\n" +
                              moduleDir(target) + "/.settings: Read-only file system\n"),
              std::string::npos)
        << result.err;
    EXPECT_EQ(settings(target), before);
}

// Different modules have different locks: one updates while the other's update runs.
TEST_F(UpdateGuard, DifferentModulesUpdateInParallel) {
    Target& a = addTarget("0000CAFE", "127.0.0.2");
    Target& b = addTarget("0000BEEF", "127.0.0.3");
    auto first = startUpdate(a);
    ASSERT_TRUE(a.module->waitForLog("ev loader 0x02 prepare firmware at 0x00004000 flags 0 piece 256", 1, 30s))
        << eventsOf(*a.module);
    // The first update stands mid-transfer, holding its lock, until the second has taken
    // its own and reached its module; then both run on together. The hold ends on that
    // event, not with the whole second update, which a loaded machine stretches past the
    // retries that carry the first one over a silent module.
    hold(a);
    auto second = startUpdate(b);
    ASSERT_TRUE(b.module->waitForLog("ev connect", 1, 60s)) << eventsOf(*b.module);
    release(a);
    expectUpdated(b, second->finish(90s));
    expectUpdated(a, first->finish(90s));
}

// A lock left by a process that died is no lock: the kernel released it.
TEST_F(UpdateGuard, AKilledUpdateLeavesNoLockBehind) {
    Target& target = addTarget("0000CAFE", "127.0.0.2");
    auto first = startUpdate(target);
    ASSERT_TRUE(target.module->waitForLog("ev loader 0x02 init", 1, 30s)) << eventsOf(*target.module);
    hold(target);
    first->signal(SIGKILL);
    EXPECT_EQ(first->finish(10s).exitCode, 128 + SIGKILL);
    release(target);
    expectUpdated(target, update(target));
}

// The module's log line once the loader has been started.
const char* const LOADER_STARTED = "ev loader 0x02 load reconnect after 24576 loader bytes";

// A download of the module's next build while its update runs: the update records its
// transfer on the record as it stands when it ends, so the download's record stays. The
// update is held while it reconnects to the restarted module, where it waits longest.
TEST_F(UpdateGuard, ADownloadDuringTheUpdateKeepsItsRecord) {
    Target& target = addTarget("0000CAFE", "127.0.0.2");
    TempDir fixtures;
    const std::string device = target.serial + "/";
    testsupport::writeFixture(fixtures.path(), device + "latest.txt", "1235\nmodfirm\n");
    testsupport::writeFixture(fixtures.path(), device + "builds.txt", "1234;1.3.0\n1235;1.3.1\n");
    testsupport::writeFixture(fixtures.path(), device + "1234.trel", readWholeFile(target.path));
    FirmwareFile next = target.file;
    next.build = "1235";
    next.firmware = {{0x4000, testsupport::noiseText(300, 7)}};
    const std::string nextFile = readWholeFile(testsupport::writeFirmwareFile(dir.file("next.trel"), next));
    testsupport::writeFixture(fixtures.path(), device + "1235.trel", nextFile);
    testsupport::UpdateServerSim server(fixtures.path());
    ASSERT_FALSE(server.url().empty());
    const auto tool = [&](const std::vector<std::string>& args) {
        std::vector<std::string> argv{testsupport::requiredEnv("UPDATER_BIN"), "-i", store.path(), "-u", server.url()};
        argv.insert(argv.end(), args.begin(), args.end());
        return argv;
    };
    const std::vector<std::string> env{"HOME=" + store.path()};
    ASSERT_EQ(testsupport::runProcess(tool({"-G", "-d", target.serial, "-b", "1234"}), 90s, env).exitCode, 0);

    RunningProcess update(tool({"-U", "-d", target.serial, "-b", "1234"}), env);
    ASSERT_TRUE(target.module->waitForLog(LOADER_STARTED, 1, 30s)) << eventsOf(*target.module);
    hold(target);
    const ProcessResult download = testsupport::runProcess(tool({"-G", "-d", target.serial, "-b", "1235"}), 90s, env);
    EXPECT_EQ(download.exitCode, 0) << download.out << download.err;
    EXPECT_NE(settings(target).find("LATEST_DOWNLOAD=1235.trel\n"), std::string::npos) << settings(target);
    release(target);

    const ProcessResult updated = update.finish(90s);
    EXPECT_EQ(updated.exitCode, 0) << updated.out << updated.err;
    EXPECT_EQ(readWholeFile(target.dump), testsupport::imageOf(target.file.firmware));
    const std::string record = settings(target);
    EXPECT_NE(record.find("LATEST_DOWNLOAD=1235.trel\n"), std::string::npos) << record;
    EXPECT_NE(record.find("LATEST_TRANSFER=1234.trel\n"), std::string::npos) << record;
    EXPECT_EQ(readWholeFile(moduleDir(target) + "/1235.trel"), nextFile);
}

struct InterruptCase {
    const char* name;
    bool holdFromStart;  // the module answers nothing from the start: the update hangs in its connect
    const char* event;   // the module's log line after which the update is held and signalled
    int signal;
    bool inLoader;
};

void PrintTo(const InterruptCase& c, std::ostream* os) {
    *os << c.name;
}

class UpdateInterrupt : public UpdateGuard, public ::testing::WithParamInterface<InterruptCase> {};

TEST_P(UpdateInterrupt, SaysWhereTheModuleIsAndASecondRunFinishes) {
    const InterruptCase& c = GetParam();
    Target& target = addTarget("0000CAFE", "127.0.0.2");
    if (c.holdFromStart) hold(target);
    auto first = startUpdate(target);
    ASSERT_TRUE(target.module->waitForLog(c.event, 1, 30s)) << c.event << "\n" << eventsOf(*target.module);
    if (!c.holdFromStart) hold(target);
    first->signal(c.signal);
    const ProcessResult interrupted = first->finish(20s);
    ASSERT_FALSE(interrupted.timedOut);
    EXPECT_EQ(interrupted.exitCode, 128 + c.signal);
    const std::string inLoader =
        "Update interrupted: module 0000CAFE is in its loader.\nRunning the same -U again resumes the update.\n";
    const std::string untouched =
        "Update interrupted before module 0000CAFE entered its loader: its firmware is unchanged.\n";
    EXPECT_NE(interrupted.err.find(c.inLoader ? inLoader : untouched), std::string::npos) << interrupted.err;
    EXPECT_EQ(interrupted.err.find(c.inLoader ? untouched : inLoader), std::string::npos) << interrupted.err;
    EXPECT_EQ(target.module->countInLog(LOADER_STARTED) > 0, c.inLoader);
    // Nothing claims a transfer that did not finish.
    EXPECT_EQ(settings(target).find("LATEST_TRANSFER"), std::string::npos) << settings(target);
    EXPECT_EQ(settings(target).find("LAST_TRANSFER_DATE"), std::string::npos) << settings(target);
    EXPECT_FALSE(fileExists(target.dump));

    release(target);
    const ProcessResult resumed = update(target);
    expectUpdated(target, resumed);
    EXPECT_EQ(resumed.out.find("Module 0000CAFE was left in its loader by an interrupted update: resuming\n") !=
                  std::string::npos,
              c.inLoader)
        << resumed.out;
}

INSTANTIATE_TEST_SUITE_P(
    Phases, UpdateInterrupt,
    ::testing::Values(InterruptCase{"ConnectingCtrlC", true, "rx AD 00", SIGINT, false},
                      InterruptCase{"LoaderTransferTerm", false,
                                    "ev loader 0x02 prepare loader at 0x10000000 flags 0 piece 256", SIGTERM, false},
                      InterruptCase{"LoaderStartedCtrlC", false, LOADER_STARTED, SIGINT, true},
                      InterruptCase{"FirmwareTransferTerm", false,
                                    "ev loader 0x02 prepare firmware at 0x00004000 flags 0 piece 256", SIGTERM, true}),
    [](const ::testing::TestParamInfo<InterruptCase>& caseInfo) { return std::string(caseInfo.param.name); });

}  // namespace
