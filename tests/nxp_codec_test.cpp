// The ISP client's encodings, tables and line readers; the readers are fed through a pty.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <string>
#include <termios.h>
#include <thread>
#include <unistd.h>

#include "IspCodec.h"
#include "NXPSerial.h"
#include "Log.h"
#include "log_capture.h"

namespace {

TEST(NxpCodec, UuencodesGroupsOfThreeWithTheGraveAccentForZero) {
    char line[16];
    const uint8_t abc[3] = {0x61, 0x62, 0x63};
    EXPECT_EQ(IspCodec::uuencode(line, abc, 3), 3u);
    EXPECT_STREQ(line, "#86)C");
    EXPECT_EQ(IspCodec::uuencode(line, abc, 0), 0u);
    EXPECT_STREQ(line, "`");
}

TEST(NxpCodec, UudecodeRoundTripsAndStaysInsideItsBuffer) {
    uint8_t data[45];
    for (size_t i = 0; i < sizeof data; ++i) data[i] = static_cast<uint8_t>(i * 37 + 1);
    char line[64];
    IspCodec::uuencode(line, data, sizeof data);
    EXPECT_EQ(std::strlen(line), 61u);

    uint8_t out[48];
    std::memset(out, 0xEE, sizeof out);
    ASSERT_EQ(IspCodec::uudecode(out, 45, line), 45u);
    EXPECT_EQ(std::memcmp(out, data, 45), 0);
    EXPECT_EQ(out[45], 0xEE);

    std::memset(out, 0xEE, sizeof out);
    EXPECT_EQ(IspCodec::uudecode(out, 44, line), 0u);
    EXPECT_EQ(out[0], 0xEE);

    // A line cut short stops at its end rather than reading past it, and counts only the
    // bytes it wrote: two whole groups of the nine characters after the count.
    testsupport::LogCapture log(DEBUG_NXPSerial);
    line[10] = '\0';
    std::memset(out, 0xEE, sizeof out);
    EXPECT_EQ(IspCodec::uudecode(out, 48, line), 6u);
    EXPECT_EQ(std::memcmp(out, data, 6), 0);
    EXPECT_EQ(out[6], 0xEE);
    EXPECT_NE(log.text().find("Error buffer overrun\n"), std::string::npos);
}

// Whole lines as the chip reads and writes them; the expected text is that of an
// independent uuencoder (the grave accent standing for zero).
TEST(NxpCodec, LinesAreByteForByteTheChipsEncoding) {
    uint8_t full[45];
    for (size_t i = 0; i < sizeof full; ++i) full[i] = static_cast<uint8_t>(i * 37 + 1);
    const uint8_t partial[7] = {0x00, 0xFF, 0x10, 0x20, 0x30, 0x40, 0x50};
    struct Case {
        const uint8_t* bytes;
        size_t count;
        const char* line;
        uint32_t sum;
        const char* checksumLine;
    };
    const Case cases[] = {
        {full, sizeof full, "M`29+<)6ZWP0I3G.8O>('+%%VF\\#E\"B]4>9[#Z`TR5WRAQNL0-5I_I,GN$SA=", 5187, "5187\r\n"},
        {partial, sizeof partial, "'`/\\0(#!`4```", 495, "495\r\n"},
    };
    for (const Case& c : cases) {
        char line[IspCodec::uuencodedSize(45)];
        ASSERT_LE(IspCodec::uuencodedSize(c.count), sizeof line);
        EXPECT_EQ(IspCodec::uuencode(line, c.bytes, c.count), c.count);
        EXPECT_STREQ(line, c.line);
        EXPECT_EQ(std::strlen(line) + 1, IspCodec::uuencodedSize(c.count));
        EXPECT_EQ(IspCodec::sum(c.bytes, c.count), c.sum);
        char checksum[16];
        EXPECT_EQ(IspCodec::checksumLine(checksum, sizeof checksum, c.sum), std::strlen(c.checksumLine));
        EXPECT_STREQ(checksum, c.checksumLine);

        uint8_t decoded[45];
        ASSERT_EQ(IspCodec::uudecode(decoded, sizeof decoded, line), c.count);
        EXPECT_EQ(std::memcmp(decoded, c.bytes, c.count), 0);
    }
    char tooSmall[4];
    EXPECT_EQ(IspCodec::checksumLine(tooSmall, sizeof tooSmall, 5187), 0u);
}

TEST(NxpCodec, AReturnCodeIsAWholeLineOfDigits) {
    struct Case {
        const char* line;
        bool parsed;
        uint32_t code;
    };
    const Case cases[] = {{"0\r\n", true, 0},           {"19\r\n", true, 19}, {"4294967295\r\n", true, 4294967295u},
                          {"4294967296\r\n", false, 0}, {"0\n", false, 0},    {"OK\r\n", false, 0},
                          {"1 \r\n", false, 0},         {"\r\n", false, 0},   {"12", false, 0}};
    for (const Case& c : cases) {
        uint32_t code = 77;
        EXPECT_EQ(IspCodec::ParseReturnCode(c.line, std::strlen(c.line), code), c.parsed) << c.line;
        EXPECT_EQ(code, c.parsed ? c.code : 77u) << c.line;
    }
}

TEST(NxpCodec, SumsBytesIntoAnUnsigned32BitWord) {
    const uint8_t bytes[4] = {0xFF, 0xFF, 0x01, 0x00};
    EXPECT_EQ(IspCodec::sum(bytes, 4), 0x1FFu);
}

TEST(NxpCodec, CopyLengthRoundsUpToTheSizesTheChipCopies) {
    testsupport::LogCapture log(DEBUG_NXPSerial);
    const std::pair<uint32_t, uint32_t> cases[] = {{1, 256},     {256, 256},   {257, 512},
                                                   {1000, 1024}, {4096, 4096}, {4097, 4097}};
    for (const auto& [n, rounded] : cases) EXPECT_EQ(NXPSerialClass::CopyLength(n), rounded) << n;
    EXPECT_NE(log.text().find("Copy length is too large. 4097 > 4096.\n"), std::string::npos);
}

TEST(NxpCodec, SectorFromAddressWalksTheSectorTable) {
    const std::pair<uint32_t, uint32_t> cases[] = {{0, 0},        {0xFFF, 0},    {0x1000, 1},   {0xFFFF, 15},
                                                   {0x10000, 16}, {0x7FFFF, 29}, {0x80000, 30}, {0xFFFFFFFF, 30}};
    for (const auto& [address, sector] : cases)
        EXPECT_EQ(NXPSerialClass::SectorFromAddress(address), sector) << address;
}

TEST(NxpCodec, GetErrorTextNamesTheReturnCode) {
    EXPECT_STREQ(NXPSerialClass::GetErrorText("9\r\n"), "SECTOR_NOT_PREPARED_FOR_WRITE_OPERATION");
    EXPECT_STREQ(NXPSerialClass::GetErrorText("0x13\r\n"), "CODE_READ_PROTECTION_ENABLED");
    EXPECT_STREQ(NXPSerialClass::GetErrorText("25\r\n"), "Unknown error");
    EXPECT_STREQ(NXPSerialClass::GetErrorText("OK\r\n"), "CMD_SUCCESS");
}

// A pty whose master the test writes as the chip would.
class NxpChipLine : public ::testing::Test {
protected:
    void SetUp() override {
        master_ = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
        ASSERT_GE(master_, 0);
        ASSERT_EQ(grantpt(master_), 0);
        ASSERT_EQ(unlockpt(master_), 0);
        const std::string slave = ptsname(master_);
        ASSERT_EQ(isp_.Connect(slave.c_str(), 115200), aErrNone);
    }
    void TearDown() override {
        isp_.Disconnect();
        if (master_ >= 0) close(master_);
    }
    void chipSends(const std::string& bytes) {
        ASSERT_EQ(write(master_, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
        usleep(20000);
    }

    int master_ = -1;
    NXPSerialClass isp_;
};

TEST_F(NxpChipLine, ResponseSkipsLeadingLineEndsAndZeroBytes) {
    chipSends(std::string("\n\r\0\0OK\r\n", 8));
    uint8_t buffer[16];
    size_t count = 0;
    EXPECT_EQ(isp_.Response(buffer, sizeof buffer, count, "OK\r\n", 4), aErrNone);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(buffer), count), "OK\r\n");
}

TEST_F(NxpChipLine, ResponseGivesUpWhenTheLineStaysIdle) {
    chipSends("OK");
    uint8_t buffer[16];
    size_t count = 0;
    const auto started = std::chrono::steady_clock::now();
    EXPECT_EQ(isp_.Response(buffer, sizeof buffer, count, "OK\r\n", 4), aErrNotReady);
    EXPECT_EQ(count, 2u);
    EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(3));
}

