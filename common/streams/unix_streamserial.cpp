// Serial-port back end over termios: raw line, reads that never wait, writes paced
// to the line until the adapter has sent them, each bounded in time.
#include "unix_streamserial.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include "aPoll.h"
#include "aPortClaim.h"
#include "aSerialBaud.h"
#include "aTime.h"

#define aSERIALSTREAMCHECK 0xBEEFu

typedef struct aSerialStream {
    uint32_t baudIndex;
    char path[aSERIAL_MAX_PATH];
    int descriptor;  // -1 when closed
    int wakeFd;      // eventfd that ends a reader's wait; -1 without one
    bool settingsSaved;
    termios savedSettings;
    termios settings;
    uint16_t check;
} aSerialStream;

#define aVALIDSS(s) ((s) != nullptr && (s)->check == aSERIALSTREAMCHECK)

// An adapter that takes no byte (or sends none of its queue) for this long has stopped:
// flow control held forever or a wedged device ends the write with an error.
static const uint64_t STALL_LIMIT_MS = 2000;

static speed_t sSpeed(uint32_t baudIndex) {
    static const speed_t speeds[] = {B2400, B4800, B9600, B19200, B38400, B57600, B115200, B230400};
    static_assert(sizeof speeds / sizeof speeds[0] == aSERIAL_BAUD_COUNT, "one speed for each rate of aSerialBaud.h");
    return baudIndex < sizeof(speeds) / sizeof(speeds[0]) ? speeds[baudIndex] : B0;
}

static aErr sStreamOpenSerial(aSerialStream* state, uint8_t parity, uint8_t dataBits, uint8_t stopBits) {
    // Non-blocking so the open does not wait for the carrier and no write can hang;
    // never the controlling terminal. A port this process claimed is opened on its claim.
    state->descriptor = aPortClaim_Open(state->path);
    if (state->descriptor < 0) {
        const int error = errno;
        state->descriptor = -1;
        if (error == ENOENT) return aErrNotFound;
        if (error == EACCES) return aErrPermission;
        if (error == EBUSY) return aErrBusy;
        return aErrIO;
    }
    if (tcgetattr(state->descriptor, &state->savedSettings) != 0) return aErrIO;
    state->settingsSaved = true;

    termios* t = &state->settings;
    *t = state->savedSettings;
    t->c_iflag = IGNBRK | (parity ? IGNPAR : 0);
    t->c_oflag = 0;
    t->c_lflag = 0;
    t->c_cflag = CREAD | CLOCAL | (parity ? PARENB : 0) | (dataBits == 0 ? CS8 : CS7) | (stopBits == 1 ? CSTOPB : 0);
    const speed_t speed = sSpeed(state->baudIndex);
    if (cfsetispeed(t, speed) != 0 || cfsetospeed(t, speed) != 0) return aErrIO;
    // A read returns at once with what waits, possibly nothing.
    t->c_cc[VMIN] = 0;
    t->c_cc[VTIME] = 0;
    if (tcsetattr(state->descriptor, TCSANOW, t) != 0) return aErrIO;
    if (tcflush(state->descriptor, TCIOFLUSH) != 0) return aErrIO;
    return aErrNone;
}

static aErr sSerialStreamGet(uint8_t* byte, void* ref) {
    aSerialStream* state = static_cast<aSerialStream*>(ref);
    if (!aVALIDSS(state)) return aErrParam;
    ssize_t got = read(state->descriptor, byte, 1);
    if (got == 1) return aErrNone;
    if (got < 0) return errno == EAGAIN || errno == EINTR ? aErrNotReady : aErrIO;
    // A hung-up line also reads as empty; only poll tells it from an idle one.
    pollfd p = {state->descriptor, POLLIN, 0};
    if (poll(&p, 1, 0) == 1 && (p.revents & (POLLHUP | POLLERR | POLLNVAL))) return aErrIO;
    return aErrNotReady;
}

// Waits until the adapter has sent what it holds; an output queue that stops shrinking
// is a stalled line.
static aErr sSerialStreamDrain(int descriptor) {
    int previous = -1;
    uint64_t progressMs = aTime_GetMonotonicMS();
    for (;;) {
        int queued = 0;
        if (ioctl(descriptor, TIOCOUTQ, &queued) != 0) return aErrIO;
        if (queued <= 0) return aErrNone;
        const uint64_t now = aTime_GetMonotonicMS();
        if (queued != previous) {
            previous = queued;
            progressMs = now;
        } else if (now - progressMs >= STALL_LIMIT_MS) {
            return aErrTimeout;
        }
        aTime_MSSleep(1);
    }
}

