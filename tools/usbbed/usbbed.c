/* USB test bed: usbfs emulation of module devices on a umockdev testbed.
 *
 * Threads: umockdev runs the ioctl handlers on its own worker thread; the bed runs
 * one relay thread that moves bytes between the emulated endpoints and their pipes;
 * the API is called from the test's threads. One mutex guards all bed state. */
#define _GNU_SOURCE
#include "usbbed.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/ioctl.h>
#include <linux/usbdevice_fs.h>
#include <poll.h>
#include <pthread.h>
#include <stddef.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <termios.h>
#include <unistd.h>
#include <umockdev.h>

#define BED_BUS 1
#define EP_IN 0x81
#define EP_OUT 0x02
#define MAX_PACKET 64
#define LENGTH_LOG 256
#define OUT_BACKLOG_LIMIT (1u << 20)
/* libusb polls the device node for POLLOUT and then reaps until EAGAIN. umockdev makes
 * the node a regular file, which always polls ready, so the bed puts a FIFO in its
 * place and keeps that FIFO's one-page buffer full (not writable) while no client of
 * the node has a completion to reap, and empty (writable) while one has: the host's
 * event loop then sleeps in poll until a transfer completes. A host that opened the
 * node before the FIFO replaced it, or that shares the FIFO with a client whose
 * completions wake it, still spins on empty reaps; after the first empty reap in a
 * row, each is held (until a transfer completes, or this long) to keep that loop
 * cheap. A held reap also holds every other request of that process (umockdev passes
 * them one at a time), so the hold is short while the host is busy and longer once
 * it has been quiet a while. */
#define REAP_HOLD_US 2000
#define REAP_HOLD_QUIET_US 50000
#define QUIET_AFTER_US 250000

typedef struct Fault {
    UsbBedFault kind;
    unsigned partial;
} Fault;

typedef struct Client Client;

typedef struct Urb {
    Client* client;
    UMockdevIoctlData* urbData;
    UMockdevIoctlData* bufData;
    unsigned char endpoint;
    unsigned char type;
    int length;
    int actual;
    int mute; /* waits for a discard: feeds no data */
} Urb;

struct Client {
    UsbBedDevice* device;
    UMockdevIoctlClient* client;
    GQueue done;                    /* Urb*, completed and waiting to be reaped */
    UMockdevIoctlData* blockedReap; /* a reap waiting for a completion */
    int64_t reapDeadline;           /* when a held non-blocking reap answers EAGAIN; 0: never */
    int64_t lastActivity;           /* last submit or completion, monotonic microseconds */
    int emptyReaps;                 /* empty non-blocking reaps since the last delivered one */
    int claimed;
    int dead; /* opened before or while the module restarted in place: its bulk transfers fail */
};

struct UsbBedDevice {
    UsbBed* bed;
    UsbBedDevice* next;
    char serial[128];
    char node[64];
    char syspath[64];
    UsbBedDeviceSpec spec;
    uint8_t descriptors[64];
    size_t descriptorsLength;
    UMockdevIoctlBase* handler;
    int readyFd;  /* the FIFO at the node: writable exactly while a completion waits; -1: none */
    int readyNow; /* the FIFO is empty, so the node polls writable */
    int gone;
    int64_t awayUntil; /* restarting in place until then (monotonic microseconds); 0: never */
    int bridgeFd;
    int peerHungUp; /* the pipe's peer closed; its last bytes may still wait */
    char unixPath[sizeof(((struct sockaddr_un*)0)->sun_path)];
    GByteArray* outBacklog; /* accepted OUT bytes not yet written to the pipe */
    GQueue pending;         /* Urb*, submitted and not complete */
    GQueue faults[2];       /* Fault*, per direction */
    GList* clients;         /* Client* */
    UsbBedStats stats;
    unsigned lengths[LENGTH_LOG];
    size_t lengthCount;
};

struct UsbBed {
    UMockdevTestbed* testbed;
    char* root;
    pthread_mutex_t lock;
    pthread_t relay;
    int wakeFd;
    int stopping;
    unsigned nextDevnum;
    UsbBedDevice* devices;
};

static void sWake(UsbBed* bed) {
    uint64_t one = 1;
    ssize_t n = write(bed->wakeFd, &one, sizeof one);
    (void)n;
}

/* ---- descriptors ---- */

static size_t sBuildDescriptors(const UsbBedDeviceSpec* spec, uint8_t* d) {
    const uint16_t vendor = spec->vendor ? spec->vendor : USBBED_MODULE_VENDOR;
    const uint16_t product = spec->product ? spec->product : spec->model;
    const uint8_t dev[18] = {18,
                             1,
                             0x00,
                             0x02,
                             0,
                             0,
                             0,
                             MAX_PACKET,
                             (uint8_t)(vendor & 0xFF),
                             (uint8_t)(vendor >> 8),
                             (uint8_t)(product & 0xFF),
                             (uint8_t)(product >> 8),
                             0x00,
                             0x01,
                             1,
                             2,
                             3,
                             1};
    memcpy(d, dev, sizeof dev);
    size_t n = sizeof dev;
    const size_t config = n;
    const uint8_t cfg[9] = {9, 2, 0, 0, 1, 1, 0, 0x80, 50};
    memcpy(d + n, cfg, sizeof cfg);
    n += sizeof cfg;

    const int foreign = spec->layout == USBBED_LAYOUT_FOREIGN;
    const uint8_t endpoints = spec->layout == USBBED_LAYOUT_IN_ONLY ? 1 : 2;
    const uint8_t ifc[9] = {9, 4, 0, 0, endpoints, 0xFF, foreign ? 0x00 : 0x88, foreign ? 0x00 : 0x10, 0};
    memcpy(d + n, ifc, sizeof ifc);
    n += sizeof ifc;
    const uint8_t attributes = spec->layout == USBBED_LAYOUT_INTERRUPT ? 3 : 2;
    const uint8_t interval = spec->layout == USBBED_LAYOUT_INTERRUPT ? 1 : 0;
    const uint8_t in[7] = {7, 5, EP_IN, attributes, MAX_PACKET, 0, interval};
    memcpy(d + n, in, sizeof in);
    n += sizeof in;
    if (endpoints == 2) {
        const uint8_t out[7] = {7, 5, EP_OUT, attributes, MAX_PACKET, 0, interval};
        memcpy(d + n, out, sizeof out);
        n += sizeof out;
    }
    const size_t total = n - config;
    d[config + 2] = (uint8_t)(total & 0xFF);
    d[config + 3] = (uint8_t)(total >> 8);
    return n;
}

