#include "cvusb_driver.h"

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <new>
#include <unistd.h>

#include "Corvalith-C.h"
#include "aFile.h"
#include "aTrace.h"
#include "aUsbScan.h"

#define TRACE_USB 0x400u

namespace {

const uint8_t ERROR_COUNT_CAP = CVUSB_TOLERATED_ERRORS + 1;

// The module a stream opens: the first whose serial string is the wanted one exactly,
// so a module must give its serial in upper case to be opened.
struct SerialSearch {
    const char* wanted;
    libusb_device_handle* handle;
};

aUsbScanStep sTakeBySerial(libusb_device_handle* handle, const libusb_device_descriptor*, const char* serialText,
                           uint32_t, void* ref) {
    auto* search = static_cast<SerialSearch*>(ref);
    if (strcmp(serialText, search->wanted) != 0) return aUSBSCAN_NEXT;
    search->handle = handle;
    return aUSBSCAN_KEEP;
}

// Four consecutive input/output errors pass; the fifth fails the device for good.
// The count stops at its cap, so it can never wrap back below the limit, and a failed
// device is never tolerated again.
aErr sHandleErrorTolerance(cvusb_deviceRef device, aErr result, aErr tolerated) {
    if (result != aErrIO) {
        device->errorCount = 0;
        return result;
    }
    if (device->state == CVUSB_STATE_FAILED) return aErrIO;
    uint8_t before = device->errorCount.load();
    while (before < ERROR_COUNT_CAP &&
           !device->errorCount.compare_exchange_weak(before, static_cast<uint8_t>(before + 1))) {}
    if (before < CVUSB_TOLERATED_ERRORS) return tolerated;
    device->state = CVUSB_STATE_FAILED;
    return aErrIO;
}

aErr sStateResult(uint32_t state) {
    if (state == CVUSB_STATE_CLOSED) return aErrConnection;
    if (state == CVUSB_STATE_CREATED || state == CVUSB_STATE_FOUND) return aErrNotReady;
    return aErrIO;
}

// No module is behind the handle any more (it left the bus, or it restarts in place and
// refuses every transfer): nothing will move on this record again, as on a closed one,
// and the caller is told so apart from an input/output error.
aErr sNoDevice(cvusb_deviceRef device) {
    device->state = CVUSB_STATE_CLOSED;
    device->errorCount = 0;
    return aErrConnection;
}

// A completed read that the event thread never reported (it would have to be gone)
// must still not hold a reader or a close for ever.
const auto COMPLETION_LIMIT = std::chrono::milliseconds(CVUSB_READ_TIMEOUT_MS + 2000);

std::chrono::steady_clock::time_point sCompletionDeadline() {
    return std::chrono::steady_clock::now() + COMPLETION_LIMIT;
}

void LIBUSB_CALL sInTransferDone(libusb_transfer* transfer) {
    cvusb_deviceRef device = static_cast<cvusb_deviceRef>(transfer->user_data);
    aCheckedLock hold(device->inLock);
    device->inFlight = false;
    device->inCompleted = true;
    device->inStatus = transfer->status;
    device->inLength = transfer->actual_length;
    device->inChanged.notifyAll();
}

// Cancels a read still in flight and waits until libusb has given the transfer back;
// true when nothing of it is left with libusb.
bool sEndRead(cvusb_deviceRef device) {
    aCheckedLock hold(device->inLock);
    if (device->inFlight && device->inTransfer) libusb_cancel_transfer(device->inTransfer);
    const auto deadline = sCompletionDeadline();
    while (device->inFlight && device->inChanged.waitUntil(device->inLock, deadline)) {}
    device->inCompleted = false;
    if (device->inFlight) return false;
    if (device->inTransfer) libusb_free_transfer(device->inTransfer);
    device->inTransfer = nullptr;
    return true;
}

void sCloseHandle(cvusb_deviceRef device) {
    if (device->handle && !sEndRead(device)) {
        // libusb still holds the transfer, and with it the handle and this record.
        return;
    }
    if (device->handle) libusb_close(device->handle);
    device->handle = nullptr;
}

// What one finished IN transfer means for the reader; fills the receive buffer with
// what it carried. `gone` when the device has left the bus.
aErr sTakeTransfer(cvusb_deviceRef device, int r, int transferred, const uint8_t* data, bool& gone) {
    if (transferred < 0) transferred = 0;
    if (transferred > CVUSB_RECEIVE_SIZE) transferred = CVUSB_RECEIVE_SIZE;
    if (r == LIBUSB_ERROR_NO_DEVICE) {
        gone = true;
        return aErrIO;
    }
    if (transferred > 0 && (r == 0 || r == LIBUSB_ERROR_TIMEOUT || r == LIBUSB_ERROR_INTERRUPTED)) {
        if (data != device->receiveBuffer) memcpy(device->receiveBuffer, data, static_cast<size_t>(transferred));
        device->available = static_cast<uint32_t>(transferred);
        device->nextByte = device->receiveBuffer;
        return aErrNone;
    }
    if (r == 0 || r == LIBUSB_ERROR_TIMEOUT || r == LIBUSB_ERROR_INTERRUPTED) return aErrNotReady;
    if (r == LIBUSB_ERROR_PIPE) {
        libusb_clear_halt(device->handle, device->inEndpoint);
        return aErrNotReady;
    }
    aTrace(TRACE_USB, "libusb READ error bulk transfer: %d\n", r);
    return aErrIO;
}

int sTransferResult(int status) {
    switch (status) {
    case LIBUSB_TRANSFER_COMPLETED:
        return 0;
    case LIBUSB_TRANSFER_TIMED_OUT:
        return LIBUSB_ERROR_TIMEOUT;
    case LIBUSB_TRANSFER_CANCELLED:
        return LIBUSB_ERROR_INTERRUPTED;
    case LIBUSB_TRANSFER_STALL:
        return LIBUSB_ERROR_PIPE;
    case LIBUSB_TRANSFER_NO_DEVICE:
        return LIBUSB_ERROR_NO_DEVICE;
    case LIBUSB_TRANSFER_OVERFLOW:
        return LIBUSB_ERROR_OVERFLOW;
    default:
        return LIBUSB_ERROR_IO;
    }
}

// Without an event thread: one blocking transfer of up to 1000 ms.
aErr sReadSync(cvusb_deviceRef device, bool& gone) {
    int transferred = 0;
    const int r = libusb_bulk_transfer(device->handle, device->inEndpoint, device->receiveBuffer, CVUSB_RECEIVE_SIZE,
                                       &transferred, CVUSB_READ_TIMEOUT_MS);
    return sTakeTransfer(device, r, transferred, device->receiveBuffer, gone);
}

// One IN transfer of up to 1000 ms is kept submitted while the reader waits; the wait
// ends when it completes, or at once when the reader is woken (the transfer then
// stays in flight and serves the next read).
aErr sReadAsync(cvusb_deviceRef device, bool& gone) {
    int r = 0;
    int transferred = 0;
    {
        aCheckedLock hold(device->inLock);
        if (!device->inFlight && !device->inCompleted) {
            if (!device->inTransfer) device->inTransfer = libusb_alloc_transfer(0);
            if (!device->inTransfer) return aErrNotReady;
            libusb_fill_bulk_transfer(device->inTransfer, device->handle, device->inEndpoint, device->transferBuffer,
                                      CVUSB_RECEIVE_SIZE, sInTransferDone, device, CVUSB_READ_TIMEOUT_MS);
            const int submitted = libusb_submit_transfer(device->inTransfer);
            if (submitted != 0) return sTakeTransfer(device, submitted, 0, device->transferBuffer, gone);
            device->inFlight = true;
        }
        const auto deadline = sCompletionDeadline();
        while (!device->inCompleted && !device->woken && device->inChanged.waitUntil(device->inLock, deadline)) {}
        device->woken = false;
        if (!device->inCompleted) return aErrNotReady;
        device->inCompleted = false;
        r = sTransferResult(device->inStatus);
        transferred = device->inLength;
    }
    // The completion is taken: the buffer is the reader's until the next submission.
    return sTakeTransfer(device, r, transferred, device->transferBuffer, gone);
}

}  // namespace

