// Byte streams over files: reads, push-back, records, C strings, copying, handles.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "aStream.h"
#include "tempdir.h"

namespace {

using testsupport::readWholeFile;
using testsupport::TempDir;
using testsupport::writeWholeFile;

class StreamFile : public ::testing::Test {
protected:
    aStreamRef input(const std::string& content) {
        const std::string path = dir.file("in" + std::to_string(count++));
        writeWholeFile(path, content);
        aStreamRef stream = nullptr;
        EXPECT_EQ(aStream_CreateFileInput(path.c_str(), &stream), aErrNone);
        return stream;
    }

    TempDir dir;
    int count = 0;
};

TEST_F(StreamFile, ReadsExactlyOrReportsTheEnd) {
    aStreamRef s = input("abcdef");
    char buf[8] = {};
    EXPECT_EQ(aStream_Read(s, buf, 4), aErrNone);
    EXPECT_EQ(std::string(buf, 4), "abcd");

    // At the end the bytes that arrived are still handed over.
    memset(buf, '.', sizeof(buf));
    EXPECT_EQ(aStream_Read(s, buf, 4), aErrEOF);
    EXPECT_EQ(std::string(buf, 4), "ef..");
    EXPECT_EQ(aStream_Read(s, buf, 1), aErrEOF);
    aStream_Destroy(&s);
}

TEST_F(StreamFile, ZeroLengthReadHandsOutNothing) {
    aStreamRef s = input("x");
    char byte = '.';
    EXPECT_EQ(aStream_Read(s, &byte, 0), aErrNotReady);
    EXPECT_EQ(byte, '.');
    EXPECT_EQ(aStream_Read(s, &byte, 1), aErrNone);
    EXPECT_EQ(byte, 'x');
    aStream_Destroy(&s);
}

TEST_F(StreamFile, RefusesBadArguments) {
    aStreamRef s = input("x");
    char buf[4];
    EXPECT_EQ(aStream_Read(nullptr, buf, 1), aErrParam);
    EXPECT_EQ(aStream_Read(s, nullptr, 1), aErrParam);
    EXPECT_EQ(aStream_Write(s, "a", 1), aErrMode);
    EXPECT_EQ(aStream_ReadRecord(s, buf, nullptr, 0, "\n", 1), aErrParam);
    EXPECT_EQ(aStream_ReadRecord(s, buf, nullptr, 4, "\n", 0), aErrParam);
    EXPECT_EQ(aStream_ReadRecord(s, buf, nullptr, 4, nullptr, 1), aErrParam);
    EXPECT_EQ(aStream_ReadCString(s, buf, 1), aErrParam);
    EXPECT_EQ(aStream_ReadCString(s, buf, 0), aErrParam);
    EXPECT_EQ(aStream_ReadCStringRecord(s, buf, sizeof(buf), ""), aErrParam);
    // Nothing was consumed by the refused calls.
    EXPECT_EQ(aStream_Read(s, buf, 1), aErrNone);
    EXPECT_EQ(buf[0], 'x');
    aStream_Destroy(&s);
}

TEST_F(StreamFile, CreatorsReportMissingStreams) {
    aStreamRef s = reinterpret_cast<aStreamRef>(&count);
    EXPECT_EQ(aStream_CreateFileInput(dir.file("missing").c_str(), &s), aErrResource);
    EXPECT_EQ(s, nullptr);
    s = reinterpret_cast<aStreamRef>(&count);
    EXPECT_EQ(aStream_CreateFileOutput((dir.path() + "/no/such/dir").c_str(), &s), aErrResource);
    EXPECT_EQ(s, nullptr);
    EXPECT_EQ(aStream_CreateFileInput(nullptr, &s), aErrResource);
    EXPECT_EQ(aStream_CreateFileInput(dir.file("missing").c_str(), nullptr), aErrResource);
}

TEST_F(StreamFile, DestroyClearsTheHandle) {
    aStreamRef s = input("x");
    EXPECT_EQ(aStream_Destroy(&s), aErrNone);
    EXPECT_EQ(s, nullptr);
    EXPECT_EQ(aStream_Destroy(&s), aErrParam);
    EXPECT_EQ(aStream_Destroy(nullptr), aErrParam);
}

struct RecordCase {
    const char* input;
    const char* delimiter;
    size_t maximum;
    aErr result;
    const char* record;
    const char* rest;  // what the stream yields afterwards
};

TEST_F(StreamFile, ReadRecordStopsAtDelimiterOrMaximum) {
    const RecordCase cases[] = {
        {"one\ntwo", "\n", 16, aErrNone, "one", "two"},
        {"abcdef\n", "\n", 4, aErrNone, "abcd", "ef\n"},
        {"tail", "\n", 16, aErrNone, "tail", ""},
        {"", "\n", 16, aErrEOF, "", ""},
        {"\nx", "\n", 16, aErrNone, "", "x"},
        {"ab\r\ncd", "\r\n", 16, aErrNone, "ab", "cd"},
        // A partly matched delimiter is data when the match breaks.
        {"a\rb\r\nc", "\r\n", 16, aErrNone, "a\rb", "c"},
        {"xxxy", "xxy", 16, aErrNone, "x", ""},
        // A record full at a partial match leaves those bytes in the stream.
        {"abc\r", "\r\n", 3, aErrNone, "abc", "\r"},
        {"ab\r\r\n", "\r\n", 3, aErrNone, "ab\r", "\r\n"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string("input ") + c.input);
        aStreamRef s = input(c.input);
        char record[32];
        memset(record, '#', sizeof(record));
        size_t length = 99;
        EXPECT_EQ(aStream_ReadRecord(s, record, &length, c.maximum, c.delimiter, strlen(c.delimiter)), c.result);
        EXPECT_EQ(length, strlen(c.record));
        EXPECT_EQ(std::string(record, length), c.record);
        EXPECT_EQ(record[length], '#');

        std::string rest;
        char byte;
        for (int i = 0; i < 64 && aStream_Read(s, &byte, 1) == aErrNone; i++) rest += byte;
        EXPECT_EQ(rest, c.rest);
        aStream_Destroy(&s);
    }
}

TEST_F(StreamFile, CStringReadersNeverOverflow) {
    aStreamRef s = input(std::string("hello world\0next", 16));
    char guard[16];
    memset(guard, '#', sizeof(guard));
    char* buf = guard;
    // Six bytes of room: five characters and the terminator.
    EXPECT_EQ(aStream_ReadCString(s, buf, 6), aErrNone);
    EXPECT_STREQ(buf, "hello");
    EXPECT_EQ(guard[6], '#');
    EXPECT_EQ(aStream_ReadCString(s, buf, 16), aErrNone);
    EXPECT_STREQ(buf, " world");
    EXPECT_EQ(aStream_ReadCString(s, buf, 16), aErrNone);
    EXPECT_STREQ(buf, "next");
    strcpy(buf, "stale");
    EXPECT_EQ(aStream_ReadCString(s, buf, 16), aErrEOF);
    EXPECT_STREQ(buf, "");
    aStream_Destroy(&s);
}

TEST_F(StreamFile, CStringRecordsRoundTrip) {
    const std::string path = dir.file("out");
    aStreamRef out = nullptr;
    ASSERT_EQ(aStream_CreateFileOutput(path.c_str(), &out), aErrNone);
    EXPECT_EQ(aStream_WriteCString(out, "plain"), aErrNone);
    EXPECT_EQ(aStream_WriteCStringRecord(out, "rec", "\r\n"), aErrNone);
    EXPECT_EQ(aStream_WriteRecord(out, "raw", 3, ";", 1), aErrNone);
    EXPECT_EQ(aStream_Write(out, "!", 1), aErrNone);
    EXPECT_EQ(aStream_WriteCString(out, nullptr), aErrParam);
    EXPECT_EQ(aStream_WriteRecord(out, "raw", 3, ";", 0), aErrParam);
    EXPECT_EQ(aStream_Destroy(&out), aErrNone);
    EXPECT_EQ(readWholeFile(path), std::string("plain\0rec\r\n\0raw;!", 17));

    aStreamRef in = nullptr;
    ASSERT_EQ(aStream_CreateFileInput(path.c_str(), &in), aErrNone);
    char buf[16];
    EXPECT_EQ(aStream_ReadCString(in, buf, sizeof(buf)), aErrNone);
    EXPECT_STREQ(buf, "plain");
    EXPECT_EQ(aStream_ReadCStringRecord(in, buf, sizeof(buf), "\r\n"), aErrNone);
    EXPECT_STREQ(buf, "rec");
    // The record writer's trailing zero stays in the stream.
    EXPECT_EQ(aStream_Read(in, buf, 1), aErrNone);
    EXPECT_EQ(buf[0], '\0');
    aStream_Destroy(&in);
}

TEST_F(StreamFile, FlushCopiesTheWholeSource) {
    std::string content;
    for (int i = 0; i < 3000; i++) content += static_cast<char>(i * 7);
    aStreamRef in = input(content);
    const std::string path = dir.file("copy");
    aStreamRef out = nullptr;
    ASSERT_EQ(aStream_CreateFileOutput(path.c_str(), &out), aErrNone);
    EXPECT_EQ(aStream_Flush(out, in), aErrMode);
    EXPECT_EQ(aStream_Flush(in, nullptr), aErrParam);
    ASSERT_EQ(aStream_Flush(in, out), aErrNone);
    aStream_Destroy(&in);
    aStream_Destroy(&out);
    EXPECT_EQ(readWholeFile(path), content);
}

TEST_F(StreamFile, WaitReadableAnswersAtOnce) {
    aStreamRef in = input("");
    EXPECT_EQ(aStream_WaitReadable(in, 5000), aErrNone);
    aStreamRef out = nullptr;
    ASSERT_EQ(aStream_CreateFileOutput(dir.file("o").c_str(), &out), aErrNone);
    EXPECT_EQ(aStream_WaitReadable(out, 10), aErrMode);
    EXPECT_EQ(aStream_WaitReadable(nullptr, 10), aErrParam);
    aStream_Destroy(&in);
    aStream_Destroy(&out);
}

}  // namespace
