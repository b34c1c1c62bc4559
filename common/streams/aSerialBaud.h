// The baud rates of serial streams, in the order of aStream_CreateSerial's baud index;
// the registry, the command line and the serial ISP loader read the same table.
#pragma once

#include <cstdint>

#define aSERIAL_BAUD_COUNT 8

const uint32_t aSERIAL_BAUD_RATES[aSERIAL_BAUD_COUNT] = {2400, 4800, 9600, 19200, 38400, 57600, 115200, 230400};

// The index of exactly this rate, or -1.
inline int aSerial_BaudIndex(uint32_t rate) {
    for (int i = 0; i < aSERIAL_BAUD_COUNT; ++i)
        if (aSERIAL_BAUD_RATES[i] == rate) return i;
    return -1;
}
