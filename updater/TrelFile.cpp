#include "TrelFile.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <stdexcept>
#include <zlib.h>

#include "Log.h"
#include "aByteOrder.h"
#include "aFile.h"

const uint8_t TrelFile::TREL_FILE_SIGNATURE[4] = {'t', 'r', 'e', 'l'};
const uint16_t TrelFile::TREL_FILE_VERSION = 0x0101;
const uint8_t TrelFile::TREL_FILE_TYPE_MASK = 0x1f;
const uint8_t TrelFile::TREL_FILE_FLAG_MASK = 0xe0;

namespace {

const size_t HEADER_SIZE = 6;
const size_t BLOCK_HEADER_SIZE = 5;
// The first guess at the inflated size; erased flash compresses far better, so the
// buffer grows as needed up to MAX_PAYLOAD_SIZE.
const size_t INFLATE_FACTOR = 8;
const size_t INFLATE_MINIMUM = 64 * 1024;
const size_t INFO_FIELD_SIZE = 16;
const size_t INFO_BUILD = 0;
const size_t INFO_VERSION = 16;
const size_t INFO_SERIAL = 32;
const size_t INFO_MODEL = 48;
const size_t DESCRIPTOR_PATCH_SIZE = 16;
const size_t VECTOR_WORDS = 8;

uint32_t getLittle32(const uint8_t* p) {
    return uint32_t(p[0]) | (uint32_t(p[1]) << 8) | (uint32_t(p[2]) << 16) | (uint32_t(p[3]) << 24);
}

void putLittle32(uint8_t* p, uint32_t value) {
    p[0] = static_cast<uint8_t>(value);
    p[1] = static_cast<uint8_t>(value >> 8);
    p[2] = static_cast<uint8_t>(value >> 16);
    p[3] = static_cast<uint8_t>(value >> 24);
}

// The least data length at which a block of the type carries all of its fields.
size_t minimumLength(uint8_t type) {
    switch (type) {
    case TrelFile::BLOCK_LOADER:
    case TrelFile::BLOCK_FIRMWARE:
    case TrelFile::BLOCK_RECOVERY_START:
        return 4;
    case TrelFile::BLOCK_SERIAL_OFFSETS:
        return 8;
    case TrelFile::BLOCK_INFO:
        return 64;
    default:
        return 0;
    }
}

// True when the n bytes at address lie wholly inside the block's image, after its address word.
bool inImage(const TrelBlock& block, uint32_t address, size_t n, size_t* offset) {
    const uint64_t imageStart = block.address;
    const uint64_t imageEnd = imageStart + (block.length - 4);
    if (address < imageStart || uint64_t(address) + n > imageEnd) return false;
    *offset = size_t(address - block.address) + 4;
    return true;
}

// The first `count` characters of an info field, as a C string.
std::string infoText(const TrelBlock& block, size_t field, size_t count) {
    const char* start = reinterpret_cast<const char*>(block.data + field);
    return std::string(start, strnlen(start, count));
}

}  // namespace

TrelFile::TrelFile() = default;

TrelFile::TrelFile(const char* filePath) : path(filePath ? filePath : "") {
    if (!Load()) {
        throw std::runtime_error(loadError.empty() ? std::string("Failed to load trel data")
                                                   : "Failed to load trel data: " + loadError);
    }
}

TrelFile::TrelFile(TrelFile&& other) noexcept = default;
TrelFile& TrelFile::operator=(TrelFile&& other) noexcept = default;

bool TrelFile::VerifyFile(const char* filePath) {
    aFileRef file = aFile_Open(filePath, aFileModeRead);
    if (!file) {
        Log::log(DEBUG_TrelFile, "TRELFILE: Error - cannot open trel file: '%s'\n", filePath ? filePath : "");
        return false;
    }
    uint8_t header[HEADER_SIZE];
    size_t got = 0;
    const aErr err = aFile_Read(file, header, sizeof header, &got);
    aFile_Close(&file);
    return err == aErrNone && VerifyHeader(header, got);
}

bool TrelFile::VerifyHeader(const uint8_t* bytes, size_t size) {
    if (!bytes || size < HEADER_SIZE) return false;
    return memcmp(bytes, TREL_FILE_SIGNATURE, sizeof TREL_FILE_SIGNATURE) == 0 && bytes[4] != 0 && bytes[5] != 0;
}

