// The simulated module behind a pseudo-terminal, opened by the host as a serial port.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <termios.h>
#include <unistd.h>

#include "byte_io.h"
#include "modsim_process.h"
#include "tempdir.h"

using namespace std::chrono_literals;
using testsupport::Bytes;
using testsupport::ModsimProcess;
using testsupport::readBytes;
using testsupport::readFor;
using testsupport::writeBytes;

namespace {

// Opens the slave the way a host opens a serial port: raw, no controlling terminal.
int openSerial(const std::string& path) {
    const int fd = open(path.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (fd < 0) return -1;
    termios settings{};
    tcgetattr(fd, &settings);
    cfmakeraw(&settings);
    cfsetispeed(&settings, B115200);
    cfsetospeed(&settings, B115200);
    tcsetattr(fd, TCSANOW, &settings);
    return fd;
}

TEST(ModsimPty, AnswersSyncAndHeartbeatsOverThePtySlave) {
    testsupport::TempDir dir;
    ModsimProcess sim(dir.path(), {"--pty", "--address", "6"});
    ASSERT_EQ(sim.where().rfind("pty /dev/pts/", 0), 0u) << sim.where();
    const int serial = openSerial(sim.location());
    ASSERT_GE(serial, 0);

    ASSERT_TRUE(writeBytes(serial, {0xAD, 0x00, 0xAD, 0x00, 0xAF, 0x01, 0x01}));
    EXPECT_EQ(readBytes(serial, 4), (Bytes{0x06, 0x00, 0x06, 0x00}));
    ASSERT_TRUE(sim.waitForLog("ev route on"));

    ASSERT_EQ(sim.control("heartbeat 1"), "ok");
    EXPECT_EQ(readBytes(serial, 4), (Bytes{0x06, 0x02, 0x00, 0x01}));
    ASSERT_TRUE(writeBytes(serial, {0x06, 0x02, 0x00, 0x03}));
    EXPECT_EQ(sim.control("heartbeat-wait 1000"), "ok hb-sent=1 hb-answered=1 hb-wrong=0 hb-pending=0");
    EXPECT_TRUE(readFor(serial, 100ms).empty());
    close(serial);
}

TEST(ModsimPty, ServesTheHostAgainAfterItClosesAndReopensTheSlave) {
    testsupport::TempDir dir;
    ModsimProcess sim(dir.path(), {"--pty"});
    for (int round = 0; round < 2; ++round) {
        SCOPED_TRACE(round);
        const int serial = openSerial(sim.location());
        ASSERT_GE(serial, 0);
        ASSERT_TRUE(writeBytes(serial, {0xAD, 0x00}));
        EXPECT_EQ(readBytes(serial, 2), (Bytes{0x02, 0x00}));
        close(serial);
    }
}

TEST(ModsimPty, DropHangsUpTheSlaveAndOffersAFreshPty) {
    testsupport::TempDir dir;
    ModsimProcess sim(dir.path(), {"--pty"});
    const std::string first = sim.location();
    const int serial = openSerial(first);
    ASSERT_GE(serial, 0);

    ASSERT_EQ(sim.control("drop").rfind("ok pty /dev/pts/", 0), 0u);
    EXPECT_TRUE(testsupport::waitForClose(serial));
    close(serial);
    ASSERT_TRUE(sim.awaitReady());
    EXPECT_EQ(sim.countInLog("ev disconnect dropped"), 1u);

    const int renewed = openSerial(sim.location());
    ASSERT_GE(renewed, 0) << sim.location();
    ASSERT_TRUE(writeBytes(renewed, {0xAD, 0x00}));
    EXPECT_EQ(readBytes(renewed, 2), (Bytes{0x02, 0x00}));
    close(renewed);
}

}  // namespace
