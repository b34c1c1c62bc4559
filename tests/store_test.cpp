// UpdaterStore and UpdaterStoreItem on a temporary storage root.
#include <gtest/gtest.h>

#include <algorithm>
#include <dirent.h>
#include <filesystem>
#include <set>
#include <stdexcept>
#include <string>
#include <csignal>
#include <sys/resource.h>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include "UpdaterStore.h"
#include "directory_names.h"
#include "forked_child.h"
#include "tempdir.h"
#include "trel_builder.h"

using testsupport::buildTrel;
using testsupport::readWholeFile;
using testsupport::TempDir;
using testsupport::namesIn;
using testsupport::writeWholeFile;

namespace {

bool isDirectory(const std::string& path) {
    struct stat info;
    return stat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode);
}

std::string thrownBy(const std::string& root) {
    try {
        UpdaterStore store(root.c_str());
    } catch (const std::runtime_error& error) {
        return error.what();
    }
    return "nothing thrown";
}

}  // namespace

TEST(StoreRoot, CreatedWithMissingParents) {
    TempDir dir;
    const std::string root = dir.file("a/b/updater");
    UpdaterStore store(root.c_str());
    EXPECT_STREQ(store.BasePath(), root.c_str());
    struct stat info;
    ASSERT_EQ(stat(root.c_str(), &info), 0);
    EXPECT_TRUE(S_ISDIR(info.st_mode));
    UpdaterStore again(root.c_str());
}

TEST(StoreRoot, UnusableRootsThrow) {
    TempDir dir;
    writeWholeFile(dir.file("plain"), "x");
    EXPECT_EQ(thrownBy(dir.file("plain")), "UpdaterStore: " + dir.file("plain") + " exists and is a file");
    EXPECT_EQ(thrownBy(dir.file("plain/updater")),
              "UpdaterStore: Could not create directory " + dir.file("plain/updater") + " error 12");
}

TEST(StoreDevices, AddDeviceCreatesTheModuleDirectoryOnce) {
    TempDir dir;
    UpdaterStore store(dir.path().c_str());
    UpdaterStoreItem item = store.AddDevice(1u);
    EXPECT_TRUE(item.IsValid());
    EXPECT_EQ(item.basePath, dir.path());
    EXPECT_EQ(item.name, "00000001");
    EXPECT_EQ(item.kind, STORE_ITEM_DIRECTORY);
    const std::string settings = readWholeFile(dir.file("00000001/.settings"));
    EXPECT_EQ(settings.rfind("CREATED_TIME=", 0), 0u);
    EXPECT_NE(settings.find("\nUPDATED_TIME="), std::string::npos);

    UpdaterStoreItem again = store.AddDevice("00000001");
    EXPECT_EQ(readWholeFile(dir.file("00000001/.settings")), settings);
    EXPECT_EQ(again.settings.entries, item.settings.entries);
    EXPECT_EQ(namesIn(dir.path()), std::set<std::string>{"00000001"});
}

TEST(StoreDevices, FindDeviceFillsTheItem) {
    TempDir dir;
    UpdaterStore store(dir.path().c_str());
    UpdaterStoreItem written = store.AddDevice(0xDEADDEADu);
    written.settings.Add("LATEST_DOWNLOAD", "12.trel");
    written.settings.Save(nullptr);

    UpdaterStoreItem found;
    EXPECT_FALSE(found.IsValid());
    EXPECT_EQ(found.kind, STORE_ITEM_NONE);
    ASSERT_TRUE(store.FindDevice(0xDEADDEADu, &found));
    EXPECT_TRUE(found.IsValid());
    EXPECT_EQ(found.basePath, dir.path());
    EXPECT_EQ(found.name, "DEADDEAD");
    EXPECT_EQ(found.kind, STORE_ITEM_DIRECTORY);
    EXPECT_EQ(found.settings.GetInt("LATEST_DOWNLOAD", 0), 12);
    EXPECT_TRUE(store.FindDevice("DEADDEAD", nullptr));
    EXPECT_FALSE(store.FindDevice(0x0000DEADu, nullptr));
}

// Only an entry of exactly the serial's name is the module: neither a root whose own path
// holds the serial, nor entries whose names merely contain it.
TEST(StoreDevices, FindDeviceMatchesWholeNamesOnly) {
    TempDir dir;
    const std::string root = dir.file("DEADDEAD-backup/updater");
    UpdaterStore store(root.c_str());
    store.AddDevice(1u);
    writeWholeFile(root + "/DEADDEAD.bak", "x");
    ASSERT_EQ(mkdir((root + "/XDEADDEAD").c_str(), 0755), 0);
    ASSERT_EQ(mkdir((root + "/DEADDEAD0").c_str(), 0755), 0);

    UpdaterStoreItem found;
    EXPECT_FALSE(store.FindDevice(0xDEADDEADu, &found));
    EXPECT_FALSE(found.IsValid());
    EXPECT_FALSE(store.FindDevice("updater", nullptr));
    EXPECT_FALSE(store.FindDevice("0000000", nullptr));

    store.AddDevice(0xDEADDEADu);
    ASSERT_TRUE(store.FindDevice(0xDEADDEADu, &found));
    EXPECT_EQ(found.name, "DEADDEAD");
    EXPECT_EQ(found.kind, STORE_ITEM_DIRECTORY);
}

