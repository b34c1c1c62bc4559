// Bounded random input for the firmware file reader: every parse and every operation on
// what was parsed must stay inside the file's bytes (run under the sanitizers to see it).
#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <random>
#include <stdexcept>
#include <string>
#include <vector>
#include <zlib.h>

#include "TrelFile.h"
#include "tempdir.h"

using testsupport::TempDir;
using testsupport::writeWholeFile;

namespace {

const auto TIME_LIMIT = std::chrono::milliseconds(1000);
const int MAX_ROUNDS = 20000;

class Generator {
public:
    explicit Generator(uint32_t seed) : random_(seed) {}

    uint32_t below(uint32_t n) { return std::uniform_int_distribution<uint32_t>(0, n - 1)(random_); }
    uint8_t byte() { return static_cast<uint8_t>(below(256)); }

    void put32(std::vector<uint8_t>& out, uint32_t value) {
        for (int shift = 24; shift >= 0; shift -= 8) out.push_back(static_cast<uint8_t>(value >> shift));
    }

    // A payload that is mostly well formed, with lengths and counts that may lie.
    std::vector<uint8_t> payload() {
        std::vector<uint8_t> out;
        if (below(8) == 0) {
            out.resize(below(64));
            for (auto& b : out) b = byte();
            return out;
        }
        const uint32_t blocks = below(6);
        put32(out, below(4) == 0 ? below(10) : blocks);
        const uint32_t base = below(3) == 0 ? 0xFFFFFF00u + below(256) : below(0x100) * 0x100;
        for (uint32_t i = 0; i < blocks; ++i) {
            const uint8_t type = static_cast<uint8_t>(below(4) == 0 ? below(32) : below(6));
            std::vector<uint8_t> data;
            if (type == TrelFile::BLOCK_SERIAL_OFFSETS) {
                put32(data, base + below(96) - 8);
                put32(data, below(2) ? base + below(96) - 8 : 0);
            } else if (type == TrelFile::BLOCK_FIRMWARE || type == TrelFile::BLOCK_LOADER) {
                put32(data, base + below(16));
                data.resize(data.size() + below(80), 0x33);
            } else {
                data.resize(below(80), 0x20);
            }
            if (below(4) == 0) data.resize(below(static_cast<uint32_t>(data.size()) + 1));
            out.push_back(static_cast<uint8_t>(type | (below(8) << 5)));
            put32(out, below(6) == 0 ? static_cast<uint32_t>(data.size()) + below(16) - 8
                                     : static_cast<uint32_t>(data.size()));
            out.insert(out.end(), data.begin(), data.end());
        }
        if (below(6) != 0) put32(out, 0x12345678);
        for (uint32_t flips = below(3); flips > 0 && !out.empty(); --flips)
            out[below(static_cast<uint32_t>(out.size()))] = byte();
        return out;
    }

private:
    std::mt19937 random_;
};

void exercise(TrelFile& file, Generator& gen, const uint8_t* start, size_t size) {
    for (const TrelBlock& block : file.blocks) {
        ASSERT_GE(block.data, start);
        ASSERT_LE(block.data + block.length, start + size);
    }
    file.FindSerialNumberOffsets();
    file.ReplaceSerialNumber(gen.below(UINT32_MAX));
    file.ReplaceVectorChecksum();
    const uint32_t key[4] = {gen.below(UINT32_MAX), 2, 3, 4};
    file.DecodeFirmwareBlocks(key);
    uint8_t pattern[3] = {0x33, 0x33, 0x33};
    file.ValidateData(pattern, gen.below(4));
    file.ValidateModel("Quillet");
    file.ValidateModel("");
    file.GetBuild();
    file.GetVersion();
    file.GetSerialNumber();
}

}  // namespace

TEST(TrelFuzz, RandomPayloadsStayInBounds) {
    Generator gen(0x7E1F11E5u);
    const auto deadline = std::chrono::steady_clock::now() + TIME_LIMIT;
    for (int round = 0; round < MAX_ROUNDS && std::chrono::steady_clock::now() < deadline; ++round) {
        // An exact-size buffer, so any read past its end is an out-of-bounds access.
        const std::vector<uint8_t> bytes = gen.payload();
        std::unique_ptr<uint8_t[]> exact(new uint8_t[bytes.size() + 1]);
        std::copy(bytes.begin(), bytes.end(), exact.get());
        TrelFile file;
        file.ScanBlocks(exact.get(), static_cast<uint32_t>(bytes.size()));
        exercise(file, gen, exact.get(), bytes.size());
        if (HasFatalFailure()) return;
    }
}

TEST(TrelFuzz, RandomFilesLoadOrThrow) {
    Generator gen(0x5EEDF11Eu);
    TempDir dir;
    const std::string path = dir.file("fuzz.trel");
    const auto deadline = std::chrono::steady_clock::now() + TIME_LIMIT;
    for (int round = 0; round < MAX_ROUNDS && std::chrono::steady_clock::now() < deadline; ++round) {
        const std::vector<uint8_t> payload = gen.payload();
        std::vector<uint8_t> stream(compressBound(payload.size()));
        uLongf streamSize = stream.size();
        ASSERT_EQ(compress(stream.data(), &streamSize, payload.data(), payload.size()), Z_OK);
        stream.resize(streamSize);
        switch (gen.below(4)) {
        case 0:
            stream.resize(gen.below(static_cast<uint32_t>(stream.size()) + 1));
            break;
        case 1:
            if (!stream.empty()) stream[gen.below(static_cast<uint32_t>(stream.size()))] ^= 0x10;
            break;
        default:
            break;
        }
        std::string content = "trel\x01\x01";
        content.append(stream.begin(), stream.end());
        writeWholeFile(path, content);
        try {
            TrelFile file(path.c_str());
            EXPECT_LE(file.payloadSize, 8 * stream.size());
            exercise(file, gen, file.payload.get(), file.payloadSize);
            if (HasFatalFailure()) return;
        } catch (const std::runtime_error&) {}
    }
}
