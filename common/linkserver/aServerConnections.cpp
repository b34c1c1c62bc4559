// Which client connections of the link server are open. The client socket's monitor
// reports every accepted and every lost connection by its descriptor, and every
// message a client sends carries the descriptor it came in on; so the broker learns
// that a client is gone when its connection goes, without sending it anything.
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
#include <unordered_set>
#include <zmq.h>

#include "aCzmqPair.h"
#include "aServerInternal.h"
#include "aTrace.h"

namespace {

const uint32_t TRACE_SERVER = 0x4;
const size_t EVENT_HEADER = 6;  // 16-bit event, 32-bit value, in the host's order
const char* const DESCRIPTOR_PROPERTY = "__fd";

}  // namespace

struct aServerConnections {
    zsock_t* events = nullptr;
    std::unordered_set<int> open;
};

aServerConnections* aServerConnections_Create(zsock_t* clientSocket) {
    auto* connections = new (std::nothrow) aServerConnections;
    if (!connections) return nullptr;
    char endpoint[64];
    connections->events = zsock_new(ZMQ_PAIR);
    bool made = connections->events != nullptr && aCzmqPair_Endpoint(endpoint, sizeof endpoint, "server-connections");
    if (made) {
        zsock_set_linger(connections->events, 0);
        // Events are never held back: the library's I/O thread would wait for room.
        zsock_set_rcvhwm(connections->events, 0);
        made = zmq_socket_monitor(zsock_resolve(clientSocket), endpoint, ZMQ_EVENT_ACCEPTED | ZMQ_EVENT_DISCONNECTED) ==
                   0 &&
               zsock_connect(connections->events, "%s", endpoint) == 0;
    }
    if (!made) aServerConnections_Destroy(&connections);
    return connections;
}

void aServerConnections_Destroy(aServerConnections** connections) {
    if (!connections || !*connections) return;
    zsock_destroy(&(*connections)->events);
    delete *connections;
    *connections = nullptr;
}

zsock_t* aServerConnections_Events(aServerConnections* connections) {
    return connections->events;
}

void aServerConnections_Take(aServerConnections* connections, std::vector<int>* lost) {
    while (zsock_events(connections->events) & ZMQ_POLLIN) {
        zmsg_t* event = zmsg_recv(connections->events);
        if (!event) break;
        zframe_t* header = zmsg_first(event);
        if (header && zframe_size(header) >= EVENT_HEADER) {
            uint16_t kind = 0;
            uint32_t descriptor = 0;
            memcpy(&kind, zframe_data(header), sizeof kind);
            memcpy(&descriptor, zframe_data(header) + sizeof kind, sizeof descriptor);
            const int fd = static_cast<int>(descriptor);
            if (kind == ZMQ_EVENT_ACCEPTED) {
                connections->open.insert(fd);
            } else if (kind == ZMQ_EVENT_DISCONNECTED && connections->open.erase(fd) > 0) {
                aTrace(TRACE_SERVER, "client connection %d lost\n", fd);
                lost->push_back(fd);
            }
        }
        zmsg_destroy(&event);
    }
}

bool aServerConnections_IsOpen(const aServerConnections* connections, int descriptor) {
    return connections->open.count(descriptor) > 0;
}

int aServerConnections_Descriptor(zframe_t* frame) {
    const char* text = frame ? zframe_meta(frame, DESCRIPTOR_PROPERTY) : nullptr;
    if (!text) return -1;
    char* end = nullptr;
    errno = 0;
    const long value = strtol(text, &end, 10);
    return errno == 0 && end != text && *end == '\0' && value >= 0 && value <= INT32_MAX ? static_cast<int>(value) : -1;
}