/* String descriptor `index` as UTF-16LE into out; returns its length, 0 if none. */
static size_t sStringDescriptor(const UsbBedDevice* device, unsigned index, uint8_t* out, size_t max) {
    if (max < 2) return 0;
    if (index == 0) {
        const uint8_t langs[4] = {4, 3, 0x09, 0x04};
        const size_t n = max < 4 ? max : 4;
        memcpy(out, langs, n);
        return n;
    }
    const char* text = index == 1 ? "Corvalith" : index == 2 ? "Module" : index == 3 ? device->serial : NULL;
    if (!text) return 0;
    size_t chars = strlen(text);
    if (chars > 126) chars = 126;
    size_t n = 2;
    for (size_t i = 0; i < chars && n + 2 <= max; i++) {
        out[n++] = (uint8_t)text[i];
        out[n++] = 0;
    }
    out[0] = (uint8_t)(2 + 2 * chars);
    out[1] = 3;
    return n;
}

/* ---- URB bookkeeping (bed lock held) ---- */

static void sFreeUrb(Urb* urb) {
    if (urb->urbData) g_object_unref(urb->urbData);
    if (urb->bufData) g_object_unref(urb->bufData);
    free(urb);
}

static void sSetUrbResult(Urb* urb, int status, int actual) {
    struct usbdevfs_urb* u = (struct usbdevfs_urb*)urb->urbData->data;
    u->status = status;
    u->actual_length = actual;
}

/* Makes the node poll writable exactly while some client has a completion to reap
 * (or the device is gone, so that reaps report it). */
static void sUpdateReadiness(UsbBedDevice* device) {
    if (device->readyFd < 0) return;
    int wanted = device->gone;
    for (GList* l = device->clients; l && !wanted; l = l->next) wanted = !g_queue_is_empty(&((Client*)l->data)->done);
    if (wanted == device->readyNow) return;
    static const uint8_t filler[4096];
    uint8_t sink[4096];
    /* bounded: the FIFO holds one page */
    for (int i = 0; i < 64; i++) {
        const ssize_t n =
            wanted ? read(device->readyFd, sink, sizeof sink) : write(device->readyFd, filler, sizeof filler);
        if (n <= 0) break;
    }
    device->readyNow = wanted;
}

/* Hands one completed URB to the client's waiting REAPURB (arg). */
static void sDeliverReap(Client* client, UMockdevIoctlData* arg) {
    Urb* urb = g_queue_pop_head(&client->done);
    client->emptyReaps = 0;
    umockdev_ioctl_data_set_ptr(arg, 0, urb->urbData);
    sUpdateReadiness(client->device);
    umockdev_ioctl_client_complete(client->client, 0, 0);
    sFreeUrb(urb);
}

static void sFinishUrb(Urb* urb, int status, int actual) {
    UsbBedDevice* device = urb->client->device;
    g_queue_remove(&device->pending, urb);
    sSetUrbResult(urb, status, actual);
    Client* client = urb->client;
    /* Only moved data counts as the host being busy: a read that times out does not. */
    if (actual > 0) client->lastActivity = g_get_monotonic_time();
    g_queue_push_tail(&client->done, urb);
    if (client->blockedReap) {
        UMockdevIoctlData* arg = client->blockedReap;
        client->blockedReap = NULL;
        sDeliverReap(client, arg);
        g_object_unref(arg);
    } else {
        sUpdateReadiness(device);
    }
}

static Client* sFindClient(UsbBedDevice* device, UMockdevIoctlClient* c) {
    for (GList* l = device->clients; l; l = l->next)
        if (((Client*)l->data)->client == c) return l->data;
    return NULL;
}

static Fault* sTakeFault(UsbBedDevice* device, UsbBedDirection direction) {
    return g_queue_pop_head(&device->faults[direction]);
}

static void sLogOutLength(UsbBedDevice* device, unsigned length) {
    if (device->lengthCount < LENGTH_LOG) device->lengths[device->lengthCount] = length;
    device->lengthCount++;
}

static void sAcceptOut(UsbBedDevice* device, const uint8_t* data, size_t n) {
    if (device->bridgeFd >= 0 && !device->peerHungUp && device->outBacklog->len + n <= OUT_BACKLOG_LIMIT)
        g_byte_array_append(device->outBacklog, data, (guint)n);
    device->stats.bytesOut += n;
}

/* ---- the bridge (bed lock held) ---- */

static void sCloseBridge(UsbBedDevice* device) {
    if (device->bridgeFd >= 0) close(device->bridgeFd);
    device->bridgeFd = -1;
    device->peerHungUp = 0;
    g_byte_array_set_size(device->outBacklog, 0);
}

