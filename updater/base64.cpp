#include "base64.h"

#include <cstdint>
#include <cstdlib>

namespace {

const char encoding_table[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
const size_t mod_table[] = {0, 2, 1};

const uint8_t NOT_BASE64 = 0xFF;
const uint8_t PAD = 0xFE;

struct DecodingTable {
    uint8_t value[256];
    DecodingTable() {
        for (auto& v : value) v = NOT_BASE64;
        for (uint8_t i = 0; i < 64; ++i) value[static_cast<unsigned char>(encoding_table[i])] = i;
        value[static_cast<unsigned char>('=')] = PAD;
    }
};

const DecodingTable decoding_table;

// Padding may only end the text: "xx==" or "xxx=".
bool paddingWellPlaced(const char* text, size_t length) {
    for (size_t i = 0; i + 2 < length; ++i)
        if (text[i] == '=') return false;
    return !(length >= 2 && text[length - 2] == '=' && text[length - 1] != '=');
}

}  // namespace

char* base64_encode(const unsigned char* data, size_t input_length, size_t* result_length) {
    const size_t output_length = 4 * ((input_length + 2) / 3);
    char* encoded = static_cast<char*>(malloc(output_length + 1));
    if (encoded == nullptr) return nullptr;

    size_t out = 0;
    for (size_t i = 0; i < input_length;) {
        uint32_t a = data[i++];
        uint32_t b = i < input_length ? data[i++] : 0;
        uint32_t c = i < input_length ? data[i++] : 0;
        uint32_t triple = (a << 16) | (b << 8) | c;
        encoded[out++] = encoding_table[(triple >> 18) & 0x3F];
        encoded[out++] = encoding_table[(triple >> 12) & 0x3F];
        encoded[out++] = encoding_table[(triple >> 6) & 0x3F];
        encoded[out++] = encoding_table[triple & 0x3F];
    }
    for (size_t i = 0; i < mod_table[input_length % 3]; ++i) encoded[output_length - 1 - i] = '=';
    encoded[output_length] = '\0';
    *result_length = output_length;
    return encoded;
}

unsigned char* base64_decode(const char* text, size_t input_length, size_t* result_length) {
    if (input_length % 4 != 0) return nullptr;
    if (!paddingWellPlaced(text, input_length)) return nullptr;

    size_t output_length = input_length / 4 * 3;
    if (input_length > 0 && text[input_length - 1] == '=') --output_length;
    if (input_length > 1 && text[input_length - 2] == '=') --output_length;

    unsigned char* decoded = static_cast<unsigned char*>(malloc(output_length + 1));
    if (decoded == nullptr) return nullptr;

    size_t out = 0;
    for (size_t i = 0; i < input_length; i += 4) {
        uint32_t triple = 0;
        for (size_t k = 0; k < 4; ++k) {
            const uint8_t value = decoding_table.value[static_cast<unsigned char>(text[i + k])];
            if (value == NOT_BASE64) {
                free(decoded);
                return nullptr;
            }
            triple = (triple << 6) | (value == PAD ? 0 : value);
        }
        if (out < output_length) decoded[out++] = static_cast<unsigned char>(triple >> 16);
        if (out < output_length) decoded[out++] = static_cast<unsigned char>(triple >> 8);
        if (out < output_length) decoded[out++] = static_cast<unsigned char>(triple);
    }
    decoded[output_length] = '\0';
    *result_length = output_length;
    return decoded;
}
