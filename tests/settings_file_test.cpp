// KeyValueStore on real files in a temporary directory.
#include <gtest/gtest.h>

#include <dirent.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "KeyValueStore.h"
#include "directory_names.h"
#include "forked_child.h"
#include "log_capture.h"
#include "tempdir.h"
#include "thread_stacks.h"
#include "wait_until.h"

using testsupport::LogCapture;
using testsupport::readWholeFile;
using testsupport::TempDir;
using testsupport::namesIn;
using testsupport::writeWholeFile;

namespace {

std::map<std::string, std::string> loadText(const TempDir& dir, const std::string& text) {
    const std::string path = dir.file("in.settings");
    writeWholeFile(path, text);
    KeyValueStore store(path.c_str());
    return store.entries;
}

bool looksLikeTimeText(const std::string& text) {
    // e.g. "Thu Dec 10 10:26:17 2026"
    return text.size() == 24 && text[3] == ' ' && text[7] == ' ' && text[13] == ':' && text[16] == ':';
}

}  // namespace

TEST(SettingsLoad, MissingFileIsCreatedWithBothTimes) {
    TempDir dir;
    const std::string path = dir.file(".settings");
    KeyValueStore store(path.c_str());

    const std::string created = store.GetString(KeyValueStore::KEY_CREATED_TIME, nullptr);
    EXPECT_TRUE(looksLikeTimeText(created)) << created;
    EXPECT_EQ(store.GetString(KeyValueStore::KEY_UPDATED_TIME, nullptr).size(), 24u);
    EXPECT_FALSE(store.dirty);
    EXPECT_EQ(store.filename, path);

    const std::string text = readWholeFile(path);
    const std::string updated = store[KeyValueStore::KEY_UPDATED_TIME];
    EXPECT_EQ(text, "CREATED_TIME=" + created + "\nUPDATED_TIME=" + updated + "\n");
    EXPECT_EQ(namesIn(dir.path()), (std::set<std::string>{".settings", ".settings.lock"}));
}

TEST(SettingsLoad, MissingDirectoryKeepsTheTimesInMemory) {
    TempDir dir;
    LogCapture log(DEBUG_Attributes);
    const std::string path = dir.file("absent/.settings");
    KeyValueStore store(path.c_str());
    EXPECT_NE(store[KeyValueStore::KEY_CREATED_TIME], nullptr);
    EXPECT_NE(store[KeyValueStore::KEY_UPDATED_TIME], nullptr);
    EXPECT_FALSE(store.dirty);
    EXPECT_NE(log.text().find("Attibutes: Error - cannot open attributes file: '" + path + "'"), std::string::npos);
    EXPECT_NE(log.text().find("Attibutes: Error - cannot open attributes file for writting: '" + path + "'"),
              std::string::npos);
    EXPECT_TRUE(namesIn(dir.path()).empty());
}

TEST(SettingsLoad, ReaderRules) {
    TempDir dir;
    const struct {
        const char* name;
        std::string text;
        std::map<std::string, std::string> expected;
    } cases[] = {
        {"white space around key and value", "  KEY  =  some value  \n", {{"KEY", "some value"}}},
        {"tabs and carriage return", "\tK\t=\tv w\t\r\n", {{"K", "v w"}}},
        {"value holding =", "A=b=c\n", {{"A", "b=c"}}},
        {"empty value", "K=\n", {{"K", ""}}},
        {"comment", "#C=1\nD=2\n", {{"D", "2"}}},
        {"one character line", "x\nD=2\n", {{"D", "2"}}},
        {"two-character last line", "D=2\nk=", {{"D", "2"}}},
        {"three-character last line", "D=2\nk=\n", {{"D", "2"}, {"k", ""}}},
        {"last line without newline", "D=2\nE=3", {{"D", "2"}, {"E", "3"}}},
        {"line without =", "no equals here\n     \nD=2\n", {{"D", "2"}}},
        {"last of duplicates wins", "K=1\nK=2\n", {{"K", "2"}}},
        {"keys are case-sensitive", "k=1\nK=2\n", {{"k", "1"}, {"K", "2"}}},
    };
    for (const auto& c : cases) EXPECT_EQ(loadText(dir, c.text), c.expected) << c.name;
}

