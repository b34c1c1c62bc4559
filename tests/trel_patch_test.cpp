// Serial-number patching and recovery-firmware unscrambling of TrelFile.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "TrelFile.h"
#include "tempdir.h"
#include "trel_builder.h"

using testsupport::buildTrel;
using testsupport::runTrelBuilder;
using testsupport::TempDir;

namespace {

std::string hexOf(const uint8_t* data, size_t length) {
    static const char digits[] = "0123456789ABCDEF";
    std::string out;
    for (size_t i = 0; i < length; ++i) {
        out += digits[data[i] >> 4];
        out += digits[data[i] & 0xF];
    }
    return out;
}

std::string hexOf(const TrelBlock& block) {
    return hexOf(block.data, block.length);
}

std::string fill(const std::string& byte, size_t count) {
    std::string out;
    for (size_t i = 0; i < count; ++i) out += byte;
    return out;
}

class TrelPatchTest : public ::testing::Test {
protected:
    TrelFile load(const std::vector<std::string>& args) {
        return TrelFile(buildTrel(dir.file("f" + std::to_string(++count) + ".trel"), args).c_str());
    }
    TempDir dir;
    int count = 0;
};

const uint32_t KEY[4] = {0x01020304, 0x05060708, 0x090A0B0C, 0x0D0E0F10};
const char* const KEY_TEXT = "01020304,05060708,090A0B0C,0D0E0F10";

}  // namespace

TEST_F(TrelPatchTest, SerialWordLandsLittleEndianInTheBlockThatHoldsIt) {
    // Stored uncompressed: 8 KiB of zeros would inflate past the 8x bound.
    TrelFile file = load({"--serial-offsets", "0x1000:0", "--firmware-block", "0:zeros=0x1FFC", "--firmware-block",
                          "0x3000:zeros=16", "--level", "0"});
    ASSERT_TRUE(file.hasSerialBlock);
    EXPECT_TRUE(file.ReplaceSerialNumber(0x12345678));
    const TrelBlock& first = file.blocks[1];
    EXPECT_EQ(hexOf(first.data + 0x1000, 12), "000000007856341200000000");
    EXPECT_EQ(hexOf(file.blocks[2]), "00003000" + fill("00", 16));
}

TEST_F(TrelPatchTest, DescriptorGetsTheTextInEveryOtherByte) {
    TrelFile file = load({"--serial-offsets", "0:0x20", "--firmware-block", "0:" + fill("FF", 64)});
    EXPECT_TRUE(file.ReplaceSerialNumber(0x00A1B2C3));
    // "00A1B2C3" as the low bytes of UTF-16LE characters; the high bytes are untouched.
    EXPECT_EQ(hexOf(file.blocks[1].data + 4 + 0x20, 16), "30FF30FF41FF31FF42FF32FF43FF33FF");
    EXPECT_EQ(hexOf(file.blocks[1].data + 4, 0x20), fill("FF", 0x20));
    EXPECT_EQ(hexOf(file.blocks[1].data + 4 + 0x30, 0x10), fill("FF", 0x10));
}

