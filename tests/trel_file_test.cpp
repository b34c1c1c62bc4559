// TrelFile against firmware files written by tools/trel_builder.
#include <gtest/gtest.h>

#include <cstring>
#include <stdexcept>
#include <string>
#include <vector>

#include "TrelFile.h"
#include "log_capture.h"
#include "tempdir.h"
#include "trel_builder.h"

using testsupport::buildTrel;
using testsupport::LogCapture;
using testsupport::TempDir;

namespace {

std::vector<uint8_t> bytesOf(const TrelBlock& block) {
    return std::vector<uint8_t>(block.data, block.data + block.length);
}

std::vector<uint8_t> hexBytes(const std::string& hex) {
    std::vector<uint8_t> out;
    for (size_t i = 0; i + 1 < hex.size(); i += 2)
        out.push_back(static_cast<uint8_t>(std::stoul(hex.substr(i, 2), nullptr, 16)));
    return out;
}

std::string repeatHex(const std::string& byte, size_t count) {
    std::string out;
    for (size_t i = 0; i < count; ++i) out += byte;
    return out;
}

class TrelFileTest : public ::testing::Test {
protected:
    std::string make(const std::vector<std::string>& args) {
        return buildTrel(dir.file("f" + std::to_string(++count) + ".trel"), args);
    }
    TempDir dir;
    int count = 0;
};

}  // namespace

TEST_F(TrelFileTest, ReadsEveryBlockTypeInFileOrder) {
    const std::string path =
        make({"--loader-block", "0x10000000:0102030405:1", "--firmware-block", "0x2000:A0A1A2A3A4A5A6A7:2",
              "--serial-offsets", "0x2004:0x2008", "--info", "1234", "1.2.3 beta", "DEADDEAD", "Quillet",
              "--recovery-start", "0x20000400", "--raw-block", "9:CAFE:7", "--checksum", "0x12345678"});
    ASSERT_TRUE(TrelFile::VerifyFile(path.c_str()));
    TrelFile file(path.c_str());

    EXPECT_EQ(file.signature, 0x7472656Cu);
    EXPECT_EQ(file.version, 0x0101u);
    EXPECT_EQ(file.checksum, 0x12345678u);
    ASSERT_EQ(file.blockCount, 6u);
    ASSERT_EQ(file.blocks.size(), 6u);

    const TrelBlock& loader = file.blocks[0];
    EXPECT_EQ(loader.type, TrelFile::BLOCK_LOADER);
    EXPECT_EQ(loader.flags, 1);
    EXPECT_EQ(loader.length, 9u);
    EXPECT_EQ(loader.address, 0x10000000u);
    EXPECT_EQ(bytesOf(loader), hexBytes("100000000102030405"));

    const TrelBlock& firmware = file.blocks[1];
    EXPECT_EQ(firmware.type, TrelFile::BLOCK_FIRMWARE);
    EXPECT_EQ(firmware.flags, 2);
    EXPECT_EQ(firmware.address, 0x2000u);
    EXPECT_EQ(firmware.length, 12u);

    EXPECT_EQ(file.blocks[2].type, TrelFile::BLOCK_SERIAL_OFFSETS);
    EXPECT_EQ(file.blocks[2].address, 0u);
    EXPECT_EQ(file.blocks[3].type, TrelFile::BLOCK_INFO);
    EXPECT_EQ(file.blocks[3].length, 64u);
    EXPECT_EQ(file.blocks[4].type, TrelFile::BLOCK_RECOVERY_START);
    EXPECT_EQ(bytesOf(file.blocks[4]), hexBytes("20000400"));
    EXPECT_EQ(file.blocks[5].type, 9);
    EXPECT_EQ(file.blocks[5].flags, 7);
    EXPECT_EQ(bytesOf(file.blocks[5]), hexBytes("CAFE"));

    EXPECT_TRUE(file.hasSerialBlock);
    EXPECT_EQ(file.serialNumberAddress, 0x2004u);
    EXPECT_EQ(file.descriptorAddress, 0x2008u);
    EXPECT_EQ(file.FindBlocks(TrelFile::BLOCK_FIRMWARE).size(), 1u);
    EXPECT_EQ(file.FindBlocks(TrelFile::BLOCK_LOADER)[0].data, loader.data);
}