TEST(StoreDevices, MissingRootFindsNothing) {
    TempDir dir;
    UpdaterStore store(dir.file("root").c_str());
    ASSERT_EQ(rmdir(dir.file("root").c_str()), 0);
    EXPECT_FALSE(store.FindDevice(1u, nullptr));
    std::vector<UpdaterStoreItem> builds;
    EXPECT_TRUE(store.FindLocalBuilds(1u, builds));
    EXPECT_TRUE(builds.empty());
}

TEST(StoreItems, FileExistsMatchesWholeNames) {
    TempDir dir;
    UpdaterStore store(dir.path().c_str());
    UpdaterStoreItem item = store.AddDevice(7u);
    writeWholeFile(dir.file("00000007/1234.trel"), "x");
    EXPECT_TRUE(item.FileExists("1234.trel"));
    EXPECT_TRUE(item.FileExists(".settings"));
    EXPECT_FALSE(item.FileExists("234.trel"));
    EXPECT_FALSE(item.FileExists("1234"));
    EXPECT_FALSE(item.FileExists("00000007"));
}

TEST(StoreItems, FindLocalBuildsListsEntriesButNoDotFiles) {
    TempDir dir;
    UpdaterStore store(dir.path().c_str());
    std::vector<UpdaterStoreItem> builds(1);

    EXPECT_TRUE(store.FindLocalBuilds(5u, builds));
    EXPECT_EQ(builds.size(), 1u);

    store.AddDevice(5u);
    const std::string module = dir.file("00000005");
    writeWholeFile(module + "/10.trel", "a");
    writeWholeFile(module + "/11.trel", "b");
    writeWholeFile(module + "/.hidden", "c");
    ASSERT_EQ(mkdir((module + "/old").c_str(), 0755), 0);

    EXPECT_TRUE(store.FindLocalBuilds(5u, builds));
    ASSERT_EQ(builds.size(), 4u);
    std::vector<std::pair<std::string, store_item_t>> listed;
    for (size_t i = 1; i < builds.size(); ++i) {
        EXPECT_TRUE(builds[i].IsValid());
        EXPECT_EQ(builds[i].basePath, module);
        listed.emplace_back(builds[i].name, builds[i].kind);
    }
    std::sort(listed.begin(), listed.end());
    EXPECT_EQ(listed, (std::vector<std::pair<std::string, store_item_t>>{
                          {"10.trel", STORE_ITEM_FILE}, {"11.trel", STORE_ITEM_FILE}, {"old", STORE_ITEM_DIRECTORY}}));
    // A listed subdirectory gets its own settings file; a file entry cannot have one.
    EXPECT_TRUE(namesIn(module + "/old").count(".settings"));
    EXPECT_FALSE(isDirectory(module + "/10.trel"));
}

TEST(StoreItems, BuildPathJoinsEveryPart) {
    EXPECT_EQ(BuildPath("a", "", "b", nullptr), "a//b");
    EXPECT_EQ(BuildPath("a", nullptr), "a");
    EXPECT_EQ(BuildPath("/root", "00000001", ".settings", nullptr), "/root/00000001/.settings");
}

TEST(StoreFiles, WriteFileCreatesAndReplacesWhole) {
    TempDir dir;
    UpdaterStore store(dir.path().c_str());
    UpdaterStoreItem item = store.AddDevice(9u);
    const std::string module = dir.file("00000009");

    EXPECT_EQ(item.WriteFile("12.trel", nullptr, 4), aErrNotFound);
    EXPECT_FALSE(item.FileExists("12.trel"));

    const uint8_t first[] = {1, 2, 3, 4, 5};
    ASSERT_EQ(item.WriteFile("12.trel", first, sizeof first), aErrNone);
    EXPECT_EQ(readWholeFile(module + "/12.trel"), std::string("\1\2\3\4\5"));
    ASSERT_EQ(link((module + "/12.trel").c_str(), (module + "/.before").c_str()), 0);

    const uint8_t second[] = {9, 9};
    ASSERT_EQ(item.WriteFile("12.trel", second, sizeof second), aErrNone);
    EXPECT_EQ(readWholeFile(module + "/12.trel"), std::string("\11\11"));
    // Renamed into place, not rewritten in place; nothing else is left in the directory.
    EXPECT_EQ(readWholeFile(module + "/.before"), std::string("\1\2\3\4\5"));
    EXPECT_EQ(namesIn(module), (std::set<std::string>{".before", ".settings", ".settings.lock", "12.trel"}));
}

