// File handles against a real temporary file system.
#include <gtest/gtest.h>

#include <csignal>
#include <cstring>
#include <string>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include "aFile.h"
#include "forked_child.h"
#include "tempdir.h"

using testsupport::TempDir;

namespace {

// Opens a file that holds `content`, in `mode`.
aFileRef openWith(const TempDir& dir, const std::string& content, aFileMode mode) {
    const std::string path = dir.file("data");
    testsupport::writeWholeFile(path, content);
    return aFile_Open(path.c_str(), mode);
}

uint64_t positionOf(aFileRef file) {
    uint64_t position = UINT64_MAX;
    EXPECT_EQ(aFile_GetPosition(file, &position), aErrNone);
    return position;
}

TEST(PlatformFile, OpenRefusesBadArguments) {
    TempDir dir;
    const std::string existing = dir.file("present");
    testsupport::writeWholeFile(existing, "x");

    EXPECT_EQ(aFile_Open(nullptr, aFileModeRead), nullptr);
    EXPECT_EQ(aFile_Open("", aFileModeWrite), nullptr);
    EXPECT_EQ(aFile_Open(existing.c_str(), 3), nullptr);
    EXPECT_EQ(aFile_Open(existing.c_str(), -1), nullptr);
    EXPECT_EQ(aFile_Open(dir.file("missing").c_str(), aFileModeRead), nullptr);
    EXPECT_EQ(aFile_Open(dir.file("no/such/dir").c_str(), aFileModeWrite), nullptr);
}

TEST(PlatformFile, OverlongPathsAreRefusedBeforeTheSystemSeesThem) {
    // 4096 characters reach the system (which finds the name too long: aErrIO);
    // 4097 are refused as too long a name first.
    const std::string atLimit(aFILE_MAX_PATH, 'a');
    const std::string overLimit(aFILE_MAX_PATH + 1, 'a');
    EXPECT_EQ(aFile_Delete(atLimit.c_str()), aErrIO);
    EXPECT_EQ(aFile_Delete(overLimit.c_str()), aErrFileNameLength);
    EXPECT_EQ(aFile_Open(overLimit.c_str(), aFileModeWrite), nullptr);
    EXPECT_FALSE(aFile_Exists(overLimit.c_str()));
}

TEST(PlatformFile, ExistsOnlyForNonDirectories) {
    TempDir dir;
    testsupport::writeWholeFile(dir.file("f"), "");
    EXPECT_TRUE(aFile_Exists(dir.file("f").c_str()));
    EXPECT_FALSE(aFile_Exists(dir.path().c_str()));
    EXPECT_FALSE(aFile_Exists(dir.file("missing").c_str()));
    EXPECT_FALSE(aFile_Exists(nullptr));
}

TEST(PlatformFile, WriteModeTruncatesAndCreates) {
    TempDir dir;
    aFileRef file = openWith(dir, "old content", aFileModeWrite);
    ASSERT_NE(file, nullptr);
    size_t written = 0;
    EXPECT_EQ(aFile_Write(file, "new", 3, &written), aErrNone);
    EXPECT_EQ(written, 3u);
    EXPECT_EQ(aFile_Close(&file), aErrNone);
    EXPECT_EQ(file, nullptr);
    EXPECT_EQ(testsupport::readWholeFile(dir.file("data")), "new");
}

TEST(PlatformFile, AppendModeStartsAtTheEndAndAppends) {
    TempDir dir;
    aFileRef file = openWith(dir, "0123456789", aFileModeAppend);
    ASSERT_NE(file, nullptr);
    EXPECT_EQ(positionOf(file), 10u);

    EXPECT_EQ(aFile_Write(file, "ab", 2, nullptr), aErrNone);
    // Reading is allowed too; writes still land at the end after a seek back.
    ASSERT_EQ(aFile_Seek(file, 0, 0), aErrNone);
    char head[4] = {};
    size_t got = 0;
    EXPECT_EQ(aFile_Read(file, head, 3, &got), aErrNone);
    EXPECT_EQ(std::string(head, got), "012");
    EXPECT_EQ(aFile_Write(file, "c", 1, nullptr), aErrNone);
    EXPECT_EQ(aFile_Close(&file), aErrNone);
    EXPECT_EQ(testsupport::readWholeFile(dir.file("data")), "0123456789abc");
}

TEST(PlatformFile, ReadCountsAndEndOfFile) {
    TempDir dir;
    aFileRef file = openWith(dir, "0123456789", aFileModeRead);
    ASSERT_NE(file, nullptr);
    char buffer[16];
    size_t got = 99;
    EXPECT_EQ(aFile_Read(file, buffer, sizeof buffer, &got), aErrNone);
    EXPECT_EQ(got, 10u);
    EXPECT_EQ(std::string(buffer, got), "0123456789");
    EXPECT_EQ(aFile_Read(file, buffer, sizeof buffer, &got), aErrEOF);
    EXPECT_EQ(got, 0u);
    EXPECT_EQ(aFile_Read(file, buffer, 0, &got), aErrNone);
    EXPECT_EQ(aFile_Read(file, nullptr, 4, &got), aErrParam);
    EXPECT_EQ(aFile_Read(file, buffer, 4, nullptr), aErrEOF);
    EXPECT_EQ(aFile_Close(&file), aErrNone);
}

TEST(PlatformFile, ModesGuardReadingAndWriting) {
    TempDir dir;
    char byte = 'x';
    aFileRef reader = openWith(dir, "abc", aFileModeRead);
    ASSERT_NE(reader, nullptr);
    EXPECT_EQ(aFile_Write(reader, &byte, 1, nullptr), aErrMode);
    EXPECT_EQ(aFile_Printf(reader, "%d", 1), aErrMode);
    EXPECT_EQ(aFile_SetUnbuffered(reader), aErrMode);
    EXPECT_EQ(aFile_Close(&reader), aErrNone);

    aFileRef writer = aFile_Open(dir.file("w").c_str(), aFileModeWrite);
    ASSERT_NE(writer, nullptr);
    char line[8];
    size_t length = 0;
    EXPECT_EQ(aFile_Read(writer, &byte, 1, nullptr), aErrMode);
    EXPECT_EQ(aFile_ReadLine(writer, line, sizeof line, &length), aErrMode);
    EXPECT_EQ(aFile_Close(&writer), aErrNone);
}

TEST(PlatformFile, InvalidHandlesAreRefused) {
    aFileRef none = nullptr;
    aFile bogus = {stdout, aFileModeWrite, 0xBEEF};
    char buffer[4];
    uint64_t value = 0;
    size_t length = 0;
    for (aFileRef file : {none, &bogus}) {
        EXPECT_EQ(aFile_Read(file, buffer, 1, nullptr), aErrParam);
        EXPECT_EQ(aFile_Write(file, "x", 1, nullptr), aErrParam);
        EXPECT_EQ(aFile_Seek(file, 0, 0), aErrParam);
        EXPECT_EQ(aFile_GetSize(file, &value), aErrParam);
        EXPECT_EQ(aFile_GetPosition(file, &value), aErrParam);
        EXPECT_EQ(aFile_ReadLine(file, buffer, sizeof buffer, &length), aErrParam);
        EXPECT_EQ(aFile_SetUnbuffered(file), aErrParam);
        EXPECT_EQ(aFile_Printf(file, "x"), aErrParam);
    }
    aFileRef handle = &bogus;
    EXPECT_EQ(aFile_Close(&handle), aErrParam);
    EXPECT_EQ(handle, nullptr) << "the handle is cleared even when it fails the check";
    EXPECT_EQ(aFile_Close(nullptr), aErrParam);
}

TEST(PlatformFile, CloseTwiceIsRefused) {
    TempDir dir;
    aFileRef file = openWith(dir, "abc", aFileModeRead);
    ASSERT_NE(file, nullptr);
    EXPECT_EQ(aFile_Close(&file), aErrNone);
    EXPECT_EQ(file, nullptr);
    EXPECT_EQ(aFile_Close(&file), aErrParam);
}

TEST(PlatformFile, CloseReportsAFailedFlush) {
    // /dev/full takes the buffered byte but fails the flush at close.
    aFileRef file = aFile_Open("/dev/full", aFileModeWrite);
    ASSERT_NE(file, nullptr);
    EXPECT_EQ(aFile_Write(file, "x", 1, nullptr), aErrNone);
    EXPECT_EQ(aFile_Close(&file), aErrIO);
    EXPECT_EQ(file, nullptr);
}

TEST(PlatformFile, WriteReportsNothingWritten) {
    aFileRef file = aFile_Open("/dev/full", aFileModeWrite);
    ASSERT_NE(file, nullptr);
    ASSERT_EQ(aFile_SetUnbuffered(file), aErrNone);
    size_t written = 99;
    EXPECT_EQ(aFile_Write(file, "x", 1, &written), aErrIO);
    EXPECT_EQ(written, 0u);
    EXPECT_EQ(aFile_Write(file, "x", 0, &written), aErrNone);
    aFile_Close(&file);
}

TEST(PlatformFile, WriteReportsAShortWrite) {
    TempDir dir;
    const std::string path = dir.file("limited");
    // A file-size limit of 10 bytes lets the first 10 of 16 through.
    const int code = testsupport::runForked([&] {
        signal(SIGXFSZ, SIG_IGN);
        const struct rlimit limit = {10, 10};
        if (setrlimit(RLIMIT_FSIZE, &limit) != 0) return 10;
        aFileRef file = aFile_Open(path.c_str(), aFileModeWrite);
        if (!file || aFile_SetUnbuffered(file) != aErrNone) return 11;
        size_t written = 0;
        const aErr result = aFile_Write(file, "0123456789abcdef", 16, &written);
        aFile_Close(&file);
        if (result != aErrIO) return 12;
        return written == 10 ? 0 : 13;
    });
    EXPECT_EQ(code, 0);
    EXPECT_EQ(testsupport::readWholeFile(path), "0123456789");
}

struct SeekCase {
    int64_t offset;
    int origin;
    aErr result;
    uint64_t position;  // afterwards; a refused seek leaves it at the start position 4
};

TEST(PlatformFile, SeekTargetsWithinTheFile) {
    const SeekCase cases[] = {
        {0, 2, aErrNone, 10},   {1, 2, aErrRange, 4},         {-1, 0, aErrRange, 4},        {-10, 2, aErrNone, 0},
        {-11, 2, aErrRange, 4}, {3, 1, aErrNone, 7},          {-4, 1, aErrNone, 0},         {-5, 1, aErrRange, 4},
        {10, 0, aErrNone, 10},  {11, 0, aErrRange, 4},        {0, 0, aErrNone, 0},          {6, 7, aErrNone, 6},
        {6, -1, aErrNone, 6},   {INT64_MAX, 1, aErrRange, 4}, {INT64_MIN, 2, aErrRange, 4},
    };
    TempDir dir;
    aFileRef file = openWith(dir, "0123456789", aFileModeRead);
    ASSERT_NE(file, nullptr);
    for (const auto& c : cases) {
        ASSERT_EQ(aFile_Seek(file, 4, 0), aErrNone);
        EXPECT_EQ(aFile_Seek(file, c.offset, c.origin), c.result) << c.offset << " from " << c.origin;
        EXPECT_EQ(positionOf(file), c.position) << c.offset << " from " << c.origin;
    }
    uint64_t size = 0;
    EXPECT_EQ(aFile_GetSize(file, &size), aErrNone);
    EXPECT_EQ(size, 10u) << "seeking never extends the file";
    EXPECT_EQ(aFile_Close(&file), aErrNone);
}

TEST(PlatformFile, GetSizeKeepsThePosition) {
    TempDir dir;
    aFileRef file = openWith(dir, "0123456789", aFileModeRead);
    ASSERT_NE(file, nullptr);
    ASSERT_EQ(aFile_Seek(file, 3, 0), aErrNone);
    uint64_t size = 0;
    EXPECT_EQ(aFile_GetSize(file, &size), aErrNone);
    EXPECT_EQ(size, 10u);
    EXPECT_EQ(positionOf(file), 3u);
    EXPECT_EQ(aFile_GetSize(file, nullptr), aErrParam);
    EXPECT_EQ(aFile_GetPosition(file, nullptr), aErrNone);
    EXPECT_EQ(aFile_Close(&file), aErrNone);
}

struct ReadLineStep {
    aErr result;
    const char* text;
};

TEST(PlatformFile, ReadLineInPiecesOfTheBuffer) {
    const ReadLineStep steps[] = {
        {aErrNone, "abcd\n"}, {aErrOverrun, "abcde"}, {aErrNone, "fgh\n"},
        {aErrNone, "\n"},     {aErrNone, "xy"},       {aErrEOF, ""},
    };
    TempDir dir;
    aFileRef file = openWith(dir, "abcd\nabcdefgh\n\nxy", aFileModeRead);
    ASSERT_NE(file, nullptr);
    for (const auto& step : steps) {
        char line[6];
        size_t length = 99;
        EXPECT_EQ(aFile_ReadLine(file, line, sizeof line, &length), step.result) << step.text;
        EXPECT_STREQ(line, step.text);
        EXPECT_EQ(length, strlen(step.text));
    }
    EXPECT_EQ(aFile_Close(&file), aErrNone);
}

TEST(PlatformFile, ReadLineRefusesBuffersWithoutRoomForACharacter) {
    TempDir dir;
    aFileRef file = openWith(dir, "abc\n", aFileModeRead);
    ASSERT_NE(file, nullptr);
    char line[2] = {'z', 'z'};
    size_t length = 99;
    EXPECT_EQ(aFile_ReadLine(file, line, 1, &length), aErrParam);
    EXPECT_EQ(line[0], '\0');
    EXPECT_EQ(length, 0u);
    EXPECT_EQ(aFile_ReadLine(file, line, 0, &length), aErrParam);
    EXPECT_EQ(aFile_ReadLine(file, nullptr, 8, &length), aErrParam);
    EXPECT_EQ(aFile_ReadLine(file, line, 2, nullptr), aErrParam);
    // Nothing was consumed by the refused calls.
    EXPECT_EQ(aFile_ReadLine(file, line, 2, &length), aErrOverrun);
    EXPECT_STREQ(line, "a");
    EXPECT_EQ(aFile_Close(&file), aErrNone);
}

TEST(PlatformFile, UnbufferedOutputReachesTheFileAtOnce) {
    TempDir dir;
    const std::string path = dir.file("log");
    aFileRef file = aFile_Open(path.c_str(), aFileModeAppend);
    ASSERT_NE(file, nullptr);
    ASSERT_EQ(aFile_SetUnbuffered(file), aErrNone);
    EXPECT_EQ(aFile_Printf(file, "%s=%d;", "n", 42), aErrNone);
    EXPECT_EQ(testsupport::readWholeFile(path), "n=42;");
    EXPECT_EQ(aFile_Close(&file), aErrNone);
}

TEST(PlatformFile, DeleteResults) {
    TempDir dir;
    const std::string path = dir.file("doomed");
    testsupport::writeWholeFile(path, "x");
    EXPECT_EQ(aFile_Delete(path.c_str()), aErrNone);
    EXPECT_FALSE(aFile_Exists(path.c_str()));
    EXPECT_EQ(aFile_Delete(path.c_str()), aErrNotFound);
    EXPECT_EQ(aFile_Delete(nullptr), aErrParam);
}

class PlatformFileUnprivileged : public ::testing::Test {
protected:
    void SetUp() override {
        if (geteuid() != 0) GTEST_SKIP() << "needs root to drop to another user";
        // Let the unprivileged child reach the directory without writing to it.
        ASSERT_EQ(chmod(dir.path().c_str(), 0755), 0);
        testsupport::writeWholeFile(dir.file("owned"), "secret");
        ASSERT_EQ(chmod(dir.file("owned").c_str(), 0600), 0);
    }
    TempDir dir;
};

TEST_F(PlatformFileUnprivileged, PermissionFailures) {
    const std::string owned = dir.file("owned");
    const std::string fresh = dir.file("fresh");
    const int code = testsupport::runForked([&] {
        if (!testsupport::dropPrivileges()) return 10;
        if (aFile_Delete(owned.c_str()) != aErrPermission) return 11;
        if (aFile_Open(owned.c_str(), aFileModeRead) != nullptr) return 12;
        if (aFile_Open(owned.c_str(), aFileModeAppend) != nullptr) return 13;
        if (aFile_Open(fresh.c_str(), aFileModeWrite) != nullptr) return 14;
        return 0;
    });
    EXPECT_EQ(code, 0);
    EXPECT_EQ(testsupport::readWholeFile(owned), "secret");
    EXPECT_FALSE(aFile_Exists(fresh.c_str()));
}

}  // namespace