TEST(SettingsLoad, MergesIntoWhatTheStoreHolds) {
    TempDir dir;
    const std::string path = dir.file("s");
    writeWholeFile(path, "A=file\nB=file\n");
    KeyValueStore store;
    store.Add("A", "memory");
    store.Add("C", "memory");
    store.Load(path.c_str());
    EXPECT_EQ(store.entries, (std::map<std::string, std::string>{{"A", "file"}, {"B", "file"}, {"C", "memory"}}));
    EXPECT_FALSE(store.dirty);
}

// Lines are read through a 2048-byte buffer; a longer line is skipped whole and must not
// end the load.
TEST(SettingsLoad, LongLines) {
    TempDir dir;
    const std::string fits(2047 - 3, 'v');  // "L=" + value + "\n" is 2047 characters
    const std::string tooLong(3000, 'x');
    const struct {
        const char* name;
        std::string text;
        std::map<std::string, std::string> expected;
    } cases[] = {
        {"long line between entries", "A=1\nLONG=" + tooLong + "\nB=2\n", {{"A", "1"}, {"B", "2"}}},
        {"several buffers long", "LONG=" + std::string(9000, 'y') + "\nB=2\n", {{"B", "2"}}},
        {"one character over", "L=" + fits + "w\nB=2\n", {{"B", "2"}}},
        {"long last line", "A=1\nLONG=" + tooLong, {{"A", "1"}}},
        {"longest line that fits", "L=" + fits + "\nB=2\n", {{"L", fits}, {"B", "2"}}},
        {"longest last line without newline", "A=1\nL=" + fits + "w", {{"A", "1"}, {"L", fits + "w"}}},
    };
    for (const auto& c : cases) EXPECT_EQ(loadText(dir, c.text), c.expected) << c.name;
}

TEST(SettingsSave, WritesEveryEntryInKeyOrder) {
    TempDir dir;
    const std::string path = dir.file("s");
    writeWholeFile(path, "b=2\nA=1\na=\nb=3\n");
    KeyValueStore store(path.c_str());
    store.Save(nullptr);
    EXPECT_EQ(readWholeFile(path), "A=1\na=\nb=3\n");

    KeyValueStore again(path.c_str());
    EXPECT_EQ(again.entries, store.entries);
}

TEST(SettingsSave, UpdatedTimeOnlyWhenDirty) {
    TempDir dir;
    const std::string path = dir.file("s");
    writeWholeFile(path, "K=v\nUPDATED_TIME=old\n");

    KeyValueStore unchanged(path.c_str());
    unchanged.Add("K", "v");
    EXPECT_FALSE(unchanged.dirty);
    unchanged.Save(nullptr);
    EXPECT_EQ(readWholeFile(path), "K=v\nUPDATED_TIME=old\n");

    KeyValueStore changed(path.c_str());
    changed.Add("K", "w");
    EXPECT_TRUE(changed.dirty);
    changed.Save(nullptr);
    EXPECT_FALSE(changed.dirty);
    KeyValueStore reread(path.c_str());
    EXPECT_EQ(reread.GetString("K", nullptr), "w");
    EXPECT_TRUE(looksLikeTimeText(reread.GetString(KeyValueStore::KEY_UPDATED_TIME, nullptr)));
}

TEST(SettingsSave, DefaultFileNameInTheWorkingDirectory) {
    TempDir dir;
    char previous[4096];
    ASSERT_NE(getcwd(previous, sizeof previous), nullptr);
    ASSERT_EQ(chdir(dir.path().c_str()), 0);
    LogCapture log(DEBUG_Attributes);
    KeyValueStore store;
    store.Add("K", "v");
    store.Save(nullptr);
    ASSERT_EQ(chdir(previous), 0);

    EXPECT_EQ(store.filename, ".settings");
    EXPECT_NE(log.text().find("Attibutes: no filename given for attributes, using default:[.settings]"),
              std::string::npos);
    EXPECT_EQ(readWholeFile(dir.file(".settings")).substr(0, 4), "K=v\n");
}

