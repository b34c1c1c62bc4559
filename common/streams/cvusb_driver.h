// The USB driver of the link core: opens one module by its serial string and moves
// bytes to and from it, through the kernel driver's node "/dev/corvalith.%08X" when it
// exists, else through libusb on the process-wide context.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>

#include <libusb.h>

#include "aCheckedMutex.h"
#include "aError.h"
#include "aThreadSafety.h"

#define CVUSB_VENDOR_ID 0x3F1D
#define CVUSB_PRODUCT_LIMIT 0x8000  // module product ids lie below it
#define CVUSB_INTERFACE_CLASS 0xFF
#define CVUSB_INTERFACE_SUBCLASS 0x88
#define CVUSB_INTERFACE_PROTOCOL 0x10
#define CVUSB_NODE_FORMAT "/dev/corvalith.%08X"
#define CVUSB_SERIAL_SIZE 50
#define CVUSB_RECEIVE_SIZE 800
#define CVUSB_READ_TIMEOUT_MS 1000
#define CVUSB_WRITE_CHUNK 50
#define CVUSB_WRITE_TIMEOUT_MS 50
#define CVUSB_WRITE_ATTEMPTS 100
#define CVUSB_KERNEL_WRITE_CALLS 1000
#define CVUSB_TOLERATED_ERRORS 4

// Access modes.
enum {
    CVUSB_MODE_KERNEL = 0,
    CVUSB_MODE_USBLIB = 1,
};

// Device states.
enum {
    CVUSB_STATE_CREATED = 1,
    CVUSB_STATE_CLOSED = 2,
    CVUSB_STATE_FOUND = 3,
    CVUSB_STATE_READY = 4,
    CVUSB_STATE_FAILED = 5,
};

// One open module. The link's reader thread uses the read side and its writer thread
// the write side at the same time; they share only the state and the error count.
// Open, close and destroy are the stream owner's, called while neither thread runs.
struct cvusb_device {
    // Set at creation, before another thread sees the record.
    uint32_t mode;
    // The owner's (open and close); the reader and writer only read them.
    char serial[CVUSB_SERIAL_SIZE + 1];
    libusb_device_handle* handle;
    uint8_t interfaceNumber;
    uint8_t outEndpoint;
    uint8_t inEndpoint;
    int32_t descriptor;  // kernel node; -1 while closed
    std::atomic<uint32_t> state;
    std::atomic<uint8_t> errorCount;
    // The reader's (open and close reset them): the bytes of the last transfer not yet
    // handed out.
    uint8_t receiveBuffer[CVUSB_RECEIVE_SIZE];
    uint8_t* nextByte;
    uint32_t available;
    // The libusb read: one asynchronous IN transfer, completed by the context's
    // event thread, so a waiting reader can be woken and a lost device ends the wait.
    // The buffer is libusb's while the transfer is in flight and the reader's once it
    // has taken the completion under inLock.
    uint8_t transferBuffer[CVUSB_RECEIVE_SIZE];
    aCheckedMutex inLock;
    aCheckedCondition inChanged;
    libusb_transfer* inTransfer aGUARDED_BY(inLock);
    bool inFlight aGUARDED_BY(inLock);     // submitted and not yet completed
    bool inCompleted aGUARDED_BY(inLock);  // completed and not yet taken by the reader
    int inStatus aGUARDED_BY(inLock);      // libusb_transfer_status of the completed transfer
    int inLength aGUARDED_BY(inLock);      // bytes it carried
    bool woken aGUARDED_BY(inLock);        // the reader's current or next wait ends at once
};
typedef cvusb_device* cvusb_deviceRef;

// A zeroed record in state created; mode 1 makes sure the libusb context exists.
// NULL when memory runs out.
cvusb_deviceRef cvusb_create_usb(uint32_t mode);
// Closes what is still open, frees the record, clears the handle.
aErr cvusb_destroy(cvusb_deviceRef* device);
// True when "/dev/corvalith.%08X" exists.
bool cvusb_is_kernel_driver_installed(uint32_t serialNumber);

// Dispatch by access mode.
aErr cvusb_open_corvalith_device(cvusb_deviceRef device, const char* serial);
aErr cvusb_write_to_device(cvusb_deviceRef device, const uint8_t* data, size_t count);
// aErrNone only with a byte stored; aErrNotReady when none arrived in time (up to
// 1000 ms on the libusb path) or the wait was woken. On the libusb path reads and
// writes answer aErrConnection once a transfer found no device behind the handle, and
// from then on.
aErr cvusb_get_from_device(cvusb_deviceRef device, uint8_t* byte);
aErr cvusb_close_corvalith_device(cvusb_deviceRef device);
// Ends a read that waits for the module at once (answering aErrNotReady); with no read
// waiting, the next one ends at once. libusb path only; aErrMode for a kernel node,
// whose reads are short.
aErr cvusb_wake_reader(cvusb_deviceRef device);

// libusb path. Each answers aErrMode for a kernel-mode record.
aErr cvusb_open_corvalith_USBlib_device(cvusb_deviceRef device, const char* serial);
aErr cvusb_write_to_USBlib_device(cvusb_deviceRef device, const uint8_t* data, size_t count);
aErr cvusb_get_from_USBlib_device(cvusb_deviceRef device, uint8_t* byte);
aErr cvusb_close_corvalith_USBlib_device(cvusb_deviceRef device);

// Kernel node path. Each answers aErrMode for a libusb-mode record.
aErr cvusb_open_corvalith_kernel_device(cvusb_deviceRef device, const char* serial);
aErr cvusb_write_to_kernel_device(cvusb_deviceRef device, const uint8_t* data, size_t count);
aErr cvusb_get_from_kernel_device(cvusb_deviceRef device, uint8_t* byte);
aErr cvusb_close_corvalith_kernel_device(cvusb_deviceRef device);

// 0 when the module interface and both its endpoints were found on the open device.
int find_usb_endpoints(cvusb_deviceRef device);
// Vendor 0x3F1D and a product id below 0x8000.
bool is_corvalith_device(libusb_device* device);
