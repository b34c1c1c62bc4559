// The kernel-node path: "/dev/corvalith.%08X" (a pseudo-terminal in the test bed's
// /dev) is preferred over libusb whenever it exists.
#include <chrono>
#include <string>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "aStream.h"
#include "cvusb_driver.h"
#include "tempdir.h"
#include "unix_streamusb.h"
#include "usb_bed.h"

using namespace usbtest;

namespace {

// A node on a fresh pty; the test holds the master and plays the module on it.
class Node {
public:
    explicit Node(const char* serial) : serial_(serial), master_(usbbed_add_node_pty(bed(), serial)) {}
    ~Node() {
        usbbed_remove_node(bed(), serial_.c_str());
        if (master_ >= 0) close(master_);
    }
    int master() const { return master_; }

    std::string read(size_t n) const { return BedDevice::readFrom(master_, n, std::chrono::seconds(3)); }
    void write(const std::string& bytes) const {
        ASSERT_EQ(::write(master_, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
    }

private:
    std::string serial_;
    int master_;
};

}  // namespace

TEST(UsbNode, NodeIsPreferredOverLibusb) {
    BedDevice module("0000BEEF");
    ASSERT_TRUE(module.ready());
    Node node("0000BEEF");
    ASSERT_GE(node.master(), 0);
    ASSERT_TRUE(cvusb_is_kernel_driver_installed(0x0000BEEF));

    aStreamRef stream = nullptr;
    ASSERT_EQ(aStream_CreateUSB(0x0000BEEF, &stream), aErrNone);
    const std::string out = testsupport::steppedText(120, 9);
    ASSERT_EQ(aStream_Write(stream, out.data(), out.size()), aErrNone);
    EXPECT_EQ(node.read(out.size()), out);
    node.write("node");
    std::string in;
    EXPECT_EQ(readStream(stream, in, 4), aErrNone);
    EXPECT_EQ(in, "node");
    EXPECT_EQ(aStream_Destroy(&stream), aErrNone);

    const UsbBedStats stats = module.stats();
    EXPECT_EQ(stats.claims, 0u);
    EXPECT_EQ(stats.outTransfers, 0u);
}

TEST(UsbNode, IdleNodeReadsAsNotReadyWithoutBlocking) {
    Node node("0000BEE1");
    ASSERT_GE(node.master(), 0);
    aStreamRef stream = nullptr;
    ASSERT_EQ(aStream_CreateUSB(0x0000BEE1, &stream), aErrNone);
    uint8_t byte = 0;
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(aStream_Read(stream, &byte, 1), aErrNotReady);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(900));
    EXPECT_EQ(aStream_Destroy(&stream), aErrNone);
}

TEST(UsbNode, WithoutTheNodeTheModuleIsReachedThroughLibusb) {
    BedDevice module("0000BEE2");
    ASSERT_TRUE(module.ready());
    EXPECT_FALSE(cvusb_is_kernel_driver_installed(0x0000BEE2));
    aStreamRef stream = nullptr;
    ASSERT_EQ(aStream_CreateUSB(0x0000BEE2, &stream), aErrNone);
    ASSERT_EQ(aStream_Write(stream, "lib", 3), aErrNone);
    EXPECT_EQ(module.moduleRead(3), "lib");
    EXPECT_EQ(aStream_Destroy(&stream), aErrNone);
    EXPECT_EQ(module.stats().claims, 1u);
}

// A node that exists but does not open (here a socket file) is an I/O error, and the
// driver does not fall back to libusb.
TEST(UsbNode, NodeThatCannotBeOpenedIsAnIOError) {
    BedDevice module("0000BEE3");
    ASSERT_TRUE(module.ready());
    testsupport::TempDir dir;
    const std::string socketPath = dir.file("node.sock");
    const int listener = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    ASSERT_GE(listener, 0);
    struct sockaddr_un address = {};
    address.sun_family = AF_UNIX;
    snprintf(address.sun_path, sizeof address.sun_path, "%s", socketPath.c_str());
    ASSERT_EQ(bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    char link[4096];
    snprintf(link, sizeof link, "%s/dev/corvalith.0000BEE3", usbbed_root_dir(bed()));
    ASSERT_EQ(symlink(socketPath.c_str(), link), 0);

    aStreamRef stream = nullptr;
    EXPECT_EQ(aStream_CreateUSB(0x0000BEE3, &stream), aErrIO);
    EXPECT_EQ(stream, nullptr);
    EXPECT_EQ(module.stats().opens, 0u);
    usbbed_remove_node(bed(), "0000BEE3");
    close(listener);
}
