// Base64 with the standard alphabet and "=" padding, as the update server sends firmware files.
#pragma once

#include <cstddef>

// Both return a buffer from malloc that the caller frees, followed by a NUL that
// *result_length does not count, or nullptr (out of memory, or text that is not base64).
char* base64_encode(const unsigned char* data, size_t input_length, size_t* result_length);

// Refuses a length that is no multiple of 4, any character outside the alphabet, and "="
// anywhere but in the last two places of the text.
unsigned char* base64_decode(const char* text, size_t input_length, size_t* result_length);
