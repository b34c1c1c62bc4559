/* USB test bed: modules emulated as usbfs devices in a umockdev testbed, so that the
 * real libusb (under umockdev's preload library) finds, opens and talks to them.
 *
 * Each device's bulk OUT endpoint feeds a byte pipe and its bulk IN endpoint drains
 * one: the peer is either a Unix-domain stream socket (a module simulator) or a file
 * descriptor the caller holds (a test playing the module in-process). Faults can be
 * queued per endpoint, and a device can be unplugged while it is open.
 *
 * Kernel device nodes are emulated as "dev/corvalith.<serial>" symlinks in the
 * testbed's /dev, pointing at a pseudo-terminal slave set raw (VMIN 0, VTIME 1). */
#ifndef USBBED_H
#define USBBED_H

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

#define USBBED_MODULE_VENDOR 0x3F1Du

typedef struct UsbBed UsbBed;
typedef struct UsbBedDevice UsbBedDevice;

typedef enum {
    USBBED_LAYOUT_MODULE = 0,    /* 0xFF/0x88/0x10 interface, bulk IN 0x81 and OUT 0x02 */
    USBBED_LAYOUT_INTERRUPT = 1, /* the same interface with interrupt endpoints */
    USBBED_LAYOUT_IN_ONLY = 2,   /* the module interface with only its IN endpoint */
    USBBED_LAYOUT_FOREIGN = 3,   /* one vendor interface 0xFF/0x00/0x00, no module interface */
} UsbBedLayout;

typedef struct {
    const char* serial; /* iSerialNumber text, used verbatim (normally 8 hex digits) */
    uint8_t model;      /* low byte of the product id */
    uint16_t vendor;    /* 0: USBBED_MODULE_VENDOR */
    uint16_t product;   /* 0: the model number; else the whole product id */
    UsbBedLayout layout;
} UsbBedDeviceSpec;

typedef enum { USBBED_OUT = 0, USBBED_IN = 1 } UsbBedDirection;

typedef enum {
    USBBED_FAULT_STALL = 1,   /* the transfer ends with a stall (libusb: PIPE), nothing moves */
    USBBED_FAULT_IO = 2,      /* the transfer ends with a protocol error (libusb: IO) */
    USBBED_FAULT_TIMEOUT = 3, /* OUT: `partial` bytes go, then the endpoint NAKs until the
                                 host gives up (libusb: TIMEOUT with that count); IN: the
                                 endpoint sends nothing until the host gives up */
    USBBED_FAULT_EMPTY = 4,   /* IN: the transfer succeeds with zero bytes */
} UsbBedFault;

/* Creates the testbed (it sets UMOCKDEV_DIR for this process) and its relay thread.
 * NULL on failure. Only one bed per process. */
UsbBed* usbbed_new(void);
/* Stops the relay thread, closes every pipe and removes the testbed. */
void usbbed_free(UsbBed* bed);
/* The testbed's root directory (the value of UMOCKDEV_DIR). */
const char* usbbed_root_dir(const UsbBed* bed);

/* Adds a device and announces it to udev listeners. NULL on failure. */
UsbBedDevice* usbbed_add_device(UsbBed* bed, const UsbBedDeviceSpec* spec);
/* "/dev/bus/usb/BBB/DDD" of the device. */
const char* usbbed_device_node(const UsbBedDevice* device);
/* The device's serial string as given. */
const char* usbbed_device_serial(const UsbBedDevice* device);

/* Makes a socket pair and bridges the device to one end; returns the other end (the
 * module's side, owned by the caller; bytes the host writes come out of it, bytes
 * written to it reach the host). -1 on failure. Replaces any earlier bridge. */
int usbbed_device_open_pipe(UsbBedDevice* device);
/* Bridges the device to a module program listening on a Unix-domain stream socket.
 * The connection is made when a host first claims the interface, and made again at a
 * later claim when the program had closed it. 0, or -1 for a path too long. */
int usbbed_device_bridge_unix(UsbBedDevice* device, const char* path);

/* Queues `count` faults of one kind on one endpoint; each following transfer on that
 * endpoint takes one. `partial` is used by USBBED_FAULT_TIMEOUT on OUT only. */
void usbbed_device_fault(UsbBedDevice* device, UsbBedDirection direction, UsbBedFault fault, unsigned count,
                         unsigned partial);
/* The device disappears: pending transfers end with "no device", every later request
 * on an open handle fails with ENODEV, and it leaves sysfs (udev "remove"). The
 * record stays valid until usbbed_free. */
void usbbed_device_unplug(UsbBedDevice* device);

/* The module restarts in place for `ms` milliseconds, as many do into their loader: the
 * device stays listed and its descriptors answer, but pending bulk transfers end with
 * "no device" and every bulk transfer on a handle opened before the restart ends (or
 * during it) is refused with ENODEV (libusb: NO_DEVICE), for good. The bridge's
 * connection closes; a claim after the restart connects again. */
void usbbed_device_restart(UsbBedDevice* device, unsigned ms);

/* Observations, for tests. */
typedef struct {
    unsigned outTransfers; /* OUT transfers submitted (faulted ones included) */
    unsigned inTransfers;  /* IN transfers submitted */
    unsigned clearHalts;   /* CLEAR_HALT requests */
    unsigned claims;       /* successful interface claims */
    unsigned opens;        /* device node opens */
    uint64_t bytesOut;     /* bytes the bed accepted from the host on OUT */
    uint64_t bytesIn;      /* bytes handed to the host on IN */
} UsbBedStats;
void usbbed_device_stats(UsbBedDevice* device, UsbBedStats* stats);
/* Lengths the host asked for in its OUT transfers, oldest first; at most `max` are
 * stored. Returns the number of OUT transfers since the last reset. */
size_t usbbed_device_out_lengths(UsbBedDevice* device, unsigned* lengths, size_t max);
void usbbed_device_reset_log(UsbBedDevice* device);

/* Kernel-node path. A node for `serial` pointing at an existing terminal `target`
 * (set raw, VMIN 0, VTIME 1). 0, or -1 with errno. */
int usbbed_add_node(UsbBed* bed, const char* serial, const char* target);
/* A node for `serial` on a fresh pseudo-terminal; returns its master side (owned by
 * the caller, non-blocking) or -1. */
int usbbed_add_node_pty(UsbBed* bed, const char* serial);
/* Removes the node of `serial` (the terminal stays). */
void usbbed_remove_node(UsbBed* bed, const char* serial);

/* HID devices for hidapi's hidraw back end: a /dev/hidrawN node (N counts up) whose
 * reports travel as packets on a Unix SOCK_SEQPACKET socket that a device program
 * listens on at `bridgePath` (connected at once): a host write is one packet to the
 * program, a packet from the program is one report for the host's next read. NULL on
 * failure. */
typedef struct UsbBedHidraw UsbBedHidraw;
UsbBedHidraw* usbbed_add_hidraw(UsbBed* bed, uint16_t vendor, uint16_t product, const char* bridgePath);
/* Removes the node and its sysfs chain and closes the connection. */
void usbbed_remove_hidraw(UsbBedHidraw* hidraw);
/* The bed's umockdev testbed (a UMockdevTestbed*). */
struct _UMockdevTestbed* usbbed_testbed(UsbBed* bed);

#ifdef __cplusplus
}
#endif

#endif
