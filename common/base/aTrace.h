// Developer trace lines of the link core, silent unless switched on at run time.
#pragma once

#include <cstdint>

extern int aCorvalithDebuggingEnable;
extern uint32_t aCorvalithDebuggingLevel;

// Prints to standard output and flushes it when tracing is on and level shares a bit
// with aCorvalithDebuggingLevel.
void aTrace(uint32_t level, const char* format, ...) __attribute__((format(printf, 2, 3)));
