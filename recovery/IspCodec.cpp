#include "IspCodec.h"

#include <cctype>
#include <cstdio>
#include <cstring>

#include "Log.h"

uint32_t IspCodec::sum(const uint8_t* bytes, size_t count) {
    uint32_t total = 0;
    for (size_t i = 0; i < count; ++i) total += bytes[i];
    return total;
}

char IspCodec::uuchar(uint32_t value) {
    const uint32_t v = value & 0x3F;
    return v == 0 ? '`' : static_cast<char>(v + 0x20);
}

size_t IspCodec::uuencode(char* out, const uint8_t* bytes, size_t count) {
    size_t o = 0;
    out[o++] = uuchar(static_cast<uint32_t>(count));
    for (size_t i = 0; i < count; i += 3) {
        const uint32_t b0 = bytes[i];
        const uint32_t b1 = i + 1 < count ? bytes[i + 1] : 0;
        const uint32_t b2 = i + 2 < count ? bytes[i + 2] : 0;
        const uint32_t group = (b0 << 16) | (b1 << 8) | b2;
        out[o++] = uuchar(group >> 18);
        out[o++] = uuchar(group >> 12);
        out[o++] = uuchar(group >> 6);
        out[o++] = uuchar(group);
    }
    out[o] = '\0';
    return count;
}

size_t IspCodec::uudecode(uint8_t* out, size_t capacity, const char* line) {
    if (!line || line[0] == '\0') return 0;
    const size_t n = static_cast<size_t>((static_cast<uint8_t>(line[0]) - 0x20) & 0x3F);
    if (n > capacity) return 0;
    const size_t lineLength = std::strlen(line);
    size_t produced = 0;
    size_t at = 1;
    while (produced < n) {
        if (at + 4 > lineLength) {
            Log::log(DEBUG_NXPSerial, "Error buffer overrun\n");
            break;
        }
        uint32_t group = 0;
        for (int i = 0; i < 4; ++i) group = (group << 6) | ((static_cast<uint8_t>(line[at + i]) - 0x20) & 0x3F);
        at += 4;
        for (int i = 2; i >= 0 && produced < n; --i) out[produced++] = static_cast<uint8_t>(group >> (8 * i));
    }
    return produced;
}

size_t IspCodec::checksumLine(char* out, size_t size, uint32_t checksum) {
    const int written = std::snprintf(out, size, "%u\r\n", checksum);
    return written > 0 && static_cast<size_t>(written) < size ? static_cast<size_t>(written) : 0;
}

bool IspCodec::ParseReturnCode(const char* line, size_t length, uint32_t& code) {
    // The whole line is the code: decimal digits and the line end, nothing else.
    if (!line || length < 3 || length > 2 + 10 || std::strncmp(line + length - 2, "\r\n", 2) != 0) return false;
    uint64_t value = 0;
    for (size_t i = 0; i < length - 2; ++i) {
        if (!std::isdigit(static_cast<unsigned char>(line[i]))) return false;
        value = value * 10 + static_cast<uint64_t>(line[i] - '0');
    }
    if (value > UINT32_MAX) return false;
    code = static_cast<uint32_t>(value);
    return true;
}
