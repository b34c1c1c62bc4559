/* usbbed: runs a program with emulated module devices visible through libusb.
 *
 *   usbbed [--device SPEC]... [--node SPEC]... [--hidraw VID:PID:PATH]... [--control PATH] [--user UID:GID]
 *          [-- PROGRAM ARGS...]
 *
 * Device SPEC, comma-separated keys:
 *   serial=TEXT           iSerialNumber (required; normally 8 hex digits)
 *   model=N               low byte of the product id (decimal or 0x..)
 *   vendor=N, product=N   override the vendor id (0x3F1D) or the whole product id
 *   layout=module|interrupt|in-only|foreign
 *   bridge=unix:PATH      relay the endpoints to a module program listening there
 *   fault=DIR:KIND[:COUNT[:PARTIAL]]   DIR out|in, KIND stall|io|timeout|empty (repeatable)
 *   unplug-after=MS       the device disappears MS milliseconds after the start
 *   access=GID            the device node belongs to group GID with mode 0660, as a udev
 *                         rule leaves it (without it: root's, mode 0644, as umockdev makes it)
 * Node SPEC: serial=TEXT,path=TERMINAL makes /dev/corvalith.TEXT a link to TERMINAL.
 *
 * --control PATH takes line commands on a Unix-domain stream socket, each answered
 * with "ok" or "error <why>":
 *   fault SERIAL DIR KIND [COUNT [PARTIAL]] | unplug SERIAL | restart SERIAL MS | add DEVICE-SPEC |
 *   stats SERIAL (answers "ok out=N in=N halts=N claims=N opens=N bytes-out=N bytes-in=N")
 *
 * --user UID:GID runs the program as that user, with GID as its only group, and opens
 * the testbed's own files to it; the device nodes keep their owner and mode, so the
 * kernel refuses a node the user may not open, as on a host without the udev rule.
 *
 * With a program, its exit code is returned (128 + signal when killed). Without one,
 * the bed prints "UMOCKDEV_DIR=<root>" and serves until SIGINT or SIGTERM; programs
 * run with that variable and LD_PRELOAD=libumockdev-preload.so.0 see the devices. */
#define _GNU_SOURCE
#include <errno.h>
#include <grp.h>
#include <poll.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include "usbbed.h"

#define MAX_DEVICES 32
#define MAX_CONTROL_CLIENTS 8

typedef struct {
    UsbBedDevice* device;
    long unplugAt; /* ms since start, or -1 */
} Managed;

static Managed sManaged[MAX_DEVICES];
static size_t sManagedCount = 0;
static volatile sig_atomic_t sSignal = 0;

static void sOnSignal(int number) {
    sSignal = number;
}

static long sNowMs(void) {
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return ts.tv_sec * 1000L + ts.tv_nsec / 1000000L;
}

static int sParseNumber(const char* text, unsigned long max, unsigned long* value) {
    char* end = NULL;
    errno = 0;
    const unsigned long v = strtoul(text, &end, 0);
    if (errno || end == text || *end != '\0' || v > max) return -1;
    *value = v;
    return 0;
}

static int sParseDirection(const char* text, UsbBedDirection* direction) {
    if (strcmp(text, "out") == 0)
        *direction = USBBED_OUT;
    else if (strcmp(text, "in") == 0)
        *direction = USBBED_IN;
    else
        return -1;
    return 0;
}

static int sParseFaultKind(const char* text, UsbBedFault* kind) {
    if (strcmp(text, "stall") == 0)
        *kind = USBBED_FAULT_STALL;
    else if (strcmp(text, "io") == 0)
        *kind = USBBED_FAULT_IO;
    else if (strcmp(text, "timeout") == 0)
        *kind = USBBED_FAULT_TIMEOUT;
    else if (strcmp(text, "empty") == 0)
        *kind = USBBED_FAULT_EMPTY;
    else
        return -1;
    return 0;
}

/* The device added last with that serial: a module that left the bus and came back
 * is the new device. */
static UsbBedDevice* sFindDevice(const char* serial) {
    for (size_t i = sManagedCount; i > 0; i--)
        if (strcmp(usbbed_device_serial(sManaged[i - 1].device), serial) == 0) return sManaged[i - 1].device;
    return NULL;
}