cvusb_deviceRef cvusb_create_usb(uint32_t mode) {
    cvusb_deviceRef device = new (std::nothrow) cvusb_device();
    if (!device) return nullptr;
    device->mode = mode;
    device->descriptor = -1;
    device->nextByte = device->receiveBuffer;
    if (mode == CVUSB_MODE_USBLIB) Corvalith_libusb_acquire();
    device->state = CVUSB_STATE_CREATED;
    return device;
}

aErr cvusb_destroy(cvusb_deviceRef* device) {
    if (!device || !*device) return aErrParam;
    cvusb_deviceRef d = *device;
    sCloseHandle(d);
    if (d->descriptor >= 0) close(d->descriptor);
    // A record whose read libusb never gave back stays allocated: its completion
    // would write into it.
    if (!d->handle) delete d;
    *device = nullptr;
    return aErrNone;
}

bool cvusb_is_kernel_driver_installed(uint32_t serialNumber) {
    char path[64];
    snprintf(path, sizeof path, CVUSB_NODE_FORMAT, serialNumber);
    return aFile_Exists(path);
}

aErr cvusb_open_corvalith_device(cvusb_deviceRef device, const char* serial) {
    if (!device || !serial) return aErrParam;
    return device->mode == CVUSB_MODE_USBLIB ? cvusb_open_corvalith_USBlib_device(device, serial)
                                             : cvusb_open_corvalith_kernel_device(device, serial);
}

