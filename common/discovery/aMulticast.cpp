#include "aMulticast.h"

#include <arpa/inet.h>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include "aTrace.h"
#include "discover.h"

namespace {

const uint32_t TRACE_MULTICAST = 0x8;
const int MULTICAST_TTL = 1;
const int RECEIVE_TIMEOUT_S = 1;
const size_t ADDRESS_TEXT = 16;
const size_t PORT_TEXT = 8;

}  // namespace

struct aMulticast {
    int socket;
    struct addrinfo* group;
    struct addrinfo* bind;
    struct addrinfo* interface;
    uint8_t sender;
};

namespace {

struct addrinfo* _resolveAddress(const char* node, const char* service, int family, int socketType, int protocol) {
    struct addrinfo hints = {};
    hints.ai_family = family;
    hints.ai_socktype = socketType;
    hints.ai_protocol = protocol;
    if (!node) hints.ai_flags = AI_PASSIVE;
    struct addrinfo* result = nullptr;
    const int error = getaddrinfo(node, service, &hints, &result);
    if (error != 0) {
        aTrace(TRACE_MULTICAST, "Invalid address %s, getaddrinfo failed: %d\n", node ? node : "", error);
        return nullptr;
    }
    return result;
}

bool _setReuse(int sock) {
    const int reuse = 0;
    if (setsockopt(sock, SOL_SOCKET, SO_REUSEADDR, &reuse, sizeof reuse) == 0) return true;
    aTrace(TRACE_MULTICAST, "Failed to set reuse %d\n", errno);
    return false;
}

const struct in_addr* _ipv4(const struct addrinfo* address) {
    return &reinterpret_cast<const sockaddr_in*>(address->ai_addr)->sin_addr;
}

bool _joinMulticastGroup(int sock, const struct addrinfo* group, const struct addrinfo* interface) {
    if (group->ai_family != AF_INET) {
        aTrace(TRACE_MULTICAST, "Attempting to join multicast group for invalid address family!");
        return false;
    }
    struct ip_mreq request = {};
    request.imr_multiaddr = *_ipv4(group);
    request.imr_interface = *_ipv4(interface);
    if (setsockopt(sock, IPPROTO_IP, IP_ADD_MEMBERSHIP, &request, sizeof request) == 0) return true;
    aTrace(TRACE_MULTICAST, "JoinMulticastGroup: setsockopt failed with error code %d\n", errno);
    return false;
}

bool _setSendInterface(int sock, const struct addrinfo* interface) {
    if (interface->ai_family != AF_INET) {
        aTrace(TRACE_MULTICAST, "Attempting to set sent interface for invalid address family!");
        return false;
    }
    if (setsockopt(sock, IPPROTO_IP, IP_MULTICAST_IF, _ipv4(interface), sizeof(struct in_addr)) == 0) return true;
    aTrace(TRACE_MULTICAST, "Failed to set send interface. error code %d\n", errno);
    return false;
}

bool _setMulticastTtl(int sock, int family) {
    if (family != AF_INET) {
        aTrace(TRACE_MULTICAST, "Attempting to set TTL for invalid address family!");
        return false;
    }
    if (setsockopt(sock, IPPROTO_IP, IP_MULTICAST_TTL, &MULTICAST_TTL, sizeof MULTICAST_TTL) == 0) return true;
    aTrace(TRACE_MULTICAST, "SetMulticastTtl: setsockopt() failed with error code %d\n", errno);
    return false;
}

bool _setReceiveTimeout(int sock, int family) {
    if (family != AF_INET) {
        aTrace(TRACE_MULTICAST, "Attempting to set Timeout for invalid address family!");
        return false;
    }
    struct timeval timeout = {RECEIVE_TIMEOUT_S, 0};
    if (setsockopt(sock, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout) == 0) return true;
    aTrace(TRACE_MULTICAST, "SetReceivTimeout: setsockopt() failed with error code %d\n", errno);
    return false;
}

bool _setMulticastLoopBack(int sock, int family) {
    if (family != AF_INET) {
        aTrace(TRACE_MULTICAST, "Attempting to set multicast loopback for invalid address family!");
        return false;
    }
    const int loop = 1;
    if (setsockopt(sock, IPPROTO_IP, IP_MULTICAST_LOOP, &loop, sizeof loop) == 0) return true;
    aTrace(TRACE_MULTICAST, "SetMulticastLoopBack: setsockopt() failed with error code %d\n", errno);
    return false;
}

bool _configure(aMulticast* multicast, uint32_t interfaceAddress, uint32_t groupAddress, uint16_t port) {
    char groupText[ADDRESS_TEXT];
    char interfaceText[ADDRESS_TEXT];
    char portText[PORT_TEXT];
    if (!aDiscovery_ConvertIPv4Interface(groupAddress, groupText, sizeof groupText) ||
        !aDiscovery_ConvertIPv4Interface(interfaceAddress, interfaceText, sizeof interfaceText))
        return false;
    snprintf(portText, sizeof portText, "%u", static_cast<unsigned>(port));

    multicast->group = _resolveAddress(groupText, portText, AF_UNSPEC, SOCK_DGRAM, IPPROTO_UDP);
    if (!multicast->group) {
        aTrace(TRACE_MULTICAST, "Unable to convert multicast address '%s - port: %s': Error %d\n", groupText, portText,
               errno);
        return false;
    }
    const struct addrinfo* group = multicast->group;
    multicast->bind =
        multicast->sender
            ? _resolveAddress(interfaceText, "0", group->ai_family, group->ai_socktype, group->ai_protocol)
            : _resolveAddress(nullptr, portText, group->ai_family, group->ai_socktype, group->ai_protocol);
    if (!multicast->bind) {
        aTrace(TRACE_MULTICAST, "Unable to convert bind address '%s': Error %d\n", interfaceText, errno);
        return false;
    }
    multicast->interface =
        _resolveAddress(interfaceText, "0", group->ai_family, group->ai_socktype, group->ai_protocol);
    if (!multicast->interface) {
        aTrace(TRACE_MULTICAST, "Unable to convert interface address '%s': Error %d\n", interfaceText, errno);
        return false;
    }

    multicast->socket = socket(group->ai_family, group->ai_socktype, group->ai_protocol);
    if (multicast->socket < 0) {
        aTrace(TRACE_MULTICAST, "socket() failed with with error code %d\n", errno);
        return false;
    }
    if (!_setReuse(multicast->socket)) return false;
    if (!multicast->sender && ::bind(multicast->socket, multicast->bind->ai_addr, multicast->bind->ai_addrlen) != 0) {
        // A taken port is the expected answer when probing for a free offset.
        if (errno != EADDRINUSE) aTrace(TRACE_MULTICAST, "bind() failed with error code %d\n", errno);
        return false;
    }
    return _joinMulticastGroup(multicast->socket, group, multicast->interface) &&
           _setSendInterface(multicast->socket, multicast->interface) &&
           _setMulticastTtl(multicast->socket, group->ai_family) &&
           _setReceiveTimeout(multicast->socket, group->ai_family) &&
           _setMulticastLoopBack(multicast->socket, group->ai_family);
}

}  // namespace

