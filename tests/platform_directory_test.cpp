// Directory operations against a real temporary file system.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <pwd.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#include "aDirectory.h"
#include "aFile.h"
#include "forked_child.h"
#include "tempdir.h"

using testsupport::TempDir;

namespace {

bool isDirectory(const std::string& path) {
    struct stat info;
    return lstat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode);
}

bool isPresent(const std::string& path) {
    struct stat info;
    return lstat(path.c_str(), &info) == 0;
}

void makeDirectory(const std::string& path) {
    ASSERT_EQ(mkdir(path.c_str(), 0755), 0) << path;
}

// Changes the working directory for one test and goes back afterwards.
class WorkingDirectory {
public:
    explicit WorkingDirectory(const std::string& path) {
        char here[4096];
        if (!getcwd(here, sizeof here)) throw std::runtime_error("getcwd failed");
        previous_ = here;
        if (chdir(path.c_str()) != 0) throw std::runtime_error("chdir failed");
    }
    ~WorkingDirectory() { (void)!chdir(previous_.c_str()); }

private:
    std::string previous_;
};

// A directory of exactly `length` characters below `root`, made of long components.
std::string makeDeepDirectory(const std::string& root, size_t length) {
    std::string path = root;
    while (path.size() < length) {
        const size_t component = std::min<size_t>(200, length - path.size() - 1);
        path += "/" + std::string(component, 'd');
        if (mkdir(path.c_str(), 0755) != 0) throw std::runtime_error("mkdir failed: " + path);
    }
    return path;
}

TEST(PlatformDirectory, Exists) {
    TempDir dir;
    testsupport::writeWholeFile(dir.file("f"), "");
    EXPECT_TRUE(aDirectory_Exists(dir.path().c_str()));
    EXPECT_FALSE(aDirectory_Exists(dir.file("f").c_str()));
    EXPECT_FALSE(aDirectory_Exists(dir.file("missing").c_str()));
    EXPECT_FALSE(aDirectory_Exists(nullptr));
}

struct EnsureCase {
    const char* path;
    aErr result;
    const char* mustBeDirectory;  // checked when the call succeeds
};

TEST(PlatformDirectory, EnsureCreatesMissingAncestors) {
    const EnsureCase cases[] = {
        {"x/y/z", aErrNone, "x/y/z"},
        {"x/y", aErrNone, "x/y"},  // already there: nothing to do
        {"a//b/", aErrNone, "a/b"},
        {"x/y/z/w/", aErrNone, "x/y/z/w"},
        {"plain/below", aErrPermission, nullptr},  // an ancestor is a regular file
        {"plain", aErrPermission, nullptr},        // the path itself is a regular file
        {"plain/", aErrPermission, nullptr},
    };
    TempDir dir;
    WorkingDirectory inside(dir.path());
    testsupport::writeWholeFile("plain", "not a directory");
    for (const auto& c : cases) {
        EXPECT_EQ(aDirectory_Ensure(c.path, 0755), c.result) << c.path;
        if (c.mustBeDirectory) {
            EXPECT_TRUE(isDirectory(c.mustBeDirectory)) << c.path;
        }
    }
    EXPECT_EQ(testsupport::readWholeFile("plain"), "not a directory");
    EXPECT_FALSE(isPresent("plain/below"));
}

TEST(PlatformDirectory, EnsureUsesTheGivenModeOnAnAbsolutePath) {
    TempDir dir;
    const std::string leaf = dir.file("p/q");
    const mode_t previous = umask(022);
    EXPECT_EQ(aDirectory_Ensure(leaf.c_str(), 0700), aErrNone);
    umask(previous);
    for (const std::string& path : {dir.file("p"), leaf}) {
        struct stat info;
        ASSERT_EQ(stat(path.c_str(), &info), 0);
        EXPECT_EQ(info.st_mode & 07777, 0700u) << path;
    }
}

struct Listing {
    std::vector<std::string> paths;
    std::vector<uint32_t> sizes;
    std::vector<uint32_t> directoryFlags;
    size_t stopAfter = SIZE_MAX;
};

