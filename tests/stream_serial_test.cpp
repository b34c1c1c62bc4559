// Serial-port stream on pseudo-terminals: the stream opens the slave, the test holds
// the master (the far end of the line) and a second slave descriptor to look at the
// line settings.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>

#include "pty_line.h"
#include "tempdir.h"
#include "unix_streamserial.h"
#include "wait_until.h"

using testsupport::msSince;

namespace {

using Clock = std::chrono::steady_clock;

using Pty = testsupport::PtyLine;

void expectSameSettings(const termios& a, const termios& b) {
    EXPECT_EQ(a.c_iflag, b.c_iflag);
    EXPECT_EQ(a.c_oflag, b.c_oflag);
    EXPECT_EQ(a.c_cflag, b.c_cflag);
    EXPECT_EQ(a.c_lflag, b.c_lflag);
    EXPECT_EQ(cfgetispeed(&a), cfgetispeed(&b));
    EXPECT_EQ(cfgetospeed(&a), cfgetospeed(&b));
    EXPECT_EQ(memcmp(a.c_cc, b.c_cc, sizeof(a.c_cc)), 0);
}

// Settings a previous user might have left: everything the stream must replace.
void spoilSettings(const Pty& pty) {
    termios t = pty.settings();
    t.c_iflag = ICRNL | IXON | INPCK;
    t.c_oflag = OPOST | ONLCR;
    t.c_lflag = ICANON | ECHO | ISIG;
    t.c_cflag = CS7 | PARENB | PARODD | CSTOPB | HUPCL | CREAD;
    cfsetispeed(&t, B4800);
    cfsetospeed(&t, B4800);
    t.c_cc[VMIN] = 1;
    t.c_cc[VTIME] = 5;
    ASSERT_EQ(tcsetattr(pty.slave(), TCSANOW, &t), 0);
}

class StreamSerial : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(pty.ok());
        ASSERT_EQ(aStream_CreateSerial(pty.path().c_str(), 6, 0, 0, 0, &stream), aErrNone);
    }
    void TearDown() override { aStream_Destroy(&stream); }

    Pty pty;
    aStreamRef stream = nullptr;
};

struct LineCase {
    uint32_t baudIndex;
    uint8_t parity, dataBits, stopBits;
    speed_t speed;
};

TEST(StreamSerialSettings, LineIsConfiguredRawAndRestoredAfterwards) {
    const LineCase cases[] = {
        {0, 0, 0, 0, B2400},   {2, 1, 1, 1, B9600},   {5, 0, 0, 1, B57600},
        {6, 0, 0, 0, B115200}, {7, 1, 0, 0, B230400}, {8, 0, 0, 0, B0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE("baud index " + std::to_string(c.baudIndex));
        Pty pty;
        ASSERT_TRUE(pty.ok());
        spoilSettings(pty);
        const termios before = pty.settings();

        aStreamRef s = nullptr;
        ASSERT_EQ(aStream_CreateSerial(pty.path().c_str(), c.baudIndex, c.parity, c.dataBits, c.stopBits, &s),
                  aErrNone);
        const termios t = pty.settings();
        EXPECT_EQ(cfgetospeed(&t), c.speed);
        EXPECT_EQ(cfgetispeed(&t), c.speed);
        // A pseudo-terminal always keeps CS8 without PARENB; the parity choice
        // shows in IGNPAR below.
        EXPECT_EQ(t.c_cflag & PARODD, 0u);
        EXPECT_EQ((t.c_cflag & CSTOPB) != 0, c.stopBits == 1);
        EXPECT_EQ(t.c_cflag & HUPCL, 0u);
        EXPECT_EQ(t.c_cflag & (CREAD | CLOCAL), static_cast<tcflag_t>(CREAD | CLOCAL));
        EXPECT_EQ(t.c_iflag, static_cast<tcflag_t>(IGNBRK | (c.parity ? IGNPAR : 0)));
        EXPECT_EQ(t.c_oflag, 0u);
        EXPECT_EQ(t.c_lflag, 0u);
        EXPECT_EQ(t.c_cc[VMIN], 0);
        EXPECT_EQ(t.c_cc[VTIME], 0);

        EXPECT_EQ(aStream_Destroy(&s), aErrNone);
        expectSameSettings(pty.settings(), before);
    }
}

TEST(StreamSerialCreate, RefusalsLeaveNoStreamAndTheLineAlone) {
    Pty pty;
    ASSERT_TRUE(pty.ok());
    spoilSettings(pty);
    const termios before = pty.settings();
    struct Case {
        const char* path;
        uint8_t dataBits, stopBits;
        aErr result;
    } cases[] = {
        {pty.path().c_str(), 2, 0, aErrResource},
        {pty.path().c_str(), 0, 2, aErrResource},
        {nullptr, 0, 0, aErrResource},
        {"/dev/no-such-serial-port", 0, 0, aErrNotFound},
        {"/dev/null", 0, 0, aErrIO},  // opens, but is no terminal
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.path ? c.path : "(null)");
        aStreamRef s = reinterpret_cast<aStreamRef>(&pty);
        EXPECT_EQ(aStream_CreateSerial(c.path, 6, 0, c.dataBits, c.stopBits, &s), c.result);
        EXPECT_EQ(s, nullptr);
    }
    EXPECT_EQ(aStream_CreateSerial(pty.path().c_str(), 6, 0, 0, 0, nullptr), aErrResource);
    expectSameSettings(pty.settings(), before);
}

