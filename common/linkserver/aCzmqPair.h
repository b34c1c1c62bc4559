// Socket pairs between the threads of one process. Every CZMQ socket of the process
// lives in CZMQ's one ZeroMQ context, so a pair is joined in memory (inproc) under a
// name of its own: no other program can connect to it, and no name is ever used twice,
// so a pair made while an earlier one is still being closed never meets it.
#pragma once

#include <cstddef>
#include <czmq.h>

// Writes "inproc://corvalith-<role>-<n>", with n unique in the process, into `text`;
// false when it does not fit.
bool aCzmqPair_Endpoint(char* text, size_t size, const char* role);

// Binds `bound` to a new endpoint for `role` and connects `connected` to it; false when
// a socket is missing or either step fails.
bool aCzmqPair_Join(zsock_t* bound, zsock_t* connected, const char* role);
