// Firmware files for update tests and the image a module should hold after the update.
#pragma once

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "trel_builder.h"
#include "byte_patterns.h"

namespace testsupport {

struct ImageBlock {
    uint32_t address;
    std::string bytes;
};

inline std::string hexOf(const std::string& bytes) {
    std::string text;
    char pair[3];
    for (const char byte : bytes) {
        std::snprintf(pair, sizeof pair, "%02X", static_cast<unsigned char>(byte));
        text += pair;
    }
    return text;
}

inline std::string addressText(uint32_t address) {
    char text[16];
    std::snprintf(text, sizeof text, "0x%X", address);
    return text;
}

struct FirmwareFile {
    std::string build = "1234";
    std::string serial;  // eight hex digits, the module the file is built for
    std::string model;   // model name of the info block
    std::string loader = patternBytes(40, 99);
    std::vector<ImageBlock> firmware;
    std::vector<std::string> extraArgs;  // e.g. {"--serial-offsets", "0x4010:0"}
};

// Writes the file with the independent builder: one loader block at 0x10000000, the
// firmware blocks, then the info block.
inline std::string writeFirmwareFile(const std::string& path, const FirmwareFile& file) {
    std::vector<std::string> args{"--loader-block", "0x10000000:" + hexOf(file.loader)};
    for (const ImageBlock& block : file.firmware)
        args.insert(args.end(), {"--firmware-block", addressText(block.address) + ":" + hexOf(block.bytes)});
    args.insert(args.end(), file.extraArgs.begin(), file.extraArgs.end());
    args.insert(args.end(), {"--info", file.build, "1.3.0", file.serial, file.model});
    return buildTrel(path, args);
}

// What the simulated module's loader holds after the blocks were written: each block's
// image, blocks in load-address order.
inline std::string imageOf(std::vector<ImageBlock> blocks) {
    std::sort(blocks.begin(), blocks.end(),
              [](const ImageBlock& a, const ImageBlock& b) { return a.address < b.address; });
    std::string image;
    for (const ImageBlock& block : blocks) image += block.bytes;
    return image;
}

}  // namespace testsupport
