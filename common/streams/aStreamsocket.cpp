// TCP socket back end: non-blocking reads, whole-block writes, reconnection in place.
#include "aStreamsocket.h"

#include <arpa/inet.h>
#include <cerrno>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <mutex>
#include <new>

#include "aPoll.h"
#include "aTime.h"

#define aSOCKETSTREAMCHECK 0xDEADu
#define aSOCKET_CONNECTED 0x1u

// The reader and the writer thread share one state. Every use of the descriptor,
// every close and every reconnect happens under the lock, so one thread never
// replaces the connection while the other is in a call on it.
typedef struct aSocketStream {
    uint16_t port;
    sockaddr_in address;
    int socket;           // -1 when closed
    uint32_t flags;       // aSOCKET_CONNECTED
    uint64_t connection;  // counts connections, so a writer notices a replaced one
    int wakeFd;           // eventfd signalled whenever the descriptor is closed or a wake comes
    std::atomic<bool> woken{false};
    // Bytes received and not yet handed out: one recv serves a whole reply.
    uint8_t received[aSOCKET_RECEIVE_SIZE];
    size_t receivedNext;
    size_t receivedCount;
    std::mutex lock;
    uint16_t check;
} aSocketStream;

#define aVALIDSS(s) ((s) != nullptr && (s)->check == aSOCKETSTREAMCHECK)

static void sSocketStreamClose(aSocketStream* state) {
    state->flags &= ~aSOCKET_CONNECTED;
    if (state->socket >= 0) {
        close(state->socket);
        state->socket = -1;
        eventfd_write(state->wakeFd, 1);
        aTime_MSSleep(10);
    }
}

static aErr sSocketStreamSetOptions(aSocketStream* state) {
    const int one = 1;
    if (setsockopt(state->socket, IPPROTO_TCP, TCP_NODELAY, &one, sizeof(one)) != 0) return aErrIO;
    const timeval noTimeout = {0, 0};
    if (setsockopt(state->socket, SOL_SOCKET, SO_RCVTIMEO, &noTimeout, sizeof(noTimeout)) != 0) return aErrIO;
    // A close resets the connection at once instead of lingering.
    const linger resetOnClose = {1, 0};
    if (setsockopt(state->socket, SOL_SOCKET, SO_LINGER, &resetOnClose, sizeof(resetOnClose)) != 0) return aErrIO;
    return aErrNone;
}

static aErr sConnectError(int error) {
    switch (error) {
    case EAGAIN:
    case ECONNRESET:
    case ETIMEDOUT:
    case ECONNREFUSED:
        return aErrConnection;
    default:
        return aErrIO;
    }
}

// Waits for a non-blocking connect to finish; the socket error it ended with, or
// ETIMEDOUT after aSOCKET_CONNECT_TIMEOUT_MS.
static int sAwaitConnect(int fd) {
    pollfd p = {fd, POLLOUT, 0};
    int ready = aPoll_Until(&p, 1, aTime_GetMonotonicMS() + aSOCKET_CONNECT_TIMEOUT_MS);
    if (ready < 0) return errno;
    if (ready == 0) return ETIMEDOUT;
    int error = 0;
    socklen_t length = sizeof(error);
    if (getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &length) != 0) return errno;
    return error;
}

// Connects, or reconnects after closing the old connection. Caller holds the lock.
static aErr sSocketStreamReset(aSocketStream* state) {
    if (!aVALIDSS(state)) return aErrInitialization;
    sSocketStreamClose(state);

    int fd = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0) return aErrIO;
    int error = 0;
    if (connect(fd, reinterpret_cast<const sockaddr*>(&state->address), sizeof(state->address)) != 0)
        error = errno == EINPROGRESS ? sAwaitConnect(fd) : errno;
    if (error != 0) {
        close(fd);
        return sConnectError(error);
    }
    state->socket = fd;
    state->connection++;
    state->flags |= aSOCKET_CONNECTED;
    aErr err = sSocketStreamSetOptions(state);
    if (err != aErrNone) sSocketStreamClose(state);
    return err;
}

static bool sConnectionLost(int error) {
    return error == ECONNRESET || error == ENOTCONN || error == ETIMEDOUT || error == EPIPE;
}

// One byte: the next one received earlier, else one recv of what is waiting. Caller
// holds the lock and has checked the connection.
static aErr sSocketStreamTake(aSocketStream* state, uint8_t* byte, int* error) {
    *error = 0;
    if (state->receivedNext < state->receivedCount) {
        *byte = state->received[state->receivedNext++];
        return aErrNone;
    }
    ssize_t got = recv(state->socket, state->received, sizeof(state->received), 0);
    if (got > 0) {
        state->receivedCount = static_cast<size_t>(got);
        state->receivedNext = 1;
        *byte = state->received[0];
        return aErrNone;
    }
    if (got == 0) {
        // The peer shut the connection down: no byte will ever come on it.
        sSocketStreamClose(state);
        return aErrConnection;
    }
    *error = errno;
    if (*error == EAGAIN || *error == EWOULDBLOCK || *error == EINTR) return aErrNotReady;
    return aErrConnection;
}