static void sConnectUnixBridge(UsbBedDevice* device) {
    if (device->bridgeFd >= 0 || device->unixPath[0] == '\0') return;
    const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return;
    struct sockaddr_un address;
    memset(&address, 0, sizeof address);
    address.sun_family = AF_UNIX;
    memcpy(address.sun_path, device->unixPath, sizeof address.sun_path);
    if (connect(fd, (struct sockaddr*)&address, sizeof address) != 0) {
        fprintf(stderr, "usbbed: %s: cannot connect to %s: %s\n", device->serial, device->unixPath, strerror(errno));
        close(fd);
        return;
    }
    fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK);
    device->bridgeFd = fd;
}

static int sRestarting(const UsbBedDevice* device) {
    return device->awayUntil != 0 && g_get_monotonic_time() < device->awayUntil;
}

/* ---- usbfs requests (umockdev worker thread) ---- */

static void sControl(UsbBedDevice* device, Urb* urb) {
    uint8_t* buffer = urb->bufData ? urb->bufData->data : NULL;
    if (!buffer || urb->length < 8) {
        sFinishUrb(urb, -EPIPE, 0);
        return;
    }
    const uint8_t requestType = buffer[0];
    const uint8_t request = buffer[1];
    const unsigned value = buffer[2] | (buffer[3] << 8);
    const unsigned length = buffer[6] | (buffer[7] << 8);
    size_t room = (size_t)urb->length - 8;
    if (room > length) room = length;
    uint8_t* data = buffer + 8;
    size_t n = 0;
    int ok = 0;
    if (requestType == 0x80 && request == 6) {
        const unsigned type = value >> 8, index = value & 0xFF;
        if (type == 1) {
            n = room < 18 ? room : 18;
            memcpy(data, device->descriptors, n);
            ok = 1;
        } else if (type == 2 && index == 0) {
            const size_t total = device->descriptorsLength - 18;
            n = room < total ? room : total;
            memcpy(data, device->descriptors + 18, n);
            ok = 1;
        } else if (type == 3) {
            n = sStringDescriptor(device, index, data, room);
            ok = n > 0;
        }
    } else if (requestType == 0x80 && request == 0 && room >= 2) {
        data[0] = 0;
        data[1] = 0;
        n = 2;
        ok = 1;
    } else if ((requestType & 0x80) == 0) {
        ok = 1; /* standard and vendor OUT requests are acknowledged */
    }
    if (ok)
        sFinishUrb(urb, 0, (int)n);
    else
        sFinishUrb(urb, -EPIPE, 0);
}

static void sSubmitBulk(UsbBedDevice* device, Urb* urb) {
    const int in = (urb->endpoint & 0x80) != 0;
    const int known =
        in ? urb->endpoint == EP_IN : urb->endpoint == EP_OUT && device->spec.layout != USBBED_LAYOUT_IN_ONLY;
    if (!known) {
        sFinishUrb(urb, -ENOENT, 0);
        return;
    }
    Fault* fault = sTakeFault(device, in ? USBBED_IN : USBBED_OUT);
    if (in) {
        device->stats.inTransfers++;
    } else {
        device->stats.outTransfers++;
        sLogOutLength(device, (unsigned)urb->length);
    }
    if (fault) {
        const UsbBedFault kind = fault->kind;
        const unsigned partial = fault->partial;
        free(fault);
        if (kind == USBBED_FAULT_STALL) {
            sFinishUrb(urb, -EPIPE, 0);
        } else if (kind == USBBED_FAULT_IO) {
            sFinishUrb(urb, -EPROTO, 0);
        } else if (kind == USBBED_FAULT_EMPTY) {
            sFinishUrb(urb, 0, 0);
        } else {
            if (!in && partial > 0 && urb->bufData) {
                const int n = (int)partial < urb->length ? (int)partial : urb->length;
                sAcceptOut(device, urb->bufData->data, (size_t)n);
                urb->actual = n;
            }
            urb->mute = 1;
        }
        return;
    }
    if (in) return; /* waits in `pending` for the relay thread */
    if (urb->length > 0 && urb->bufData) sAcceptOut(device, urb->bufData->data, (size_t)urb->length);
    sFinishUrb(urb, 0, urb->length);
}

static void sSubmit(UsbBedDevice* device, Client* client, UMockdevIoctlClient* c) {
    GError* error = NULL;
    UMockdevIoctlData* arg = umockdev_ioctl_client_get_arg(c);
    UMockdevIoctlData* urbData = umockdev_ioctl_data_resolve(arg, 0, sizeof(struct usbdevfs_urb), &error);
    if (!urbData) {
        g_clear_error(&error);
        umockdev_ioctl_client_complete(c, -1, EFAULT);
        return;
    }
    struct usbdevfs_urb* u = (struct usbdevfs_urb*)urbData->data;
    if (client->dead && u->type != USBDEVFS_URB_TYPE_CONTROL) {
        /* the module is not behind this handle: usbfs refuses the transfer */
        g_object_unref(urbData);
        umockdev_ioctl_client_complete(c, -1, ENODEV);
        return;
    }
    if (u->buffer_length < 0 || (u->type != USBDEVFS_URB_TYPE_CONTROL && u->type != USBDEVFS_URB_TYPE_BULK &&
                                 u->type != USBDEVFS_URB_TYPE_INTERRUPT)) {
        g_object_unref(urbData);
        umockdev_ioctl_client_complete(c, -1, EINVAL);
        return;
    }
    UMockdevIoctlData* bufData = NULL;
    if (u->buffer_length > 0) {
        bufData = umockdev_ioctl_data_resolve(urbData, offsetof(struct usbdevfs_urb, buffer), (gsize)u->buffer_length,
                                              &error);
        if (!bufData) {
            g_clear_error(&error);
            g_object_unref(urbData);
            umockdev_ioctl_client_complete(c, -1, EFAULT);
            return;
        }
    }
    Urb* urb = calloc(1, sizeof *urb);
    urb->client = client;
    urb->urbData = urbData;
    urb->bufData = bufData;
    urb->endpoint = u->endpoint;
    urb->type = u->type;
    urb->length = u->buffer_length;
    g_queue_push_tail(&device->pending, urb);
    if (urb->type == USBDEVFS_URB_TYPE_CONTROL)
        sControl(device, urb);
    else
        sSubmitBulk(device, urb);
    umockdev_ioctl_client_complete(c, 0, 0);
    sWake(device->bed);
}