// A patch lies wholly inside a firmware image: never over the block's address word, never
// past its end, never through 32-bit wrap-around; an offset that fits no block fails and
// leaves every block as it was.
TEST_F(TrelPatchTest, PatchPlacement) {
    const struct {
        const char* name;
        std::string offsets;
        std::vector<std::string> blocks;
        bool result;
        int patchedAt;  // data offset of the serial word in block 1, or -1
    } cases[] = {
        {"first image word", "0x1000:0", {"--firmware-block", "0x1000:zeros=16"}, true, 4},
        {"last image word", "0x100C:0", {"--firmware-block", "0x1000:zeros=16"}, true, 16},
        {"two bytes before the image, over the address word",
         "0x0FFE:0",
         {"--firmware-block", "0x1000:zeros=16"},
         false,
         -1},
        {"straddling the image end", "0x100E:0", {"--firmware-block", "0x1000:zeros=16"}, false, -1},
        {"past every block", "0x5000:0", {"--firmware-block", "0x1000:zeros=16"}, false, -1},
        {"only a loader holds it", "0x1004:0", {"--loader-block", "0x1000:zeros=16"}, false, -1},
        {"image that wraps past 4 GiB", "0x4:0", {"--firmware-block", "0xFFFFFFF0:zeros=32"}, false, -1},
        {"descriptor in no block", "0x1004:0x8000", {"--firmware-block", "0x1000:zeros=32"}, false, -1},
        {"descriptor cut by the image end", "0:0x1008", {"--firmware-block", "0x1000:zeros=16"}, false, -1},
        {"no offsets at all", "0:0", {"--firmware-block", "0x1000:zeros=16"}, false, -1},
        {"no firmware block", "0x1004:0", {}, false, -1},
    };
    for (const auto& c : cases) {
        std::vector<std::string> args = {"--serial-offsets", c.offsets};
        args.insert(args.end(), c.blocks.begin(), c.blocks.end());
        TrelFile file = load(args);
        std::vector<std::string> before;
        for (const TrelBlock& block : file.blocks) before.push_back(hexOf(block));

        EXPECT_EQ(file.ReplaceSerialNumber(0xA1B2C3D4), c.result) << c.name;
        for (size_t i = 0; i < file.blocks.size(); ++i) {
            std::string expected = before[i];
            if (i == 1 && c.patchedAt >= 0) expected.replace(2 * c.patchedAt, 8, "D4C3B2A1");
            EXPECT_EQ(hexOf(file.blocks[i]), expected) << c.name << " block " << i;
        }
    }
}

TEST_F(TrelPatchTest, SerialAndDescriptorInDifferentBlocks) {
    TrelFile file = load({"--serial-offsets", "0x100:0x2000", "--firmware-block", "0x100:zeros=4", "--firmware-block",
                          "0x2000:zeros=16"});
    EXPECT_TRUE(file.ReplaceSerialNumber(0xDEADDEAD));
    EXPECT_EQ(hexOf(file.blocks[1]), "00000100ADDEADDE");
    EXPECT_EQ(hexOf(file.blocks[2].data + 4, 16), "44004500410044004400450041004400");
}

TEST(TrelScramble, BuilderKnownAnswer) {
    const auto run = runTrelBuilder({"--scramble-key", KEY_TEXT, "--scramble-hex", "AABBCC"});
    ASSERT_EQ(run.exitCode, 0) << run.err;
    EXPECT_EQ(run.out, "AB1374\n");
}

TEST_F(TrelPatchTest, DecodeKnownAnswer) {
    TrelFile file =
        load({"--firmware-block", "0x10000000:AB1374", "--loader-block", "0:AB1374", "--raw-block", "9:AB1374"});
    EXPECT_TRUE(file.DecodeFirmwareBlocks(KEY));
    EXPECT_EQ(hexOf(file.blocks[0]), "10000000AABBCC");
    EXPECT_EQ(hexOf(file.blocks[1]), "00000000AB1374");
    EXPECT_EQ(hexOf(file.blocks[2]), "AB1374");
}

TEST_F(TrelPatchTest, DecodeUndoesTheBuildersScramblingPerBlock) {
    // Longer than the 16-byte key, and two blocks, so key wrap and the chain restart both show.
    std::string image;
    for (int i = 0; i < 40; ++i) {
        char byte[3];
        snprintf(byte, sizeof byte, "%02X", (i * 37 + 11) & 0xFF);
        image += byte;
    }
    TrelFile file =
        load({"--scramble-key", KEY_TEXT, "--firmware-block", "0:" + image, "--firmware-block", "0x800:" + image});
    EXPECT_NE(hexOf(file.blocks[0]), "00000000" + image);
    EXPECT_TRUE(file.DecodeFirmwareBlocks(KEY));
    EXPECT_EQ(hexOf(file.blocks[0]), "00000000" + image);
    EXPECT_EQ(hexOf(file.blocks[1]), "00000800" + image);
}