bool record(const aDirectoryListData* entry, void* ref) {
    auto* listing = static_cast<Listing*>(ref);
    listing->paths.push_back(entry->path);
    listing->sizes.push_back(entry->size);
    listing->directoryFlags.push_back(entry->isDirectory);
    return listing->paths.size() < listing->stopAfter;
}

size_t indexOf(const Listing& listing, const std::string& path) {
    for (size_t i = 0; i < listing.paths.size(); ++i) {
        if (listing.paths[i] == path) return i;
    }
    ADD_FAILURE() << path << " not listed";
    return 0;
}

TEST(PlatformDirectory, ListGivesEveryEntryWithSizeAndKind) {
    TempDir dir;
    testsupport::writeWholeFile(dir.file("seven"), "1234567");
    testsupport::writeWholeFile(dir.file("empty"), "");
    makeDirectory(dir.file("sub"));

    Listing listing;
    EXPECT_EQ(aDirectory_List(dir.path().c_str(), record, &listing), aErrNone);
    ASSERT_EQ(listing.paths.size(), 5u);
    EXPECT_EQ(listing.directoryFlags[indexOf(listing, dir.file("."))], 1u);
    EXPECT_EQ(listing.directoryFlags[indexOf(listing, dir.file(".."))], 1u);
    EXPECT_EQ(listing.directoryFlags[indexOf(listing, dir.file("sub"))], 1u);
    const size_t seven = indexOf(listing, dir.file("seven"));
    EXPECT_EQ(listing.sizes[seven], 7u);
    EXPECT_EQ(listing.directoryFlags[seven], 0u);
    EXPECT_EQ(listing.sizes[indexOf(listing, dir.file("empty"))], 0u);
}

TEST(PlatformDirectory, ListStopsWhenTheProcedureSaysSo) {
    TempDir dir;
    testsupport::writeWholeFile(dir.file("a"), "");
    testsupport::writeWholeFile(dir.file("b"), "");
    Listing listing;
    listing.stopAfter = 1;
    EXPECT_EQ(aDirectory_List(dir.path().c_str(), record, &listing), aErrNone);
    EXPECT_EQ(listing.paths.size(), 1u);
}

TEST(PlatformDirectory, ListOfAMissingDirectory) {
    TempDir dir;
    Listing listing;
    EXPECT_EQ(aDirectory_List(dir.file("missing").c_str(), record, &listing), aErrNotFound);
    testsupport::writeWholeFile(dir.file("f"), "");
    EXPECT_EQ(aDirectory_List(dir.file("f").c_str(), record, &listing), aErrNotFound);
    EXPECT_TRUE(listing.paths.empty());
}

TEST(PlatformDirectory, ListSkipsAnEntryWhosePathDoesNotFit) {
    TempDir dir;
    const std::string deep = makeDeepDirectory(dir.path(), 2000);
    testsupport::writeWholeFile(deep + "/" + std::string(100, 'f'), "x");
    Listing listing;
    EXPECT_EQ(aDirectory_List(deep.c_str(), record, &listing), aErrNone);
    EXPECT_EQ(listing.paths.size(), 2u) << "only . and .. fit the buffer";
    for (const auto& path : listing.paths) EXPECT_NE(path, deep + "/");
}

TEST(PlatformDirectory, DeleteOnlyEmptyDirectories) {
    TempDir dir;
    makeDirectory(dir.file("empty"));
    makeDirectory(dir.file("full"));
    testsupport::writeWholeFile(dir.file("full/f"), "");
    EXPECT_EQ(aDirectory_Delete(dir.file("empty").c_str()), aErrNone);
    EXPECT_FALSE(isPresent(dir.file("empty")));
    EXPECT_EQ(aDirectory_Delete(dir.file("full").c_str()), aErrUnknown);
    EXPECT_EQ(aDirectory_Delete(dir.file("missing").c_str()), aErrUnknown);
    EXPECT_TRUE(isPresent(dir.file("full/f")));
}

