// Firmware files as they come from the update server or a user's -f: header, zlib
// payload, blocks, and every reader and patcher that then runs on the blocks. The first
// byte chooses the depth: even, the rest is a whole file; odd, the rest is an inflated
// payload, so the block scan is reached without the fuzzer having to write zlib streams.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "TrelFile.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1) return 0;
    const bool wholeFile = (data[0] & 1) == 0;
    ++data;
    --size;
    TrelFile file;
    if (wholeFile) {
        TrelFile::VerifyHeader(data, size);
        if (!file.LoadBytes(data, size)) return 0;
    } else {
        file.payload.reset(new uint8_t[size ? size : 1]);
        if (size) memcpy(file.payload.get(), data, size);
        file.payloadSize = static_cast<uint32_t>(size);
        file.ScanBlocks(file.payload.get(), file.payloadSize);
        file.hasSerialBlock = !file.FindBlocks(TrelFile::BLOCK_SERIAL_OFFSETS).empty();
        if (file.hasSerialBlock) file.FindSerialNumberOffsets();
    }
    for (const TrelBlock& block : file.blocks) {
        if (block.data < file.payload.get() || block.data + block.length > file.payload.get() + file.payloadSize)
            abort();
    }
    file.GetBuild();
    file.GetVersion();
    file.GetSerialNumber();
    file.ValidateModel("");
    file.ValidateModel("Quillet");
    file.ReplaceSerialNumber(0x40F5849A);
    file.ReplaceVectorChecksum();
    uint8_t pattern[] = {0xDE, 0xAD};
    file.ValidateData(pattern, sizeof pattern);
    const uint32_t key[4] = {1, 2, 3, 4};
    file.DecodeFirmwareBlocks(key);
    return 0;
}