TEST(SettingsSave, FailedSaveKeepsTheStoreDirty) {
    TempDir dir;
    KeyValueStore store;
    store.Add("K", "v");
    EXPECT_FALSE(store.Save(dir.file("absent/s").c_str()));
    EXPECT_TRUE(store.dirty);
    EXPECT_NE(store[KeyValueStore::KEY_UPDATED_TIME], nullptr);
    EXPECT_TRUE(namesIn(dir.path()).empty());
}

// A directory the caller may read but not write (a store shared read-only): the save fails
// for want of permission, and says so, not that some file is missing; the file stays.
TEST(SettingsSave, ADirectoryTheCallerMayNotWriteIsTheReason) {
    TempDir dir;
    ASSERT_EQ(chmod(dir.path().c_str(), 0755), 0);
    const std::string module = dir.file("module");
    ASSERT_EQ(mkdir(module.c_str(), 0755), 0);
    const std::string path = module + "/.settings";
    const std::string content = "CREATED_TIME=then\nLATEST_DOWNLOAD=12.trel\n";
    writeWholeFile(path, content);
    ASSERT_EQ(chmod(module.c_str(), 0555), 0);
    const int result = testsupport::runForked([&] {
        if (geteuid() == 0 && !testsupport::dropPrivileges()) return 10;
        KeyValueStore store(path.c_str());
        if (store.ReadError() != 0) return 11;
        store.Add("LATEST_TRANSFER", "12.trel");
        if (store.Save(nullptr)) return 12;
        return errno == EACCES ? 0 : 20 + (errno == ENOENT);
    });
    EXPECT_EQ(result, 0) << "21: the reason given was \"No such file or directory\"";
    ASSERT_EQ(chmod(module.c_str(), 0755), 0);
    EXPECT_EQ(readWholeFile(path), content);
    EXPECT_EQ(namesIn(module), std::set<std::string>{".settings"});
}

// A value or key holding a line break would read back as extra lines, even as new keys.
TEST(SettingsSave, LineBreaksNeverReachTheFile) {
    TempDir dir;
    const std::string path = dir.file("s");
    KeyValueStore store;
    store.Add("PATH", "a\nINJECTED=1\r\nb");
    store.Add("TWO\nLINES", "v");
    store.Save(path.c_str());

    const std::string text = readWholeFile(path);
    EXPECT_NE(text.find("PATH=aINJECTED=1b\n"), std::string::npos) << text;
    EXPECT_NE(text.find("TWOLINES=v\n"), std::string::npos) << text;
    KeyValueStore reread(path.c_str());
    EXPECT_EQ(reread["INJECTED"], nullptr);
    EXPECT_EQ(reread.entries.size(), 3u);
}

// The new file replaces the old one by rename: the old content is never truncated in place
// and no temporary file stays behind.
TEST(SettingsSave, ReplacesTheFileWhole) {
    TempDir dir;
    const std::string path = dir.file(".settings");
    writeWholeFile(path, "K=old\n");
    ASSERT_EQ(link(path.c_str(), dir.file("snapshot").c_str()), 0);

    KeyValueStore store(path.c_str());
    store.Add("K", "new");
    EXPECT_TRUE(store.Save(nullptr));

    EXPECT_EQ(readWholeFile(dir.file("snapshot")), "K=old\n");
    EXPECT_EQ(readWholeFile(path).substr(0, 6), "K=new\n");
    EXPECT_EQ(namesIn(dir.path()), (std::set<std::string>{".settings", ".settings.lock", "snapshot"}));
}

// A file size limit stops the write midway, as a full disk would (the ignored SIGXFSZ turns
// the signal into a failing write); the limit holds in a child process of its own.
TEST(SettingsSave, WriteThatRunsOutOfSpaceKeepsTheOldFile) {
    TempDir dir;
    const std::string path = dir.file(".settings");
    writeWholeFile(path, "K=old\n");
    const int result = testsupport::runForked([&] {
        signal(SIGXFSZ, SIG_IGN);
        const struct rlimit limit = {4096, 4096};
        if (setrlimit(RLIMIT_FSIZE, &limit) != 0) return 10;
        KeyValueStore store(path.c_str());
        store.Add("K", std::string(100000, 'n'));
        if (store.Save(nullptr)) return 11;
        return store.dirty && errno == EFBIG ? 0 : 12;
    });
    EXPECT_EQ(result, 0);
    EXPECT_EQ(readWholeFile(path), "K=old\n");
    EXPECT_EQ(namesIn(dir.path()), (std::set<std::string>{".settings", ".settings.lock"}));
}