TEST(PlatformDirectory, DeleteTreeRemovesEverythingBelow) {
    TempDir dir;
    const std::string top = dir.file("top");
    makeDirectory(top);
    makeDirectory(top + "/a");
    makeDirectory(top + "/a/b");
    makeDirectory(top + "/empty");
    testsupport::writeWholeFile(top + "/f", "1");
    testsupport::writeWholeFile(top + "/a/b/g", "2");
    ASSERT_EQ(mkfifo((top + "/a/fifo").c_str(), 0600), 0);
    EXPECT_EQ(aDirectory_DeleteTree(top.c_str()), aErrNone);
    EXPECT_FALSE(isPresent(top));
    EXPECT_EQ(aDirectory_DeleteTree(top.c_str()), aErrNotFound);
}

TEST(PlatformDirectory, DeleteTreeNeverFollowsSymbolicLinks) {
    TempDir dir;
    const std::string outside = dir.file("outside");
    makeDirectory(outside);
    testsupport::writeWholeFile(outside + "/keep", "precious");
    const std::string top = dir.file("top");
    makeDirectory(top);
    ASSERT_EQ(symlink(outside.c_str(), (top + "/to-dir").c_str()), 0);
    ASSERT_EQ(symlink((outside + "/keep").c_str(), (top + "/to-file").c_str()), 0);
    ASSERT_EQ(symlink("nowhere", (top + "/dangling").c_str()), 0);

    // A link named as the tree itself is not entered either.
    const std::string linkToOutside = dir.file("link-to-outside");
    ASSERT_EQ(symlink(outside.c_str(), linkToOutside.c_str()), 0);
    EXPECT_EQ(aDirectory_DeleteTree(linkToOutside.c_str()), aErrNotFound);

    EXPECT_EQ(aDirectory_DeleteTree(top.c_str()), aErrNone);
    EXPECT_FALSE(isPresent(top));
    EXPECT_EQ(testsupport::readWholeFile(outside + "/keep"), "precious");
    EXPECT_TRUE(isPresent(linkToOutside));
}

TEST(PlatformDirectory, DeleteTreeLeavesAnEntryWhosePathDoesNotFit) {
    TempDir dir;
    const std::string top = dir.file("top");
    makeDirectory(top);
    const std::string deep = makeDeepDirectory(top, 2000);
    const std::string longName = deep + "/" + std::string(100, 'f');
    testsupport::writeWholeFile(longName, "x");
    testsupport::writeWholeFile(deep + "/short", "y");

    EXPECT_EQ(aDirectory_DeleteTree(top.c_str()), aErrUnknown);
    EXPECT_TRUE(isPresent(longName)) << "never examined under a shortened path";
    EXPECT_FALSE(isPresent(deep + "/short"));
}

TEST(PlatformDirectory, DeleteTreeReportsAFileItCannotRemove) {
    if (geteuid() != 0) GTEST_SKIP() << "needs root to drop to another user";
    TempDir dir;
    ASSERT_EQ(chmod(dir.path().c_str(), 0755), 0);
    const std::string locked = dir.file("locked");
    makeDirectory(locked);
    testsupport::writeWholeFile(locked + "/stuck", "");
    const std::string out = dir.file("out.txt");
    const std::string err = dir.file("err.txt");

    const int code = testsupport::runForked([&] {
        const int outFd = open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        const int errFd = open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        if (outFd < 0 || errFd < 0 || dup2(outFd, 1) < 0 || dup2(errFd, 2) < 0) return 10;
        if (!testsupport::dropPrivileges()) return 11;
        const aErr result = aDirectory_DeleteTree(locked.c_str());
        fflush(stdout);
        return result == aErrUnknown ? 0 : 12;
    });
    EXPECT_EQ(code, 0);
    EXPECT_EQ(testsupport::readWholeFile(out), "---error unlink-ing file [" + locked + "/stuck]\n");
    EXPECT_EQ(testsupport::readWholeFile(err), "aDirectory_DeleteTree: Permission denied\n");
    EXPECT_TRUE(isPresent(locked + "/stuck"));
}

