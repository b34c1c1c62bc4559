// The serial download client against the simulated i.MX boot ROM on a pseudo-terminal.
#include <chrono>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include "HID_SDPLoader.h"
#include "SDPLoader.h"
#include "Serial_SDPLoader.h"
#include "imxsim_process.h"
#include "tempdir.h"

using testsupport::ImxsimProcess;

namespace {

using Bytes = std::vector<uint8_t>;

Bytes padded(Bytes head) {
    head.resize(MAX_COMMAND_BYTES, 0);
    return head;
}

Bytes image(size_t n) {
    Bytes out(n);
    for (size_t i = 0; i < n; ++i) out[i] = static_cast<uint8_t>(i * 13 + 7);
    return out;
}

std::string sumText(const Bytes& bytes) {
    uint32_t sum = 0;
    for (uint8_t b : bytes) sum += b;
    char text[16];
    std::snprintf(text, sizeof text, "0x%08X", sum);
    return text;
}

// A loader on the simulated ROM's serial port, opened.
struct SerialClient {
    explicit SerialClient(const std::string& port) {
        std::string copy = port;
        EXPECT_TRUE(loader.setLoader(new Serial_SDPLoader(copy)));
        copy.assign(copy.size(), 'x');  // the transport keeps its own copy of the path
        result = loader.init();
    }
    SDPLoader loader;
    int result;
};

double secondsSince(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

TEST(SdpPackets, CommandsAreSeventeenBytesBigEndian) {
    EXPECT_EQ(SDPLoader::_createStatusPacket(), padded({1, 5, 5}));
    EXPECT_EQ(SDPLoader::_createWriteFilePacket(0x20000000, 5000),
              padded({1, 4, 4, 0x20, 0, 0, 0, 0x20, 0, 0, 0x13, 0x88}));
    EXPECT_EQ(SDPLoader::_createJumpPacket(0x20000400), padded({1, 0x0B, 0x0B, 0x20, 0, 4, 0}));
    EXPECT_EQ(SDPLoader::_create4ByteReadRegisterPacket(0x401F4410),
              padded({1, 1, 1, 0x40, 0x1F, 0x44, 0x10, 0x20, 0, 0, 0, 4}));
}

TEST(SdpPackets, StatusWordNeedsACompleteAnswer) {
    HID_SDPLoader hid(IMX1050::VID, IMX1050::PID);
    Serial_SDPLoader serial("/nonexistent");
    struct Case {
        SDPLoader_Interface* transport;
        size_t size;
        size_t statusAt;
        bool found;
    } cases[] = {{&hid, 69, 6, false},   {&hid, 70, 6, true},   {&hid, 71, 6, false},
                 {&serial, 7, 4, false}, {&serial, 8, 4, true}, {&serial, 12, 4, true}};
    for (const Case& c : cases) {
        Bytes reply(c.size, 0);
        if (c.size >= c.statusAt + 4)
            std::fill(reply.begin() + static_cast<long>(c.statusAt), reply.begin() + static_cast<long>(c.statusAt + 4),
                      0x88);
        uint32_t word = 0;
        EXPECT_EQ(c.transport->getDataFromBuffer(reply, 0, word), c.found) << c.size;
        if (c.found) {
            EXPECT_EQ(word, 0x88888888u) << c.size;
        }
    }
}

TEST(SdpPackets, SetLoaderTakesOneTransport) {
    SDPLoader loader;
    EXPECT_EQ(loader.init(), SDPLoader::SDP_NO_TRANSPORT);
    EXPECT_FALSE(loader.setLoader(nullptr));
    EXPECT_TRUE(loader.setLoader(new Serial_SDPLoader("/nonexistent")));
    Serial_SDPLoader second("/nonexistent");
    EXPECT_FALSE(loader.setLoader(&second));
    EXPECT_EQ(loader.init(), SDPLoader::SDP_INIT_FAILED);
}

TEST(SdpSerial, ReadsTheFusesAsTheChipIdentifier) {
    ImxsimProcess rom({"--pty", "--fuses", "A1B2C3D4,01020304"});
    ASSERT_FALSE(rom.endpoint().empty());
    SerialClient client(rom.endpoint());
    ASSERT_EQ(client.result, SDPLoader::SDP_OK);
    uint64_t value = 0;
    ASSERT_EQ(client.loader.getFingerprint(value), SDPLoader::SDP_OK);
    EXPECT_EQ(value, 0x01020304A1B2C3D4ull);
}

TEST(SdpSerial, WritesImagesInDataPacketsAndJumps) {
    testsupport::TempDir dir;
    const std::string log = dir.file("rom.log");
    ImxsimProcess rom({"--pty", "--log", log});
    ASSERT_FALSE(rom.endpoint().empty());
    // The chip-family probe before this one leaves a stray "?" on the line.
    const int probe = open(rom.endpoint().c_str(), O_RDWR | O_NOCTTY);
    ASSERT_GE(probe, 0);
    ASSERT_EQ(write(probe, "?", 1), 1);
    close(probe);
    SerialClient client(rom.endpoint());
    ASSERT_EQ(client.result, SDPLoader::SDP_OK);
    struct Case {
        uint32_t address;
        size_t size;
    } cases[] = {{0x20000000, 2048}, {0x20001000, 1025}, {0x20002000, 5000}, {0x20003000, 0}};
    for (const Case& c : cases) {
        const Bytes bytes = image(c.size);
        EXPECT_EQ(client.loader.writeLoader(bytes, c.address), SDPLoader::SDP_OK) << c.size;
    }
    client.loader.startLoader(0x20000400);
    std::string line;
    ASSERT_TRUE(rom.readLine(line));
    EXPECT_EQ(line, "jump 0x20000400");
    rom.stop();
    const std::string text = testsupport::readWholeFile(log);
    EXPECT_NE(text.find("dropped partial command of 1 bytes"), std::string::npos) << text;
    for (const Case& c : cases) {
        char expect[96];
        std::snprintf(expect, sizeof expect, "write-file 0x%08X size %zu\n", c.address, c.size);
        EXPECT_NE(text.find(expect), std::string::npos) << expect;
        if (c.size == 0) continue;
        std::snprintf(expect, sizeof expect, "write-file done 0x%08X size %zu sum %s\n", c.address, c.size,
                      sumText(image(c.size)).c_str());
        EXPECT_NE(text.find(expect), std::string::npos) << expect << text;
    }
}

TEST(SdpSerial, FaultsEndInTheirResultWithinSeconds) {
    struct Case {
        std::vector<std::string> args;
        int expected;
    } cases[] = {{{"--pty", "--silent"}, SDPLoader::SDP_NO_ANSWER},
                 {{"--pty", "--write-status", "12345678"}, SDPLoader::SDP_NOT_CONFIRMED},
                 {{"--pty", "--stray-during-load"}, SDPLoader::SDP_UNEXPECTED_INPUT}};
    for (const Case& c : cases) {
        ImxsimProcess rom(c.args);
        ASSERT_FALSE(rom.endpoint().empty());
        SerialClient client(rom.endpoint());
        ASSERT_EQ(client.result, SDPLoader::SDP_OK);
        const auto start = std::chrono::steady_clock::now();
        // Long enough that the port's buffer holds the writer back until the ROM has spoken.
        EXPECT_EQ(client.loader.writeLoader(image(65536), 0x20000000), c.expected) << c.args.back();
        EXPECT_LT(secondsSince(start), 10.0) << c.args.back();
    }
}

TEST(SdpSerial, SilentRomFailsTheFingerprint) {
    ImxsimProcess rom({"--pty", "--silent"});
    SerialClient client(rom.endpoint());
    ASSERT_EQ(client.result, SDPLoader::SDP_OK);
    uint64_t value = 0;
    EXPECT_EQ(client.loader.getFingerprint(value), SDPLoader::SDP_NO_ANSWER);
    EXPECT_EQ(value, 0u);
}

TEST(SdpSerial, PortThatIsNoTerminalIsRefused) {
    testsupport::TempDir dir;
    testsupport::writeWholeFile(dir.file("plain"), "x");
    for (const std::string& port : {dir.file("missing"), dir.file("plain")}) {
        SerialClient client(port);
        EXPECT_EQ(client.result, SDPLoader::SDP_INIT_FAILED) << port;
    }
}

}  // namespace
