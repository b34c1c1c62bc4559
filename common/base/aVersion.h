// Packed firmware version words, and the library's own version and features.
#pragma once

#include <cstddef>
#include <cstdint>

#define aVERSION_PHASE "."

bool aVersion_IsLegacyFormat(uint32_t packed);
uint8_t aVersion_ParseMajor(uint32_t packed);
uint8_t aVersion_ParseMinor(uint32_t packed);
uint32_t aVersion_ParsePatch(uint32_t packed);
void aVersion_ParseString(uint32_t packed, char* buffer, size_t size);
uint32_t aVersion_Pack(uint8_t major, uint8_t minor, uint8_t patch);

uint8_t aVersion_GetMajor();
uint8_t aVersion_GetMinor();
uint8_t aVersion_GetPatch();
const char* aVersion_GetString();

bool aVersion_IsAtLeastCompare(uint8_t a, uint8_t b, uint8_t c, uint8_t x, uint8_t y, uint8_t z);
bool aVersion_IsAtLeast(uint8_t major, uint8_t minor, uint8_t patch);

bool aVersion_HasFeature(const char* name);
char* aVersion_GetFeatureList();
void aVersion_DestroyFeatureList(char** list);