TEST(SettingsSave, TargetThatCannotBeReplacedLeavesNoTemporary) {
    TempDir dir;
    const std::string path = dir.file("taken");
    ASSERT_EQ(mkdir(path.c_str(), 0755), 0);
    ASSERT_EQ(mkdir((path + "/inside").c_str(), 0755), 0);
    KeyValueStore store;
    store.Add("K", "v");
    EXPECT_FALSE(store.Save(path.c_str()));
    EXPECT_TRUE(store.dirty);
    EXPECT_EQ(namesIn(dir.path()), (std::set<std::string>{"taken", "taken.lock"}));
    EXPECT_EQ(namesIn(path), std::set<std::string>{"inside"});
}

// Only a missing file is created afresh. One that exists but cannot be read keeps every byte
// and its mode: the load says why, and no save writes over it while it stays unreadable.
TEST(SettingsLoad, AFileThatCannotBeReadIsLeftAsItIs) {
    TempDir dir;
    // An unprivileged child could write the directory, so only the refusal keeps the file.
    ASSERT_EQ(chmod(dir.path().c_str(), 0777), 0);
    const std::string content = "CREATED_TIME=Mon Jan  1 00:00:00 2024\nLATEST_DOWNLOAD=12.trel\nMY_NOTE=mine\n";
    const struct {
        const char* name;
        bool directory;  // else a file of mode 0000, read by an unprivileged child
        int error;
    } cases[] = {{"directory", true, EISDIR}, {"no permission", false, EACCES}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string path = dir.file(std::string(c.name) + ".settings");
        const std::string kept = c.directory ? path + "/inside" : path;
        if (c.directory) {
            ASSERT_EQ(mkdir(path.c_str(), 0755), 0);
        }
        writeWholeFile(kept, content);
        if (!c.directory) {
            ASSERT_EQ(chmod(path.c_str(), 0), 0);
        }
        const int result = testsupport::runForked([&] {
            if (!c.directory && geteuid() == 0 && !testsupport::dropPrivileges()) return 10;
            KeyValueStore store(path.c_str());
            if (store.ReadError() != c.error) return 11;
            if (!store.entries.empty() || store.filename != path) return 12;
            store.Add("LATEST_DOWNLOAD", "13.trel");
            if (store.Save(nullptr)) return 13;
            return errno == c.error && store.dirty ? 0 : 14;
        });
        EXPECT_EQ(result, 0);
        EXPECT_EQ(readWholeFile(kept), content);
        struct stat info {};
        ASSERT_EQ(lstat(path.c_str(), &info), 0);
        EXPECT_EQ(S_ISDIR(info.st_mode), c.directory);
        if (!c.directory) {
            EXPECT_EQ(info.st_mode & 07777, 0u);
        }
    }
    // Beside them stand only their lock files, which the refused saves took.
    EXPECT_EQ(namesIn(dir.path()), (std::set<std::string>{"directory.settings", "directory.settings.lock",
                                                          "no permission.settings", "no permission.settings.lock"}));
}

// Two programs that loaded the file before either saved: each save changes only its own
// entries, on the file as the other left it. A key a getter added empty clears nothing.
TEST(SettingsSave, TwoStoresOfOneFileKeepEachOthersEntries) {
    TempDir dir;
    const std::string path = dir.file(".settings");
    writeWholeFile(path, "CREATED_TIME=then\nMY_NOTE=mine\nSHARED=before\n");
    KeyValueStore download(path.c_str());
    KeyValueStore update(path.c_str());

    download.Add("LATEST_DOWNLOAD", "2002.trel");
    download.Add("SHARED", "download");
    ASSERT_TRUE(download.Save(nullptr));

    EXPECT_EQ(update.GetInt("LATEST_DOWNLOAD", 0), 0);  // adds the key empty in memory
    update.Add("LATEST_TRANSFER", "2001.trel");
    ASSERT_TRUE(update.Save(nullptr));

    KeyValueStore reread(path.c_str());
    EXPECT_EQ(reread.GetString("LATEST_DOWNLOAD", nullptr), "2002.trel");
    EXPECT_EQ(reread.GetString("LATEST_TRANSFER", nullptr), "2001.trel");
    EXPECT_EQ(reread.GetString("SHARED", nullptr), "download");
    EXPECT_EQ(reread.GetString("MY_NOTE", nullptr), "mine");
    EXPECT_EQ(reread.GetString("CREATED_TIME", nullptr), "then");
    // What a store saved is what it holds afterwards.
    EXPECT_EQ(update.entries, reread.entries);
}