TEST(PlatformDirectory, EnsureWithoutWritePermission) {
    if (geteuid() != 0) GTEST_SKIP() << "needs root to drop to another user";
    TempDir dir;
    ASSERT_EQ(chmod(dir.path().c_str(), 0755), 0);
    const std::string wanted = dir.file("a/b");
    const int code = testsupport::runForked([&] {
        if (!testsupport::dropPrivileges()) return 10;
        return aDirectory_Ensure(wanted.c_str(), 0755) == aErrPermission ? 0 : 11;
    });
    EXPECT_EQ(code, 0);
    EXPECT_FALSE(isPresent(dir.file("a")));
}

TEST(PlatformDirectory, WorkingDirectoryAndExecutable) {
    TempDir dir;
    WorkingDirectory inside(dir.path());
    char buffer[4096];
    EXPECT_EQ(aDirectory_CWD(buffer, sizeof buffer), aErrNone);
    char expected[4096];
    ASSERT_NE(getcwd(expected, sizeof expected), nullptr);
    EXPECT_STREQ(buffer, expected);
    EXPECT_EQ(aDirectory_CWD(buffer, 3), aErrParam);
    EXPECT_EQ(aDirectory_CWD(nullptr, sizeof buffer), aErrParam);

    const ssize_t length = readlink("/proc/self/exe", expected, sizeof expected - 1);
    ASSERT_GT(length, 4);
    expected[length] = '\0';
    EXPECT_EQ(aDirectory_ExecutableFilePath(buffer, sizeof buffer), aErrNone);
    EXPECT_STREQ(buffer, expected);
    EXPECT_EQ(aDirectory_ExecutableFilePath(buffer, 5), aErrNone);
    EXPECT_EQ(std::string(buffer), std::string(expected, 4));
    EXPECT_EQ(aDirectory_ExecutableFilePath(buffer, 1), aErrNone);
    EXPECT_STREQ(buffer, "");
}

TEST(PlatformDirectory, HomeOfTheRealUser) {
    const struct passwd* entry = getpwuid(getuid());
    ASSERT_NE(entry, nullptr);
    const std::string home = entry->pw_dir;
    char buffer[2048];
    EXPECT_EQ(aDirectory_GetHomeDirectory(buffer, sizeof buffer), aErrNone);
    EXPECT_EQ(buffer, home);

    // One byte short of the terminator: refused, and the buffer still terminated.
    std::vector<char> tight(home.size(), 'z');
    EXPECT_EQ(aDirectory_GetHomeDirectory(tight.data(), tight.size()), aErrOverrun);
    EXPECT_EQ(tight[0], '\0');
    EXPECT_EQ(aDirectory_GetHomeDirectory(nullptr, 16), aErrParam);
}

TEST(PlatformDirectory, HomeFromTheEnvironmentWithoutAPasswordEntry) {
    if (geteuid() != 0) GTEST_SKIP() << "needs root to become a user without a password entry";
    uid_t stranger = 54321;
    while (getpwuid(stranger) && stranger < 54421) ++stranger;
    ASSERT_EQ(getpwuid(stranger), nullptr);

    const int code = testsupport::runForked([&] {
        if (setgid(stranger) != 0 || setuid(stranger) != 0) return 10;
        char buffer[2048];
        setenv("HOME", "/elsewhere/home", 1);
        if (aDirectory_GetHomeDirectory(buffer, sizeof buffer) != aErrNone) return 11;
        if (strcmp(buffer, "/elsewhere/home") != 0) return 12;
        unsetenv("HOME");
        memset(buffer, 'z', sizeof buffer);
        if (aDirectory_GetHomeDirectory(buffer, sizeof buffer) != aErrNotFound) return 13;
        return buffer[0] == '\0' ? 0 : 14;
    });
    EXPECT_EQ(code, 0);
}