aErr cvusb_write_to_device(cvusb_deviceRef device, const uint8_t* data, size_t count) {
    if (!device || (!data && count)) return aErrParam;
    return device->mode == CVUSB_MODE_USBLIB ? cvusb_write_to_USBlib_device(device, data, count)
                                             : cvusb_write_to_kernel_device(device, data, count);
}

aErr cvusb_get_from_device(cvusb_deviceRef device, uint8_t* byte) {
    if (!device || !byte) return aErrParam;
    return device->mode == CVUSB_MODE_USBLIB ? cvusb_get_from_USBlib_device(device, byte)
                                             : cvusb_get_from_kernel_device(device, byte);
}

aErr cvusb_close_corvalith_device(cvusb_deviceRef device) {
    if (!device) return aErrParam;
    return device->mode == CVUSB_MODE_USBLIB ? cvusb_close_corvalith_USBlib_device(device)
                                             : cvusb_close_corvalith_kernel_device(device);
}

bool is_corvalith_device(libusb_device* device) {
    struct libusb_device_descriptor descriptor = {};
    if (!device || libusb_get_device_descriptor(device, &descriptor) != 0) return false;
    return descriptor.idVendor == CVUSB_VENDOR_ID && descriptor.idProduct < CVUSB_PRODUCT_LIMIT;
}

int find_usb_endpoints(cvusb_deviceRef device) {
    if (!device || !device->handle) return -1;
    struct libusb_config_descriptor* config = nullptr;
    if (libusb_get_config_descriptor(libusb_get_device(device->handle), 0, &config) != 0) return -1;
    bool matched = false;
    uint8_t interfaceNumber = 0, in = 0, out = 0;
    for (int i = 0; i < config->bNumInterfaces; ++i) {
        const struct libusb_interface& interface = config->interface[i];
        for (int a = 0; a < interface.num_altsetting; ++a) {
            const struct libusb_interface_descriptor& setting = interface.altsetting[a];
            if (setting.bInterfaceClass != CVUSB_INTERFACE_CLASS ||
                setting.bInterfaceSubClass != CVUSB_INTERFACE_SUBCLASS ||
                setting.bInterfaceProtocol != CVUSB_INTERFACE_PROTOCOL)
                continue;
            // the last matching setting wins, with only its own endpoints
            matched = true;
            interfaceNumber = setting.bInterfaceNumber;
            in = 0;
            out = 0;
            for (int e = 0; e < setting.bNumEndpoints; ++e) {
                const struct libusb_endpoint_descriptor& endpoint = setting.endpoint[e];
                if (!(endpoint.bmAttributes & 0x02)) continue;  // bulk or interrupt
                if (endpoint.bEndpointAddress & LIBUSB_ENDPOINT_IN)
                    in = endpoint.bEndpointAddress;
                else
                    out = endpoint.bEndpointAddress;
            }
        }
    }
    libusb_free_config_descriptor(config);
    if (!matched || !in || !out) return -1;
    device->interfaceNumber = interfaceNumber;
    device->inEndpoint = in;
    device->outEndpoint = out;
    return 0;
}

