// The USB stream over the real libusb, against modules emulated by the USB test bed.
#include <chrono>
#include <string>
#include <thread>

#include <gtest/gtest.h>

#include "aStream.h"
#include "unix_streamusb.h"
#include "usb_bed.h"

using namespace usbtest;

namespace {

struct StreamCloser {
    aStreamRef stream = nullptr;
    ~StreamCloser() {
        if (stream) aStream_Destroy(&stream);
    }
};

}  // namespace

TEST(UsbStream, OpensBySerialAndCarriesBytesBothWays) {
    BedDevice module("0000CAFE");
    ASSERT_TRUE(module.ready());
    StreamCloser s;
    ASSERT_EQ(aStream_CreateUSB(0x0000CAFE, &s.stream), aErrNone);
    ASSERT_NE(s.stream, nullptr);

    const std::string toModule = "\xAD\x02\x00\x05host";
    ASSERT_EQ(aStream_Write(s.stream, toModule.data(), toModule.size()), aErrNone);
    EXPECT_EQ(module.moduleRead(toModule.size()), toModule);

    const std::string toHost = testsupport::steppedText(1000, 3);  // more than one 800-byte transfer
    module.moduleWrite(toHost);
    std::string got;
    ASSERT_EQ(readStream(s.stream, got, toHost.size()), aErrNone);
    EXPECT_EQ(got, toHost);
    EXPECT_EQ(module.stats().claims, 1u);
}

TEST(UsbStream, SingleByteWritesGoOutAsTheyAre) {
    BedDevice module("0000CA01");
    ASSERT_TRUE(module.ready());
    StreamCloser s;
    ASSERT_EQ(aStream_CreateUSB(0x0000CA01, &s.stream), aErrNone);
    ASSERT_EQ(aStream_Write(s.stream, "x", 1), aErrNone);
    EXPECT_EQ(module.moduleRead(1), "x");
    EXPECT_EQ(module.outLengths(), std::vector<unsigned>({1}));
}

TEST(UsbStream, ParameterErrors) {
    aStreamRef stream = reinterpret_cast<aStreamRef>(1);
    EXPECT_EQ(aStream_CreateUSB(0, &stream), aErrParam);
    EXPECT_EQ(stream, nullptr);
    EXPECT_EQ(aStream_CreateUSB(0x0000CAFE, nullptr), aErrParam);
}

// Which attached devices count as the module with the wanted serial.
struct IdentificationCase {
    const char* name;
    UsbBedDeviceSpec spec;
    uint32_t wanted;
    aErr expected;
};

void PrintTo(const IdentificationCase& c, std::ostream* os) {
    *os << c.name;
}

class UsbIdentification : public ::testing::TestWithParam<IdentificationCase> {};

TEST_P(UsbIdentification, OpenResult) {
    const IdentificationCase& c = GetParam();
    BedDevice module(c.spec);
    ASSERT_TRUE(module.ready());
    StreamCloser s;
    EXPECT_EQ(aStream_CreateUSB(c.wanted, &s.stream), c.expected);
    EXPECT_EQ(s.stream != nullptr, c.expected == aErrNone);
    if (c.expected == aErrNotFound) {
        EXPECT_EQ(module.stats().claims, 0u);
    }
}