struct BuildCase {
    size_t size;
    std::vector<const char*> parts;  // the first part, then the further ones
    aErr result;
    const char* joined;
};

aErr buildFrom(char* destination, size_t size, const std::vector<const char*>& p) {
    // BuildPath is variadic; the table's parts are spread by count.
    switch (p.size()) {
    case 1:
        return aDirectory_BuildPath(destination, size, p[0], nullptr);
    case 2:
        return aDirectory_BuildPath(destination, size, p[0], p[1], nullptr);
    case 3:
        return aDirectory_BuildPath(destination, size, p[0], p[1], p[2], nullptr);
    case 10:
        return aDirectory_BuildPath(destination, size, p[0], p[1], p[2], p[3], p[4], p[5], p[6], p[7], p[8], p[9],
                                    nullptr);
    case 11:
        return aDirectory_BuildPath(destination, size, p[0], p[1], p[2], p[3], p[4], p[5], p[6], p[7], p[8], p[9],
                                    p[10], nullptr);
    default:
        ADD_FAILURE() << "no call for " << p.size() << " parts";
        return aErrUnknown;
    }
}

TEST(PlatformDirectory, BuildPathJoinsWithSeparators) {
    const BuildCase cases[] = {
        {10, {"abc", "de"}, aErrNone, "abc/de"},
        {10, {"abc", "defghi"}, aErrOverrun, "abc/"},
        {10, {"abc", "defgh"}, aErrOverrun, "abc/"},
        {10, {"abc", "defg"}, aErrNone, "abc/defg"},
        {32, {"a/", "/b"}, aErrNone, "a//b"},
        {32, {"a", "b"}, aErrNone, "a/b"},
        {32, {"a/", "b"}, aErrNone, "a/b"},
        {32, {"a", "/b"}, aErrNone, "a/b"},
        {32, {"/", "etc", "passwd"}, aErrNone, "/etc/passwd"},
        {32, {"", "b"}, aErrNone, "b"},
        {32, {"dir"}, aErrNone, "dir"},
        {4, {"abc"}, aErrOverrun, ""},
        {5, {"abc", "d"}, aErrOverrun, "abc"},  // no room left for a separator
        {32, {"1", "2", "3", "4", "5", "6", "7", "8", "9", "10"}, aErrNone, "1/2/3/4/5/6/7/8/9/10"},
        {32, {"1", "2", "3", "4", "5", "6", "7", "8", "9", "10", "11"}, aErrParam, ""},
    };
    for (const auto& c : cases) {
        char destination[64];
        memset(destination, 'z', sizeof destination);
        EXPECT_EQ(buildFrom(destination, c.size, c.parts), c.result) << c.parts[0] << " size " << c.size;
        EXPECT_STREQ(destination, c.joined) << c.parts[0] << " size " << c.size;
    }
}

TEST(PlatformDirectory, BuildPathRefusesTheDestinationAsAPart) {
    char destination[32] = "abc";
    EXPECT_EQ(aDirectory_BuildPath(destination, sizeof destination, destination, "x", nullptr), aErrParam);
    EXPECT_STREQ(destination, "abc") << "the first part is left as it was";
    EXPECT_EQ(aDirectory_BuildPath(destination, sizeof destination, "a", destination + 2, nullptr), aErrParam);
    EXPECT_STREQ(destination, "");
    EXPECT_EQ(aDirectory_BuildPath(nullptr, 8, "a", nullptr), aErrParam);
    EXPECT_EQ(aDirectory_BuildPath(destination, sizeof destination, nullptr), aErrParam);
}

TEST(PlatformDirectory, JoinPath) {
    char destination[16];
    EXPECT_EQ(aDirectory_JoinPath(destination, sizeof destination, "/tmp", "x"), aErrNone);
    EXPECT_STREQ(destination, "/tmp/x");
    EXPECT_EQ(aDirectory_JoinPath(destination, 8, "/tmp", "abc"), aErrOverrun);
    EXPECT_STREQ(destination, "/tmp/");
}

}  // namespace