static void sReap(UsbBedDevice* device, Client* client, UMockdevIoctlClient* c, int block) {
    GError* error = NULL;
    UMockdevIoctlData* arg = umockdev_ioctl_data_resolve(umockdev_ioctl_client_get_arg(c), 0, sizeof(void*), &error);
    if (!arg) {
        g_clear_error(&error);
        umockdev_ioctl_client_complete(c, -1, EFAULT);
        return;
    }
    if (!g_queue_is_empty(&client->done)) {
        sDeliverReap(client, arg);
        g_object_unref(arg);
    } else if (device->gone) {
        g_object_unref(arg);
        umockdev_ioctl_client_complete(c, -1, ENODEV);
    } else if (!block && client->emptyReaps++ == 0) {
        /* the end of a reaping round: the FIFO, full again, keeps the host in poll */
        g_object_unref(arg);
        umockdev_ioctl_client_complete(c, -1, EAGAIN);
    } else if (!client->blockedReap) {
        client->blockedReap = arg;
        const int64_t now = g_get_monotonic_time();
        const int quiet = now - client->lastActivity > QUIET_AFTER_US;
        client->reapDeadline = block ? 0 : now + (quiet ? REAP_HOLD_QUIET_US : REAP_HOLD_US);
        sWake(device->bed);
    } else {
        g_object_unref(arg);
        umockdev_ioctl_client_complete(c, -1, EAGAIN);
    }
}

static void sDiscard(UsbBedDevice* device, Client* client, UMockdevIoctlClient* c) {
    const gulong address = *(gulong*)umockdev_ioctl_client_get_arg(c)->data;
    for (GList* l = device->pending.head; l; l = l->next) {
        Urb* urb = l->data;
        if (urb->client == client && urb->urbData->client_addr == address) {
            sFinishUrb(urb, -ENOENT, urb->actual);
            umockdev_ioctl_client_complete(c, 0, 0);
            return;
        }
    }
    umockdev_ioctl_client_complete(c, -1, EINVAL);
}

static int sReadUInt(UMockdevIoctlClient* c, unsigned* value) {
    GError* error = NULL;
    UMockdevIoctlData* d = umockdev_ioctl_data_resolve(umockdev_ioctl_client_get_arg(c), 0, sizeof(unsigned), &error);
    if (!d) {
        g_clear_error(&error);
        return -1;
    }
    memcpy(value, d->data, sizeof *value);
    g_object_unref(d);
    return 0;
}

static void sClaim(UsbBedDevice* device, Client* client, UMockdevIoctlClient* c, int claim) {
    unsigned interface = 0;
    if (sReadUInt(c, &interface) != 0) {
        umockdev_ioctl_client_complete(c, -1, EFAULT);
        return;
    }
    if (interface != 0) {
        umockdev_ioctl_client_complete(c, -1, claim ? ENOENT : EINVAL);
        return;
    }
    if (claim) {
        for (GList* l = device->clients; l; l = l->next) {
            Client* other = l->data;
            if (other != client && other->claimed) {
                umockdev_ioctl_client_complete(c, -1, EBUSY);
                return;
            }
        }
        if (!client->claimed) device->stats.claims++;
        client->claimed = 1;
        /* a module that is restarting takes no connection yet */
        if (!sRestarting(device)) sConnectUnixBridge(device);
    } else {
        if (!client->claimed) {
            umockdev_ioctl_client_complete(c, -1, EINVAL);
            return;
        }
        client->claimed = 0;
    }
    umockdev_ioctl_client_complete(c, 0, 0);
}

static void sCapabilities(UMockdevIoctlClient* c) {
    GError* error = NULL;
    UMockdevIoctlData* d = umockdev_ioctl_data_resolve(umockdev_ioctl_client_get_arg(c), 0, sizeof(uint32_t), &error);
    if (!d) {
        g_clear_error(&error);
        umockdev_ioctl_client_complete(c, -1, EFAULT);
        return;
    }
    const uint32_t caps = USBDEVFS_CAP_ZERO_PACKET | USBDEVFS_CAP_BULK_CONTINUATION | USBDEVFS_CAP_NO_PACKET_SIZE_LIM |
                          USBDEVFS_CAP_REAP_AFTER_DISCONNECT;
    memcpy(d->data, &caps, sizeof caps);
    g_object_unref(d);
    umockdev_ioctl_client_complete(c, 0, 0);
}

