// The USB test bed in a test process: one umockdev testbed for the whole process
// (libusb keeps one context for the process too), devices added per test.
#pragma once

#include <chrono>
#include <cstdio>
#include <cstring>
#include <poll.h>
#include <string>
#include <unistd.h>
#include <vector>

#include <gtest/gtest.h>
#include <libusb.h>

#include "Corvalith-C.h"
#include "aStream.h"
#include "usbbed.h"
#include "byte_patterns.h"
#include "wait_until.h"

namespace usbtest {

class BedEnvironment : public ::testing::Environment {
public:
    static UsbBed*& bed() {
        static UsbBed* instance = nullptr;
        return instance;
    }
    void SetUp() override { bed() = usbbed_new(); }
    void TearDown() override {
        usbbed_free(bed());
        bed() = nullptr;
    }
};

inline ::testing::Environment* const kBedEnvironment = ::testing::AddGlobalTestEnvironment(new BedEnvironment);

inline UsbBed* bed() {
    return BedEnvironment::bed();
}

// Whether libusb, on the process-wide context, lists the device now.
inline bool listedNow(const UsbBedDevice* device) {
    unsigned bus = 0, address = 0;
    if (sscanf(usbbed_device_node(device), "/dev/bus/usb/%u/%u", &bus, &address) != 2) return false;
    if (!Corvalith_libusb_context()) Corvalith_libusb_init();
    libusb_device** list = nullptr;
    const ssize_t count = libusb_get_device_list(Corvalith_libusb_context(), &list);
    bool found = false;
    for (ssize_t i = 0; i < count; ++i)
        if (libusb_get_bus_number(list[i]) == bus && libusb_get_device_address(list[i]) == address) found = true;
    if (list) libusb_free_device_list(list, 1);
    return found;
}

// libusb learns of added and removed devices from udev events on its own thread.
inline bool waitListed(const UsbBedDevice* device, bool listed) {
    return testsupport::waitUntil([&] { return listedNow(device) == listed; }, std::chrono::seconds(3),
                                  std::chrono::milliseconds(10));
}

// One emulated module with a pipe the test plays the module on; unplugged at the end.
class BedDevice {
public:
    explicit BedDevice(const UsbBedDeviceSpec& spec, bool withPipe = true) {
        device_ = usbbed_add_device(bed(), &spec);
        if (device_ && withPipe) moduleFd_ = usbbed_device_open_pipe(device_);
    }
    BedDevice(const char* serial, uint8_t model = 19)
        : BedDevice(UsbBedDeviceSpec{serial, model, 0, 0, USBBED_LAYOUT_MODULE}) {}
    ~BedDevice() {
        if (device_) usbbed_device_unplug(device_);
        if (moduleFd_ >= 0) close(moduleFd_);
    }
    BedDevice(const BedDevice&) = delete;
    BedDevice& operator=(const BedDevice&) = delete;

    bool ready() const { return device_ && waitListed(device_, true); }
    UsbBedDevice* get() const { return device_; }
    int moduleFd() const { return moduleFd_; }

    UsbBedStats stats() const {
        UsbBedStats s;
        usbbed_device_stats(device_, &s);
        return s;
    }
    std::vector<unsigned> outLengths() const {
        unsigned lengths[256];
        const size_t count = usbbed_device_out_lengths(device_, lengths, 256);
        return std::vector<unsigned>(lengths, lengths + (count < 256 ? count : 256));
    }

    // What the host sent, read by the module side; waits at most `limit` for n bytes.
    std::string moduleRead(size_t n, std::chrono::milliseconds limit = std::chrono::seconds(3)) const {
        return readFrom(moduleFd_, n, limit);
    }
    void moduleWrite(const std::string& bytes) const {
        ASSERT_EQ(write(moduleFd_, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
    }

    static std::string readFrom(int fd, size_t n, std::chrono::milliseconds limit) {
        std::string got;
        const auto end = std::chrono::steady_clock::now() + limit;
        while (got.size() < n) {
            const auto left =
                std::chrono::duration_cast<std::chrono::milliseconds>(end - std::chrono::steady_clock::now());
            if (left.count() <= 0) break;
            struct pollfd ready = {fd, POLLIN, 0};
            if (poll(&ready, 1, static_cast<int>(left.count())) <= 0) break;
            char buffer[4096];
            const size_t want = n - got.size() < sizeof buffer ? n - got.size() : sizeof buffer;
            const ssize_t r = read(fd, buffer, want);
            if (r <= 0) break;
            got.append(buffer, static_cast<size_t>(r));
        }
        return got;
    }

private:
    UsbBedDevice* device_ = nullptr;
    int moduleFd_ = -1;
};

// Reads n bytes from a stream, retrying while they are merely late.
inline aErr readStream(aStreamRef stream, std::string& out, size_t n,
                       std::chrono::milliseconds limit = std::chrono::seconds(5)) {
    std::vector<char> buffer(n);
    aErr err = aErrNotReady;
    testsupport::waitUntil(
        [&] {
            err = aStream_Read(stream, buffer.data(), n);
            return err != aErrNotReady;
        },
        limit, std::chrono::milliseconds(1));
    if (err == aErrNone) out.assign(buffer.data(), n);
    return err;
}

}  // namespace usbtest
