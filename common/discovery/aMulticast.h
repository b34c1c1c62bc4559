// One IPv4 UDP multicast socket, made either to send to a group or to receive from it.
// Receivers hold their port exclusively: a second receiver on the same port fails,
// which is how link servers on one host claim distinct port offsets.
#pragma once

#include <cstdint>

typedef struct aMulticast* aMulticastRef;

#define aMULTICAST_NULL_HANDLE (-2)
#define aMULTICAST_WRONG_DIRECTION (-3)

// Addresses are IPv4 in network order; an interface of 0 or 127.0.0.1 means loopback.
// NULL when any step of setting the socket up fails.
aMulticastRef aMulticast_Create(uint32_t interfaceAddress, uint32_t groupAddress, uint16_t port, uint8_t sender);
// Bytes sent to the group; -1 on failure, -2 for a null handle, -3 on a receiver.
int32_t aMulticast_Send(aMulticastRef multicast, const void* bytes, uint32_t count);
// Bytes received; -1 on failure or when nothing came within 1 s, -2 for a null handle,
// -3 on a sender.
int32_t aMulticast_Receive(aMulticastRef multicast, void* buffer, uint32_t size);
// 0, or -2 for a null handle; clears the handle.
int32_t aMulticast_Destroy(aMulticastRef* multicast);
// The socket descriptor, for waiting on it together with other sources; NULL for a
// null handle. It stays valid until the handle is destroyed.
const int* aMulticast_Descriptor(aMulticastRef multicast);