static gboolean sOnIoctl(UMockdevIoctlBase* handler, UMockdevIoctlClient* c, gpointer user) {
    UsbBedDevice* device = user;
    UsbBed* bed = device->bed;
    const gulong request = umockdev_ioctl_client_get_request(c);
    pthread_mutex_lock(&bed->lock);
    Client* client = sFindClient(device, c);
    if (!client) {
        umockdev_ioctl_client_complete(c, -1, EBADF);
    } else if (request == (gulong)USBDEVFS_REAPURBNDELAY || request == (gulong)USBDEVFS_REAPURB) {
        sReap(device, client, c, request == (gulong)USBDEVFS_REAPURB);
    } else if (device->gone) {
        umockdev_ioctl_client_complete(c, -1, ENODEV);
    } else if (request == (gulong)USBDEVFS_SUBMITURB) {
        sSubmit(device, client, c);
    } else if (request == (gulong)USBDEVFS_DISCARDURB) {
        sDiscard(device, client, c);
    } else if (request == (gulong)USBDEVFS_CLAIMINTERFACE || request == (gulong)USBDEVFS_RELEASEINTERFACE) {
        sClaim(device, client, c, request == (gulong)USBDEVFS_CLAIMINTERFACE);
    } else if (request == (gulong)USBDEVFS_CLEAR_HALT || request == (gulong)USBDEVFS_RESETEP) {
        unsigned endpoint = 0;
        if (request == (gulong)USBDEVFS_CLEAR_HALT) device->stats.clearHalts++;
        if (sReadUInt(c, &endpoint) != 0)
            umockdev_ioctl_client_complete(c, -1, EFAULT);
        else if (endpoint != EP_IN && endpoint != EP_OUT && endpoint != 0)
            umockdev_ioctl_client_complete(c, -1, ENOENT);
        else
            umockdev_ioctl_client_complete(c, 0, 0);
    } else if (request == (gulong)USBDEVFS_GET_CAPABILITIES) {
        sCapabilities(c);
    } else if (request == (gulong)USBDEVFS_GETDRIVER) {
        umockdev_ioctl_client_complete(c, -1, ENODATA);
    } else if (request == (gulong)USBDEVFS_SETINTERFACE || request == (gulong)USBDEVFS_SETCONFIGURATION ||
               request == (gulong)USBDEVFS_RESET) {
        umockdev_ioctl_client_complete(c, 0, 0);
    } else {
        umockdev_ioctl_client_complete(c, -1, ENOTTY);
    }
    pthread_mutex_unlock(&bed->lock);
    return TRUE;
}

/* usbfs answers read() with the descriptors, as libusb may ask it. */
static gboolean sOnRead(UMockdevIoctlBase* handler, UMockdevIoctlClient* c, gpointer user) {
    UsbBedDevice* device = user;
    UMockdevIoctlData* arg = umockdev_ioctl_client_get_arg(c);
    size_t n = (size_t)arg->data_len;
    if (n > device->descriptorsLength) n = device->descriptorsLength;
    memcpy(arg->data, device->descriptors, n);
    umockdev_ioctl_client_complete(c, (glong)n, 0);
    return TRUE;
}

static void sDropClient(UsbBedDevice* device, Client* client) {
    for (GList* l = device->pending.head; l;) {
        GList* next = l->next;
        Urb* urb = l->data;
        if (urb->client == client) {
            g_queue_delete_link(&device->pending, l);
            sFreeUrb(urb);
        }
        l = next;
    }
    Urb* urb;
    while ((urb = g_queue_pop_head(&client->done))) sFreeUrb(urb);
    if (client->blockedReap) g_object_unref(client->blockedReap);
    device->clients = g_list_remove(device->clients, client);
    g_object_unref(client->client);
    free(client);
    sUpdateReadiness(device);
}

static void sOnConnectedChanged(GObject* object, GParamSpec* spec, gpointer user) {
    UsbBedDevice* device = user;
    UMockdevIoctlClient* c = UMOCKDEV_IOCTL_CLIENT(object);
    if (umockdev_ioctl_client_get_connected(c)) return;
    pthread_mutex_lock(&device->bed->lock);
    Client* client = sFindClient(device, c);
    if (client) sDropClient(device, client);
    pthread_mutex_unlock(&device->bed->lock);
}

static void sOnClientConnected(UMockdevIoctlBase* handler, UMockdevIoctlClient* c, gpointer user) {
    UsbBedDevice* device = user;
    Client* client = calloc(1, sizeof *client);
    client->device = device;
    client->client = g_object_ref(c);
    g_queue_init(&client->done);
    pthread_mutex_lock(&device->bed->lock);
    client->dead = sRestarting(device);
    device->clients = g_list_prepend(device->clients, client);
    device->stats.opens++;
    pthread_mutex_unlock(&device->bed->lock);
    g_signal_connect(c, "notify::connected", G_CALLBACK(sOnConnectedChanged), device);
}

/* ---- the relay thread ---- */

static Urb* sFirstLiveIn(UsbBedDevice* device) {
    for (GList* l = device->pending.head; l; l = l->next) {
        Urb* urb = l->data;
        if ((urb->endpoint & 0x80) && urb->type != USBDEVFS_URB_TYPE_CONTROL && !urb->mute) return urb;
    }
    return NULL;
}

static void sServiceDevice(UsbBedDevice* device, short revents) {
    if (revents & (POLLHUP | POLLERR)) device->peerHungUp = 1;
    if (revents & POLLOUT && device->outBacklog->len > 0) {
        const ssize_t n =
            send(device->bridgeFd, device->outBacklog->data, device->outBacklog->len, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n > 0)
            g_byte_array_remove_range(device->outBacklog, 0, (guint)n);
        else if (n < 0 && errno != EAGAIN && errno != EINTR)
            sCloseBridge(device);
    }
    if (device->bridgeFd < 0) return;
    Urb* urb = sFirstLiveIn(device);
    /* a peer that hung up may still have bytes waiting: they go to the next IN transfers */
    if (revents & (POLLIN | POLLHUP | POLLERR) && urb) {
        uint8_t buffer[16384];
        size_t want = (size_t)urb->length < sizeof buffer ? (size_t)urb->length : sizeof buffer;
        const ssize_t n = want ? read(device->bridgeFd, buffer, want) : 0;
        if (n > 0) {
            umockdev_ioctl_data_update(urb->bufData, 0, buffer, (gint)n);
            device->stats.bytesIn += (uint64_t)n;
            sFinishUrb(urb, 0, (int)n);
        } else if (n == 0 && want) {
            sCloseBridge(device);
        } else if (n < 0 && errno != EAGAIN && errno != EINTR) {
            sCloseBridge(device);
        }
    }
}