TEST_F(TrelFileTest, InfoBlockFields) {
    TrelFile file(make({"--info", "1234", "1.2.3 beta", "00A1B2C3", "Quillet"}).c_str());
    EXPECT_EQ(file.GetBuild(), 1234u);
    EXPECT_EQ(file.GetVersion(), "1.2.3");
    EXPECT_EQ(file.GetSerialNumber(), 0x00A1B2C3u);
    EXPECT_TRUE(file.ValidateSerialNumber(0x00A1B2C3));
    EXPECT_FALSE(file.ValidateSerialNumber(0x00A1B2C4));

    const struct {
        const char* model;
        bool matches;
    } models[] = {
        {"Quillet", true},   {"Quil", true},     {"", true},
        {"QuilletX", false}, {"Quillat", false}, {"Quillet123456789AB", false},
    };
    for (const auto& m : models) EXPECT_EQ(file.ValidateModel(m.model), m.matches) << m.model;
}

TEST_F(TrelFileTest, InfoReadersWithoutInfoBlock) {
    TrelFile file(make({"--firmware-block", "0:00112233"}).c_str());
    EXPECT_EQ(file.GetBuild(), 0u);
    EXPECT_EQ(file.GetVersion(), "");
    EXPECT_EQ(file.GetSerialNumber(), 0u);
    EXPECT_FALSE(file.ValidateModel(""));
    EXPECT_FALSE(file.hasSerialBlock);
}

TEST_F(TrelFileTest, BuildFieldReadsOnlyFifteenCharacters) {
    TrelFile file(make({"--info", "0000000000001239", "1.0", "1", "M"}).c_str());
    EXPECT_EQ(file.GetBuild(), 123u);
}

TEST_F(TrelFileTest, HeaderChecksOfVerifyFile) {
    const std::string badMagic = make({"--magic", "TREL", "--firmware-block", "0:00"});
    const std::string zeroMinor = make({"--version", "0x0100", "--firmware-block", "0:00"});
    const std::string sixBytes = make({"--firmware-block", "0:00", "--truncate", "6"});
    const std::string fiveBytes = make({"--firmware-block", "0:00", "--truncate", "5"});

    EXPECT_FALSE(TrelFile::VerifyFile(badMagic.c_str()));
    EXPECT_FALSE(TrelFile::VerifyFile(zeroMinor.c_str()));
    EXPECT_TRUE(TrelFile::VerifyFile(sixBytes.c_str()));
    EXPECT_FALSE(TrelFile::VerifyFile(fiveBytes.c_str()));
    EXPECT_FALSE(TrelFile::VerifyFile(dir.file("missing.trel").c_str()));

    // Loading does not look at the header words: a sound payload still loads.
    EXPECT_EQ(TrelFile(badMagic.c_str()).blockCount, 1u);
    EXPECT_EQ(TrelFile(zeroMinor.c_str()).version, 0x0100u);
}

TEST_F(TrelFileTest, FilesThatDoNotLoad) {
    const struct {
        const char* name;
        std::vector<std::string> args;
    } cases[] = {
        {"header only", {"--firmware-block", "0:00", "--truncate", "6"}},
        {"shorter than a header", {"--truncate", "3"}},
        {"truncated zlib stream",
         {"--firmware-block", "0:" + repeatHex("5A", 300), "--level", "0", "--truncate", "100"}},
        {"not zlib", {"--zlib-data", "00112233445566778899"}},
        {"zlib trailer damaged", {"--zlib-data", "789C636000000000FFFF"}},
    };
    for (const auto& c : cases) {
        const std::string path = make(c.args);
        EXPECT_THROW(TrelFile file(path.c_str()), std::runtime_error) << c.name;
    }
    EXPECT_THROW(TrelFile file(dir.file("missing.trel").c_str()), std::runtime_error);
    EXPECT_THROW(TrelFile file(dir.path().c_str()), std::runtime_error);
}

