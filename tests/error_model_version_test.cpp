// Result-code texts, model names and packed versions.
#include <gtest/gtest.h>

#include <cstring>

#include "aDefs.h"
#include "aError.h"
#include "aVersion.h"

namespace {

struct ErrorRow {
    aErr code;
    const char* name;
    const char* description;
};

TEST(ErrorTexts, NamesAndDescriptions) {
    const ErrorRow rows[] = {
        {0, "aErrNone", "Success, no error"},
        {2, "aErrParam", "Invalid parameter"},
        {11, "aErrNotReady", "Not ready, no bytes available"},
        {27, "aErrShortCommand", "Corvalith command to short"},
        {33, "aErrStreamStale", "Stream value is stale"},
        {34, "aErrUnknown", "Unknown error"},
        {35, "aErrUnknown", "Unknown error"},
        {-1, "aErrUnknown", "Unknown error"},
        {INT32_MIN, "aErrUnknown", "Unknown error"},
    };
    for (const auto& row : rows) {
        EXPECT_STREQ(aError_GetErrorText(row.code), row.name) << row.code;
        EXPECT_STREQ(aError_GetErrorDescription(row.code), row.description) << row.code;
    }
}

TEST(ModelNames, TableAndUnknown) {
    const std::pair<int, const char*> rows[] = {
        {0, "Unknown"},  {4, "Quillet"},  {5, "Pavlorn"}, {6, "Unknown"},  {12, "Unknown"},
        {13, "Drennic"}, {19, "Hallvex"}, {26, "Krowle"}, {27, "Unknown"}, {-4, "Unknown"},
    };
    for (const auto& [model, name] : rows) EXPECT_STREQ(aDefs_GetModelName(model), name) << model;
}

struct PackRow {
    uint8_t major, minor, patch;
    uint32_t packed;
    uint8_t parsedMajor, parsedMinor;
    uint32_t parsedPatch;
};

TEST(VersionPacking, PackAndParseBack) {
    const PackRow rows[] = {
        {2, 15, 0, 0x2F020F00u, 2, 15, 0}, {2, 14, 3, 0x2E000003u, 2, 14, 3},
        {3, 0, 0, 0x2F030000u, 3, 0, 0},   {1, 20, 5, 0x14000005u, 1, 4, 5},  // a legacy minor keeps only 4 bits
        {0, 0, 0, 0x00000000u, 0, 0, 0},   {255, 255, 255, 0x2FFFFFFFu, 255, 255, 255},
    };
    for (const auto& row : rows) {
        const uint32_t packed = aVersion_Pack(row.major, row.minor, row.patch);
        EXPECT_EQ(packed, row.packed);
        EXPECT_EQ(aVersion_ParseMajor(packed), row.parsedMajor);
        EXPECT_EQ(aVersion_ParseMinor(packed), row.parsedMinor);
        EXPECT_EQ(aVersion_ParsePatch(packed), row.parsedPatch);
    }
}

TEST(VersionPacking, LegacyWordsAndLayoutRule) {
    EXPECT_TRUE(aVersion_IsLegacyFormat(0x1200FFFFu));
    EXPECT_TRUE(aVersion_IsLegacyFormat(0x2E000000u));
    EXPECT_FALSE(aVersion_IsLegacyFormat(0x2F000000u));
    EXPECT_FALSE(aVersion_IsLegacyFormat(0x30000000u));
    char text[32];
    aVersion_ParseString(0x1200FFFFu, text, sizeof text);
    EXPECT_STREQ(text, "1.2.65535");
    char small[4];
    aVersion_ParseString(0x1200FFFFu, small, sizeof small);
    EXPECT_STREQ(small, "1.2");
}

TEST(VersionPacking, Comparisons) {
    EXPECT_TRUE(aVersion_IsAtLeastCompare(2, 10, 8, 2, 10, 8));
    EXPECT_FALSE(aVersion_IsAtLeastCompare(2, 10, 7, 2, 10, 8));
    EXPECT_TRUE(aVersion_IsAtLeastCompare(3, 0, 0, 2, 255, 255));
    EXPECT_FALSE(aVersion_IsAtLeast(2, 11, 0));
    EXPECT_TRUE(aVersion_IsAtLeast(1, 99, 99));
    EXPECT_TRUE(aVersion_IsAtLeast(2, 10, 8));
}

TEST(LibraryVersion, StringAndFeatures) {
    EXPECT_STREQ(aVersion_GetString(), "2.10.8");
    EXPECT_EQ(aVersion_GetString(), aVersion_GetString());
    EXPECT_TRUE(aVersion_HasFeature("VERSION"));
    EXPECT_FALSE(aVersion_HasFeature("version"));
    EXPECT_FALSE(aVersion_HasFeature(""));
    EXPECT_FALSE(aVersion_HasFeature(nullptr));
    char* list = aVersion_GetFeatureList();
    ASSERT_NE(list, nullptr);
    EXPECT_STREQ(list, "VERSION - Version Query API");
    aVersion_DestroyFeatureList(&list);
    EXPECT_EQ(list, nullptr);
}

}  // namespace