// A USB-serial adapter hands bytes over in bursts, tens of milliseconds apart; a loaded
// machine adds more. Each reader waits for the rest of its line.
TEST_F(NxpChipLine, RepliesThatArriveLateAndInPiecesAreReadWhole) {
    std::thread chip([this] {
        const char* pieces[] = {"Synchro", "nized\r", "\n", "O", "K\r\n", "1", "2\r\n"};
        for (const char* piece : pieces) {
            usleep(120000);
            ASSERT_EQ(write(master_, piece, std::strlen(piece)), static_cast<ssize_t>(std::strlen(piece)));
        }
    });
    uint8_t buffer[32];
    size_t count = 0;
    EXPECT_EQ(isp_.Response(buffer, sizeof buffer, count, "Synchronized\r\n", 14), aErrNone);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(buffer), count), "Synchronized\r\n");
    EXPECT_EQ(isp_.Response(buffer, sizeof buffer, count, "OK\r\n", 4), aErrNone);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(buffer), count), "OK\r\n");
    char line[16];
    EXPECT_EQ(isp_.GetLine(line, sizeof line, count, 400), aErrNone);
    EXPECT_STREQ(line, "12\r\n");
    chip.join();
}

TEST_F(NxpChipLine, ResponseNeverStoresMoreThanItsBuffer) {
    chipSends(std::string(40, 'x'));
    uint8_t buffer[8];
    size_t count = 0;
    isp_.Response(buffer, sizeof buffer, count, "Synchronized\r\nSynchronized\r\n", 28);
    EXPECT_LE(count, sizeof buffer);
}