// Several programs rewriting one settings file at random: every writer's last value of its
// own key survives, the shared key holds some writer's value, the user's key stays, and no
// temporary file is left. A watchdog prints the stacks of writers that stop moving.
TEST(SettingsSave, ManyWritersAtOnceLoseNoEntry) {
    const unsigned seed = static_cast<unsigned>(std::chrono::steady_clock::now().time_since_epoch().count());
    std::printf("seed %u\n", seed);
    TempDir dir;
    const std::string path = dir.file(".settings");
    writeWholeFile(path, "CREATED_TIME=then\nMY_NOTE=mine\n");
    const int kWriters = 6;
    const int kSteps = 40;
    std::vector<pid_t> writers;
    for (int w = 0; w < kWriters; ++w) {
        const pid_t pid = fork();
        ASSERT_GE(pid, 0);
        if (pid == 0) {
            std::mt19937 random(seed + static_cast<unsigned>(w));
            const std::string own = "WRITER_" + std::to_string(w);
            for (int step = 0; step < kSteps; ++step) {
                KeyValueStore store(path.c_str());
                if (store.ReadError() != 0) _exit(2);
                switch (random() % 3) {
                case 0:
                    store.GetInt(("WRITER_" + std::to_string(random() % kWriters)).c_str(), 0);
                    break;
                case 1:
                    store.Add("SHARED", w * 1000 + step);
                    break;
                default:
                    break;
                }
                store.Add(own.c_str(), step);
                if (!store.Save(nullptr)) _exit(3);
                if (random() % 4 == 0) usleep(static_cast<useconds_t>(random() % 2000));
            }
            _exit(0);
        }
        writers.push_back(pid);
    }
    std::map<pid_t, int> status;
    const bool finished = testsupport::waitUntil(
        [&] {
            for (const pid_t pid : writers) {
                int code = 0;
                if (!status.count(pid) && waitpid(pid, &code, WNOHANG) == pid) status[pid] = code;
            }
            return status.size() == writers.size();
        },
        std::chrono::seconds(90), std::chrono::milliseconds(10));
    if (!finished) {
        for (const pid_t pid : writers) {
            if (status.count(pid)) continue;
            std::fprintf(stderr, "writer %d did not finish:\n", static_cast<int>(pid));
            testsupport::printThreadStacks(pid);
            kill(pid, SIGKILL);
            waitpid(pid, nullptr, 0);
        }
        FAIL() << "writers stopped moving (seed " << seed << ")";
    }
    for (const auto& entry : status)
        EXPECT_TRUE(WIFEXITED(entry.second) && WEXITSTATUS(entry.second) == 0)
            << "writer " << entry.first << " status " << entry.second << " (seed " << seed << ")";

    const std::string text = readWholeFile(path);
    KeyValueStore result(path.c_str());
    for (int w = 0; w < kWriters; ++w)
        EXPECT_EQ(result.GetString(("WRITER_" + std::to_string(w)).c_str(), nullptr), std::to_string(kSteps - 1))
            << text << "(seed " << seed << ")";
    EXPECT_EQ(result.GetString("MY_NOTE", nullptr), "mine") << text;
    EXPECT_EQ(result.GetString("CREATED_TIME", nullptr), "then") << text;
    EXPECT_EQ(namesIn(dir.path()), (std::set<std::string>{".settings", ".settings.lock"})) << "seed " << seed;
}