/* Faults and bridges are applied after the device exists, so collect them first. */
typedef struct {
    UsbBedDirection direction;
    UsbBedFault kind;
    unsigned count, partial;
} FaultSpec;

/* umockdev carries a node's requests over a socket that every opener connects to, even
 * one the node itself refused: it must be open to all, or an unprivileged program dies in
 * the preload library instead of seeing the node's own answer. */
static void sOpenEmulation(UsbBed* bed, UsbBedDevice* device) {
    char path[1024];
    snprintf(path, sizeof path, "%s/ioctl%s", usbbed_root_dir(bed), usbbed_device_node(device));
    chmod(path, 0666);
}

/* What a udev rule with GROUP= and MODE="0660" does to the node. */
static int sGrantGroup(UsbBed* bed, UsbBedDevice* device, gid_t group) {
    char path[1024];
    snprintf(path, sizeof path, "%s%s", usbbed_root_dir(bed), usbbed_device_node(device));
    return chown(path, 0, group) == 0 && chmod(path, 0660) == 0 ? 0 : -1;
}

static int sAddDeviceFromSpec(UsbBed* bed, const char* text, long startMs, char* why, size_t whySize) {
    char* copy = strdup(text);
    UsbBedDeviceSpec spec;
    memset(&spec, 0, sizeof spec);
    const char* bridge = NULL;
    FaultSpec faults[16];
    size_t faultCount = 0;
    long unplugAfter = -1;
    long accessGroup = -1;
    int ok = 1;
    char* save = NULL;
    for (char* item = strtok_r(copy, ",", &save); item && ok; item = strtok_r(NULL, ",", &save)) {
        char* value = strchr(item, '=');
        if (!value) {
            snprintf(why, whySize, "'%s' is not key=value", item);
            ok = 0;
            break;
        }
        *value++ = '\0';
        unsigned long n = 0;
        if (strcmp(item, "serial") == 0) {
            spec.serial = value;
        } else if (strcmp(item, "model") == 0 && sParseNumber(value, 0xFF, &n) == 0) {
            spec.model = (uint8_t)n;
        } else if (strcmp(item, "vendor") == 0 && sParseNumber(value, 0xFFFF, &n) == 0) {
            spec.vendor = (uint16_t)n;
        } else if (strcmp(item, "product") == 0 && sParseNumber(value, 0xFFFF, &n) == 0) {
            spec.product = (uint16_t)n;
        } else if (strcmp(item, "layout") == 0) {
            if (strcmp(value, "module") == 0)
                spec.layout = USBBED_LAYOUT_MODULE;
            else if (strcmp(value, "interrupt") == 0)
                spec.layout = USBBED_LAYOUT_INTERRUPT;
            else if (strcmp(value, "in-only") == 0)
                spec.layout = USBBED_LAYOUT_IN_ONLY;
            else if (strcmp(value, "foreign") == 0)
                spec.layout = USBBED_LAYOUT_FOREIGN;
            else
                ok = 0;
        } else if (strcmp(item, "bridge") == 0 && strncmp(value, "unix:", 5) == 0) {
            bridge = value + 5;
        } else if (strcmp(item, "fault") == 0 && faultCount < 16) {
            char* parts[4] = {NULL, NULL, NULL, NULL};
            char* fsave = NULL;
            int p = 0;
            for (char* f = strtok_r(value, ":", &fsave); f && p < 4; f = strtok_r(NULL, ":", &fsave)) parts[p++] = f;
            FaultSpec* fs = &faults[faultCount];
            unsigned long count = 1, partial = 0;
            if (p < 2 || sParseDirection(parts[0], &fs->direction) != 0 || sParseFaultKind(parts[1], &fs->kind) != 0 ||
                (parts[2] && sParseNumber(parts[2], 100000, &count) != 0) ||
                (parts[3] && sParseNumber(parts[3], 100000, &partial) != 0)) {
                ok = 0;
            } else {
                fs->count = (unsigned)count;
                fs->partial = (unsigned)partial;
                faultCount++;
            }
        } else if (strcmp(item, "unplug-after") == 0 && sParseNumber(value, 86400000UL, &n) == 0) {
            unplugAfter = (long)n;
        } else if (strcmp(item, "access") == 0 && sParseNumber(value, 0x7FFFFFFFUL, &n) == 0) {
            accessGroup = (long)n;
        } else {
            ok = 0;
        }
        if (!ok) snprintf(why, whySize, "bad device key '%s'", item);
    }
    if (ok && !spec.serial) {
        snprintf(why, whySize, "a device needs serial=");
        ok = 0;
    }
    if (ok && sManagedCount >= MAX_DEVICES) {
        snprintf(why, whySize, "too many devices");
        ok = 0;
    }
    UsbBedDevice* device = ok ? usbbed_add_device(bed, &spec) : NULL;
    if (ok && !device) {
        snprintf(why, whySize, "cannot add device %s", spec.serial);
        ok = 0;
    }
    if (ok) sOpenEmulation(bed, device);
    if (ok && accessGroup >= 0 && sGrantGroup(bed, device, (gid_t)accessGroup) != 0) {
        snprintf(why, whySize, "cannot grant group %ld access to %s", accessGroup, spec.serial);
        ok = 0;
    }
    if (ok && bridge && usbbed_device_bridge_unix(device, bridge) != 0) {
        snprintf(why, whySize, "bridge path too long");
        ok = 0;
    }
    if (ok) {
        for (size_t i = 0; i < faultCount; i++)
            usbbed_device_fault(device, faults[i].direction, faults[i].kind, faults[i].count, faults[i].partial);
        sManaged[sManagedCount].device = device;
        sManaged[sManagedCount].unplugAt = unplugAfter >= 0 ? sNowMs() - startMs + unplugAfter : -1;
        sManagedCount++;
    }
    free(copy);
    return ok ? 0 : -1;
}

