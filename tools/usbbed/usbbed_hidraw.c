/* A hidraw device node on the test bed, for the real hidapi (hidraw back end).
 *
 * The node's sysfs chain is USB device -> interface -> HID device -> hidraw, as hidapi
 * walks it. Reads and writes on the node reach umockdev's ioctl handler here; every
 * write is one output report, sent as one packet on a Unix SOCK_SEQPACKET connection to
 * the device program, and every packet the program sends is one input report, handed
 * out by a read. The node itself is a FIFO that holds one byte per waiting report, so
 * a poll() on it (hid_read_timeout) waits for a report as on a real hidraw node. */
#define _GNU_SOURCE
#include "usbbed.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/ioctl.h>
#include <linux/hidraw.h>
#include <poll.h>
#include <pthread.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>
#include <umockdev.h>

#define MAX_REPORT 2048

struct UsbBedHidraw {
    UMockdevTestbed* testbed;
    UMockdevIoctlBase* handler;
    char node[64];
    char fifoPath[512];
    char usbSyspath[256];
    int fifoFd; /* the bed's end of the node: one byte per waiting report */
    int peer;   /* connection to the device program */
    int stopFd[2];
    pthread_t reader;
    pthread_mutex_t lock;
    GQueue reports; /* GBytes*, input reports waiting for a read */
};

/* A report descriptor with input and output reports; hidapi only parses it for
 * numbered reports and the usage. */
static const uint8_t kDescriptor[] = {
    0x06, 0x00, 0xFF, /* usage page (vendor) */
    0x09, 0x01,       /* usage 1 */
    0xA1, 0x01,       /* collection (application) */
    0x85, 0x01, 0x19, 0x01, 0x29, 0x01, 0x15, 0x00, 0x26, 0xFF, 0x00, 0x75, 0x08, 0x95, 0x10, 0x91, 0x02, 0x85,
    0x02, 0x19, 0x01, 0x29, 0x01, 0x15, 0x00, 0x26, 0xFF, 0x00, 0x75, 0x08, 0x96, 0x00, 0x04, 0x91, 0x02, 0x85,
    0x03, 0x19, 0x01, 0x29, 0x01, 0x15, 0x00, 0x26, 0xFF, 0x00, 0x75, 0x08, 0x95, 0x04, 0x81, 0x02, 0x85, 0x04,
    0x19, 0x01, 0x29, 0x01, 0x15, 0x00, 0x26, 0xFF, 0x00, 0x75, 0x08, 0x95, 0x40, 0x81, 0x02, 0xC0,
};

static void* sRead(void* ref) {
    UsbBedHidraw* h = ref;
    uint8_t buffer[MAX_REPORT];
    for (;;) {
        struct pollfd fds[2] = {{h->peer, POLLIN, 0}, {h->stopFd[0], POLLIN, 0}};
        if (poll(fds, 2, -1) < 0 && errno != EINTR) break;
        if (fds[1].revents) break;
        if (!fds[0].revents) continue;
        const ssize_t n = recv(h->peer, buffer, sizeof buffer, 0);
        if (n <= 0) break;
        pthread_mutex_lock(&h->lock);
        g_queue_push_tail(&h->reports, g_bytes_new(buffer, (gsize)n));
        const char bell = 1;
        if (write(h->fifoFd, &bell, 1) != 1) perror("usbbed: hidraw doorbell");
        pthread_mutex_unlock(&h->lock);
    }
    return NULL;
}

static void sComplete(UMockdevIoctlClient* c, UMockdevIoctlData* arg, size_t size, const void* data, size_t n) {
    GError* error = NULL;
    UMockdevIoctlData* d = umockdev_ioctl_data_resolve(arg, 0, size, &error);
    if (!d) {
        g_clear_error(&error);
        umockdev_ioctl_client_complete(c, -1, EFAULT);
        return;
    }
    memcpy(d->data, data, n);
    g_object_unref(d);
    umockdev_ioctl_client_complete(c, 0, 0);
}