bool TrelFile::Load() {
    Log::log(DEBUG_TrelFile, "TRELFILE: Loading File [%s]\n", path.c_str());
    hasSerialBlock = false;
    serialNumberAddress = 0;
    descriptorAddress = 0;
    loadError.clear();
    if (!aFile_Exists(path.c_str())) {
        Log::log(DEBUG_TrelFile, "TRELFILE: TREL file not found [%s]\n", path.c_str());
        return false;
    }
    aFileRef file = aFile_Open(path.c_str(), aFileModeRead);
    if (!file) {
        Log::log(DEBUG_TrelFile, "TRELFILE: Error - cannot open trel file: '%s'\n", path.c_str());
        return false;
    }
    uint64_t size = 0;
    aErr err = aFile_GetSize(file, &size);
    if (err != aErrNone) {
        Log::log(DEBUG_TrelFile, "TRELFILE: Error (%d) getting trel file size from %s\n", err, path.c_str());
        aFile_Close(&file);
        return false;
    }

    bool loaded = false;
    if (size > uint64_t(MAX_PAYLOAD_SIZE) * 2) {
        // zlib never doubles what it is given, so no sound file is this large.
        Log::log(DEBUG_TrelFile, "TRELFILE: Error reading %s: file too large\n", path.c_str());
        loadError = "the file is larger than " + std::to_string(uint64_t(MAX_PAYLOAD_SIZE) * 2) + " bytes";
    } else {
        std::vector<uint8_t> buffer(static_cast<size_t>(size));
        size_t got = 0;
        err = aFile_Read(file, buffer.data(), buffer.size(), &got);
        if (err != aErrNone) {
            Log::log(DEBUG_TrelFile, "TRELFILE: Error (%d) reading %s\n", err, path.c_str());
        } else if (got != buffer.size()) {
            Log::log(DEBUG_TrelFile, "TRELFILE: Error reading %s read %zu bytes of %zu byte file\n", path.c_str(), got,
                     buffer.size());
        } else {
            loaded = LoadBytes(buffer.data(), buffer.size());
        }
    }
    aFile_Close(&file);
    return loaded;
}

bool TrelFile::LoadBytes(const uint8_t* bytes, size_t size) {
    blocks.clear();
    droppedBlocks.clear();
    blockCount = 0;
    truncated = false;
    cut = Cut();
    bool loaded = false;
    if (bytes && size > HEADER_SIZE) {
        signature = aByteOrder_ReadBE32(bytes);
        version = aByteOrder_ReadBE16(bytes + 4);
        if (DecompressData(bytes + HEADER_SIZE, size - HEADER_SIZE)) {
            ScanBlocks(payload.get(), payloadSize);
            loaded = true;
        }
    }
    hasSerialBlock = !FindBlocks(BLOCK_SERIAL_OFFSETS).empty();
    if (hasSerialBlock) FindSerialNumberOffsets();
    return loaded;
}

