// Byte stream over one IPv4 TCP client connection to a module; a connection that
// the peer resets is re-established in place on the next read or write.
#pragma once

#include <cstdint>

#include "aStream.h"

#define aSOCKET_MAX_SEND_RETRY 10
#define aSOCKET_RETRY_DELAY_MS 60
#define aSOCKET_CONNECT_TIMEOUT_MS 3000
#define aSOCKET_RECEIVE_SIZE 512

// address in network byte order, port in host order. aErrResource when no stream
// results (null output, allocation or connection failure); *stream is NULL then.
// The stream answers aStream_WaitReadable.
aErr aStream_CreateSocket(uint32_t address, uint16_t port, aStreamRef* stream);
