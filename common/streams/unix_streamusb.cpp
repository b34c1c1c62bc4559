#include "unix_streamusb.h"

#include <cstdio>
#include <new>

namespace {

aErr sUSBStreamWrite(const uint8_t* data, size_t count, void* ref) {
    aUSBStreamState* state = static_cast<aUSBStreamState*>(ref);
    if (!aVALIDUSBS(state)) return aErrParam;
    return cvusb_write_to_device(state->device, data, count);
}

aErr sUSBStreamPut(const uint8_t* byte, void* ref) {
    return sUSBStreamWrite(byte, 1, ref);
}

aErr sUSBStreamGet(uint8_t* byte, void* ref) {
    aUSBStreamState* state = static_cast<aUSBStreamState*>(ref);
    if (!aVALIDUSBS(state)) return aErrParam;
    return cvusb_get_from_device(state->device, byte);
}

void sUSBStreamWake(void* ref) {
    aUSBStreamState* state = static_cast<aUSBStreamState*>(ref);
    if (aVALIDUSBS(state)) cvusb_wake_reader(state->device);
}

aErr sUSBStreamDelete(void* ref) {
    aUSBStreamState* state = static_cast<aUSBStreamState*>(ref);
    if (!aVALIDUSBS(state)) return aErrParam;
    const aErr closed = cvusb_close_corvalith_device(state->device);
    if (closed != aErrNone) return closed;
    cvusb_destroy(&state->device);
    state->check = 0;
    delete state;
    return aErrNone;
}

}  // namespace

aErr aStream_CreateUSB(uint32_t serialNumber, aStreamRef* stream) {
    if (stream) *stream = nullptr;
    const bool kernelNode = cvusb_is_kernel_driver_installed(serialNumber);
    if (serialNumber == 0 || !stream) return aErrParam;
    aUSBStreamState* state = new (std::nothrow) aUSBStreamState();
    if (!state) return aErrMemory;

    char serial[16];
    snprintf(serial, sizeof serial, "%08X", serialNumber);
    state->serialNumber = serialNumber;
    state->check = aUSBSTREAMCHECK;
    state->device = cvusb_create_usb(kernelNode ? CVUSB_MODE_KERNEL : CVUSB_MODE_USBLIB);
    if (!state->device) {
        delete state;
        return aErrResource;
    }
    const aErr opened = cvusb_open_corvalith_device(state->device, serial);
    if (opened != aErrNone) {
        cvusb_destroy(&state->device);
        delete state;
        return opened;
    }
    aStreamRef created = aStream_Create(sUSBStreamGet, sUSBStreamPut, sUSBStreamWrite, sUSBStreamDelete, state);
    if (!created) {
        cvusb_destroy(&state->device);
        delete state;
        return aErrMemory;
    }
    if (state->device->mode == CVUSB_MODE_USBLIB) aStream_SetWakeProc(created, sUSBStreamWake);
    *stream = created;
    return aErrNone;
}
