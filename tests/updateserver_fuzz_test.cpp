// Bounded random input for the reply parsers, base64 and the build ordering: no crash,
// no exception, and the results keep their shape. Fixed seeds keep runs repeatable.
#include <algorithm>
#include <cstdlib>
#include <random>

#include <gtest/gtest.h>

#include "UpdateServerReply.h"
#include "UpdateServerRequest.h"
#include "base64.h"

namespace {

// Bytes that matter to the parsers, mixed with arbitrary ones.
std::string randomText(std::mt19937& random, size_t maxLength) {
    static const std::string special = "ok\n\r;.=+/0x19aZ -\x80\xff";
    std::uniform_int_distribution<size_t> lengthOf(0, maxLength);
    std::uniform_int_distribution<int> byte(0, 255), pick(0, 3);
    std::uniform_int_distribution<size_t> specialOf(0, special.size() - 1);
    std::string text(lengthOf(random), '\0');
    for (auto& c : text) c = pick(random) ? special[specialOf(random)] : static_cast<char>(byte(random));
    if (pick(random) == 0) text = "ok\n" + text;
    return text;
}

bool hasAny(const std::string& text, const char* characters) {
    return text.find_first_of(characters) != std::string::npos;
}

bool readableVersion(const std::string& version) {
    return _sortVersion({"", version}, {"", "0.0.0"}) || _sortVersion({"", "1.0.0"}, {"", version});
}

}  // namespace

TEST(ServerFuzz, ReplyParsersKeepTheirShapeOnRandomBodies) {
    std::mt19937 random(20240913);
    for (int round = 0; round < 20000; ++round) {
        const std::string body = randomText(random, 120);
        SCOPED_TRACE(::testing::PrintToString(body));

        const auto lines = UpdateServerReply::Lines(body);
        std::string joined;
        for (const auto& line : lines) {
            ASSERT_FALSE(line.empty());
            ASSERT_FALSE(hasAny(line, "\n"));
            joined += line;
        }
        std::string withoutNewlines = body;
        withoutNewlines.erase(std::remove(withoutNewlines.begin(), withoutNewlines.end(), '\n'), withoutNewlines.end());
        ASSERT_EQ(joined, withoutNewlines);
        if (lines.empty()) continue;
        UpdateServerReply::IsAccepted(lines);

        std::string build = "b", firmware = "f", out = "o", jwt = "unchanged";
        UpdateServerReply::ReadLatestBuild(lines, build, firmware);
        ASSERT_FALSE(hasAny(firmware, "\r\n"));
        UpdateServerReply::ReadFirmware(lines, out);

        BuildMap builds;
        UpdateServerReply::ReadBuildList(lines, builds);
        for (const auto& entry : builds) {
            ASSERT_FALSE(entry.first.empty());
            ASSERT_FALSE(hasAny(entry.first, ";\r\n"));
            ASSERT_FALSE(hasAny(entry.second, ";\r\n"));
        }

        uint32_t serial = 1, buildNumber = 2;
        UpdateServerReply::ReadRecoveryInfo(lines, &serial, &buildNumber);

        if (UpdateServerReply::ReadToken(lines, jwt)) {
            // Only the third part is cut at a carriage return; the first two end at dots.
            ASSERT_GE(jwt.size(), 8u);
            const size_t second = jwt.find('.', jwt.find('.') + 1);
            ASSERT_NE(second, std::string::npos);
            ASSERT_FALSE(hasAny(jwt.substr(second), "\r\n"));
        } else {
            ASSERT_EQ(jwt, "unchanged");
        }
    }
}

TEST(ServerFuzz, Base64RoundTripsRandomBytesAndSurvivesRandomText) {
    std::mt19937 random(4648);
    std::uniform_int_distribution<int> byte(0, 255);
    std::uniform_int_distribution<size_t> lengthOf(0, 64);
    for (int round = 0; round < 10000; ++round) {
        std::string bytes(lengthOf(random), '\0');
        for (auto& c : bytes) c = static_cast<char>(byte(random));
        size_t textLength = 0, decodedLength = 0;
        char* text = base64_encode(reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size(), &textLength);
        ASSERT_NE(text, nullptr);
        unsigned char* decoded = base64_decode(text, textLength, &decodedLength);
        ASSERT_NE(decoded, nullptr);
        EXPECT_EQ(std::string(reinterpret_cast<char*>(decoded), decodedLength), bytes);
        free(decoded);

        // The same text with one byte changed decodes to the same length or not at all.
        if (textLength > 0) {
            text[std::uniform_int_distribution<size_t>(0, textLength - 1)(random)] = static_cast<char>(byte(random));
            unsigned char* spoiled = base64_decode(text, textLength, &decodedLength);
            if (spoiled) {
                EXPECT_LE(decodedLength, bytes.size() + 2);
            }
            free(spoiled);
        }
        free(text);

        const std::string noise = randomText(random, 40);
        unsigned char* fromNoise = base64_decode(noise.data(), noise.size(), &decodedLength);
        if (fromNoise) {
            EXPECT_LE(decodedLength, noise.size() / 4 * 3);
        }
        free(fromNoise);
    }
}

TEST(ServerFuzz, SortIsAPermutationWithReadableVersionsNewestFirst) {
    std::mt19937 random(1103);
    std::uniform_int_distribution<int> count(0, 12), part(-300, 300), kind(0, 5);
    for (int round = 0; round < 3000; ++round) {
        BuildMap builds;
        for (int i = count(random); i > 0; --i) {
            std::string version;
            if (kind(random) == 0)
                version = randomText(random, 8);
            else
                version = std::to_string(part(random)) + "." + std::to_string(part(random)) + "." +
                          std::to_string(part(random));
            builds.emplace(std::to_string(part(random)), version);
        }
        const BuildList sorted = UpdateServerRequest::SortBuildsByVersion(builds);
        ASSERT_EQ(sorted.size(), builds.size());
        for (const auto& entry : sorted) ASSERT_EQ(builds.at(entry.first), entry.second);
        for (size_t i = 1; i < sorted.size(); ++i) {
            const bool before = readableVersion(sorted[i - 1].second), after = readableVersion(sorted[i].second);
            ASSERT_FALSE(!before && after) << "unreadable version ahead of a readable one";
            ASSERT_FALSE(_sortVersion(sorted[i], sorted[i - 1])) << "newer build after an older one";
            if (!before && !after) {
                ASSERT_LT(sorted[i - 1].first, sorted[i].first);
            }
        }
    }
}
