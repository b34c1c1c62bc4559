#include "HID_SDPLoader.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <hidapi.h>
#include <unistd.h>

#include "Log.h"
#include "SDPLoader.h"

namespace {

const uint8_t REPORT_SECURITY_STATE = 3;
const size_t SECURITY_REPORT_BYTES = 5;
const size_t ANSWER_BYTES = 70;
// A device that keeps sending reports is cut off after this many.
const unsigned REPORT_LIMIT = 64;

}  // namespace

HID_SDPLoader::HID_SDPLoader(uint16_t vendor, uint16_t product)
    : device(nullptr), vendorId(vendor), productId(product) {}

HID_SDPLoader::~HID_SDPLoader() {
    if (device) hid_close(device);
    hid_exit();
}

bool HID_SDPLoader::init() {
    if (hid_init() != 0) return false;
    device = hid_open(vendorId, productId, nullptr);
    Log::log(DEBUG_iMXSerial, "handle: %p\n", static_cast<void*>(device));
    return device != nullptr;
}

int64_t HID_SDPLoader::writeData(const std::vector<uint8_t>& packet) {
    if (!device) return -1;
    return hid_write(device, packet.data(), packet.size());
}

int64_t HID_SDPLoader::readData(std::vector<uint8_t>& buffer, unsigned timeoutMs) {
    if (!device) return 0;
    int64_t total = 0;
    unsigned char scratch[MAX_READ_BYTES];
    std::memset(scratch, 0, sizeof scratch);
    for (unsigned reports = 0; reports < REPORT_LIMIT; ++reports) {
        const int n = hid_read_timeout(device, scratch, sizeof scratch, static_cast<int>(timeoutMs));
        if (n <= 0) break;
        const size_t counted = scratch[0] == REPORT_SECURITY_STATE ? SECURITY_REPORT_BYTES : static_cast<size_t>(n);
        buffer.insert(buffer.end(), scratch, scratch + counted);
        total += static_cast<int64_t>(counted);
        std::memset(scratch, 0, sizeof scratch);
    }
    return total;
}

bool HID_SDPLoader::getDataFromBuffer(const std::vector<uint8_t>& buffer, unsigned index, uint32_t& word) {
    if (buffer.size() != ANSWER_BYTES || index > 15) return false;
    word |= static_cast<uint32_t>(buffer[index + 6]) | static_cast<uint32_t>(buffer[index + 7]) << 8 |
            static_cast<uint32_t>(buffer[index + 8]) << 16 | static_cast<uint32_t>(buffer[index + 9]) << 24;
    return true;
}

std::string HID_SDPLoader::NodeOf(uint16_t vendor, uint16_t product) {
    hid_device_info* found = hid_enumerate(vendor, product);
    const std::string node = found && found->path ? found->path : "";
    hid_free_enumeration(found);
    hid_exit();
    return node;
}

int HID_SDPLoader::whyNotOpened(uint16_t vendor, uint16_t product, std::string& node) {
    node = NodeOf(vendor, product);
    if (node.empty()) return ENODEV;
    const int fd = open(node.c_str(), O_RDWR | O_CLOEXEC);
    if (fd < 0) return errno;
    close(fd);
    return 0;
}
