// The whole-file check against firmware files written by tools/trel_builder, for a writer
// that takes overlaps and one that programs every block straight into flash.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "FirmwareFileCheck.h"
#include "TrelFile.h"
#include "tempdir.h"
#include "trel_builder.h"

using testsupport::TempDir;

namespace {

std::string image(uint32_t address, size_t bytes) {
    char text[48];
    std::snprintf(text, sizeof text, "0x%X:zeros=%zu", address, bytes);
    return text;
}

// Straight into flash: no overlaps, a block with a 4-byte image closes the list.
FirmwareTarget flash() {
    FirmwareTarget target;
    target.writesLoader = false;
    target.takesOverlaps = false;
    target.closingImageSize = 4;
    return target;
}

FirmwareTarget romLoader() {
    FirmwareTarget target;
    target.writesFirmware = false;
    return target;
}

struct Case {
    const char* name;
    std::vector<std::string> blocks;  // trel_builder arguments
    FirmwareTarget target;
    const char* problem;              // "" when the target takes the file
};

TEST(FirmwareFileCheck, FindsWhatTheTargetCannotWrite) {
    const Case cases[] = {
        {"blocks back to back", {"--firmware-block", image(0x10000, 4096), "--firmware-block", image(0x11000, 4096)},
         flash(), ""},
        {"one byte shared",
         {"--firmware-block", image(0x10000, 4097), "--firmware-block", image(0x11000, 16)},
         flash(),
         "the firmware blocks of 4097 bytes at 0x00010000 and of 16 bytes at 0x00011000 overlap"},
        {"a later block inside an earlier one, out of address order",
         {"--firmware-block", image(0x20000, 256), "--firmware-block", image(0x10000, 0x20000)},
         flash(),
         "the firmware blocks of 256 bytes at 0x00020000 and of 131072 bytes at 0x00010000 overlap"},
        {"a block without an image overlaps nothing",
         {"--firmware-block", image(0x10000, 4096), "--firmware-block", image(0x10800, 0)},
         flash(), ""},
        {"blocks after the closing block are never written",
         {"--firmware-block", image(0x10000, 4096), "--firmware-block", image(0, 4), "--firmware-block",
          image(0x10000, 4096)},
         flash(), ""},
        {"the module's loader places overlapping blocks itself",
         {"--firmware-block", image(0x10000, 4096), "--firmware-block", image(0x10000, 4096)},
         AnyFirmwareTarget(), ""},
        {"a block that claims more than the file holds",
         {"--firmware-block", image(0x10000, 16), "--claim-length", "0=100"},
         AnyFirmwareTarget(),
         "block 1 of the firmware file (a firmware block) claims 100 bytes, but only 24 remain in the file"},
        {"a cut file is refused by a writer of the loader alone",
         {"--loader-block", image(0x20000000, 16), "--recovery-start", "0x20000000", "--claim-length", "1=100"},
         romLoader(),
         "block 2 of the firmware file (a recovery start block) claims 100 bytes, but only 8 remain in the file"},
        {"a short loader block, for a writer of loaders",
         {"--raw-block", "0:AABBCC", "--firmware-block", image(0x10000, 16)},
         AnyFirmwareTarget(),
         "the firmware file's loader block of 3 bytes is shorter than its 4-byte load address"},
        {"a short loader block, for a writer of the firmware alone",
         {"--raw-block", "0:AABBCC", "--firmware-block", image(0x10000, 16), "--firmware-block", image(0, 4)},
         flash(), ""},
        {"a short firmware block",
         {"--firmware-block", image(0x10000, 16), "--raw-block", "1:00"},
         AnyFirmwareTarget(),
         "a firmware block of 1 bytes is shorter than its 4-byte flash address"},
        {"only an address", {"--firmware-block", image(0x10000, 0)}, AnyFirmwareTarget(),
         "the firmware file holds no firmware to write"},
        {"no firmware for a writer of the loader alone", {"--loader-block", image(0x20000000, 16)}, romLoader(), ""},
    };
    TempDir dir;
    int count = 0;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        TrelFile file(testsupport::buildTrel(dir.file(std::to_string(++count) + ".trel"), c.blocks).c_str());
        EXPECT_EQ(FirmwareFileProblem(file, c.target), c.problem);
    }
}

// The target's own placement rule is asked about the blocks it writes, and only those.
TEST(FirmwareFileCheck, AsksThePlacementRuleAboutEachBlockToWrite) {
    TempDir dir;
    TrelFile file(testsupport::buildTrel(dir.file("f.trel"), {"--firmware-block", image(0x100, 8), "--firmware-block",
                                                              image(0x200, 8), "--firmware-block", image(0, 4),
                                                              "--firmware-block", image(0x300, 8)})
                      .c_str());
    FirmwareTarget target = flash();
    std::vector<uint32_t> asked;
    target.placementProblem = [&](const TrelBlock& block) {
        asked.push_back(block.address);
        return block.address == 0x200 ? std::string("no room at 0x200") : std::string();
    };
    EXPECT_EQ(FirmwareFileProblem(file, target), "no room at 0x200");
    EXPECT_EQ(asked, (std::vector<uint32_t>{0x100, 0x200}));
    const std::vector<TrelBlock> written = FirmwareBlocksToWrite(file, target);
    ASSERT_EQ(written.size(), 2u);
    EXPECT_EQ(written[1].address, 0x200u);
}

}  // namespace
