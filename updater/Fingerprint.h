// Four words that identify a chip; written out word 0 first. Callers clear it before use.
#pragma once

#include <cstdint>

struct Fingerprint {
    uint32_t word[4];
};
