// The byte stream under a link-server client link: each write goes to the server as
// one ZeroMQ frame, and the server's frames are read back as one run of bytes. A server
// that drops the connection, or stops answering ZeroMQ's heartbeats, turns every
// later read and write into aErrConnection. A read waits up to a second for the server;
// aStream_WakeReader ends that wait at once.
#pragma once

#include <cstdint>

#include "aStream.h"

// Connects (in the background) to the server at ipAddress (network order) and port.
// aErrParam for a null out pointer, aErrMemory when a socket, actor or the poller
// cannot be made, aErrConnection when a connect fails, aErrResource when the stream
// cannot be made. *stream is cleared first.
aErr aStream_CreateClient(uint32_t ipAddress, uint16_t port, aStreamRef* stream);