bool TrelFile::DecompressData(const uint8_t* data, size_t length) {
    blocks.clear();
    droppedBlocks.clear();
    blockCount = 0;
    payloadSize = 0;
    payload.reset();
    if (!data || length > UINT32_MAX) {
        Log::log(DEBUG_TrelFile, "TRELFILE: Error (%d) decompressing trel file.\n", Z_MEM_ERROR);
        return false;
    }
    z_stream stream{};
    if (inflateInit(&stream) != Z_OK) {
        Log::log(DEBUG_TrelFile, "TRELFILE: Error (%d) decompressing trel file.\n", Z_MEM_ERROR);
        return false;
    }
    // One byte past the bound tells a payload of exactly the bound from a larger one.
    const size_t limit = size_t(MAX_PAYLOAD_SIZE) + 1;
    std::vector<uint8_t> out(std::min(limit, std::max(INFLATE_MINIMUM, length * INFLATE_FACTOR)));
    stream.next_in = const_cast<Bytef*>(data);
    stream.avail_in = static_cast<uInt>(length);
    stream.next_out = out.data();
    stream.avail_out = static_cast<uInt>(out.size());
    int result = Z_OK;
    bool tooLarge = false;
    for (;;) {
        result = inflate(&stream, Z_NO_FLUSH);
        if (result == Z_STREAM_END) break;
        if (result != Z_OK && result != Z_BUF_ERROR) break;
        if (stream.avail_out != 0) {
            // No progress with room to spare: the stream ended before its end marker.
            if (result == Z_BUF_ERROR) {
                result = Z_DATA_ERROR;
                break;
            }
            continue;
        }
        if (out.size() >= limit) {
            tooLarge = true;
            break;
        }
        const size_t used = stream.total_out;
        out.resize(std::min(limit, out.size() * 2));
        stream.next_out = out.data() + used;
        stream.avail_out = static_cast<uInt>(out.size() - used);
    }
    const size_t inflated = stream.total_out;
    inflateEnd(&stream);
    if (tooLarge || inflated > MAX_PAYLOAD_SIZE) {
        Log::log(DEBUG_TrelFile, "TRELFILE: Error - payload inflates to more than %u bytes.\n", MAX_PAYLOAD_SIZE);
        loadError = "the firmware payload inflates to more than " + std::to_string(MAX_PAYLOAD_SIZE) + " bytes";
        return false;
    }
    if (result != Z_STREAM_END) {
        Log::log(DEBUG_TrelFile, "TRELFILE: Error (%d) decompressing trel file.\n", result);
        return false;
    }
    // Keep exactly the inflated bytes, so nothing past them can pass for payload.
    payloadSize = static_cast<uint32_t>(inflated);
    payload.reset(new uint8_t[inflated ? inflated : 1]);
    memcpy(payload.get(), out.data(), inflated);
    return true;
}

bool TrelFile::ScanBlocks(const uint8_t* p, uint32_t size) {
    blocks.clear();
    droppedBlocks.clear();
    blockCount = 0;
    checksum = 0;
    truncated = false;
    cut = Cut();
    if (!p || size < 4) {
        Log::log(DEBUG_TrelFile, "TRELFILE: Payload of %u bytes holds no block count\n", size);
        return false;
    }
    const uint32_t reported = aByteOrder_ReadBE32(p);
    Log::log(DEBUG_TrelFile, "TRELFILE:\t\t File reports %d blocks\n", static_cast<int>(reported));
    Log::log(DEBUG_TrelFile, "TRELFILE: Trel file objects:\n");
    Log::log(DEBUG_TrelFile, "TRELFILE: \t\tType Flags Length\n");

    size_t pos = 4;
    bool stopped = false;
    while (size - pos > 4) {
        TrelBlock block;
        block.type = p[pos] & TREL_FILE_TYPE_MASK;
        block.flags = static_cast<uint8_t>((p[pos] & TREL_FILE_FLAG_MASK) >> 5);
        block.length = aByteOrder_ReadBE32(p + pos + 1);
        const size_t available = size - pos - BLOCK_HEADER_SIZE;
        Log::log(DEBUG_TrelFile, "TRELFILE:\t\t %02X   %02X   %d\n", block.type, block.flags,
                 static_cast<int>(block.length));
        if (block.length > available) {
            Log::log(DEBUG_TrelFile, "TRELFILE: Block claims %u bytes but only %zu remain\n", block.length, available);
            stopped = true;
            truncated = true;
            cut.number = static_cast<uint32_t>(blocks.size() + droppedBlocks.size() + 1);
            cut.type = block.type;
            cut.claimed = block.length;
            cut.available = static_cast<uint32_t>(available);
            break;
        }
        block.data = const_cast<uint8_t*>(p + pos + BLOCK_HEADER_SIZE);
        pos += BLOCK_HEADER_SIZE + block.length;
        if (block.length < minimumLength(block.type)) {
            Log::log(DEBUG_TrelFile, "TRELFILE: Block of type %d too short (%u bytes), dropped\n", block.type,
                     block.length);
            droppedBlocks.push_back(block);
            continue;
        }
        if (block.type == BLOCK_LOADER || block.type == BLOCK_FIRMWARE) block.address = aByteOrder_ReadBE32(block.data);
        if (block.type == BLOCK_INFO) {
            for (size_t field = 0; field < 4; ++field) {
                Log::log(DEBUG_TrelFile, "TRELFILE:\t\t \t[%16.16s]\n",
                         reinterpret_cast<const char*>(block.data + field * INFO_FIELD_SIZE));
            }
        }
        ++blockCount;
        blocks.push_back(block);
    }

    bool consistent = true;
    if (!stopped && size - pos == 4) {
        checksum = aByteOrder_ReadBE32(p + pos);
        Log::log(DEBUG_TrelFile, "TRELFILE:\t\t File checksum %08X\n", checksum);
    } else {
        // Negative when the blocks ran into the place of the checksum word.
        const long long remaining = static_cast<long long>(size) - static_cast<long long>(pos) - 4;
        Log::log(DEBUG_TrelFile, "TRELFILE: Block parsing mismatch in data size. (%lld bytes remaining)\n", remaining);
        consistent = false;
    }
    if (blockCount != reported) {
        Log::log(DEBUG_TrelFile, "TRELFILE: Block parsing mismatch in number of blocks. (%d != %d)\n",
                 static_cast<int>(blockCount), static_cast<int>(reported));
        consistent = false;
    }
    return consistent;
}