TEST_F(NxpChipLine, GetLineSkipsALeadingLineFeedAndKeepsItsLineEnd) {
    chipSends("\n0\r\n");
    char line[16];
    size_t count = 0;
    EXPECT_EQ(isp_.GetLine(line, sizeof line, count, 100), aErrNone);
    EXPECT_STREQ(line, "0\r\n");
}

TEST_F(NxpChipLine, GetLineStoresAtMostItsSizeLessOne) {
    chipSends(std::string(20, '7'));
    char line[8];
    size_t count = 0;
    isp_.GetLine(line, sizeof line, count, 100);
    EXPECT_EQ(count, 7u);
    EXPECT_EQ(std::string(line), "7777777");
}

TEST_F(NxpChipLine, ResultCodeIsTheWholeLineInBothEchoModes) {
    const struct {
        bool echo;
        const char* line;
        aErr expected;
    } cases[] = {{true, "0\r\n", aErrNone},    {true, "8\r\n", aErrParam},    {false, "0\r\n", aErrNone},
                 {false, "8\r\n", aErrParam},  {true, "10\r\n", aErrParam},   {false, "10\r\n", aErrParam},
                 {false, "00\r\n", aErrNone},  {true, "", aErrParam},         {false, "0", aErrParam},
                 {false, "0x\r\n", aErrParam}, {false, "0 9\r\n", aErrParam}, {false, "O\r\n", aErrParam},
                 {false, "-0\r\n", aErrParam}};
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.line) + (c.echo ? " echo" : " no echo"));
        isp_.echo = c.echo;
        // With echo on, the chip repeats the command before it answers.
        chipSends(std::string(c.echo ? "P 0 0\r\n" : "") + c.line);
        EXPECT_EQ(isp_.Prepare(0, 0), c.expected);
        tcflush(master_, TCIFLUSH);
    }
}