// Erased flash (0xFF) compresses far better than 8:1; such images must load whole.
TEST_F(TrelFileTest, ImagesThatCompressFarBetterThanEightToOneLoad) {
    std::string image(1 << 20, '\xFF');
    image.replace(0x1000, 4, "\x01\x02\x03\x04");
    const std::string imagePath = dir.file("erased.bin");
    testsupport::writeWholeFile(imagePath, image);
    const std::string path = make({"--firmware-block", "0x4000:@" + imagePath, "--info", "1", "1.0.0", "1", "M"});
    TrelFile file(path.c_str());
    ASSERT_EQ(file.FindBlocks(TrelFile::BLOCK_FIRMWARE).size(), 1u);
    const TrelBlock block = file.FindBlocks(TrelFile::BLOCK_FIRMWARE)[0];
    ASSERT_EQ(block.length, image.size() + 4);
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(block.data) + 4, image.size()), image);
    EXPECT_EQ(file.GetBuild(), 1u);
}

// The inflated payload may reach the bound exactly; one byte more is refused with a reason.
TEST_F(TrelFileTest, InflatedPayloadIsBounded) {
    const size_t headers = 4 + 5 + 4 + 4;  // count, block header, address word, checksum
    const size_t fits = TrelFile::MAX_PAYLOAD_SIZE - headers;
    {
        const TrelFile file(make({"--firmware-block", "0:zeros=" + std::to_string(fits)}).c_str());
        EXPECT_EQ(file.payloadSize, TrelFile::MAX_PAYLOAD_SIZE);
        EXPECT_EQ(file.blocks.at(0).length, fits + 4);
    }
    LogCapture log(DEBUG_TrelFile);
    const std::string tooLarge = make({"--firmware-block", "0:zeros=" + std::to_string(fits + 1)});
    try {
        TrelFile file(tooLarge.c_str());
        ADD_FAILURE() << "a payload past the bound loaded";
    } catch (const std::runtime_error& error) {
        EXPECT_STREQ(error.what(),
                     "Failed to load trel data: the firmware payload inflates to more than 67108864 bytes");
    }
    EXPECT_NE(log.text().find("TRELFILE: Error - payload inflates to more than 67108864 bytes."), std::string::npos)
        << log.text();
}

TEST_F(TrelFileTest, TypeAndFlagsShareOneByte) {
    TrelFile file(make({"--raw-block", "1:00000000AA:2"}).c_str());
    ASSERT_EQ(file.blockCount, 1u);
    EXPECT_EQ(file.blocks[0].type, 1);
    EXPECT_EQ(file.blocks[0].flags, 2);
}

// The scan is driven by the bytes: mismatches are logged and what was parsed is kept.
TEST_F(TrelFileTest, InconsistentPayloadsLoadWhatTheyHold) {
    const struct {
        const char* name;
        std::vector<std::string> args;
        uint32_t blocks;
        const char* logged;
    } cases[] = {
        {"count says 3, holds 2",
         {"--firmware-block", "0:00", "--recovery-start", "1", "--block-count", "3"},
         2,
         "mismatch in number of blocks. (2 != 3)"},
        {"count says 1, holds 2",
         {"--firmware-block", "0:00", "--recovery-start", "1", "--block-count", "1"},
         2,
         "mismatch in number of blocks. (2 != 1)"},
        {"no checksum word", {"--firmware-block", "0:00", "--no-checksum"}, 1, "mismatch in data size. (-4 bytes"},
        {"length past the end",
         {"--firmware-block", "0:00", "--recovery-start", "1", "--claim-length", "1=4096"},
         1,
         "mismatch in data size"},
        {"length past the end, huge",
         {"--firmware-block", "0:00", "--claim-length", "0=0xFFFFFFFF"},
         0,
         "mismatch in data size"},
        {"length runs into the checksum",
         {"--firmware-block", "0:00", "--claim-length", "0=7"},
         1,
         "mismatch in data size. (-2 bytes"},
        {"payload without count word", {"--payload", "0102"}, 0, "holds no block count"},
        {"empty payload", {"--payload", ""}, 0, "holds no block count"},
    };
    for (const auto& c : cases) {
        LogCapture log(DEBUG_TrelFile);
        TrelFile file(make(c.args).c_str());
        EXPECT_EQ(file.blockCount, c.blocks) << c.name;
        EXPECT_EQ(file.blocks.size(), c.blocks) << c.name;
        EXPECT_NE(log.text().find(c.logged), std::string::npos) << c.name << "\n" << log.text();
        for (const TrelBlock& block : file.blocks) {
            EXPECT_GE(block.data, file.payload.get());
            EXPECT_LE(block.data + block.length, file.payload.get() + file.payloadSize) << c.name;
        }
    }
}

