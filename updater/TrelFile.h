// TREL firmware files: a "trel" header and version, then one zlib stream holding typed
// blocks (loader and firmware images, serial-number offsets, info text, recovery start)
// and a trailing checksum word. All numbers of the format are big-endian.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

struct TrelBlock {
    uint8_t type = 0;
    uint8_t flags = 0;
    uint32_t length = 0;      // data length, load address included
    uint32_t address = 0;     // load address of loader and firmware blocks, else 0
    uint8_t* data = nullptr;  // points into the owning TrelFile's payload
};

class TrelFile {
public:
    enum BLOCK_TYPE : uint8_t {
        BLOCK_LOADER = 0,
        BLOCK_FIRMWARE = 1,
        BLOCK_SERIAL_OFFSETS = 2,
        BLOCK_INFO = 4,
        BLOCK_RECOVERY_START = 5,
    };

    static const uint8_t TREL_FILE_SIGNATURE[4];
    static const uint16_t TREL_FILE_VERSION;
    static const uint8_t TREL_FILE_TYPE_MASK;
    static const uint8_t TREL_FILE_FLAG_MASK;
    // Far above any module's flash: a small hostile file must not take the machine's memory.
    static constexpr uint32_t MAX_PAYLOAD_SIZE = 64u << 20;

    TrelFile();
    explicit TrelFile(const char* path);  // throws std::runtime_error when the file does not load
    TrelFile(TrelFile&& other) noexcept;
    TrelFile& operator=(TrelFile&& other) noexcept;
    TrelFile(const TrelFile&) = delete;
    TrelFile& operator=(const TrelFile&) = delete;

    static bool VerifyFile(const char* path);
    // The same check on a file's bytes: magic "trel" and two non-zero version bytes.
    static bool VerifyHeader(const uint8_t* bytes, size_t size);

    bool Load();
    // Parses a whole file's bytes (header, zlib payload, blocks) as Load does after reading.
    bool LoadBytes(const uint8_t* bytes, size_t size);
    bool DecompressData(const uint8_t* data, size_t length);
    bool ScanBlocks(const uint8_t* payload, uint32_t size);
    std::vector<TrelBlock> FindBlocks(BLOCK_TYPE type) const;
    bool FindSerialNumberOffsets();

    bool ReplaceSerialNumber(uint32_t serial);
    bool ReplaceVectorChecksum();
    // Unscrambles recovery firmware with the chip's four fingerprint words.
    bool DecodeFirmwareBlocks(const uint32_t key[4]);

    bool ValidateData(uint8_t* pattern, uint32_t length);
    bool ValidateModel(const char* model);
    uint32_t GetSerialNumber();
    uint32_t GetBuild();
    std::string GetVersion();
    bool ValidateSerialNumber(uint32_t serial);
    bool DumpBlocks(BLOCK_TYPE type);

    std::string path;
    uint32_t signature = 0;
    uint32_t version = 0;
    uint32_t checksum = 0;
    uint32_t blockCount = 0;
    std::vector<TrelBlock> blocks;
    // Blocks too short for their type's fields, left out of `blocks`: a reader that must
    // use every block of a type refuses a file with such a block of it.
    std::vector<TrelBlock> droppedBlocks;
    bool hasSerialBlock = false;
    // A block claimed more data than the payload holds; the scan stopped there.
    bool truncated = false;
    // That block: its place among the file's blocks (from 1), its type, the data length it
    // claimed and the bytes the payload still held after its header.
    struct Cut {
        uint32_t number = 0;
        uint8_t type = 0;
        uint32_t claimed = 0;
        uint32_t available = 0;
    } cut;
    // Why the last load failed, for the user; empty when no reason beyond the failure is known.
    std::string loadError;
    uint32_t serialNumberAddress = 0;
    uint32_t descriptorAddress = 0;
    std::unique_ptr<uint8_t[]> payload;
    uint32_t payloadSize = 0;

private:
    const TrelBlock* infoBlock() const;
};