aErr cvusb_open_corvalith_USBlib_device(cvusb_deviceRef device, const char* serial) {
    if (!device || !serial) return aErrParam;
    if (device->mode != CVUSB_MODE_USBLIB) return aErrMode;
    if (device->state == 0) return aErrResource;
    // Without a bus (or a context) there is simply no such module.
    SerialSearch search{serial, nullptr};
    aUsbScan_Modules(sTakeBySerial, &search);
    if (!search.handle) return aErrNotFound;

    snprintf(device->serial, sizeof device->serial, "%s", serial);
    device->handle = search.handle;
    device->state = CVUSB_STATE_FOUND;
    aErr result = aErrUnknown;
    if (find_usb_endpoints(device) != 0) {
        result = aErrConfiguration;
    } else {
        const int claimed = libusb_claim_interface(search.handle, device->interfaceNumber);
        if (claimed == 0) {
            device->state = CVUSB_STATE_READY;
            device->available = 0;
            device->nextByte = device->receiveBuffer;
            device->errorCount = 0;
            return aErrNone;
        }
        if (claimed == LIBUSB_ERROR_BUSY || claimed == LIBUSB_ERROR_NO_DEVICE)
            result = aErrBusy;
        else if (claimed == LIBUSB_ERROR_ACCESS)
            result = aErrPermission;
    }
    device->state = CVUSB_STATE_CLOSED;
    sCloseHandle(device);
    return result;
}

aErr cvusb_write_to_USBlib_device(cvusb_deviceRef device, const uint8_t* data, size_t count) {
    if (!device || (!data && count)) return aErrParam;
    if (device->mode != CVUSB_MODE_USBLIB) return aErrMode;
    const uint32_t state = device->state;
    if (state != CVUSB_STATE_READY) {
        if (state != CVUSB_STATE_CLOSED && state != CVUSB_STATE_CREATED && state != CVUSB_STATE_FOUND)
            aTrace(TRACE_USB, "libusb WRITE error dev state: %d\n", static_cast<int>(state));
        return sHandleErrorTolerance(device, sStateResult(state), aErrNone);
    }

    aErr recorded = aErrNone;
    int attempts = 0;
    size_t offset = 0;
    // After a failed transfer one more transfer carries what did not go; only when
    // that fails too is an error recorded. Every retry sends only the bytes that have
    // not gone yet, so no byte reaches the module twice.
    bool secondTry = false;
    while (offset < count && attempts < CVUSB_WRITE_ATTEMPTS) {
        const size_t chunkEnd = offset + (count - offset < CVUSB_WRITE_CHUNK ? count - offset : CVUSB_WRITE_CHUNK);
        while (offset < chunkEnd && attempts < CVUSB_WRITE_ATTEMPTS) {
            uint8_t chunk[CVUSB_WRITE_CHUNK] = {};
            const int length = static_cast<int>(chunkEnd - offset);
            memcpy(chunk, data + offset, static_cast<size_t>(length));
            int transferred = 0;
            ++attempts;
            const int r = libusb_bulk_transfer(device->handle, device->outEndpoint, chunk, length, &transferred,
                                               CVUSB_WRITE_TIMEOUT_MS);
            if (transferred > 0) offset += static_cast<size_t>(transferred < length ? transferred : length);
            if (r == 0) {
                secondTry = false;
            } else if (r == LIBUSB_ERROR_NO_DEVICE) {
                return sNoDevice(device);
            } else if (r == LIBUSB_ERROR_PIPE) {
                secondTry = false;
                const int cleared = libusb_clear_halt(device->handle, device->outEndpoint);
                if (cleared != 0) {
                    recorded = aErrIO;
                    aTrace(TRACE_USB, "libusb WRITE error clearing halt: %d\n", cleared);
                }
            } else if (!secondTry) {
                secondTry = true;
            } else {
                secondTry = false;
                recorded = aErrIO;
                aTrace(TRACE_USB, "libusb WRITE error bulk transfer: %d\n", r);
            }
        }
    }
    const aErr result = offset < count ? aErrWrite : recorded;
    return sHandleErrorTolerance(device, result, aErrNone);
}

