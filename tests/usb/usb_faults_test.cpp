// USB transfer faults through the real libusb: chunking, stalls, time-outs with a
// partial count, input/output errors and their tolerance, and a module that goes away.
#include <chrono>
#include <future>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "aStream.h"
#include "unix_streamusb.h"
#include "usb_bed.h"

using namespace usbtest;

namespace {

// A module on the bed with an open stream to it.
class UsbFaults : public ::testing::Test {
protected:
    void open(const char* serial, uint32_t serialNumber) {
        module_.reset(new BedDevice(serial));
        ASSERT_TRUE(module_->ready());
        ASSERT_EQ(aStream_CreateUSB(serialNumber, &stream_), aErrNone);
        usbbed_device_reset_log(module_->get());
    }
    void TearDown() override {
        if (stream_) aStream_Destroy(&stream_);
        module_.reset();
    }
    void fault(UsbBedDirection direction, UsbBedFault kind, unsigned count, unsigned partial = 0) {
        usbbed_device_fault(module_->get(), direction, kind, count, partial);
    }
    aErr readByte(uint8_t* byte) { return aStream_Read(stream_, byte, 1); }

    std::unique_ptr<BedDevice> module_;
    aStreamRef stream_ = nullptr;
};

}  // namespace

TEST_F(UsbFaults, WritesGoOutInChunksOfFifty) {
    open("0000FA01", 0x0000FA01);
    const std::string data = testsupport::steppedText(120, 0);
    ASSERT_EQ(aStream_Write(stream_, data.data(), data.size()), aErrNone);
    EXPECT_EQ(module_->moduleRead(data.size()), data);
    EXPECT_EQ(module_->outLengths(), std::vector<unsigned>({50, 50, 20}));
}

TEST_F(UsbFaults, StalledWriteClearsTheHaltAndSendsTheChunkOnce) {
    open("0000FA02", 0x0000FA02);
    fault(USBBED_OUT, USBBED_FAULT_STALL, 1);
    const std::string data = testsupport::steppedText(30, 1);
    EXPECT_EQ(aStream_Write(stream_, data.data(), data.size()), aErrNone);
    EXPECT_EQ(module_->moduleRead(data.size() + 1, std::chrono::milliseconds(300)), data);
    EXPECT_EQ(module_->stats().clearHalts, 1u);
    EXPECT_EQ(module_->outLengths(), std::vector<unsigned>({30, 30}));
}

// A time-out after part of a chunk went, then another one on the remainder: only the
// bytes that did not go are sent again, so the module sees every byte exactly once.
TEST_F(UsbFaults, TimedOutWriteResendsOnlyWhatDidNotGo) {
    open("0000FA03", 0x0000FA03);
    fault(USBBED_OUT, USBBED_FAULT_TIMEOUT, 1, 20);
    fault(USBBED_OUT, USBBED_FAULT_TIMEOUT, 1, 10);
    const std::string data = testsupport::steppedText(120, 2);
    EXPECT_EQ(aStream_Write(stream_, data.data(), data.size()), aErrNone);
    EXPECT_EQ(module_->moduleRead(data.size() + 1, std::chrono::milliseconds(300)), data);
    EXPECT_EQ(module_->outLengths(), std::vector<unsigned>({50, 30, 20, 50, 20}));
}

// Each write meets two I/O errors in a row (the transfer and its retry), so each
// records one error while its bytes still go: four pass, the fifth fails the device.
TEST_F(UsbFaults, FourWriteErrorsPassTheFifthFailsTheDevice) {
    open("0000FA04", 0x0000FA04);
    const std::string data = testsupport::steppedText(10, 4);
    for (int write = 1; write <= 5; ++write) {
        fault(USBBED_OUT, USBBED_FAULT_IO, 2);
        const aErr expected = write < 5 ? aErrNone : aErrIO;
        EXPECT_EQ(aStream_Write(stream_, data.data(), data.size()), expected) << "write " << write;
        EXPECT_EQ(module_->moduleRead(data.size(), std::chrono::seconds(1)), data) << "write " << write;
    }
    const unsigned transfers = module_->stats().outTransfers;
    // A failed device stays failed, however many calls follow.
    for (int i = 0; i < 300; ++i) ASSERT_EQ(aStream_Write(stream_, data.data(), data.size()), aErrIO);
    uint8_t byte = 0;
    EXPECT_EQ(readByte(&byte), aErrIO);
    EXPECT_EQ(module_->stats().outTransfers, transfers);
}

TEST_F(UsbFaults, ASuccessfulWriteResetsTheErrorCount) {
    open("0000FA05", 0x0000FA05);
    const std::string data = testsupport::steppedText(10, 5);
    for (int round = 0; round < 3; ++round) {
        for (int write = 0; write < 4; ++write) {
            fault(USBBED_OUT, USBBED_FAULT_IO, 2);
            ASSERT_EQ(aStream_Write(stream_, data.data(), data.size()), aErrNone);
        }
        ASSERT_EQ(aStream_Write(stream_, data.data(), data.size()), aErrNone);
    }
    std::string expected;
    for (int i = 0; i < 15; ++i) expected += data;
    EXPECT_EQ(module_->moduleRead(expected.size()), expected);
}

