// Adding a device while a host scans: a node opened the moment it is listed already has
// the bed behind it (umockdev's preload ends a process that opens a node without one).
#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <dirent.h>
#include <fcntl.h>
#include <set>
#include <string>
#include <thread>
#include <unistd.h>
#include <vector>

#include "usb_bed.h"

namespace {

// Opens every node under the bed's bus directory once, as soon as it is listed.
class NodeOpener {
public:
    NodeOpener() : thread_([this] { run(); }) {}
    ~NodeOpener() { stop(); }
    void stop() {
        stopping_ = true;
        if (thread_.joinable()) thread_.join();
    }
    size_t opened() const { return opened_; }

private:
    void run() {
        std::set<std::string> seen;
        while (!stopping_) {
            DIR* dir = opendir("/dev/bus/usb/001");
            if (!dir) continue;
            while (const dirent* entry = readdir(dir)) {
                const std::string node = std::string("/dev/bus/usb/001/") + entry->d_name;
                if (entry->d_name[0] == '.' || !seen.insert(node).second) continue;
                const int fd = open(node.c_str(), O_RDWR | O_CLOEXEC);
                if (fd >= 0) {
                    ++opened_;
                    close(fd);
                }
            }
            closedir(dir);
        }
    }

    std::atomic<bool> stopping_{false};
    std::atomic<size_t> opened_{0};
    std::thread thread_;
};

TEST(UsbBedAdd, ANodeOpenedAsSoonAsItIsListedIsServed) {
    const int devices = 30;
    std::vector<UsbBedDevice*> added;
    {
        NodeOpener opener;
        for (int i = 0; i < devices; ++i) {
            char serial[16];
            snprintf(serial, sizeof serial, "%08X", 0xB0000000u + static_cast<unsigned>(i));
            UsbBedDeviceSpec spec{serial, 19, 0, 0, USBBED_LAYOUT_MODULE};
            UsbBedDevice* device = usbbed_add_device(usbtest::bed(), &spec);
            ASSERT_NE(device, nullptr);
            added.push_back(device);
        }
        ASSERT_TRUE(testsupport::waitUntil([&] { return opener.opened() >= static_cast<size_t>(devices); },
                                           std::chrono::seconds(10), std::chrono::milliseconds(10)));
    }
    for (UsbBedDevice* device : added) {
        usbbed_device_unplug(device);
    }
}

}  // namespace