TEST_F(NxpChipLine, SyncNeedsTheChipToAcceptTheCrystalFrequency) {
    const std::pair<const char*, aErr> cases[] = {{"OK\r\n", aErrNone}, {"NO\r\n", aErrIO}, {"", aErrNotReady}};
    for (const auto& [last, expected] : cases) {
        SCOPED_TRACE(last);
        chipSends(std::string("Synchronized\r\nSynchronized\r\nOK\r\n14746\r\n") + last);
        EXPECT_EQ(isp_.Sync(), expected);
        tcflush(master_, TCIOFLUSH);
    }
}

TEST_F(NxpChipLine, SyncFailsWithIOWhenTheChipDoesNotSayOkYetStillSendsTheCrystal) {
    chipSends("Synchronized\r\nSynchronized\r\nNO\r\n14746\r\nOK\r\n");
    EXPECT_EQ(isp_.Sync(), aErrIO);
    usleep(20000);
    char sent[128];
    const ssize_t n = read(master_, sent, sizeof sent);
    ASSERT_GT(n, 0);
    EXPECT_EQ(std::string(sent, static_cast<size_t>(n)), "?Synchronized\r\n14746\r\n");
}

// A line that is gone fails each command with the write's own error, before any answer
// is read or judged.
TEST_F(NxpChipLine, AFailedWriteIsReportedAsItsOwnError) {
    close(master_);
    master_ = -1;
    const uint8_t data[256] = {};
    uint8_t out[8];
    EXPECT_EQ(isp_.Prepare(0, 0), aErrIO);
    EXPECT_EQ(isp_.Erase(0, 0), aErrIO);
    EXPECT_EQ(isp_.CopyToFlash(0, NXPSerialClass::WRITE_ADDRESS, 256), aErrIO);
    EXPECT_EQ(isp_.Write(NXPSerialClass::WRITE_ADDRESS, 256, data), aErrIO);
    EXPECT_EQ(isp_.Read(0, 8, out), aErrIO);
    EXPECT_EQ(isp_.Unlock(), aErrIO);
    EXPECT_EQ(isp_.Sync(), aErrIO);
}

TEST_F(NxpChipLine, GetEchoGivesUpOnALineThatChattersForeignBytes) {
    chipSends(std::string(3000, 'x'));
    size_t matched = 0;
    const auto started = std::chrono::steady_clock::now();
    isp_.GetEcho("abc", 3, matched);
    EXPECT_EQ(matched, 0u);
    EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(2));
}

TEST_F(NxpChipLine, ReadDecodesDataLinesAndConfirmsTheirChecksum) {
    isp_.echo = false;
    const uint8_t data[8] = {1, 2, 3, 4, 250, 251, 252, 253};
    char line[16];
    IspCodec::uuencode(line, data, sizeof data);
    chipSends(std::string("0\r\n") + line + "\r\n" + std::to_string(IspCodec::sum(data, 8)) + "\r\nOK\r\n");
    uint8_t out[8] = {};
    ASSERT_EQ(isp_.Read(0, 8, out), aErrNone);
    EXPECT_EQ(std::memcmp(out, data, 8), 0);
}

TEST_F(NxpChipLine, ReadEndsWhenTheChipFallsSilentInsteadOfWaitingForEver) {
    isp_.echo = false;
    chipSends("0\r\n");
    uint8_t out[8] = {};
    const auto started = std::chrono::steady_clock::now();
    EXPECT_EQ(isp_.Read(0, 8, out), aErrTimeout);
    EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(2));
}

TEST_F(NxpChipLine, DeviceIdCutShortIsAFailureNotASuccess) {
    isp_.echo = false;
    chipSends("0\r\n1\r\n2\r\n");
    EXPECT_EQ(isp_.GetDeviceID(), aErrTimeout);
}

}  // namespace
