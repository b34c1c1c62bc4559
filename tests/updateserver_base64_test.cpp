// Base64 of firmware files.
#include <cstdlib>

#include <gtest/gtest.h>

#include "base64.h"

namespace {

struct Decoded {
    bool ok;
    std::string bytes;
};

Decoded decode(const std::string& text) {
    size_t length = 12345;
    unsigned char* bytes = base64_decode(text.data(), text.size(), &length);
    if (!bytes) return {false, ""};
    EXPECT_EQ(bytes[length], '\0');
    Decoded result{true, std::string(reinterpret_cast<char*>(bytes), length)};
    free(bytes);
    return result;
}

}  // namespace

TEST(ServerBase64, DecodesValidTextAndRefusesEverythingElse) {
    const struct {
        const char* name;
        std::string text;
        bool ok;
        std::string bytes;
    } cases[] = {
        {"empty", "", true, ""},
        {"one group", "TWFu", true, "Man"},
        {"one pad", "TWE=", true, "Ma"},
        {"two pads", "TQ==", true, "M"},
        {"groups then pad", "TWFuTQ==", true, "ManM"},
        {"whole alphabet", "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/", true,
         std::string("\x00\x10\x83\x10\x51\x87\x20\x92\x8b\x30\xd3\x8f\x41\x14\x93\x51\x55\x97\x61\x96\x9b\x71"
                     "\xd7\x9f\x82\x18\xa3\x92\x59\xa7\xa2\x9a\xab\xb2\xdb\xaf\xc3\x1c\xb3\xd3\x5d\xb7\xe3\x9e"
                     "\xbb\xf3\xdf\xbf",
                     48)},
        {"high output bytes", "/4CA", true, "\xff\x80\x80"},
        {"truncated by one", "TWF", false, ""},
        {"one too many", "TWFuT", false, ""},
        {"character outside the alphabet", "TW*u", false, ""},
        {"high byte in the text", "TW\xe9u", false, ""},
        {"byte 0x80 in the text", std::string("TWF\x80", 4), false, ""},
        {"NUL in the text", std::string("TW\0u", 4), false, ""},
        {"line break inside", "TW\nuTWFu", false, ""},
        {"trailing carriage return", "TWFu\r", false, ""},
        {"pad first", "=TWF", false, ""},
        {"pad in the middle", "TW=uTWFu", false, ""},
        {"pad before a character", "TW=u", false, ""},
        {"three pads", "T===", false, ""},
        {"four pads", "====", false, ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const Decoded result = decode(c.text);
        EXPECT_EQ(result.ok, c.ok);
        EXPECT_EQ(result.bytes, c.bytes);
    }
}

TEST(ServerBase64, EncodesWithPaddingAndATrailingNul) {
    const struct {
        std::string bytes;
        const char* text;
    } cases[] = {
        {"", ""},
        {"M", "TQ=="},
        {"Ma", "TWE="},
        {"Man", "TWFu"},
        {std::string("\xff\x80\x00", 3), "/4AA"},
        {std::string("\x00\x00\x00\x00", 4), "AAAAAA=="},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text);
        size_t length = 12345;
        char* text = base64_encode(reinterpret_cast<const unsigned char*>(c.bytes.data()), c.bytes.size(), &length);
        ASSERT_NE(text, nullptr);
        EXPECT_EQ(std::string(text, length), c.text);
        EXPECT_EQ(text[length], '\0');
        free(text);
    }
}