std::vector<TrelBlock> TrelFile::FindBlocks(BLOCK_TYPE type) const {
    std::vector<TrelBlock> found;
    for (const TrelBlock& block : blocks) {
        if (block.type == type) found.push_back(block);
    }
    return found;
}

bool TrelFile::FindSerialNumberOffsets() {
    if (blockCount == 0) return false;
    for (const TrelBlock& block : blocks) {
        if (block.type != BLOCK_SERIAL_OFFSETS) continue;
        serialNumberAddress = aByteOrder_ReadBE32(block.data);
        descriptorAddress = aByteOrder_ReadBE32(block.data + 4);
        Log::log(DEBUG_TrelFile, "TRELFILE: Offsets: Serial number: %d, Descriptor: %d\n",
                 static_cast<int>(serialNumberAddress), static_cast<int>(descriptorAddress));
        return true;
    }
    return false;
}

bool TrelFile::ReplaceSerialNumber(uint32_t serial) {
    if (serialNumberAddress == 0 && descriptorAddress == 0) {
        Log::log(DEBUG_TrelFile, "TRELFILE: No serial number offsets to patch\n");
        return false;
    }
    // Every offset the file names must land in some firmware image before anything changes.
    bool serialFits = serialNumberAddress == 0;
    bool descriptorFits = descriptorAddress == 0;
    size_t offset = 0;
    for (const TrelBlock& block : blocks) {
        if (block.type != BLOCK_FIRMWARE) continue;
        if (serialNumberAddress != 0 && inImage(block, serialNumberAddress, 4, &offset)) serialFits = true;
        if (descriptorAddress != 0 && inImage(block, descriptorAddress, DESCRIPTOR_PATCH_SIZE, &offset)) {
            descriptorFits = true;
        }
    }
    if (!serialFits) {
        Log::log(DEBUG_TrelFile, "TRELFILE: Serial number address %08X lies in no firmware image\n",
                 serialNumberAddress);
        return false;
    }
    if (!descriptorFits) {
        Log::log(DEBUG_TrelFile, "TRELFILE: Descriptor address %08X lies in no firmware image\n", descriptorAddress);
        return false;
    }

    char text[9];
    snprintf(text, sizeof text, "%08X", serial);
    for (TrelBlock& block : blocks) {
        if (block.type != BLOCK_FIRMWARE) continue;
        if (serialNumberAddress != 0 && inImage(block, serialNumberAddress, 4, &offset)) {
            Log::log(DEBUG_TrelFile, "TRELFILE: updating serial number from %08X ==> %08X\n",
                     getLittle32(block.data + offset), serial);
            putLittle32(block.data + offset, serial);
        }
        if (descriptorAddress != 0 && inImage(block, descriptorAddress, DESCRIPTOR_PATCH_SIZE, &offset)) {
            // The low bytes of eight UTF-16LE characters; the high bytes stay as they are.
            for (size_t i = 0; i < 8; ++i) block.data[offset + 2 * i] = static_cast<uint8_t>(text[i]);
        }
    }
    return true;
}

bool TrelFile::ReplaceVectorChecksum() {
    for (TrelBlock& block : blocks) {
        if (block.type != BLOCK_FIRMWARE || block.address != 0) continue;
        if (block.length - 4 < VECTOR_WORDS * 4) continue;
        uint8_t* image = block.data + 4;
        uint32_t w[VECTOR_WORDS];
        for (size_t i = 0; i < VECTOR_WORDS; ++i) w[i] = getLittle32(image + 4 * i);
        const uint32_t sum = w[0] + w[1] + w[2] + w[3] + w[4] + w[6];
        const uint32_t updated = 0u - sum;
        Log::log(DEBUG_TrelFile, "TRELFILE: updating vector checksum from %08X ==> %08X\n", w[7], updated);
        putLittle32(image + 4 * 7, updated);
    }
    return true;
}