TEST_F(UsbFaults, WriteThatNeverGoesThroughIsAWriteError) {
    open("0000FA06", 0x0000FA06);
    fault(USBBED_OUT, USBBED_FAULT_IO, CVUSB_WRITE_ATTEMPTS);
    const std::string data = testsupport::steppedText(10, 6);
    EXPECT_EQ(aStream_Write(stream_, data.data(), data.size()), aErrWrite);
    EXPECT_EQ(module_->stats().outTransfers, static_cast<unsigned>(CVUSB_WRITE_ATTEMPTS));
    EXPECT_EQ(module_->moduleRead(1, std::chrono::milliseconds(100)), "");
}

// A tolerated read error stores no byte, so it must not read as one.
TEST_F(UsbFaults, ToleratedReadErrorsAreNotReadyAndTheFifthFails) {
    open("0000FA07", 0x0000FA07);
    fault(USBBED_IN, USBBED_FAULT_IO, 4);
    uint8_t byte = 0x55;
    for (int i = 0; i < 4; ++i) EXPECT_EQ(readByte(&byte), aErrNotReady) << "read " << i;
    module_->moduleWrite("k");
    EXPECT_EQ(readByte(&byte), aErrNone);
    EXPECT_EQ(byte, 'k');

    fault(USBBED_IN, USBBED_FAULT_IO, 5);
    for (int i = 0; i < 4; ++i) EXPECT_EQ(readByte(&byte), aErrNotReady) << "read " << i;
    EXPECT_EQ(readByte(&byte), aErrIO);
    EXPECT_EQ(readByte(&byte), aErrIO);
    EXPECT_EQ(aStream_Write(stream_, "x", 1), aErrIO);
}

TEST_F(UsbFaults, EmptyTransferIsNotReady) {
    open("0000FA08", 0x0000FA08);
    fault(USBBED_IN, USBBED_FAULT_EMPTY, 1);
    uint8_t byte = 0;
    EXPECT_EQ(readByte(&byte), aErrNotReady);
    module_->moduleWrite("z");
    EXPECT_EQ(readByte(&byte), aErrNone);
    EXPECT_EQ(byte, 'z');
}

TEST_F(UsbFaults, StalledReadClearsTheHaltAndGoesOn) {
    open("0000FA09", 0x0000FA09);
    fault(USBBED_IN, USBBED_FAULT_STALL, 1);
    uint8_t byte = 0;
    EXPECT_EQ(readByte(&byte), aErrNotReady);
    EXPECT_EQ(module_->stats().clearHalts, 1u);
    module_->moduleWrite("s");
    EXPECT_EQ(readByte(&byte), aErrNone);
    EXPECT_EQ(byte, 's');
}

// No device behind the handle is told apart from an input/output error: nothing will
// ever move on it again.
TEST_F(UsbFaults, ModuleThatDisappearsFailsTheDeviceAtOnce) {
    open("0000FA0A", 0x0000FA0A);
    usbbed_device_unplug(module_->get());
    const std::string data = testsupport::steppedText(10, 7);
    EXPECT_EQ(aStream_Write(stream_, data.data(), data.size()), aErrConnection);
    EXPECT_EQ(aStream_Write(stream_, data.data(), data.size()), aErrConnection);
    uint8_t byte = 0;
    EXPECT_EQ(readByte(&byte), aErrConnection);
    EXPECT_EQ(aStream_Destroy(&stream_), aErrNone);
    EXPECT_TRUE(waitListed(module_->get(), false));
    EXPECT_EQ(aStream_CreateUSB(0x0000FA0A, &stream_), aErrNotFound);
}

TEST_F(UsbFaults, ModuleThatDisappearsDuringAReadEndsIt) {
    open("0000FA0B", 0x0000FA0B);
    auto reading = std::async(std::launch::async, [this] {
        uint8_t byte = 0;
        const auto start = std::chrono::steady_clock::now();
        const aErr err = readByte(&byte);
        return std::make_pair(err, std::chrono::steady_clock::now() - start);
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    usbbed_device_unplug(module_->get());
    ASSERT_EQ(reading.wait_for(std::chrono::seconds(3)), std::future_status::ready);
    const auto result = reading.get();
    EXPECT_EQ(result.first, aErrConnection);
    EXPECT_LT(result.second, std::chrono::milliseconds(900));
}

// A module restarting in place stays listed but refuses every transfer with "no device":
// the first read or write says so at once, the tolerance of input/output errors aside.
TEST_F(UsbFaults, ModuleThatRestartsInPlaceFailsTheDeviceAtOnce) {
    const struct {
        const char* serial;
        uint32_t serialNumber;
        bool readFirst;
    } cases[] = {{"0000FA0C", 0x0000FA0C, true}, {"0000FA0D", 0x0000FA0D, false}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.serial);
        open(c.serial, c.serialNumber);
        usbbed_device_restart(module_->get(), 60000);
        uint8_t byte = 0;
        const auto start = std::chrono::steady_clock::now();
        if (c.readFirst) {
            EXPECT_EQ(readByte(&byte), aErrConnection);
        }
        EXPECT_EQ(aStream_Write(stream_, "ab", 2), aErrConnection);
        EXPECT_EQ(readByte(&byte), aErrConnection);
        // A read that waited for the module would take its whole transfer time-out.
        EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(900));
        EXPECT_TRUE(listedNow(module_->get()));
        EXPECT_EQ(module_->stats().bytesOut, 0u);
        aStream_Destroy(&stream_);
    }
}