TEST_F(TrelFileTest, BlocksTooShortForTheirFieldsAreDropped) {
    TrelFile file(make({"--raw-block", "0:000000", "--raw-block", "1:00", "--raw-block", "2:00001000", "--raw-block",
                        "4:" + repeatHex("20", 63), "--raw-block", "5:0000", "--raw-block", "3:", "--recovery-start",
                        "0x20000400"})
                      .c_str());
    ASSERT_EQ(file.blockCount, 2u);
    EXPECT_EQ(file.blocks[0].type, 3);
    EXPECT_EQ(file.blocks[1].type, TrelFile::BLOCK_RECOVERY_START);
    EXPECT_FALSE(file.hasSerialBlock);
    EXPECT_EQ(file.GetBuild(), 0u);
    EXPECT_FALSE(file.ReplaceSerialNumber(1));
    // Set aside, in file order, for readers that must refuse such a file.
    ASSERT_EQ(file.droppedBlocks.size(), 5u);
    const std::pair<uint8_t, uint32_t> dropped[] = {{0, 3}, {1, 1}, {2, 4}, {4, 63}, {5, 2}};
    for (size_t i = 0; i < 5; ++i) {
        EXPECT_EQ(file.droppedBlocks[i].type, dropped[i].first) << i;
        EXPECT_EQ(file.droppedBlocks[i].length, dropped[i].second) << i;
    }
}

TEST_F(TrelFileTest, MovedFileKeepsItsBlocks) {
    TrelFile moved;
    {
        TrelFile original(make({"--firmware-block", "0x100:DEADBEEF"}).c_str());
        moved = std::move(original);
    }
    const auto firmware = moved.FindBlocks(TrelFile::BLOCK_FIRMWARE);
    ASSERT_EQ(firmware.size(), 1u);
    EXPECT_EQ(bytesOf(firmware[0]), hexBytes("00000100DEADBEEF"));
}

TEST_F(TrelFileTest, VectorChecksumOfFirmwareAtAddressZero) {
    // Words 1..8 little-endian, then a ninth word; w7 becomes -(w0+w1+w2+w3+w4+w6).
    const std::string image = "01000000020000000300000004000000050000000600000007000000FFFFFFFF09000000";
    TrelFile file(make({"--firmware-block", "0:" + image, "--firmware-block", "0x1000:" + image}).c_str());
    EXPECT_TRUE(file.ReplaceVectorChecksum());
    const uint32_t expected = 0u - (1 + 2 + 3 + 4 + 5 + 7);
    const uint8_t* w7 = file.blocks[0].data + 4 + 28;
    EXPECT_EQ(uint32_t(w7[0]) | uint32_t(w7[1]) << 8 | uint32_t(w7[2]) << 16 | uint32_t(w7[3]) << 24, expected);
    EXPECT_EQ(bytesOf(file.blocks[1]), hexBytes("00001000" + image));
}

TEST_F(TrelFileTest, ValidateDataSearchesFirmwareBlocks) {
    TrelFile file(make({"--loader-block", "0:C0FFEE", "--firmware-block", "0:0011223344556677"}).c_str());
    uint8_t present[] = {0x22, 0x33, 0x44};
    uint8_t loaderOnly[] = {0xC0, 0xFF, 0xEE};
    EXPECT_TRUE(file.ValidateData(present, sizeof present));
    EXPECT_FALSE(file.ValidateData(loaderOnly, sizeof loaderOnly));
}
