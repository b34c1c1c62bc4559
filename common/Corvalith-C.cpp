#include "Corvalith-C.h"

#include <mutex>

namespace {
libusb_context* _libusbContext = nullptr;
// Readers of the context and its creation may meet on different threads.
std::mutex sContextLock;
}  // namespace

libusb_context* Corvalith_libusb_context() {
    std::lock_guard<std::mutex> hold(sContextLock);
    return _libusbContext;
}

int Corvalith_libusb_init() {
    std::lock_guard<std::mutex> hold(sContextLock);
    if (_libusbContext) return 0;
    libusb_context* context = nullptr;
    const int result = libusb_init(&context);
    if (result == 0) _libusbContext = context;
    return result;
}

void Corvalith_libusb_exit() {
    std::lock_guard<std::mutex> hold(sContextLock);
    if (_libusbContext) libusb_exit(_libusbContext);
    _libusbContext = nullptr;
}