INSTANTIATE_TEST_SUITE_P(
    UsbStream, UsbIdentification,
    ::testing::Values(
        IdentificationCase{"Module", {"00ABCDEF", 19, 0, 0, USBBED_LAYOUT_MODULE}, 0x00ABCDEF, aErrNone},
        IdentificationCase{"InterruptEndpoints", {"00ABCDE1", 19, 0, 0, USBBED_LAYOUT_INTERRUPT}, 0x00ABCDE1, aErrNone},
        IdentificationCase{
            "ProductIdWithBit15", {"00ABCDE2", 1, 0, 0x8001, USBBED_LAYOUT_MODULE}, 0x00ABCDE2, aErrNotFound},
        IdentificationCase{"OtherVendor", {"00ABCDE3", 19, 0x1234, 0, USBBED_LAYOUT_MODULE}, 0x00ABCDE3, aErrNotFound},
        IdentificationCase{"LowerCaseSerial", {"00abcde4", 19, 0, 0, USBBED_LAYOUT_MODULE}, 0x00ABCDE4, aErrNotFound},
        IdentificationCase{"OtherSerial", {"00ABCDE5", 19, 0, 0, USBBED_LAYOUT_MODULE}, 0x00ABCDE6, aErrNotFound},
        IdentificationCase{
            "NoModuleInterface", {"00ABCDE7", 19, 0, 0, USBBED_LAYOUT_FOREIGN}, 0x00ABCDE7, aErrConfiguration},
        IdentificationCase{
            "OnlyInEndpoint", {"00ABCDE8", 19, 0, 0, USBBED_LAYOUT_IN_ONLY}, 0x00ABCDE8, aErrConfiguration}),
    [](const ::testing::TestParamInfo<IdentificationCase>& param) { return std::string(param.param.name); });

TEST(UsbStream, SecondOpenOfAClaimedModuleIsBusy) {
    BedDevice module("0000CA02");
    ASSERT_TRUE(module.ready());
    StreamCloser first, second;
    ASSERT_EQ(aStream_CreateUSB(0x0000CA02, &first.stream), aErrNone);
    EXPECT_EQ(aStream_CreateUSB(0x0000CA02, &second.stream), aErrBusy);
    EXPECT_EQ(second.stream, nullptr);
}

TEST(UsbStream, DestroyReleasesTheModuleForTheNextOpen) {
    BedDevice module("0000CA03");
    ASSERT_TRUE(module.ready());
    aStreamRef stream = nullptr;
    ASSERT_EQ(aStream_CreateUSB(0x0000CA03, &stream), aErrNone);
    EXPECT_EQ(aStream_Destroy(&stream), aErrNone);
    EXPECT_EQ(stream, nullptr);
    StreamCloser again;
    EXPECT_EQ(aStream_CreateUSB(0x0000CA03, &again.stream), aErrNone);
    EXPECT_EQ(module.stats().claims, 2u);
}

TEST(UsbStream, ReadWithoutDataIsNotReadyAfterTheTransferTimeOut) {
    BedDevice module("0000CA04");
    ASSERT_TRUE(module.ready());
    StreamCloser s;
    ASSERT_EQ(aStream_CreateUSB(0x0000CA04, &s.stream), aErrNone);
    uint8_t byte = 0;
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(aStream_Read(s.stream, &byte, 1), aErrNotReady);
    const auto waited = std::chrono::steady_clock::now() - start;
    EXPECT_GE(waited, std::chrono::milliseconds(900));
    EXPECT_LT(waited, std::chrono::milliseconds(3000));
}

// A stop must not wait out the module's silence: a woken read ends before its transfer
// times out, and the transfer it left pending carries the module's next bytes.
TEST(UsbStream, AWokenReadEndsAndItsTransferServesTheNextRead) {
    BedDevice module("0000CA05");
    ASSERT_TRUE(module.ready());
    StreamCloser s;
    ASSERT_EQ(aStream_CreateUSB(0x0000CA05, &s.stream), aErrNone);
    std::thread waker([&s] {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        EXPECT_EQ(aStream_WakeReader(s.stream), aErrNone);
    });
    uint8_t byte = 0;
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(aStream_Read(s.stream, &byte, 1), aErrNotReady);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(900));
    waker.join();
    EXPECT_EQ(module.stats().inTransfers, 1u);

    module.moduleWrite("q");
    aErr read = aErrNotReady;
    for (int i = 0; i < 5 && read == aErrNotReady; ++i) read = aStream_Read(s.stream, &byte, 1);
    EXPECT_EQ(read, aErrNone);
    EXPECT_EQ(byte, 'q');
}
