// The bed's device node polls writable exactly while a completion waits to be reaped,
// as a real usbfs node does, so that libusb's event loop sleeps instead of spinning.
#include <gtest/gtest.h>

#include <cerrno>
#include <fcntl.h>
#include <linux/usbdevice_fs.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include "usb_bed.h"

namespace {

using usbtest::BedDevice;

bool pollsWritable(int fd, int waitMs) {
    pollfd p{fd, POLLOUT, 0};
    return poll(&p, 1, waitMs) == 1 && (p.revents & POLLOUT);
}

class OpenNode {
public:
    explicit OpenNode(const char* node) : fd_(open(node, O_RDWR | O_CLOEXEC)) {}
    ~OpenNode() {
        if (fd_ >= 0) close(fd_);
    }
    int fd() const { return fd_; }

private:
    int fd_;
};

TEST(UsbBedReadiness, NodeIsWritableOnlyWhileACompletionWaits) {
    BedDevice device("0000F1F0");
    ASSERT_TRUE(device.ready());
    OpenNode node(usbbed_device_node(device.get()));
    ASSERT_GE(node.fd(), 0);
    unsigned interface = 0;
    ASSERT_EQ(ioctl(node.fd(), USBDEVFS_CLAIMINTERFACE, &interface), 0);

    unsigned char buffer[64] = {};
    usbdevfs_urb in{};
    in.type = USBDEVFS_URB_TYPE_BULK;
    in.endpoint = 0x81;
    in.buffer = buffer;
    in.buffer_length = sizeof buffer;
    ASSERT_EQ(ioctl(node.fd(), USBDEVFS_SUBMITURB, &in), 0);
    EXPECT_FALSE(pollsWritable(node.fd(), 200)) << "an IN transfer with no data yet polls ready";

    const unsigned char reply[] = {0x02, 0x00};
    ASSERT_EQ(write(device.moduleFd(), reply, sizeof reply), static_cast<ssize_t>(sizeof reply));
    ASSERT_TRUE(pollsWritable(node.fd(), 5000)) << "a completed transfer never polled ready";
    usbdevfs_urb* reaped = nullptr;
    ASSERT_EQ(ioctl(node.fd(), USBDEVFS_REAPURBNDELAY, &reaped), 0);
    ASSERT_EQ(reaped, &in);
    EXPECT_EQ(in.status, 0);
    ASSERT_EQ(in.actual_length, 2);
    EXPECT_EQ(buffer[0], 0x02);

    errno = 0;
    EXPECT_EQ(ioctl(node.fd(), USBDEVFS_REAPURBNDELAY, &reaped), -1);
    EXPECT_EQ(errno, EAGAIN);
    EXPECT_FALSE(pollsWritable(node.fd(), 200)) << "the node stays ready after everything was reaped";

    // A device that leaves makes the node ready, so that the host reaps and learns it.
    usbbed_device_unplug(device.get());
    ASSERT_TRUE(pollsWritable(node.fd(), 5000));
    errno = 0;
    EXPECT_EQ(ioctl(node.fd(), USBDEVFS_REAPURBNDELAY, &reaped), -1);
    EXPECT_EQ(errno, ENODEV);
}

}  // namespace
