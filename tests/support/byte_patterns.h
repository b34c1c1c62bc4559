// Byte patterns for firmware images and transfers: every byte depends on its position, so a
// lost, repeated or moved byte shows up when the pattern comes back.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace testsupport {

// seed, seed + step, seed + 2 * step ... (modulo 256).
inline std::vector<uint8_t> steppedBytes(std::size_t length, uint8_t seed, unsigned step = 7) {
    std::vector<uint8_t> bytes(length);
    for (std::size_t i = 0; i < length; ++i) bytes[i] = static_cast<uint8_t>(seed + step * i);
    return bytes;
}

// Like steppedBytes with step 7, but with a shift every 251 bytes so that no 256-byte block
// repeats: a transfer that drops or repeats a whole block is still caught.
inline std::string patternBytes(std::size_t length, unsigned seed = 0) {
    std::string bytes(length, '\0');
    for (std::size_t i = 0; i < length; ++i) bytes[i] = static_cast<char>((i * 7 + seed * 31 + i / 251) & 0xFF);
    return bytes;
}

// Pseudo-random bytes from a linear congruential sequence: no structure a codec could
// favour, so they hardly compress (a firmware file inflates to a bounded multiple of itself).
inline std::vector<uint8_t> noiseBytes(std::size_t length, uint32_t seed) {
    std::vector<uint8_t> bytes(length);
    for (std::size_t i = 0; i < length; ++i) {
        seed = seed * 1103515245u + 12345u;
        bytes[i] = static_cast<uint8_t>(seed >> 16);
    }
    return bytes;
}

inline std::string asText(const std::vector<uint8_t>& bytes) {
    return std::string(bytes.begin(), bytes.end());
}
inline std::string steppedText(std::size_t length, uint8_t seed, unsigned step = 7) {
    return asText(steppedBytes(length, seed, step));
}
inline std::string noiseText(std::size_t length, uint32_t seed) {
    return asText(noiseBytes(length, seed));
}

}  // namespace testsupport
