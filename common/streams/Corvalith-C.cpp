#include "Corvalith-C.h"

#include <atomic>
#include <mutex>
#include <thread>

namespace {
libusb_context* _libusbContext = nullptr;
// Readers of the context and its creation may meet on different threads.
std::mutex sContextLock;
// Completes the context's asynchronous transfers while nobody else handles events.
std::thread* sEventThread = nullptr;
std::atomic<bool> sEventsStop{false};

void sHandleEvents(libusb_context* context) {
    while (!sEventsStop) {
        timeval slice = {1, 0};
        libusb_handle_events_timeout_completed(context, &slice, nullptr);
    }
}
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
    if (result != 0) return result;
    _libusbContext = context;
    sEventsStop = false;
    try {
        sEventThread = new std::thread(sHandleEvents, context);
    } catch (...) {
        // Transfers still complete: every synchronous call handles events itself.
        sEventThread = nullptr;
    }
    return 0;
}

libusb_context* Corvalith_libusb_acquire() {
    Corvalith_libusb_init();
    return Corvalith_libusb_context();
}

bool Corvalith_libusb_events_running() {
    std::lock_guard<std::mutex> hold(sContextLock);
    return sEventThread != nullptr;
}

void Corvalith_libusb_exit() {
    std::lock_guard<std::mutex> hold(sContextLock);
    if (sEventThread) {
        sEventsStop = true;
        libusb_interrupt_event_handler(_libusbContext);
        sEventThread->join();
        delete sEventThread;
        sEventThread = nullptr;
    }
    if (_libusbContext) libusb_exit(_libusbContext);
    _libusbContext = nullptr;
}