/* Answers held reaps whose time is up; returns the poll time-out until the next. */
static int sExpireHeldReaps(UsbBed* bed) {
    const int64_t now = g_get_monotonic_time();
    int64_t next = now + 1000000;
    for (UsbBedDevice* d = bed->devices; d; d = d->next) {
        for (GList* l = d->clients; l; l = l->next) {
            Client* client = l->data;
            if (!client->blockedReap || client->reapDeadline == 0) continue;
            if (client->reapDeadline <= now) {
                g_object_unref(client->blockedReap);
                client->blockedReap = NULL;
                umockdev_ioctl_client_complete(client->client, -1, EAGAIN);
            } else if (client->reapDeadline < next) {
                next = client->reapDeadline;
            }
        }
    }
    return (int)((next - now + 999) / 1000);
}

static void* sRelay(void* ref) {
    UsbBed* bed = ref;
    for (;;) {
        struct pollfd fds[128];
        UsbBedDevice* owners[128];
        nfds_t count = 1;
        fds[0].fd = bed->wakeFd;
        fds[0].events = POLLIN;
        pthread_mutex_lock(&bed->lock);
        if (bed->stopping) {
            pthread_mutex_unlock(&bed->lock);
            return NULL;
        }
        for (UsbBedDevice* d = bed->devices; d && count < 128; d = d->next) {
            if (d->bridgeFd < 0) continue;
            short events = 0;
            if (d->outBacklog->len > 0 && !d->peerHungUp) events |= POLLOUT;
            if (sFirstLiveIn(d)) events |= POLLIN;
            if (d->peerHungUp && !events) continue; /* hang-up is level-triggered */
            fds[count].fd = d->bridgeFd;
            fds[count].events = events;
            owners[count] = d;
            count++;
        }
        const int timeout = sExpireHeldReaps(bed);
        pthread_mutex_unlock(&bed->lock);

        if (poll(fds, count, timeout) < 0 && errno != EINTR) return NULL;
        if (fds[0].revents & POLLIN) {
            uint64_t value;
            ssize_t n = read(bed->wakeFd, &value, sizeof value);
            (void)n;
        }
        pthread_mutex_lock(&bed->lock);
        for (nfds_t i = 1; i < count; i++) {
            UsbBedDevice* d = owners[i];
            /* the bridge may have been replaced while we polled */
            if (fds[i].revents && d->bridgeFd == fds[i].fd) sServiceDevice(d, fds[i].revents);
        }
        pthread_mutex_unlock(&bed->lock);
    }
}

/* ---- public API ---- */

static UsbBed* sTheBed = NULL;

UsbBed* usbbed_new(void) {
    if (sTheBed) return NULL;
    UsbBed* bed = calloc(1, sizeof *bed);
    if (!bed) return NULL;
    bed->testbed = umockdev_testbed_new();
    bed->root = umockdev_testbed_get_root_dir(bed->testbed);
    pthread_mutex_init(&bed->lock, NULL);
    bed->nextDevnum = 2;
    bed->wakeFd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (bed->wakeFd < 0 || pthread_create(&bed->relay, NULL, sRelay, bed) != 0) {
        if (bed->wakeFd >= 0) close(bed->wakeFd);
        g_object_unref(bed->testbed);
        g_free(bed->root);
        free(bed);
        return NULL;
    }
    sTheBed = bed;
    return bed;
}

void usbbed_free(UsbBed* bed) {
    if (!bed) return;
    pthread_mutex_lock(&bed->lock);
    bed->stopping = 1;
    pthread_mutex_unlock(&bed->lock);
    sWake(bed);
    pthread_join(bed->relay, NULL);
    for (UsbBedDevice* d = bed->devices; d; d = d->next) {
        GError* error = NULL;
        if (!d->gone) umockdev_testbed_detach_ioctl(bed->testbed, d->node, &error);
        g_clear_error(&error);
    }
    g_object_unref(bed->testbed);
    UsbBedDevice* d = bed->devices;
    while (d) {
        UsbBedDevice* next = d->next;
        while (d->clients) sDropClient(d, d->clients->data);
        Urb* urb;
        while ((urb = g_queue_pop_head(&d->pending))) sFreeUrb(urb);
        for (int i = 0; i < 2; i++) {
            Fault* f;
            while ((f = g_queue_pop_head(&d->faults[i]))) free(f);
        }
        sCloseBridge(d);
        if (d->readyFd >= 0) close(d->readyFd);
        g_byte_array_unref(d->outBacklog);
        if (d->handler) g_object_unref(d->handler);
        free(d);
        d = next;
    }
    close(bed->wakeFd);
    pthread_mutex_destroy(&bed->lock);
    g_free(bed->root);
    free(bed);
    sTheBed = NULL;
}

const char* usbbed_root_dir(const UsbBed* bed) {
    return bed->root;
}
UMockdevTestbed* usbbed_testbed(UsbBed* bed) {
    return bed ? bed->testbed : NULL;
}

/* Replaces the regular file umockdev made at the node by a FIFO with the same owner
 * and mode, full (not writable) to begin with; returns the bed's end, or -1 when the
 * node stays a regular file. The rename is atomic, so a host opening the node
 * meanwhile finds one or the other, never nothing. */
