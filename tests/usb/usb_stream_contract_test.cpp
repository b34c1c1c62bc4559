// The stream contract over USB: the real libusb against a module emulated by the USB
// test bed, the test playing the module on the bed's pipe.
#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "aStream.h"
#include "stream_contract.h"
#include "unix_streamusb.h"
#include "usb_bed.h"

namespace testsupport {
namespace {

class UsbEnd {
public:
    static constexpr const char* kName = "Usb";
    static constexpr aErr kNothingYet = aErrNotReady;
    // An idle read waits out one bulk transfer before it says so.
    static constexpr long kNothingYetMs = 3000;
    // A module that goes away leaves no device behind the stream, for every later call.
    static constexpr aErr kAfterEnd = aErrConnection;
    static constexpr aErr kWriteAfterEnd = aErrConnection;
    // What the module sent but the host never fetched leaves with the module.
    static constexpr bool kKeepsBytesBeforeEnd = false;

    ~UsbEnd() {
        if (stream_) aStream_Destroy(&stream_);
    }

    bool open() {
        // Each test its own serial, so that a module still leaving never answers the next test.
        static uint32_t next = 0x0000C100;
        const uint32_t serial = next++;
        char text[9];
        snprintf(text, sizeof text, "%08X", serial);
        module_ = std::make_unique<usbtest::BedDevice>(text);
        return module_->ready() && aStream_CreateUSB(serial, &stream_) == aErrNone;
    }
    aStreamRef reader() { return stream_; }
    aStreamRef writer() { return stream_; }
    void farSends(const std::string& bytes) { module_->moduleWrite(bytes); }
    std::string farReceives(size_t count) { return module_->moduleRead(count); }
    void farEnds() { usbbed_device_unplug(module_->get()); }

private:
    std::unique_ptr<usbtest::BedDevice> module_;
    aStreamRef stream_ = nullptr;
};

INSTANTIATE_TYPED_TEST_SUITE_P(Streams, StreamContract, UsbEnd, StreamEndName);

}  // namespace
}  // namespace testsupport
