// Byte stream over a serial port (termios, raw). The port's settings found at open
// are put back when the stream is destroyed.
#pragma once

#include <cstdint>

#include "aStream.h"

#define aSERIAL_MAX_PATH 4096

// baudIndex 0..7: 2400, 4800, 9600, 19200, 38400, 57600, 115200, 230400 baud; any
// other index sets speed 0. parity 0 none, else even; dataBits 0 for 8, 1 for 7;
// stopBits 0 for one, 1 for two.
// aErrResource for a null or too long path (4096 characters or more), a null
// output, a selector above 1 or an allocation failure; the open's own error
// otherwise (aErrNotFound, aErrPermission, aErrIO). *stream is NULL on failure.
// Reads never wait (aErrNotReady on an idle line); the stream answers
// aStream_WaitReadable.
aErr aStream_CreateSerial(const char* path, uint32_t baudIndex, uint8_t parity, uint8_t dataBits, uint8_t stopBits,
                          aStreamRef* stream);