static int sPutReadinessFifo(const UsbBed* bed, const char* node) {
    char path[4096], temporary[4200];
    snprintf(path, sizeof path, "%s%s", bed->root, node);
    /* made outside the bus directory, so that nobody listing it meets the FIFO early */
    snprintf(temporary, sizeof temporary, "%s/.readiness-%s", bed->root, strrchr(node, '/') + 1);
    struct stat st;
    if (stat(path, &st) != 0 || mkfifo(temporary, 0600) != 0) return -1;
    const int fd = open(temporary, O_RDWR | O_NONBLOCK | O_CLOEXEC);
    int ok = fd >= 0 && chown(temporary, st.st_uid, st.st_gid) == 0 && chmod(temporary, st.st_mode & 07777) == 0;
    if (ok) {
        fcntl(fd, F_SETPIPE_SZ, 4096);
        static const uint8_t filler[4096];
        for (int i = 0; i < 64 && write(fd, filler, sizeof filler) > 0; i++) {}
        ok = rename(temporary, path) == 0;
    }
    if (!ok) {
        if (fd >= 0) close(fd);
        unlink(temporary);
        return -1;
    }
    return fd;
}

UsbBedDevice* usbbed_add_device(UsbBed* bed, const UsbBedDeviceSpec* spec) {
    if (!bed || !spec || !spec->serial) return NULL;
    UsbBedDevice* device = calloc(1, sizeof *device);
    if (!device) return NULL;
    device->bed = bed;
    device->spec = *spec;
    snprintf(device->serial, sizeof device->serial, "%s", spec->serial);
    device->spec.serial = device->serial;
    device->bridgeFd = -1;
    device->readyFd = -1;
    device->outBacklog = g_byte_array_new();
    g_queue_init(&device->pending);
    g_queue_init(&device->faults[0]);
    g_queue_init(&device->faults[1]);
    device->descriptorsLength = sBuildDescriptors(spec, device->descriptors);

    pthread_mutex_lock(&bed->lock);
    const unsigned devnum = bed->nextDevnum++;
    pthread_mutex_unlock(&bed->lock);
    snprintf(device->node, sizeof device->node, "/dev/bus/usb/%03u/%03u", BED_BUS, devnum);
    snprintf(device->syspath, sizeof device->syspath, "/sys/devices/%u-%u", BED_BUS, devnum);

    const uint16_t vendor = spec->vendor ? spec->vendor : USBBED_MODULE_VENDOR;
    const uint16_t product = spec->product ? spec->product : spec->model;
    GString* hex = g_string_new(NULL);
    for (size_t i = 0; i < device->descriptorsLength; i++) g_string_append_printf(hex, "%02X", device->descriptors[i]);
    gchar* record = g_strdup_printf(
        "P: /devices/%u-%u\n"
        "N: bus/usb/%03u/%03u\n"
        "E: SUBSYSTEM=usb\nE: DEVTYPE=usb_device\nE: DEVNAME=/dev/bus/usb/%03u/%03u\n"
        "E: BUSNUM=%03u\nE: DEVNUM=%03u\nE: PRODUCT=%x/%x/100\n"
        "A: busnum=%u\nA: devnum=%u\nA: speed=480\nA: bConfigurationValue=1\n"
        "A: bNumConfigurations=1\nA: bNumInterfaces= 1\nA: idVendor=%04x\nA: idProduct=%04x\n"
        "A: serial=%s\nA: dev=189:%u\n"
        "H: descriptors=%s\n\n",
        BED_BUS, devnum, BED_BUS, devnum, BED_BUS, devnum, BED_BUS, devnum, vendor, product, BED_BUS, devnum, vendor,
        product, device->serial, devnum, hex->str);
    g_string_free(hex, TRUE);
    /* The handler comes first: a host scanning sysfs at this moment may open the node
     * as soon as the record exists, and umockdev's preload ends a process whose open
     * finds no handler behind an emulated node. */
    GError* error = NULL;
    device->handler = umockdev_ioctl_base_new();
    g_signal_connect(device->handler, "handle-ioctl", G_CALLBACK(sOnIoctl), device);
    g_signal_connect(device->handler, "handle-read", G_CALLBACK(sOnRead), device);
    g_signal_connect(device->handler, "client-connected", G_CALLBACK(sOnClientConnected), device);
    if (!umockdev_testbed_attach_ioctl(bed->testbed, device->node, device->handler, &error)) {
        fprintf(stderr, "usbbed: cannot attach %s: %s\n", device->node, error->message);
        g_clear_error(&error);
        g_free(record);
        g_object_unref(device->handler);
        g_byte_array_unref(device->outBacklog);
        free(device);
        return NULL;
    }
    const gboolean added = umockdev_testbed_add_from_string(bed->testbed, record, &error);
    g_free(record);
    if (!added) {
        fprintf(stderr, "usbbed: cannot add %s: %s\n", device->serial, error->message);
        g_clear_error(&error);
        umockdev_testbed_detach_ioctl(bed->testbed, device->node, NULL);
        g_object_unref(device->handler);
        g_byte_array_unref(device->outBacklog);
        free(device);
        return NULL;
    }
    device->readyFd = sPutReadinessFifo(bed, device->node);
    pthread_mutex_lock(&bed->lock);
    device->next = bed->devices;
    bed->devices = device;
    pthread_mutex_unlock(&bed->lock);
    umockdev_testbed_uevent(bed->testbed, device->syspath, "add");
    return device;
}

const char* usbbed_device_node(const UsbBedDevice* device) {
    return device->node;
}
const char* usbbed_device_serial(const UsbBedDevice* device) {
    return device->serial;
}