static aErr sSocketStreamGet(uint8_t* byte, void* ref) {
    aSocketStream* state = static_cast<aSocketStream*>(ref);
    if (!aVALIDSS(state)) return aErrParam;
    std::lock_guard<std::mutex> guard(state->lock);
    if (!(state->flags & aSOCKET_CONNECTED) && state->receivedNext == state->receivedCount) return aErrConnection;
    int error = 0;
    aErr err = sSocketStreamTake(state, byte, &error);
    if (err != aErrConnection || !sConnectionLost(error)) return err;
    err = sSocketStreamReset(state);
    if (err != aErrNone) return err;
    return sSocketStreamTake(state, byte, &error);
}

static aErr sSocketStreamWrite(const uint8_t* data, size_t count, void* ref) {
    aSocketStream* state = static_cast<aSocketStream*>(ref);
    if (!aVALIDSS(state)) return aErrParam;
    size_t sent = 0;
    uint64_t connection = 0;
    {
        std::lock_guard<std::mutex> guard(state->lock);
        if (!(state->flags & aSOCKET_CONNECTED)) return aErrConnection;
        connection = state->connection;
    }
    uint32_t attempts = 0;
    while (sent < count) {
        {
            std::lock_guard<std::mutex> guard(state->lock);
            if (!(state->flags & aSOCKET_CONNECTED)) return aErrConnection;
            // A block begun on a connection that has since been replaced goes out
            // whole on the new one: its tail alone would break the peer's framing.
            if (state->connection != connection) {
                connection = state->connection;
                sent = 0;
            }
            ssize_t moved = send(state->socket, data + sent, count - sent, MSG_NOSIGNAL);
            if (moved > 0) {
                sent += static_cast<size_t>(moved);
                if (sent == count) return aErrNone;
                attempts = 1;
            } else if (moved < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)) {
                attempts++;
            } else if (moved < 0 && (errno == EPIPE || errno == ECONNRESET || errno == ENOTCONN)) {
                aErr err = sSocketStreamReset(state);
                if (err != aErrNone) return err;
                connection = state->connection;
                sent = 0;
                attempts++;
            } else {
                return aErrIO;
            }
        }
        if (attempts >= aSOCKET_MAX_SEND_RETRY) return aErrBusy;
        aTime_MSSleep(aSOCKET_RETRY_DELAY_MS);
    }
    return aErrNone;
}

static aErr sSocketStreamPut(const uint8_t* byte, void* ref) {
    return sSocketStreamWrite(byte, 1, ref);
}

static aErr sSocketStreamWait(uint32_t timeoutMs, void* ref) {
    aSocketStream* state = static_cast<aSocketStream*>(ref);
    if (!aVALIDSS(state)) return aErrParam;
    int fd = -1;
    {
        std::lock_guard<std::mutex> guard(state->lock);
        // A read now answers at once: with a byte received earlier, or that the
        // connection is gone.
        if (!(state->flags & aSOCKET_CONNECTED) || state->receivedNext < state->receivedCount) return aErrNone;
        // Forget closes already seen; one from now on wakes this wait.
        eventfd_t closes = 0;
        eventfd_read(state->wakeFd, &closes);
        if (state->woken.exchange(false)) return aErrNone;
        fd = state->socket;
    }
    pollfd p[2] = {{fd, POLLIN, 0}, {state->wakeFd, POLLIN, 0}};
    const int ready = aPoll_Until(p, 2, aTime_GetMonotonicMS() + timeoutMs);
    if (ready > 0) {
        state->woken = false;
        return aErrNone;
    }
    return ready == 0 ? aErrTimeout : aErrIO;
}

static void sSocketStreamWake(void* ref) {
    aSocketStream* state = static_cast<aSocketStream*>(ref);
    if (!aVALIDSS(state)) return;
    state->woken = true;
    eventfd_write(state->wakeFd, 1);
}

static void sSocketStreamFree(aSocketStream* state) {
    if (state->wakeFd >= 0) close(state->wakeFd);
    state->check = 0;
    delete state;
}

static aErr sSocketStreamDelete(void* ref) {
    aSocketStream* state = static_cast<aSocketStream*>(ref);
    if (!aVALIDSS(state)) return aErrIO;
    {
        std::lock_guard<std::mutex> guard(state->lock);
        sSocketStreamClose(state);
        state->flags = 0;
    }
    sSocketStreamFree(state);
    return aErrNone;
}

aErr aStream_CreateSocket(uint32_t address, uint16_t port, aStreamRef* stream) {
    if (stream == nullptr) return aErrResource;
    *stream = nullptr;
    aSocketStream* state = new (std::nothrow) aSocketStream();
    if (state == nullptr) return aErrResource;
    state->port = port;
    state->address.sin_family = AF_INET;
    state->address.sin_port = htons(port);
    state->address.sin_addr.s_addr = address;
    state->socket = -1;
    state->check = aSOCKETSTREAMCHECK;
    state->wakeFd = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    if (state->wakeFd < 0) {
        sSocketStreamFree(state);
        return aErrResource;
    }
    aErr err;
    {
        std::lock_guard<std::mutex> guard(state->lock);
        err = sSocketStreamReset(state);
    }
    aStreamRef s = err != aErrNone ? nullptr
                                   : aStream_Create(sSocketStreamGet, sSocketStreamPut, sSocketStreamWrite,
                                                    sSocketStreamDelete, state);
    if (s == nullptr) {
        {
            std::lock_guard<std::mutex> guard(state->lock);
            sSocketStreamClose(state);
        }
        sSocketStreamFree(state);
        return aErrResource;
    }
    aStream_SetWaitProc(s, sSocketStreamWait);
    aStream_SetWakeProc(s, sSocketStreamWake);
    *stream = s;
    return aErrNone;
}