static gboolean sOnIoctl(UMockdevIoctlBase* handler, UMockdevIoctlClient* c, gpointer user) {
    (void)handler;
    (void)user;
    const gulong request = umockdev_ioctl_client_get_request(c);
    UMockdevIoctlData* arg = umockdev_ioctl_client_get_arg(c);
    if (request == HIDIOCGRDESCSIZE) {
        const int size = (int)sizeof kDescriptor;
        sComplete(c, arg, sizeof size, &size, sizeof size);
    } else if (request == HIDIOCGRDESC) {
        struct hidraw_report_descriptor d;
        memset(&d, 0, sizeof d);
        d.size = sizeof kDescriptor;
        memcpy(d.value, kDescriptor, sizeof kDescriptor);
        sComplete(c, arg, sizeof d, &d, sizeof d);
    } else if (request == HIDIOCGRAWINFO) {
        struct hidraw_devinfo info = {3, 0, 0};
        sComplete(c, arg, sizeof info, &info, sizeof info);
    } else {
        umockdev_ioctl_client_complete(c, -1, ENOTTY);
    }
    return TRUE;
}

/* One waiting input report per read, cut to the reader's buffer; EAGAIN when none. */
static gboolean sOnRead(UMockdevIoctlBase* handler, UMockdevIoctlClient* c, gpointer user) {
    (void)handler;
    UsbBedHidraw* h = user;
    UMockdevIoctlData* arg = umockdev_ioctl_client_get_arg(c);
    pthread_mutex_lock(&h->lock);
    GBytes* report = g_queue_pop_head(&h->reports);
    if (report) {
        char bell;
        if (read(h->fifoFd, &bell, 1) != 1) perror("usbbed: hidraw doorbell");
    }
    pthread_mutex_unlock(&h->lock);
    if (!report) {
        umockdev_ioctl_client_complete(c, -1, EAGAIN);
        return TRUE;
    }
    gsize n = 0;
    const void* data = g_bytes_get_data(report, &n);
    if (n > (gsize)arg->data_len) n = (gsize)arg->data_len;
    memcpy(arg->data, data, n);
    g_bytes_unref(report);
    umockdev_ioctl_client_complete(c, (glong)n, 0);
    return TRUE;
}

/* Every write is one output report for the device program. */
static gboolean sOnWrite(UMockdevIoctlBase* handler, UMockdevIoctlClient* c, gpointer user) {
    (void)handler;
    UsbBedHidraw* h = user;
    UMockdevIoctlData* arg = umockdev_ioctl_client_get_arg(c);
    const ssize_t n = send(h->peer, arg->data, (size_t)arg->data_len, MSG_NOSIGNAL);
    if (n < 0)
        umockdev_ioctl_client_complete(c, -1, EIO);
    else
        umockdev_ioctl_client_complete(c, (glong)n, 0);
    return TRUE;
}