static void sSetBridge(UsbBedDevice* device, int fd, const char* path) {
    pthread_mutex_lock(&device->bed->lock);
    sCloseBridge(device);
    device->bridgeFd = fd;
    snprintf(device->unixPath, sizeof device->unixPath, "%s", path ? path : "");
    pthread_mutex_unlock(&device->bed->lock);
    sWake(device->bed);
}

int usbbed_device_open_pipe(UsbBedDevice* device) {
    int pair[2];
    if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair) != 0) return -1;
    fcntl(pair[0], F_SETFL, fcntl(pair[0], F_GETFL) | O_NONBLOCK);
    sSetBridge(device, pair[0], NULL);
    return pair[1];
}

int usbbed_device_bridge_unix(UsbBedDevice* device, const char* path) {
    if (!path || strlen(path) >= sizeof device->unixPath) return -1;
    sSetBridge(device, -1, path);
    return 0;
}

void usbbed_device_fault(UsbBedDevice* device, UsbBedDirection direction, UsbBedFault fault, unsigned count,
                         unsigned partial) {
    pthread_mutex_lock(&device->bed->lock);
    for (unsigned i = 0; i < count; i++) {
        Fault* f = calloc(1, sizeof *f);
        f->kind = fault;
        f->partial = partial;
        g_queue_push_tail(&device->faults[direction], f);
    }
    pthread_mutex_unlock(&device->bed->lock);
}

void usbbed_device_unplug(UsbBedDevice* device) {
    UsbBed* bed = device->bed;
    pthread_mutex_lock(&bed->lock);
    const int already = device->gone;
    device->gone = 1;
    Urb* urb;
    while ((urb = g_queue_peek_head(&device->pending))) sFinishUrb(urb, -ESHUTDOWN, 0);
    for (GList* l = device->clients; l; l = l->next) {
        Client* client = l->data;
        if (client->blockedReap && g_queue_is_empty(&client->done)) {
            g_object_unref(client->blockedReap);
            client->blockedReap = NULL;
            umockdev_ioctl_client_complete(client->client, -1, ENODEV);
        }
    }
    sCloseBridge(device);
    device->unixPath[0] = '\0';
    sUpdateReadiness(device);
    pthread_mutex_unlock(&bed->lock);
    if (already) return;
    umockdev_testbed_uevent(bed->testbed, device->syspath, "remove");
    umockdev_testbed_remove_device(bed->testbed, device->syspath);
}

void usbbed_device_restart(UsbBedDevice* device, unsigned ms) {
    UsbBed* bed = device->bed;
    pthread_mutex_lock(&bed->lock);
    device->awayUntil = g_get_monotonic_time() + (int64_t)ms * 1000;
    for (GList* l = device->clients; l; l = l->next) ((Client*)l->data)->dead = 1;
    Urb* urb;
    while ((urb = g_queue_peek_head(&device->pending))) sFinishUrb(urb, -ESHUTDOWN, 0);
    sCloseBridge(device);
    pthread_mutex_unlock(&bed->lock);
}

void usbbed_device_stats(UsbBedDevice* device, UsbBedStats* stats) {
    pthread_mutex_lock(&device->bed->lock);
    *stats = device->stats;
    pthread_mutex_unlock(&device->bed->lock);
}

size_t usbbed_device_out_lengths(UsbBedDevice* device, unsigned* lengths, size_t max) {
    pthread_mutex_lock(&device->bed->lock);
    const size_t count = device->lengthCount;
    const size_t stored = count < LENGTH_LOG ? count : LENGTH_LOG;
    for (size_t i = 0; i < stored && i < max; i++) lengths[i] = device->lengths[i];
    pthread_mutex_unlock(&device->bed->lock);
    return count;
}

void usbbed_device_reset_log(UsbBedDevice* device) {
    pthread_mutex_lock(&device->bed->lock);
    device->lengthCount = 0;
    memset(&device->stats, 0, sizeof device->stats);
    pthread_mutex_unlock(&device->bed->lock);
}

/* ---- kernel nodes ---- */

static void sNodePath(const UsbBed* bed, const char* serial, char* path, size_t size) {
    snprintf(path, size, "%s/dev/corvalith.%s", bed->root, serial);
}

static int sMakeRaw(const char* target) {
    const int fd = open(target, O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (fd < 0) return -1;
    struct termios tio;
    int result = tcgetattr(fd, &tio);
    if (result == 0) {
        cfmakeraw(&tio);
        tio.c_cc[VMIN] = 0;
        tio.c_cc[VTIME] = 1;
        result = tcsetattr(fd, TCSANOW, &tio);
    }
    const int saved = errno;
    close(fd);
    errno = saved;
    return result;
}

int usbbed_add_node(UsbBed* bed, const char* serial, const char* target) {
    if (!bed || !serial || !target) {
        errno = EINVAL;
        return -1;
    }
    if (sMakeRaw(target) != 0) return -1;
    char dir[4096], path[4096];
    snprintf(dir, sizeof dir, "%s/dev", bed->root);
    mkdir(dir, 0755);
    sNodePath(bed, serial, path, sizeof path);
    unlink(path);
    return symlink(target, path);
}

int usbbed_add_node_pty(UsbBed* bed, const char* serial) {
    const int master = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (master < 0) return -1;
    char name[256];
    if (grantpt(master) != 0 || unlockpt(master) != 0 || ptsname_r(master, name, sizeof name) != 0 ||
        usbbed_add_node(bed, serial, name) != 0) {
        close(master);
        return -1;
    }
    fcntl(master, F_SETFL, fcntl(master, F_GETFL) | O_NONBLOCK);
    return master;
}

void usbbed_remove_node(UsbBed* bed, const char* serial) {
    char path[4096];
    sNodePath(bed, serial, path, sizeof path);
    unlink(path);
}