TEST(StoreFiles, FailedWriteLeavesNoFile) {
    TempDir dir;
    UpdaterStore store(dir.path().c_str());
    UpdaterStoreItem item = store.AddDevice(9u);
    const std::string module = dir.file("00000009");
    const uint8_t data[] = {1, 2, 3};

    ASSERT_EQ(mkdir((module + "/13.trel").c_str(), 0755), 0);
    ASSERT_EQ(mkdir((module + "/13.trel/x").c_str(), 0755), 0);
    EXPECT_NE(item.WriteFile("13.trel", data, sizeof data), aErrNone);
    EXPECT_TRUE(isDirectory(module + "/13.trel"));
    EXPECT_EQ(namesIn(module), (std::set<std::string>{".settings", ".settings.lock", "13.trel"}));

    std::filesystem::remove_all(module);
    EXPECT_EQ(item.WriteFile("14.trel", data, sizeof data), aErrNotFound);
    EXPECT_FALSE(isDirectory(module));
}

// A file size limit stops the write midway, as a full disk would (the ignored SIGXFSZ turns
// the signal into a failing write); the limit holds in a child process of its own.
TEST(StoreFiles, WriteThatRunsOutOfSpaceKeepsTheOldFile) {
    TempDir dir;
    UpdaterStore store(dir.path().c_str());
    UpdaterStoreItem item = store.AddDevice(9u);
    const std::string module = dir.file("00000009");
    writeWholeFile(module + "/15.trel", "old");

    const int result = testsupport::runForked([&] {
        signal(SIGXFSZ, SIG_IGN);
        const struct rlimit limit = {65536, 65536};
        if (setrlimit(RLIMIT_FSIZE, &limit) != 0) return 10;
        const std::vector<uint8_t> data(100000, 0x5A);
        if (item.WriteFile("15.trel", data.data(), data.size()) != aErrIO) return 11;
        if (item.WriteFile("16.trel", data.data(), data.size()) != aErrIO) return 12;
        return 0;
    });
    EXPECT_EQ(result, 0);
    EXPECT_EQ(readWholeFile(module + "/15.trel"), "old");
    EXPECT_EQ(namesIn(module), (std::set<std::string>{".settings", ".settings.lock", "15.trel"}));
}

// Writers of one file at the same time each write under a temporary name of their own: every
// write succeeds, the file ends as one of them wrote it whole, and nothing else is left.
TEST(StoreFiles, WritersOfOneFileAtOnceNeverShareATemporary) {
    TempDir dir;
    UpdaterStore store(dir.path().c_str());
    const std::string module = dir.file("00000009");
    store.AddDevice(9u);
    const std::vector<std::vector<uint8_t>> contents = {std::vector<uint8_t>(20000, 0x11),
                                                        std::vector<uint8_t>(30000, 0x22)};
    std::vector<int> failures(contents.size(), 0);
    std::vector<std::thread> writers;
    for (size_t w = 0; w < contents.size(); ++w) {
        writers.emplace_back([&, w] {
            UpdaterStoreItem item(dir.path().c_str(), "00000009", STORE_ITEM_DIRECTORY);
            for (int round = 0; round < 200; ++round)
                if (item.WriteFile("20.trel", contents[w].data(), contents[w].size()) != aErrNone) ++failures[w];
        });
    }
    for (std::thread& writer : writers) writer.join();
    EXPECT_EQ(failures, std::vector<int>(contents.size(), 0));
    const std::string written = readWholeFile(module + "/20.trel");
    EXPECT_TRUE(written == std::string(20000, '\x11') || written == std::string(30000, '\x22'));
    EXPECT_EQ(namesIn(module), (std::set<std::string>{".settings", ".settings.lock", "20.trel"}));
}

TEST(StoreFiles, ReadTrelFile) {
    TempDir dir;
    UpdaterStore store(dir.path().c_str());
    UpdaterStoreItem item = store.AddDevice(0x11u);
    const std::string module = dir.file("00000011");
    buildTrel(module + "/5.trel", {"--info", "5", "2.0.1", "00000011", "Quillet", "--firmware-block", "0:CAFEF00D"});
    buildTrel(module + "/6.trel", {"--magic", "TREL", "--firmware-block", "0:CAFEF00D"});
    buildTrel(module + "/7.trel", {"--zlib-data", "0102030405060708"});

    TrelFile file = item.ReadTrelFile("5.trel");
    EXPECT_EQ(file.path, module + "/5.trel");
    EXPECT_EQ(file.GetVersion(), "2.0.1");
    ASSERT_EQ(file.FindBlocks(TrelFile::BLOCK_FIRMWARE).size(), 1u);
    EXPECT_EQ(file.FindBlocks(TrelFile::BLOCK_FIRMWARE)[0].data[4], 0xCA);

    const struct {
        const char* name;
        std::string message;
    } failures[] = {
        {"6.trel", "Invalid trel " + module + "/6.trel"},
        {"missing.trel", "Invalid trel " + module + "/missing.trel"},
        {"7.trel", "Failed to load trel data"},
    };
    for (const auto& f : failures) {
        try {
            item.ReadTrelFile(f.name);
            ADD_FAILURE() << f.name << " loaded";
        } catch (const std::runtime_error& error) {
            EXPECT_EQ(std::string(error.what()), f.message);
        }
    }
}