aErr cvusb_get_from_USBlib_device(cvusb_deviceRef device, uint8_t* byte) {
    if (!device || !byte) return aErrParam;
    if (device->mode != CVUSB_MODE_USBLIB) return aErrMode;
    aErr result = aErrNone;
    if (device->available == 0) {
        const uint32_t state = device->state;
        if (state != CVUSB_STATE_READY) {
            if (state != CVUSB_STATE_CLOSED && state != CVUSB_STATE_CREATED && state != CVUSB_STATE_FOUND)
                aTrace(TRACE_USB, "libusb READ error dev state: %d\n", static_cast<int>(state));
            result = sStateResult(state);
        } else {
            bool gone = false;
            result = Corvalith_libusb_events_running() ? sReadAsync(device, gone) : sReadSync(device, gone);
            if (gone) return sNoDevice(device);
        }
    }
    if (result == aErrNone) {
        if (device->available > 0) {
            *byte = *device->nextByte++;
            --device->available;
        } else {
            result = aErrNotReady;  // a transfer that succeeded with no byte
        }
    }
    // A reader takes aErrNone as one byte received, so a tolerated error is "not yet".
    return sHandleErrorTolerance(device, result, aErrNotReady);
}

aErr cvusb_close_corvalith_USBlib_device(cvusb_deviceRef device) {
    if (!device) return aErrParam;
    if (device->mode != CVUSB_MODE_USBLIB) return aErrMode;
    if (!device->handle) return aErrMode;
    // The pending read goes first: the interface is released with no transfer on it.
    if (!sEndRead(device)) return aErrBusy;
    libusb_release_interface(device->handle, device->interfaceNumber);
    sCloseHandle(device);
    device->state = CVUSB_STATE_CLOSED;
    device->interfaceNumber = 0;
    device->inEndpoint = 0;
    device->outEndpoint = 0;
    device->available = 0;
    return aErrNone;
}

aErr cvusb_wake_reader(cvusb_deviceRef device) {
    if (!device) return aErrParam;
    if (device->mode != CVUSB_MODE_USBLIB) return aErrMode;
    aCheckedLock hold(device->inLock);
    device->woken = true;
    device->inChanged.notifyAll();
    return aErrNone;
}

aErr cvusb_open_corvalith_kernel_device(cvusb_deviceRef device, const char* serial) {
    if (!device || !serial) return aErrParam;
    if (device->mode != CVUSB_MODE_KERNEL) return aErrMode;
    snprintf(device->serial, sizeof device->serial, "%s", serial);
    char path[80];
    snprintf(path, sizeof path, "/dev/corvalith.%s", device->serial);
    const int fd = open(path, O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (fd < 0) return errno == EBUSY ? aErrBusy : aErrIO;
    device->descriptor = fd;
    device->state = CVUSB_STATE_READY;
    return aErrNone;
}

aErr cvusb_write_to_kernel_device(cvusb_deviceRef device, const uint8_t* data, size_t count) {
    if (!device || (!data && count)) return aErrParam;
    if (device->mode != CVUSB_MODE_KERNEL || device->descriptor < 0) return aErrMode;
    size_t offset = 0;
    for (int calls = 0; offset < count && calls < CVUSB_KERNEL_WRITE_CALLS; ++calls) {
        const ssize_t n = write(device->descriptor, data + offset, count - offset);
        if (n < 0) {
            if (errno == EINTR || errno == EAGAIN) continue;
            return aErrIO;
        }
        offset += static_cast<size_t>(n);
    }
    return offset < count ? aErrIO : aErrNone;
}

aErr cvusb_get_from_kernel_device(cvusb_deviceRef device, uint8_t* byte) {
    if (!device || !byte) return aErrParam;
    if (device->mode != CVUSB_MODE_KERNEL || device->descriptor < 0) return aErrMode;
    const ssize_t n = read(device->descriptor, byte, 1);
    if (n == 1) return aErrNone;
    if (n == 0) return aErrNotReady;
    return errno == EFAULT || errno == EINTR || errno == EAGAIN ? aErrNotReady : aErrIO;
}

aErr cvusb_close_corvalith_kernel_device(cvusb_deviceRef device) {
    if (!device) return aErrParam;
    if (device->mode != CVUSB_MODE_KERNEL) return aErrMode;
    if (device->descriptor < 0) return aErrNone;
    const int fd = device->descriptor;
    device->descriptor = -1;
    device->state = CVUSB_STATE_CLOSED;
    return close(fd) != 0 ? aErrCancel : aErrNone;
}