// A read-only file stays read-only; a symbolic link stays a link, its target rewritten.
TEST(SettingsSave, KeepsTheModeAndFollowsALink) {
    TempDir dir;
    const std::string readOnly = dir.file("ro.settings");
    writeWholeFile(readOnly, "K=old\n");
    ASSERT_EQ(chmod(readOnly.c_str(), 0440), 0);
    KeyValueStore store(readOnly.c_str());
    store.Add("K", "new");
    ASSERT_TRUE(store.Save(nullptr));
    struct stat info {};
    ASSERT_EQ(stat(readOnly.c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 07777, 0440u);
    EXPECT_EQ(readWholeFile(readOnly).substr(0, 6), "K=new\n");

    ASSERT_EQ(mkdir(dir.file("elsewhere").c_str(), 0755), 0);
    writeWholeFile(dir.file("elsewhere/real"), "K=old\nMINE=1\n");
    ASSERT_EQ(symlink("elsewhere/real", dir.file("linked").c_str()), 0);
    // A link whose target does not exist yet: the target is created.
    ASSERT_EQ(symlink("elsewhere/later", dir.file("dangling").c_str()), 0);
    for (const char* name : {"linked", "dangling"}) {
        SCOPED_TRACE(name);
        KeyValueStore linked(dir.file(name).c_str());
        linked.Add("K", "new");
        ASSERT_TRUE(linked.Save(nullptr));
        ASSERT_EQ(lstat(dir.file(name).c_str(), &info), 0);
        EXPECT_TRUE(S_ISLNK(info.st_mode));
    }
    KeyValueStore real(dir.file("elsewhere/real").c_str());
    EXPECT_EQ(real.GetString("K", nullptr), "new");
    EXPECT_EQ(real.GetString("MINE", nullptr), "1");
    KeyValueStore later(dir.file("elsewhere/later").c_str());
    EXPECT_EQ(later.GetString("K", nullptr), "new");
}

TEST(SettingsValues, Getters) {
    TempDir dir;
    const std::string path = dir.file("s");
    writeWholeFile(path, "INT=12abc\nWORD=abc\nHEX=0x1F\nBARE=ff\nTWO=2\nYES=yes\nD=2.5\nEMPTY=\n");
    KeyValueStore store(path.c_str());

    EXPECT_EQ(store.GetInt("INT", 7), 12);
    EXPECT_EQ(store.GetInt("WORD", 7), 0);
    EXPECT_EQ(store.GetInt("EMPTY", 7), 7);
    EXPECT_EQ(store.GetHex("HEX", 0), 31u);
    EXPECT_EQ(store.GetHex("BARE", 0), 255u);
    EXPECT_TRUE(store.GetBOOL("TWO", false));
    EXPECT_FALSE(store.GetBOOL("YES", true));
    EXPECT_DOUBLE_EQ(store.GetDouble("D", 0.0), 2.5);
    EXPECT_EQ(store.GetString("EMPTY", "dflt"), "");
    EXPECT_EQ(store.GetString("ABSENT", "dflt"), "dflt");
    EXPECT_EQ(store.GetString("ABSENT", nullptr), "");
    EXPECT_STREQ(store["WORD"], "abc");
    EXPECT_EQ(store["ABSENT"], nullptr);  // non-inserting lookups add nothing

    // A numeric getter adds the absent key, without making the store dirty.
    EXPECT_EQ(store.GetInt("MISSING", 42), 42);
    EXPECT_FALSE(store.dirty);
    store.Save(nullptr);
    EXPECT_NE(readWholeFile(path).find("\nMISSING=\n"), std::string::npos);
}

TEST(SettingsValues, AddersFormatTheirValues) {
    KeyValueStore store;
    store.Add("I", -12);
    store.Add("D", 1.5);
    store.AddHex("H", 0x1F);
    store.Add("S", std::string("text"));
    EXPECT_STREQ(store["I"], "-12");
    EXPECT_STREQ(store["D"], "1.500000");
    EXPECT_STREQ(store["H"], "0x0000001F");
    EXPECT_STREQ(store["S"], "text");
    EXPECT_TRUE(store.dirty);
}

TEST(SettingsValues, MergeAndClearMarkTheStoreDirty) {
    KeyValueStore store;
    KeyValueStore other;
    store.Add(other);
    EXPECT_FALSE(store.dirty);

    other.Add("K", "v");
    store.entries["K"] = "v";
    store.Add(other);
    EXPECT_TRUE(store.dirty);

    KeyValueStore cleared;
    cleared.Clear();
    EXPECT_TRUE(cleared.dirty);
}
