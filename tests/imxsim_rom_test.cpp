// The simulated i.MX boot ROM's own surface, spoken to with raw bytes on its pty.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <termios.h>
#include <unistd.h>

#include "byte_io.h"
#include "imxsim_process.h"
#include "process.h"

using testsupport::Bytes;
using testsupport::ImxsimProcess;

namespace {

std::string imxsim() {
    return testsupport::requiredEnv("TOOLS_BIN_DIR") + "/imxsim/imxsim";
}

Bytes command(uint16_t type, uint32_t address, uint32_t count) {
    Bytes c{static_cast<uint8_t>(type >> 8), static_cast<uint8_t>(type)};
    for (int shift = 24; shift >= 0; shift -= 8) c.push_back(static_cast<uint8_t>(address >> shift));
    c.push_back(0x20);
    for (int shift = 24; shift >= 0; shift -= 8) c.push_back(static_cast<uint8_t>(count >> shift));
    c.resize(16, 0);
    return c;
}

int openRaw(const std::string& port) {
    const int fd = open(port.c_str(), O_RDWR | O_NOCTTY);
    termios raw{};
    tcgetattr(fd, &raw);
    cfmakeraw(&raw);
    tcsetattr(fd, TCSANOW, &raw);
    return fd;
}

TEST(ImxsimRom, KeepsTheRamImageAndReadsItBack) {
    ImxsimProcess rom({"--pty", "--security", "12343412"});
    ASSERT_FALSE(rom.endpoint().empty());
    const int fd = openRaw(rom.endpoint());
    ASSERT_GE(fd, 0);
    const Bytes image{1, 2, 3, 4, 5, 6, 7, 8, 9, 10};
    ASSERT_TRUE(testsupport::writeBytes(fd, command(0x0404, 0x20000010, 10)));
    ASSERT_TRUE(testsupport::writeBytes(fd, image));
    EXPECT_EQ(testsupport::readBytes(fd, 8), (Bytes{0x12, 0x34, 0x34, 0x12, 0x88, 0x88, 0x88, 0x88}));
    // Six bytes from two bytes before the image: unwritten RAM reads as zero.
    ASSERT_TRUE(testsupport::writeBytes(fd, command(0x0101, 0x2000000E, 6)));
    EXPECT_EQ(testsupport::readBytes(fd, 10), (Bytes{0x12, 0x34, 0x34, 0x12, 0, 0, 1, 2, 3, 4}));
    ASSERT_TRUE(testsupport::writeBytes(fd, command(0x0101, 0x401F4420, 4)));
    EXPECT_EQ(testsupport::readBytes(fd, 8), (Bytes{0x12, 0x34, 0x34, 0x12, 0x88, 0x77, 0x66, 0x55}));
    close(fd);
}

TEST(ImxsimRom, DropsAPartialCommandAfterSilence) {
    ImxsimProcess rom({"--pty", "--drop-ms", "30"});
    const int fd = openRaw(rom.endpoint());
    ASSERT_GE(fd, 0);
    ASSERT_TRUE(testsupport::writeBytes(fd, Bytes{'?', '?', '?'}));
    EXPECT_TRUE(testsupport::readFor(fd, std::chrono::milliseconds(200)).empty());
    ASSERT_TRUE(testsupport::writeBytes(fd, command(0x0505, 0, 0)));
    EXPECT_EQ(testsupport::readBytes(fd, 8), (Bytes{0x56, 0x78, 0x78, 0x56, 0xF0, 0xF0, 0xF0, 0xF0}));
    close(fd);
}

TEST(ImxsimRom, RefusesABadCommandLine) {
    for (const std::vector<std::string>& args :
         std::vector<std::vector<std::string>>{{},
                                               {"--pty", "--hid-socket", "/tmp/x"},
                                               {"--pty", "--fuses", "1"},
                                               {"--pty", "--drop-ms", "0"},
                                               {"--pty", "--bogus"}}) {
        std::vector<std::string> argv{imxsim()};
        argv.insert(argv.end(), args.begin(), args.end());
        EXPECT_EQ(testsupport::runProcess(argv, std::chrono::seconds(10)).exitCode, 2) << argv.size();
    }
}

}  // namespace
