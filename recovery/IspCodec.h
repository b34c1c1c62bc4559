// The data encodings of the LPC17xx boot ROM's serial programming, apart from the
// conversation that carries them: uuencoded data lines, the decimal byte-sum checksum
// that guards each run of lines, and the decimal return-code line. Pure functions over
// caller buffers; NXPSerialClass speaks them on the port.
#pragma once

#include <cstddef>
#include <cstdint>

struct IspCodec {
    // Unsigned 32-bit sum of the bytes, as the checksum line carries it.
    static uint32_t sum(const uint8_t* bytes, size_t count);
    // The character of a 6-bit value: value + 0x20, with the grave accent for 0.
    static char uuchar(uint32_t value);
    // Characters of the line uuencode writes for count bytes, its terminating zero included.
    static constexpr size_t uuencodedSize(size_t count) { return 2 + 4 * ((count + 2) / 3); }
    // Writes one line (length character, groups, zero) into out, which needs
    // uuencodedSize(count) characters; returns the input bytes consumed.
    static size_t uuencode(char* out, const uint8_t* bytes, size_t count);
    // Returns the bytes written to out: the line's byte count, fewer when the line is cut
    // short, 0 when the count exceeds capacity.
    static size_t uudecode(uint8_t* out, size_t capacity, const char* line);
    // The checksum line "<decimal>\r\n" and its zero into out; returns its length without
    // the zero (0 when size is too small).
    static size_t checksumLine(char* out, size_t size, uint32_t checksum);
    // The return code of a whole answer line ("<digits>\r\n"); false for anything else.
    static bool ParseReturnCode(const char* line, size_t length, uint32_t& code);
};