TEST(StreamSerialCreate, PathIsBoundedNotTruncated) {
    Pty pty;
    ASSERT_TRUE(pty.ok());
    // "/./././dev/pts/N" names the same device; padded to the longest path allowed.
    std::string path = pty.path();
    while (path.size() + 2 <= aSERIAL_MAX_PATH - 1) path = "/." + path;
    if (path.size() < aSERIAL_MAX_PATH - 1) path = "/" + path;
    ASSERT_EQ(path.size(), aSERIAL_MAX_PATH - 1u);
    aStreamRef s = nullptr;
    EXPECT_EQ(aStream_CreateSerial(path.c_str(), 6, 0, 0, 0, &s), aErrNone);
    aStream_Destroy(&s);

    path = "/" + path;
    EXPECT_EQ(aStream_CreateSerial(path.c_str(), 6, 0, 0, 0, &s), aErrResource);
    EXPECT_EQ(s, nullptr);
}

// The creator's answer for a device the caller may not open, from a child process
// that gives up super-user rights first.
aErr createWithoutRights(const std::string& path) {
    pid_t child = fork();
    if (child == 0) {
        if (geteuid() == 0 && (setgid(65534) != 0 || setuid(65534) != 0)) _exit(100);
        aStreamRef s = nullptr;
        aErr err = aStream_CreateSerial(path.c_str(), 6, 0, 0, 0, &s);
        _exit(s == nullptr ? err : 101);
    }
    int status = 0;
    for (int i = 0; i < 200; i++) {
        if (waitpid(child, &status, WNOHANG) == child) return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    kill(child, SIGKILL);
    waitpid(child, &status, 0);
    return -1;
}

TEST(StreamSerialCreate, DeviceWithoutAccessIsAPermissionError) {
    testsupport::TempDir dir;
    const std::string path = dir.file("locked");
    testsupport::writeWholeFile(path, "");
    ASSERT_EQ(chmod(dir.path().c_str(), 0755), 0);
    ASSERT_EQ(chmod(path.c_str(), 0), 0);
    EXPECT_EQ(createWithoutRights(path), aErrPermission);
}

TEST_F(StreamSerial, WritesReachTheFarEndUntranslated) {
    EXPECT_EQ(aStream_WriteCStringRecord(stream, "?", "\r\n"), aErrNone);
    EXPECT_EQ(aStream_Write(stream, "\n", 1), aErrNone);
    EXPECT_EQ(pty.receive(5), std::string("?\r\n\0\n", 5));
}

struct StalledLine {
    const char* name;
    size_t bytes;
    bool suspendOutput;  // flow control holds the output, as after a stop character
};

// A line that stops taking bytes: the far end never reads and the buffers fill, or flow
// control holds the output. The write ends with an error once the line has taken nothing
// for a while, instead of waiting for a reader or a start that never comes.
TEST_F(StreamSerial, WriteTheLineStopsTakingEndsInAnErrorInBoundedTime) {
    const StalledLine cases[] = {{"far end never reads", 1 << 20, false}, {"output held", 16, true}};
    for (const StalledLine& c : cases) {
        SCOPED_TRACE(c.name);
        if (c.suspendOutput) {
            ASSERT_EQ(tcflow(pty.slave(), TCOOFF), 0);
        }
        const std::string bytes(c.bytes, 'x');
        std::atomic<bool> finished{false};
        aErr result = aErrNone;
        std::thread writer([&] {
            result = aStream_Write(stream, bytes.data(), bytes.size());
            finished = true;
        });
        const bool ended = testsupport::waitUntil([&] { return finished.load(); }, std::chrono::seconds(20));
        // A writer still stuck on the line is freed so that it can be joined.
        if (c.suspendOutput) tcflow(pty.slave(), TCOON);
        while (!finished) pty.receive(65536, 50);
        writer.join();
        EXPECT_TRUE(ended);
        EXPECT_EQ(result, aErrTimeout);
        pty.receive(c.bytes, 200);
    }
}

}  // namespace