static aErr sSerialStreamWrite(const uint8_t* data, size_t count, void* ref) {
    aSerialStream* state = static_cast<aSerialStream*>(ref);
    if (!aVALIDSS(state)) return aErrParam;
    size_t sent = 0;
    uint64_t progressMs = aTime_GetMonotonicMS();
    while (sent < count) {
        const ssize_t moved = write(state->descriptor, data + sent, count - sent);
        if (moved > 0) {
            sent += static_cast<size_t>(moved);
            progressMs = aTime_GetMonotonicMS();
            continue;
        }
        if (moved < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) return aErrIO;
        const uint64_t deadline = progressMs + STALL_LIMIT_MS;
        if (aTime_GetMonotonicMS() >= deadline) return aErrTimeout;
        pollfd p = {state->descriptor, POLLOUT, 0};
        if (aPoll_Until(&p, 1, deadline) < 0) return aErrIO;
    }
    return sSerialStreamDrain(state->descriptor);
}

static aErr sSerialStreamPut(const uint8_t* byte, void* ref) {
    return sSerialStreamWrite(byte, 1, ref);
}

static aErr sSerialStreamWait(uint32_t timeoutMs, void* ref) {
    aSerialStream* state = static_cast<aSerialStream*>(ref);
    if (!aVALIDSS(state)) return aErrParam;
    pollfd p[2] = {{state->descriptor, POLLIN, 0}, {state->wakeFd, POLLIN, 0}};
    const int ready = aPoll_Until(p, 2, aTime_GetMonotonicMS() + timeoutMs);
    // A hang-up or error counts as ready: the read reports it.
    if (ready > 0) {
        if (p[1].revents & POLLIN) {
            eventfd_t wakes = 0;
            eventfd_read(state->wakeFd, &wakes);
        }
        return aErrNone;
    }
    return ready == 0 ? aErrTimeout : aErrIO;
}

static void sSerialStreamWake(void* ref) {
    aSerialStream* state = static_cast<aSerialStream*>(ref);
    if (aVALIDSS(state) && state->wakeFd >= 0) eventfd_write(state->wakeFd, 1);
}

static aErr sSerialStreamDelete(void* ref) {
    aSerialStream* state = static_cast<aSerialStream*>(ref);
    if (!aVALIDSS(state)) return aErrParam;
    if (state->wakeFd >= 0) close(state->wakeFd);
    state->wakeFd = -1;
    if (state->descriptor >= 0) {
        if (state->settingsSaved) tcsetattr(state->descriptor, TCSANOW, &state->savedSettings);
        close(state->descriptor);
        state->descriptor = -1;
        state->settingsSaved = false;
        memset(&state->savedSettings, 0, sizeof(state->savedSettings));
    }
    state->check = 0;
    free(state);
    return aErrNone;
}

aErr aStream_CreateSerial(const char* path, uint32_t baudIndex, uint8_t parity, uint8_t dataBits, uint8_t stopBits,
                          aStreamRef* stream) {
    if (stream != nullptr) *stream = nullptr;
    if (path == nullptr || stream == nullptr || dataBits > 1 || stopBits > 1) return aErrResource;
    // A truncated path would name another device.
    const size_t pathLength = strnlen(path, aSERIAL_MAX_PATH);
    if (pathLength == aSERIAL_MAX_PATH) return aErrResource;

    aSerialStream* state = static_cast<aSerialStream*>(calloc(1, sizeof(aSerialStream)));
    if (state == nullptr) return aErrResource;
    state->baudIndex = baudIndex;
    memcpy(state->path, path, pathLength);
    state->path[pathLength] = '\0';
    state->descriptor = -1;
    state->wakeFd = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    state->check = aSERIALSTREAMCHECK;

    aStreamRef s = aStream_Create(sSerialStreamGet, sSerialStreamPut, sSerialStreamWrite, sSerialStreamDelete, state);
    if (s == nullptr) {
        sSerialStreamDelete(state);
        return aErrResource;
    }
    aErr err = sStreamOpenSerial(state, parity, dataBits, stopBits);
    if (err != aErrNone) {
        aStream_Destroy(&s);
        return err;
    }
    aStream_SetWaitProc(s, sSerialStreamWait);
    aStream_SetWakeProc(s, sSerialStreamWake);
    *stream = s;
    return aErrNone;
}
