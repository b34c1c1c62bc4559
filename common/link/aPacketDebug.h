// The packet-log ring of a link: records of packets (and caller text) in a fixed
// buffer, the oldest dropped to make room. It takes no lock; the link holds its
// log mutex around every call.
#pragma once

#include <cstdint>

#include "aError.h"

enum {
    aPACKETLOG_OUTGOING = 1,
    aPACKETLOG_INCOMING = 2,
    aPACKETLOG_TEXT = 3,
};

#define aPACKETLOG_DEFAULT_SIZE 0x10000u
#define aPACKETLOG_MAX_SIZE 0x4000000

// A record is [direction, length n, n bytes], stored in ring order.
typedef struct aPacketLog {
    uint8_t enabled;
    uint8_t* buffer;
    uint32_t size;
    uint32_t readIndex;
    uint32_t writeIndex;
} aPacketLog;

// NULL when either allocation fails (nothing is left allocated).
aPacketLog* aPacketLog_Create(uint32_t size);
// Appends one record, dropping the oldest ones to make room; aErrOverrun when it
// can never fit (length + 2 >= size), with the ring unchanged.
aErr aPacketLog_Put(aPacketLog* log, uint32_t direction, uint32_t length, const uint8_t* bytes);
// Takes the oldest record: aErrNotFound when empty; aErrOverrun when *length (the
// buffer's capacity) is too small, keeping the record and reporting its direction
// and length so the caller can retry.
aErr aPacketLog_Get(aPacketLog* log, uint32_t* direction, uint32_t* length, uint8_t* buffer);
aErr aPacketLog_Destroy(aPacketLog** log);