static int sAddNodeFromSpec(UsbBed* bed, const char* text) {
    char* copy = strdup(text);
    const char* serial = NULL;
    const char* path = NULL;
    char* save = NULL;
    for (char* item = strtok_r(copy, ",", &save); item; item = strtok_r(NULL, ",", &save)) {
        if (strncmp(item, "serial=", 7) == 0)
            serial = item + 7;
        else if (strncmp(item, "path=", 5) == 0)
            path = item + 5;
    }
    int result = -1;
    if (serial && path) {
        result = usbbed_add_node(bed, serial, path);
        if (result != 0) fprintf(stderr, "usbbed: node %s -> %s: %s\n", serial, path, strerror(errno));
    } else {
        fprintf(stderr, "usbbed: a node needs serial= and path=\n");
    }
    free(copy);
    return result;
}

static int sListen(const char* path) {
    struct sockaddr_un address;
    memset(&address, 0, sizeof address);
    address.sun_family = AF_UNIX;
    if (strlen(path) >= sizeof address.sun_path) return -1;
    strcpy(address.sun_path, path);
    const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return -1;
    unlink(path);
    if (bind(fd, (struct sockaddr*)&address, sizeof address) != 0 || listen(fd, 4) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

static void sAnswer(int fd, const char* text) {
    const size_t n = strlen(text);
    ssize_t w = write(fd, text, n);
    (void)w;
}

static void sControlLine(UsbBed* bed, int fd, char* line, long startMs) {
    char why[256] = "";
    char* save = NULL;
    char* verb = strtok_r(line, " \t", &save);
    if (!verb) return;
    if (strcmp(verb, "add") == 0) {
        char* spec = strtok_r(NULL, " \t", &save);
        if (spec && sAddDeviceFromSpec(bed, spec, startMs, why, sizeof why) == 0) {
            sAnswer(fd, "ok\n");
            return;
        }
    } else {
        char* serial = strtok_r(NULL, " \t", &save);
        UsbBedDevice* device = serial ? sFindDevice(serial) : NULL;
        if (!device) {
            snprintf(why, sizeof why, "no device %s", serial ? serial : "");
        } else if (strcmp(verb, "unplug") == 0) {
            usbbed_device_unplug(device);
            sAnswer(fd, "ok\n");
            return;
        } else if (strcmp(verb, "restart") == 0) {
            char* ms = strtok_r(NULL, " \t", &save);
            unsigned long n = 0;
            if (ms && sParseNumber(ms, 600000, &n) == 0) {
                usbbed_device_restart(device, (unsigned)n);
                sAnswer(fd, "ok\n");
                return;
            }
            snprintf(why, sizeof why, "usage: restart SERIAL MS");
        } else if (strcmp(verb, "stats") == 0) {
            UsbBedStats s;
            usbbed_device_stats(device, &s);
            char text[256];
            snprintf(text, sizeof text, "ok out=%u in=%u halts=%u claims=%u opens=%u bytes-out=%llu bytes-in=%llu\n",
                     s.outTransfers, s.inTransfers, s.clearHalts, s.claims, s.opens, (unsigned long long)s.bytesOut,
                     (unsigned long long)s.bytesIn);
            sAnswer(fd, text);
            return;
        } else if (strcmp(verb, "fault") == 0) {
            char* dir = strtok_r(NULL, " \t", &save);
            char* kind = strtok_r(NULL, " \t", &save);
            char* count = strtok_r(NULL, " \t", &save);
            char* partial = strtok_r(NULL, " \t", &save);
            UsbBedDirection d;
            UsbBedFault k;
            unsigned long c = 1, p = 0;
            if (dir && kind && sParseDirection(dir, &d) == 0 && sParseFaultKind(kind, &k) == 0 &&
                (!count || sParseNumber(count, 100000, &c) == 0) &&
                (!partial || sParseNumber(partial, 100000, &p) == 0)) {
                usbbed_device_fault(device, d, k, (unsigned)c, (unsigned)p);
                sAnswer(fd, "ok\n");
                return;
            }
            snprintf(why, sizeof why, "usage: fault SERIAL out|in stall|io|timeout|empty [COUNT [PARTIAL]]");
        } else {
            snprintf(why, sizeof why, "unknown command %s", verb);
        }
    }
    char text[300];
    snprintf(text, sizeof text, "error %s\n", why[0] ? why : "bad command");
    sAnswer(fd, text);
}

typedef struct {
    int fd;
    char buffer[1024];
    size_t length;
} ControlClient;

static void sUsage(void) {
    fprintf(stderr,
            "usage: usbbed [--device SPEC]... [--node serial=S,path=TTY]... [--hidraw VID:PID:PATH]... "
            "[--control PATH] [--user UID:GID] [-- PROGRAM ARGS...]\n"
            "  device keys: serial=,model=,vendor=,product=,layout=module|interrupt|in-only|foreign,\n"
            "               bridge=unix:PATH,fault=out|in:stall|io|timeout|empty[:COUNT[:PARTIAL]],"
            "unplug-after=MS,access=GID\n"
            "  --user UID:GID runs the program as that user and group\n");
}

static void sPrepareChildEnvironment(void) {
    const char* preload = getenv("LD_PRELOAD");
    char* value = NULL;
    if (preload && strstr(preload, "libumockdev-preload")) {
        value = strdup(preload);
    } else if (preload && *preload) {
        if (asprintf(&value, "libumockdev-preload.so.0:%s", preload) < 0) value = NULL;
    } else {
        value = strdup("libumockdev-preload.so.0");
    }
    if (value) setenv("LD_PRELOAD", value, 1);
    free(value);
    /* an ASan program refuses to start when another library is preloaded first */
    const char* asan = getenv("ASAN_OPTIONS");
    if (!asan || !strstr(asan, "verify_asan_link_order")) {
        char* options = NULL;
        if (asprintf(&options, "%s%sverify_asan_link_order=0", asan ? asan : "", asan && *asan ? ":" : "") >= 0) {
            setenv("ASAN_OPTIONS", options, 1);
            free(options);
        }
    }
}

/* The bed announces devices through libudev, which must see the testbed's sysfs: the
 * bed itself runs under the preload library, so it starts itself again under it. */
static int sEnsurePreloaded(char** argv) {
    const char* preload = getenv("LD_PRELOAD");
    if (preload && strstr(preload, "libumockdev-preload")) return 0;
    sPrepareChildEnvironment();
    execv("/proc/self/exe", argv);
    fprintf(stderr, "usbbed: cannot restart under the preload library: %s\n", strerror(errno));
    return -1;
}

int main(int argc, char** argv) {
    if (sEnsurePreloaded(argv) != 0) return 2;
    const char* control = NULL;
    const char* devices[MAX_DEVICES];
    const char* nodes[MAX_DEVICES];
    const char* hidraws[MAX_DEVICES];
    size_t deviceCount = 0, nodeCount = 0, hidrawCount = 0;
    char** program = NULL;
    long userId = -1, groupId = -1;
    for (int i = 1; i < argc; i++) {
        if (strcmp(argv[i], "--") == 0) {
            if (i + 1 < argc) program = &argv[i + 1];
            break;
        } else if (strcmp(argv[i], "--device") == 0 && i + 1 < argc && deviceCount < MAX_DEVICES) {
            devices[deviceCount++] = argv[++i];
        } else if (strcmp(argv[i], "--node") == 0 && i + 1 < argc && nodeCount < MAX_DEVICES) {
            nodes[nodeCount++] = argv[++i];
        } else if (strcmp(argv[i], "--hidraw") == 0 && i + 1 < argc && hidrawCount < MAX_DEVICES) {
            hidraws[hidrawCount++] = argv[++i];
        } else if (strcmp(argv[i], "--control") == 0 && i + 1 < argc) {
            control = argv[++i];
        } else if (strcmp(argv[i], "--user") == 0 && i + 1 < argc &&
                   sscanf(argv[i + 1], "%ld:%ld", &userId, &groupId) == 2 && userId >= 0 && groupId >= 0) {
            i++;
        } else {
            sUsage();
            return strcmp(argv[i], "--help") == 0 || strcmp(argv[i], "-h") == 0 ? 0 : 2;
        }
    }

    UsbBed* bed = usbbed_new();
    if (!bed) {
        fprintf(stderr, "usbbed: cannot create the testbed\n");
        return 2;
    }
    const long startMs = sNowMs();
    for (size_t i = 0; i < deviceCount; i++) {
        char why[256];
        if (sAddDeviceFromSpec(bed, devices[i], startMs, why, sizeof why) != 0) {
            fprintf(stderr, "usbbed: %s\n", why);
            usbbed_free(bed);
            return 2;
        }
    }
    for (size_t i = 0; i < nodeCount; i++) {
        if (sAddNodeFromSpec(bed, nodes[i]) != 0) {
            usbbed_free(bed);
            return 2;
        }
    }
    for (size_t i = 0; i < hidrawCount; i++) {
        unsigned vendor = 0, product = 0;
        int pathAt = 0;
        if (sscanf(hidraws[i], "%x:%x:%n", &vendor, &product, &pathAt) != 2 || pathAt == 0 || vendor > 0xFFFF ||
            product > 0xFFFF || !usbbed_add_hidraw(bed, (uint16_t)vendor, (uint16_t)product, hidraws[i] + pathAt)) {
            fprintf(stderr, "usbbed: cannot add hidraw %s\n", hidraws[i]);
            usbbed_free(bed);
            return 2;
        }
    }
    if (userId >= 0) {
        /* the program's preload library makes its own sockets in the testbed's root */
        char path[1024];
        snprintf(path, sizeof path, "%s/ioctl/_default", usbbed_root_dir(bed));
        chmod(path, 0666);
        chmod(usbbed_root_dir(bed), 01777);
    }
    const int listenFd = control ? sListen(control) : -1;
    if (control && listenFd < 0) {
        fprintf(stderr, "usbbed: cannot listen on %s: %s\n", control, strerror(errno));
        usbbed_free(bed);
        return 2;
    }

    struct sigaction action;
    memset(&action, 0, sizeof action);
    action.sa_handler = sOnSignal;
    sigaction(SIGINT, &action, NULL);
    sigaction(SIGTERM, &action, NULL);

    pid_t child = -1;
    if (program) {
        const pid_t self = getpid();
        child = fork();
        if (child == 0) {
            sPrepareChildEnvironment();
            signal(SIGINT, SIG_DFL);
            signal(SIGTERM, SIG_DFL);
            if (userId >= 0) {
                const gid_t group = (gid_t)groupId;
                if (setgroups(1, &group) != 0 || setgid(group) != 0 || setuid((uid_t)userId) != 0) {
                    fprintf(stderr, "usbbed: cannot become %ld:%ld: %s\n", userId, groupId, strerror(errno));
                    _exit(127);
                }
            }
            /* the program ends with the bed, whatever ends the bed (set after the
             * user change, which clears it) */
            prctl(PR_SET_PDEATHSIG, SIGTERM);
            if (getppid() != self) _exit(127);
            execvp(program[0], program);
            fprintf(stderr, "usbbed: cannot run %s: %s\n", program[0], strerror(errno));
            _exit(127);
        }
        if (child < 0) {
            fprintf(stderr, "usbbed: fork: %s\n", strerror(errno));
            usbbed_free(bed);
            return 2;
        }
    } else {
        printf("UMOCKDEV_DIR=%s\n", usbbed_root_dir(bed));
        fflush(stdout);
    }

    ControlClient clients[MAX_CONTROL_CLIENTS];
    size_t clientCount = 0;
    int exitCode = 0;
    int forwarded = 0;
    for (;;) {
        if (child > 0) {
            int status = 0;
            if (waitpid(child, &status, WNOHANG) == child) {
                exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
                break;
            }
            if (sSignal && !forwarded) {
                kill(child, sSignal);
                forwarded = 1;
            }
        } else if (sSignal) {
            break;
        }
        const long now = sNowMs() - startMs;
        for (size_t i = 0; i < sManagedCount; i++) {
            if (sManaged[i].unplugAt >= 0 && now >= sManaged[i].unplugAt) {
                usbbed_device_unplug(sManaged[i].device);
                sManaged[i].unplugAt = -1;
            }
        }

        struct pollfd fds[MAX_CONTROL_CLIENTS + 1];
        nfds_t count = 0;
        if (listenFd >= 0) {
            fds[count].fd = listenFd;
            fds[count].events = POLLIN;
            count++;
        }
        for (size_t i = 0; i < clientCount; i++) {
            fds[count].fd = clients[i].fd;
            fds[count].events = POLLIN;
            count++;
        }
        poll(fds, count, 20);
        size_t base = 0;
        if (listenFd >= 0) {
            base = 1;
            if (fds[0].revents & POLLIN) {
                const int fd = accept4(listenFd, NULL, NULL, SOCK_CLOEXEC);
                if (fd >= 0 && clientCount < MAX_CONTROL_CLIENTS) {
                    clients[clientCount].fd = fd;
                    clients[clientCount].length = 0;
                    clientCount++;
                } else if (fd >= 0) {
                    close(fd);
                }
            }
        }
        for (size_t i = 0; i < clientCount && base + i < count; i++) {
            if (!fds[base + i].revents) continue;
            ControlClient* cc = &clients[i];
            const ssize_t n = read(cc->fd, cc->buffer + cc->length, sizeof cc->buffer - 1 - cc->length);
            if (n <= 0) {
                close(cc->fd);
                cc->fd = -1;
                continue;
            }
            cc->length += (size_t)n;
            cc->buffer[cc->length] = '\0';
            char* newline;
            while ((newline = strchr(cc->buffer, '\n'))) {
                *newline = '\0';
                if (newline > cc->buffer && newline[-1] == '\r') newline[-1] = '\0';
                sControlLine(bed, cc->fd, cc->buffer, startMs);
                const size_t used = (size_t)(newline + 1 - cc->buffer);
                memmove(cc->buffer, newline + 1, cc->length - used + 1);
                cc->length -= used;
            }
            if (cc->length == sizeof cc->buffer - 1) cc->length = 0;
        }
        size_t kept = 0;
        for (size_t i = 0; i < clientCount; i++)
            if (clients[i].fd >= 0) clients[kept++] = clients[i];
        clientCount = kept;
    }

    for (size_t i = 0; i < clientCount; i++) close(clients[i].fd);
    if (listenFd >= 0) {
        close(listenFd);
        unlink(control);
    }
    usbbed_free(bed);
    return exitCode;
}