static int sConnect(const char* path) {
    struct sockaddr_un addr;
    memset(&addr, 0, sizeof addr);
    addr.sun_family = AF_UNIX;
    if (strlen(path) >= sizeof addr.sun_path) return -1;
    strcpy(addr.sun_path, path);
    const int fd = socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
    if (fd < 0) return -1;
    if (connect(fd, (struct sockaddr*)&addr, sizeof addr) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

UsbBedHidraw* usbbed_add_hidraw(UsbBed* bed, uint16_t vendor, uint16_t product, const char* bridgePath) {
    /* umockdev keeps the bus and class links of removed devices: every node gets new names. */
    static unsigned nextNumber = 0;
    const unsigned number = __atomic_fetch_add(&nextNumber, 1, __ATOMIC_RELAXED);
    UMockdevTestbed* testbed = usbbed_testbed(bed);
    if (!testbed || !bridgePath) return NULL;
    UsbBedHidraw* h = calloc(1, sizeof *h);
    if (!h) return NULL;
    h->testbed = testbed;
    h->fifoFd = -1;
    h->stopFd[0] = h->stopFd[1] = -1;
    pthread_mutex_init(&h->lock, NULL);
    g_queue_init(&h->reports);
    h->peer = sConnect(bridgePath);
    if (h->peer < 0) {
        fprintf(stderr, "usbbed: cannot reach HID device program at %s\n", bridgePath);
        free(h);
        return NULL;
    }

    char name[64], vid[8], pid[8], hidId[64], hidName[64], devname[64], dev[16];
    snprintf(name, sizeof name, "hid-%u", number);
    snprintf(vid, sizeof vid, "%04x", vendor);
    snprintf(pid, sizeof pid, "%04x", product);
    gchar* usb = umockdev_testbed_add_device(testbed, "usb", name, NULL, "idVendor", vid, "idProduct", pid,
                                             "manufacturer", "usbbed", "product", "HID device", "bcdDevice", "0001",
                                             NULL, "DEVTYPE", "usb_device", NULL);
    snprintf(name, sizeof name, "hid-%u:1.0", number);
    gchar* intf = umockdev_testbed_add_device(testbed, "usb", name, usb, "bInterfaceNumber", "00", NULL, "DEVTYPE",
                                              "usb_interface", NULL);
    snprintf(name, sizeof name, "0003:%04X:%04X.%04u", vendor, product, number);
    snprintf(hidId, sizeof hidId, "0003:%08X:%08X", vendor, product);
    snprintf(hidName, sizeof hidName, "usbbed HID %04x:%04x", vendor, product);
    gchar* hid = umockdev_testbed_add_device(testbed, "hid", name, intf, NULL, "HID_ID", hidId, "HID_NAME", hidName,
                                             "HID_UNIQ", "", NULL);
    snprintf(name, sizeof name, "hidraw%u", number);
    snprintf(devname, sizeof devname, "/dev/hidraw%u", number);
    snprintf(dev, sizeof dev, "241:%u", number);
    gchar* raw = umockdev_testbed_add_device(testbed, "hidraw", name, hid, "dev", dev, NULL, "DEVNAME", devname, NULL);
    /* hidapi reads the HID device's uevent through the node's "device" link. */
    if (raw) umockdev_testbed_set_attribute_link(testbed, raw, "device", "..");
    snprintf(h->node, sizeof h->node, "%s", devname);
    snprintf(h->usbSyspath, sizeof h->usbSyspath, "%s", usb ? usb : "");
    const int ok = usb && intf && hid && raw;
    g_free(intf);
    g_free(hid);
    g_free(usb);
    if (!ok) {
        g_free(raw);
        close(h->peer);
        free(h);
        return NULL;
    }

    /* The node becomes a FIFO: it polls readable exactly while a report waits. */
    gchar* root = umockdev_testbed_get_root_dir(testbed);
    snprintf(h->fifoPath, sizeof h->fifoPath, "%s%s", root, devname);
    g_free(root);
    unlink(h->fifoPath);
    if (mkfifo(h->fifoPath, 0666) != 0 || (h->fifoFd = open(h->fifoPath, O_RDWR | O_NONBLOCK | O_CLOEXEC)) < 0 ||
        pipe2(h->stopFd, O_CLOEXEC) != 0) {
        perror("usbbed: hidraw node");
        g_free(raw);
        close(h->peer);
        free(h);
        return NULL;
    }
    h->handler = umockdev_ioctl_base_new();
    g_signal_connect(h->handler, "handle-ioctl", G_CALLBACK(sOnIoctl), h);
    g_signal_connect(h->handler, "handle-read", G_CALLBACK(sOnRead), h);
    g_signal_connect(h->handler, "handle-write", G_CALLBACK(sOnWrite), h);
    GError* error = NULL;
    if (!umockdev_testbed_attach_ioctl(testbed, h->node, h->handler, &error)) {
        fprintf(stderr, "usbbed: cannot attach %s: %s\n", h->node, error->message);
        g_clear_error(&error);
    }
    pthread_create(&h->reader, NULL, sRead, h);
    umockdev_testbed_uevent(testbed, raw, "add");
    g_free(raw);
    return h;
}

void usbbed_remove_hidraw(UsbBedHidraw* h) {
    if (!h) return;
    const char stop = 1;
    if (write(h->stopFd[1], &stop, 1) != 1) perror("usbbed: hidraw stop");
    pthread_join(h->reader, NULL);
    GError* error = NULL;
    umockdev_testbed_detach_ioctl(h->testbed, h->node, &error);
    g_clear_error(&error);
    umockdev_testbed_remove_device(h->testbed, h->usbSyspath);
    g_object_unref(h->handler);
    close(h->peer);
    close(h->fifoFd);
    close(h->stopFd[0]);
    close(h->stopFd[1]);
    unlink(h->fifoPath);
    GBytes* report;
    while ((report = g_queue_pop_head(&h->reports))) g_bytes_unref(report);
    pthread_mutex_destroy(&h->lock);
    free(h);
}
