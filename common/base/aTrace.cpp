#include "aTrace.h"

#include <cstdarg>
#include <cstdio>

int aCorvalithDebuggingEnable = 0;
uint32_t aCorvalithDebuggingLevel = 0;

void aTrace(uint32_t level, const char* format, ...) {
    if (!aCorvalithDebuggingEnable || !(aCorvalithDebuggingLevel & level)) return;
    va_list args;
    va_start(args, format);
    vfprintf(stdout, format, args);
    va_end(args);
    fflush(stdout);
}
