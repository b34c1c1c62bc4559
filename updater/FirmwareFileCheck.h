// Whether a firmware file is whole and can be written by what is to write it. The one
// check of every path that stores or writes a file: a download before it stores the file,
// an update, and the LPC17xx and i.MX recoveries, each before it touches the store or the
// module. What differs between writers is passed in as a FirmwareTarget.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "TrelFile.h"

struct FirmwareTarget {
    // Whether the writer sends the firmware blocks, and the loader blocks.
    bool writesFirmware = true;
    bool writesLoader = true;
    // Firmware blocks whose images overlap: left to a writer that places the blocks itself
    // (the module's own loader, which answers every block it is offered); refused where each
    // block is programmed straight into flash, where a second write can only clear bits.
    bool takesOverlaps = true;
    // A firmware block whose image has exactly this many bytes ends the blocks the writer
    // writes; 0 when no block does.
    uint32_t closingImageSize = 0;
    // Why the writer cannot place a firmware block it is to write; empty when it can.
    std::function<std::string(const TrelBlock&)> placementProblem;
};

// The file as any writer takes it: loader and firmware blocks, overlaps left to the writer.
// A file from the server is stored only when it passes this.
inline FirmwareTarget AnyFirmwareTarget() {
    return FirmwareTarget();
}

// Why the target cannot write the file whole, empty when it can. Refused, in this order:
// a block that claims more bytes than the file holds; a block the target writes that is too
// short for its address; no firmware block with an image to write; firmware images that
// overlap where the target cannot take that; a block the target cannot place.
std::string FirmwareFileProblem(const TrelFile& file, const FirmwareTarget& target);

// The firmware blocks the target writes, in file order: those before a closing block.
std::vector<TrelBlock> FirmwareBlocksToWrite(const TrelFile& file, const FirmwareTarget& target);
