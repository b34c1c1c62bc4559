// Diagnostic log, grouped in packages that -X switches on by bit mask.
#pragma once

#include <cstdint>
#include <cstdio>

#define DEBUG_Updater 0x1u
#define DEBUG_History 0x2u
#define DEBUG_Attributes 0x4u
#define DEBUG_TrelFile 0x8u
#define DEBUG_Network 0x10u
#define DEBUG_ServerComm 0x20u
#define DEBUG_Network2 0x100u
#define DEBUG_Network_SR 0x200u
#define DEBUG_Network_FIRM 0x400u
#define DEBUG_NXPSerial 0x1000u
#define DEBUG_NXPSerial_E 0x2000u
#define DEBUG_NXPSerial_SR 0x4000u
#define DEBUG_APP 0x10000u
#define DEBUG_iMXSerial 0x10000000u

class Log {
public:
    Log() = delete;

    // Mask 0 always writes; any other mask writes when it shares a bit with the active packages.
    static void log(uint32_t mask, const char* format, ...) __attribute__((format(printf, 2, 3)));
    static void SetOutput(FILE* stream);
    static void ActivatePackage(uint32_t bits);
    static void DeactivatePackage(uint32_t bits);

    static uint32_t package_bitmask;
    static FILE* fh;
    static bool timestamped;
    static const char* const TIMESTAMP_FORMAT;
    static const char* const SEPARATOR;
};