aMulticastRef aMulticast_Create(uint32_t interfaceAddress, uint32_t groupAddress, uint16_t port, uint8_t sender) {
    auto* multicast = static_cast<aMulticast*>(calloc(1, sizeof(aMulticast)));
    if (!multicast) return nullptr;
    multicast->socket = -1;
    multicast->sender = sender;
    if (interfaceAddress == 0 || interfaceAddress == htonl(INADDR_LOOPBACK)) interfaceAddress = htonl(INADDR_LOOPBACK);
    if (!_configure(multicast, interfaceAddress, groupAddress, port)) aMulticast_Destroy(&multicast);
    return multicast;
}

int32_t aMulticast_Send(aMulticastRef multicast, const void* bytes, uint32_t count) {
    if (!multicast) return aMULTICAST_NULL_HANDLE;
    if (!multicast->sender) return aMULTICAST_WRONG_DIRECTION;
    const ssize_t sent =
        sendto(multicast->socket, bytes, count, 0, multicast->group->ai_addr, multicast->group->ai_addrlen);
    if (sent < 0) {
        aTrace(TRACE_MULTICAST, "sendto() failed with error code %d\n", errno);
        return -1;
    }
    return static_cast<int32_t>(sent);
}

int32_t aMulticast_Receive(aMulticastRef multicast, void* buffer, uint32_t size) {
    if (!multicast) return aMULTICAST_NULL_HANDLE;
    if (multicast->sender) return aMULTICAST_WRONG_DIRECTION;
    const ssize_t received = recvfrom(multicast->socket, buffer, size, MSG_WAITALL, nullptr, nullptr);
    if (received < 0) {
        if (errno != EAGAIN) aTrace(TRACE_MULTICAST, "recvfrom() failed with error code %d\n", errno);
        return -1;
    }
    return static_cast<int32_t>(received);
}

int32_t aMulticast_Destroy(aMulticastRef* multicast) {
    if (!multicast || !*multicast) return aMULTICAST_NULL_HANDLE;
    aMulticast* record = *multicast;
    if (record->group) freeaddrinfo(record->group);
    if (record->bind) freeaddrinfo(record->bind);
    if (record->interface) freeaddrinfo(record->interface);
    if (record->socket >= 0) close(record->socket);
    free(record);
    *multicast = nullptr;
    return 0;
}

const int* aMulticast_Descriptor(aMulticastRef multicast) {
    return multicast ? &multicast->socket : nullptr;
}