bool TrelFile::DecodeFirmwareBlocks(const uint32_t key[4]) {
    uint8_t stream[16];
    for (size_t i = 0; i < 4; ++i) {
        for (size_t j = 0; j < 4; ++j) stream[4 * i + j] = static_cast<uint8_t>(key[i] >> (24 - 8 * j));
    }
    for (TrelBlock& block : blocks) {
        if (block.type != BLOCK_FIRMWARE) continue;
        uint8_t chain = 0;
        size_t k = 0;
        for (size_t i = 4; i < block.length; ++i) {
            const uint8_t plain = static_cast<uint8_t>(block.data[i] ^ stream[k] ^ chain);
            block.data[i] = plain;
            chain = plain;
            k = (k + 1) % sizeof stream;
        }
    }
    return true;
}

bool TrelFile::ValidateData(uint8_t* pattern, uint32_t length) {
    if (!pattern || length == 0) return false;
    Log::log(DEBUG_TrelFile, "TRELFILE: looking for data pattern in [%s]\n", path.c_str());
    bool found = false;
    for (const TrelBlock& block : blocks) {
        if (block.type != BLOCK_FIRMWARE || block.length <= length) continue;
        for (size_t offset = 0; offset < block.length - length; ++offset) {
            if (memcmp(block.data + offset, pattern, length) == 0) {
                Log::log(DEBUG_TrelFile, "Found data at %d\n", static_cast<int>(offset));
                found = true;
            }
        }
    }
    Log::log(DEBUG_TrelFile, "\n");
    return found;
}

const TrelBlock* TrelFile::infoBlock() const {
    for (const TrelBlock& block : blocks) {
        if (block.type == BLOCK_INFO) return &block;
    }
    return nullptr;
}

bool TrelFile::ValidateModel(const char* model) {
    const TrelBlock* info = infoBlock();
    if (!info || !model) return false;
    std::string field = infoText(*info, INFO_MODEL, INFO_FIELD_SIZE);
    while (!field.empty() && field.back() == ' ') field.pop_back();
    const size_t n = strlen(model);
    if (n > field.size() || field.compare(0, n, model) != 0) return false;
    Log::log(DEBUG_TrelFile, "Model matches model number ([%s] == [%s])\n", field.c_str(), model);
    return true;
}

uint32_t TrelFile::GetSerialNumber() {
    const TrelBlock* info = infoBlock();
    if (!info) return 0;
    return static_cast<uint32_t>(strtoul(infoText(*info, INFO_SERIAL, 8).c_str(), nullptr, 16));
}

uint32_t TrelFile::GetBuild() {
    const TrelBlock* info = infoBlock();
    if (!info) return 0;
    return static_cast<uint32_t>(strtoul(infoText(*info, INFO_BUILD, INFO_FIELD_SIZE - 1).c_str(), nullptr, 10));
}

std::string TrelFile::GetVersion() {
    const TrelBlock* info = infoBlock();
    if (!info) return std::string();
    const std::string field = infoText(*info, INFO_VERSION, INFO_FIELD_SIZE - 1);
    return field.substr(0, field.find(' '));
}

bool TrelFile::ValidateSerialNumber(uint32_t serial) {
    return serial == GetSerialNumber();
}

bool TrelFile::DumpBlocks(BLOCK_TYPE type) {
    printf("TRELFILE: BLOCK DUMP [%s]\n", path.c_str());
    for (const TrelBlock& block : blocks) {
        if (block.type != type) continue;
        std::string column;
        for (size_t i = 0; i < block.length; ++i) {
            if (i % 50 == 0) {
                printf(" %s\r\n%06d: ", column.c_str(), static_cast<int>(i));
                column.clear();
            }
            const uint8_t byte = block.data[i];
            column += (byte >= 0x20 && byte < 0x7f) ? static_cast<char>(byte) : ' ';
            printf("%02X ", byte);
        }
        printf(" %s\n", column.c_str());
    }
    printf("\n");
    return true;
}
