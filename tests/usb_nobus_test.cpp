// The USB stream and driver on a host without any USB bus (no umockdev here): every
// open answers "not found" and nothing crashes, whatever libusb_init made of it.
#include <gtest/gtest.h>

#include "Corvalith-C.h"
#include "aStream.h"
#include "cvusb_driver.h"
#include "discover.h"
#include "unix_streamusb.h"

TEST(UsbNoBus, OpeningAModuleAnswersNotFound) {
    for (const uint32_t serial : {0x0000CAFEu, 0xDEADDEADu, 0xFFFFFFFFu}) {
        aStreamRef stream = reinterpret_cast<aStreamRef>(1);
        EXPECT_EQ(aStream_CreateUSB(serial, &stream), aErrNotFound) << std::hex << serial;
        EXPECT_EQ(stream, nullptr);
    }
}

TEST(UsbNoBus, DriverOpenAnswersNotFoundAndLeavesTheRecordUnopened) {
    cvusb_deviceRef device = cvusb_create_usb(CVUSB_MODE_USBLIB);
    ASSERT_NE(device, nullptr);
    EXPECT_EQ(cvusb_open_corvalith_device(device, "0000CAFE"), aErrNotFound);
    EXPECT_EQ(device->state, static_cast<uint32_t>(CVUSB_STATE_CREATED));
    EXPECT_EQ(device->handle, nullptr);
    EXPECT_EQ(cvusb_destroy(&device), aErrNone);
    EXPECT_EQ(device, nullptr);
}

TEST(UsbNoBus, ContextIsCreatedOnceAtMost) {
    const int first = Corvalith_libusb_init();
    libusb_context* context = Corvalith_libusb_context();
    EXPECT_EQ(first == 0, context != nullptr);
    EXPECT_EQ(Corvalith_libusb_init(), context ? 0 : first);
    EXPECT_EQ(Corvalith_libusb_context(), context);
}

// A record that never reached the module moves no data, by state and by mode.
TEST(UsbNoBus, UnopenedRecordsRefuseTransfers) {
    cvusb_deviceRef usb = cvusb_create_usb(CVUSB_MODE_USBLIB);
    cvusb_deviceRef node = cvusb_create_usb(CVUSB_MODE_KERNEL);
    ASSERT_NE(usb, nullptr);
    ASSERT_NE(node, nullptr);
    uint8_t byte = 0;
    EXPECT_EQ(cvusb_write_to_device(usb, &byte, 1), aErrNotReady);
    EXPECT_EQ(cvusb_get_from_device(usb, &byte), aErrNotReady);
    EXPECT_EQ(cvusb_close_corvalith_device(usb), aErrMode);
    EXPECT_EQ(cvusb_write_to_device(node, &byte, 1), aErrMode);
    EXPECT_EQ(cvusb_get_from_device(node, &byte), aErrMode);
    EXPECT_EQ(cvusb_close_corvalith_device(node), aErrNone);

    EXPECT_EQ(cvusb_open_corvalith_kernel_device(usb, "0000CAFE"), aErrMode);
    EXPECT_EQ(cvusb_write_to_kernel_device(usb, &byte, 1), aErrMode);
    EXPECT_EQ(cvusb_open_corvalith_USBlib_device(node, "0000CAFE"), aErrMode);
    EXPECT_EQ(cvusb_get_from_USBlib_device(node, &byte), aErrMode);
    EXPECT_EQ(cvusb_open_corvalith_kernel_device(node, "0000CAFE"), aErrIO);  // no such node

    EXPECT_EQ(cvusb_destroy(&usb), aErrNone);
    EXPECT_EQ(cvusb_destroy(&node), aErrNone);
    EXPECT_EQ(cvusb_destroy(&node), aErrParam);
}

TEST(UsbNoBus, ListingFindsNoModule) {
    int calls = 0;
    const auto count = aDiscovery_EnumerateModules(
        USB, [](const linkSpec*, bool*, void* ref) { return ++*static_cast<int*>(ref) > 0; }, &calls, 0);
    EXPECT_EQ(count, 0);
    EXPECT_EQ(calls, 0);
    EXPECT_EQ(aDiscovery_FindModule(USB, 0x0000CAFE, 0), nullptr);
    EXPECT_EQ(aDiscovery_FindFirstModule(USB, 0), nullptr);
}
