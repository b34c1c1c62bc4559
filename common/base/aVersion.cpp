#include "aVersion.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {
const uint8_t LIBRARY_MAJOR = 2;
const uint8_t LIBRARY_MINOR = 10;
const uint8_t LIBRARY_PATCH = 8;

struct Feature {
    const char* name;
    const char* description;
};
const Feature FEATS[] = {{"VERSION", "Version Query API"}};
const size_t NUM_FEATS = sizeof FEATS / sizeof FEATS[0];
const char* const FEATURE_SEPARATOR = " - ";

char versionString[15];
bool versionStringBuilt = false;
}  // namespace

bool aVersion_IsAtLeastCompare(uint8_t a, uint8_t b, uint8_t c, uint8_t x, uint8_t y, uint8_t z) {
    if (a != x) return a > x;
    if (b != y) return b > y;
    return c >= z;
}

bool aVersion_IsLegacyFormat(uint32_t packed) {
    return aVersion_IsAtLeastCompare(2, 15, 0, static_cast<uint8_t>(packed >> 28),
                                     static_cast<uint8_t>((packed >> 24) & 0xF), 255);
}

uint8_t aVersion_ParseMajor(uint32_t packed) {
    return aVersion_IsLegacyFormat(packed) ? static_cast<uint8_t>(packed >> 28)
                                           : static_cast<uint8_t>((packed >> 16) & 0xFF);
}

uint8_t aVersion_ParseMinor(uint32_t packed) {
    return aVersion_IsLegacyFormat(packed) ? static_cast<uint8_t>((packed >> 24) & 0xF)
                                           : static_cast<uint8_t>((packed >> 8) & 0xFF);
}

uint32_t aVersion_ParsePatch(uint32_t packed) {
    return aVersion_IsLegacyFormat(packed) ? (packed & 0xFFFFFF) : (packed & 0xFF);
}

void aVersion_ParseString(uint32_t packed, char* buffer, size_t size) {
    if (!buffer || size == 0) return;
    snprintf(buffer, size, "%d.%d.%d", aVersion_ParseMajor(packed), aVersion_ParseMinor(packed),
             static_cast<int>(aVersion_ParsePatch(packed)));
}

uint32_t aVersion_Pack(uint8_t major, uint8_t minor, uint8_t patch) {
    if (major > 2 || (major == 2 && minor > 14))
        return 0x2F000000u | static_cast<uint32_t>(major) << 16 | static_cast<uint32_t>(minor) << 8 | patch;
    // The legacy layout keeps only four bits of the minor number.
    return static_cast<uint32_t>(major) << 28 | ((static_cast<uint32_t>(minor) << 24) & 0x0F000000u) | patch;
}

uint8_t aVersion_GetMajor() {
    return LIBRARY_MAJOR;
}
uint8_t aVersion_GetMinor() {
    return LIBRARY_MINOR;
}
uint8_t aVersion_GetPatch() {
    return LIBRARY_PATCH;
}

const char* aVersion_GetString() {
    if (!versionStringBuilt) {
        memset(versionString, 0, sizeof versionString);
        snprintf(versionString, sizeof versionString, "%d.%d%s%d", LIBRARY_MAJOR, LIBRARY_MINOR, aVERSION_PHASE,
                 LIBRARY_PATCH);
        versionStringBuilt = true;
    }
    return versionString;
}

bool aVersion_IsAtLeast(uint8_t major, uint8_t minor, uint8_t patch) {
    return aVersion_IsAtLeastCompare(LIBRARY_MAJOR, LIBRARY_MINOR, LIBRARY_PATCH, major, minor, patch);
}

bool aVersion_HasFeature(const char* name) {
    if (!name) return false;
    for (const auto& feature : FEATS)
        if (strcmp(feature.name, name) == 0) return true;
    return false;
}

char* aVersion_GetFeatureList() {
    // Sized from the real texts: name, separator and description of every row,
    // a line feed between rows, and the terminator.
    size_t size = 1;
    for (size_t i = 0; i < NUM_FEATS; ++i) {
        size += strlen(FEATS[i].name) + strlen(FEATURE_SEPARATOR) + strlen(FEATS[i].description);
        if (i + 1 < NUM_FEATS) size += 1;
    }
    char* list = static_cast<char*>(calloc(size, 1));
    if (!list) return nullptr;
    for (size_t i = 0; i < NUM_FEATS; ++i) {
        strcat(list, FEATS[i].name);
        strcat(list, FEATURE_SEPARATOR);
        strcat(list, FEATS[i].description);
        if (i + 1 < NUM_FEATS) strcat(list, "\n");
    }
    return list;
}

void aVersion_DestroyFeatureList(char** list) {
    if (!list) return;
    free(*list);
    *list = nullptr;
}
