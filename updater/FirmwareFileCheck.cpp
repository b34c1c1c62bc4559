#include "FirmwareFileCheck.h"

#include <algorithm>
#include <cstdio>

namespace {

const uint32_t ADDRESS_SIZE = 4;

std::string blockKind(uint8_t type) {
    switch (type) {
    case TrelFile::BLOCK_LOADER:
        return "a loader block";
    case TrelFile::BLOCK_FIRMWARE:
        return "a firmware block";
    case TrelFile::BLOCK_SERIAL_OFFSETS:
        return "a serial-number offsets block";
    case TrelFile::BLOCK_INFO:
        return "an info block";
    case TrelFile::BLOCK_RECOVERY_START:
        return "a recovery start block";
    default:
        return "a block of type " + std::to_string(type);
    }
}

std::string cutProblem(const TrelFile& file) {
    char text[200];
    std::snprintf(text, sizeof text, "block %u of the firmware file (%s) claims %u bytes, but only %u remain in the file",
                  file.cut.number, blockKind(file.cut.type).c_str(), file.cut.claimed, file.cut.available);
    return text;
}

// The file reader sets blocks too short for their address aside; a caller may also hold
// such a block among the parsed ones.
std::string shortBlockProblem(const TrelFile& file, const FirmwareTarget& target) {
    char text[160];
    for (const std::vector<TrelBlock>* list : {&file.blocks, &file.droppedBlocks}) {
        for (const TrelBlock& block : *list) {
            if (block.length >= ADDRESS_SIZE) continue;
            if (block.type == TrelFile::BLOCK_FIRMWARE && target.writesFirmware) {
                std::snprintf(text, sizeof text, "a firmware block of %u bytes is shorter than its 4-byte flash address",
                              block.length);
                return text;
            }
            if (block.type == TrelFile::BLOCK_LOADER && target.writesLoader) {
                std::snprintf(text, sizeof text,
                              "the firmware file's loader block of %u bytes is shorter than its 4-byte load address",
                              block.length);
                return text;
            }
        }
    }
    return "";
}

uint64_t imageEnd(const TrelBlock& block) {
    return uint64_t(block.address) + (block.length - ADDRESS_SIZE);
}

// Two blocks whose images share a byte, named in file order; empty when no two do.
std::string overlapProblem(const std::vector<TrelBlock>& blocks) {
    std::vector<size_t> order(blocks.size());
    for (size_t i = 0; i < order.size(); ++i) order[i] = i;
    std::stable_sort(order.begin(), order.end(),
                     [&](size_t a, size_t b) { return blocks[a].address < blocks[b].address; });
    // Each block is compared with the one reaching furthest among those starting before it.
    size_t furthest = blocks.size();
    for (const size_t i : order) {
        if (blocks[i].length == ADDRESS_SIZE) continue;
        if (furthest != blocks.size() && blocks[i].address < imageEnd(blocks[furthest])) {
            const TrelBlock& first = blocks[std::min(i, furthest)];
            const TrelBlock& second = blocks[std::max(i, furthest)];
            char text[160];
            std::snprintf(text, sizeof text, "the firmware blocks of %u bytes at 0x%08X and of %u bytes at 0x%08X overlap",
                          first.length - ADDRESS_SIZE, first.address, second.length - ADDRESS_SIZE, second.address);
            return text;
        }
        if (furthest == blocks.size() || imageEnd(blocks[i]) > imageEnd(blocks[furthest])) furthest = i;
    }
    return "";
}

}  // namespace

std::vector<TrelBlock> FirmwareBlocksToWrite(const TrelFile& file, const FirmwareTarget& target) {
    std::vector<TrelBlock> blocks;
    for (const TrelBlock& block : file.FindBlocks(TrelFile::BLOCK_FIRMWARE)) {
        if (block.length < ADDRESS_SIZE) continue;
        if (target.closingImageSize != 0 && block.length - ADDRESS_SIZE == target.closingImageSize) break;
        blocks.push_back(block);
    }
    return blocks;
}

std::string FirmwareFileProblem(const TrelFile& file, const FirmwareTarget& target) {
    if (file.truncated) return cutProblem(file);
    const std::string tooShort = shortBlockProblem(file, target);
    if (!tooShort.empty()) return tooShort;
    if (!target.writesFirmware) return "";
    const std::vector<TrelBlock> blocks = FirmwareBlocksToWrite(file, target);
    const bool anyImage =
        std::any_of(blocks.begin(), blocks.end(), [](const TrelBlock& block) { return block.length > ADDRESS_SIZE; });
    if (!anyImage) return "the firmware file holds no firmware to write";
    if (!target.takesOverlaps) {
        const std::string overlap = overlapProblem(blocks);
        if (!overlap.empty()) return overlap;
    }
    if (target.placementProblem) {
        for (const TrelBlock& block : blocks) {
            const std::string problem = target.placementProblem(block);
            if (!problem.empty()) return problem;
        }
    }
    return "";
}
