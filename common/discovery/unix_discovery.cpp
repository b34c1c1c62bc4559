// Module enumeration on Linux: the USB bus through libusb, and Ethernet modules
// through the multicast query.
#include <arpa/inet.h>
#include <cctype>
#include <cstdio>
#include <cstring>
#include <dirent.h>
#include <ifaddrs.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <libusb.h>

#include "aDiscoveryReply.h"
#include "aPoll.h"
#include "aTime.h"
#include "aUsbScan.h"
#include "discover.h"

namespace {

const char* const DISCOVERY_GROUP = "232.2.2.2";
const uint16_t DISCOVERY_REQUEST_PORT = 9888;
const uint16_t DISCOVERY_REPLY_PORT = 9889;
const size_t DISCOVERY_DATAGRAM = 16;
const int REPLY_WAIT_MS = 2000;
// However many datagrams keep arriving, an enumeration ends after this long.
const uint64_t ENUMERATION_LIMIT_MS = 10000;
const size_t SERIAL_BUFFER = 32;
const uint8_t MODEL_UNSET = 0xFF;

void sCount(bool found, uint8_t& count) {
    if (found && count < UINT8_MAX) ++count;
}

void sCopyToUSBLinkspec(linkSpec* spec, uint32_t serialNumber, uint16_t productId) {
    spec->serialNumber = serialNumber;
    spec->moduleAddress = 0;
    spec->routerAddress = 0;
    spec->routerSerialNumber = 0;
    spec->model = productId & 0xFF;
    spec->ipAddress = serialNumber;
    spec->port = 0;
}

// A device that cannot be opened still shows its serial string in sysfs, readable by all.
bool sReadSysfsNumber(const char* directory, const char* attribute, unsigned long* value) {
    char path[512];
    snprintf(path, sizeof path, "/sys/bus/usb/devices/%s/%s", directory, attribute);
    FILE* file = fopen(path, "r");
    if (!file) return false;
    const bool read = fscanf(file, "%lu", value) == 1;
    fclose(file);
    return read;
}

bool sSysfsSerial(uint8_t bus, uint8_t address, uint32_t* serialNumber) {
    DIR* devices = opendir("/sys/bus/usb/devices");
    if (!devices) return false;
    bool found = false;
    while (struct dirent* entry = readdir(devices)) {
        if (entry->d_name[0] == '.') continue;
        unsigned long busnum = 0, devnum = 0;
        if (!sReadSysfsNumber(entry->d_name, "busnum", &busnum) || busnum != bus ||
            !sReadSysfsNumber(entry->d_name, "devnum", &devnum) || devnum != address)
            continue;
        char path[512];
        snprintf(path, sizeof path, "/sys/bus/usb/devices/%s/serial", entry->d_name);
        FILE* file = fopen(path, "r");
        if (!file) break;
        char text[SERIAL_BUFFER] = {};
        if (fgets(text, sizeof text, file)) {
            text[strcspn(text, "\r\n")] = '\0';
            found = aDiscovery_ReadSerialText(reinterpret_cast<const unsigned char*>(text),
                                              static_cast<int>(strlen(text)), serialNumber);
        }
        fclose(file);
        break;
    }
    closedir(devices);
    return found;
}

aErr sOpenError(int libusbError) {
    switch (libusbError) {
    case LIBUSB_ERROR_ACCESS:
        return aErrPermission;
    case LIBUSB_ERROR_BUSY:
        return aErrBusy;
    default:
        return aErrIO;
    }
}

// One UDP socket sending the query through one interface.
bool sTCPIPMultiCast(uint32_t interfaceAddress) {
    const int sock = socket(AF_INET, SOCK_DGRAM, 0);
    if (sock < 0) return false;
    const int reuse = 1;
    setsockopt(sock, SOL_SOCKET, SO_REUSEADDR, &reuse, sizeof reuse);
    struct in_addr outgoing = {};
    outgoing.s_addr = interfaceAddress;
    setsockopt(sock, IPPROTO_IP, IP_MULTICAST_IF, &outgoing, sizeof outgoing);
    struct sockaddr_in group = {};
    group.sin_family = AF_INET;
    group.sin_port = htons(DISCOVERY_REQUEST_PORT);
    inet_pton(AF_INET, DISCOVERY_GROUP, &group.sin_addr);
    uint8_t request[DISCOVERY_DATAGRAM] = {1};
    const bool sent = sendto(sock, request, sizeof request, 0, reinterpret_cast<sockaddr*>(&group), sizeof group) ==
                      static_cast<ssize_t>(sizeof request);
    close(sock);
    return sent;
}

// Sends the query through every IPv4 interface but loopback; the default interface
// when the list cannot be had.
bool sSendRequests() {
    struct ifaddrs* interfaces = nullptr;
    if (getifaddrs(&interfaces) != 0) return sTCPIPMultiCast(htonl(INADDR_ANY));
    bool sent = false;
    for (struct ifaddrs* entry = interfaces; entry; entry = entry->ifa_next) {
        if (!entry->ifa_addr || entry->ifa_addr->sa_family != AF_INET) continue;
        const uint32_t address = reinterpret_cast<sockaddr_in*>(entry->ifa_addr)->sin_addr.s_addr;
        if (address == htonl(INADDR_ANY) || address == htonl(INADDR_LOOPBACK)) continue;
        if (sTCPIPMultiCast(address)) sent = true;
    }
    freeifaddrs(interfaces);
    return sent;
}

int sTCPIPSetupListener() {
    const int sock = socket(AF_INET, SOCK_DGRAM, 0);
    if (sock < 0) return -1;
    const int reuse = 1;
    struct sockaddr_in local = {};
    local.sin_family = AF_INET;
    local.sin_port = htons(DISCOVERY_REPLY_PORT);
    local.sin_addr.s_addr = htonl(INADDR_ANY);
    if (setsockopt(sock, SOL_SOCKET, SO_REUSEADDR, &reuse, sizeof reuse) != 0 ||
        bind(sock, reinterpret_cast<sockaddr*>(&local), sizeof local) != 0) {
        close(sock);
        return -1;
    }
    return sock;
}

}  // namespace

void aDiscovery_ReadTCPIPReply(const uint8_t* datagram, size_t length, uint32_t sourceAddress, linkSpec* spec) {
    // A fresh buffer for every datagram, so a short reply never inherits the previous
    // module's fields; bytes past the reply's 16 are not part of it.
    uint8_t reply[DISCOVERY_DATAGRAM] = {};
    reply[12] = MODEL_UNSET;
    memcpy(reply, datagram, length < sizeof reply ? length : sizeof reply);
    uint32_t serialNumber = 0;
    for (int i = 3; i >= 0; --i) serialNumber = serialNumber << 8 | reply[4 + i];
    spec->serialNumber = serialNumber;
    spec->moduleAddress = reply[1];
    spec->routerAddress = reply[1];
    spec->routerSerialNumber = serialNumber;
    spec->model = reply[12];
    spec->ipAddress = sourceAddress;
    spec->port = static_cast<uint32_t>(reply[2] | reply[3] << 8);
}

namespace {

struct USBEnumeration {
    aDiscoveryCallback callback;
    void* ref;
    uint8_t count;
};

aUsbScanStep sListModule(libusb_device_handle*, const libusb_device_descriptor* descriptor, const char*,
                         uint32_t serialNumber, void* ref) {
    auto* enumeration = static_cast<USBEnumeration*>(ref);
    linkSpec* spec = aLinkSpec_Create(USB);
    if (!spec) return aUSBSCAN_NEXT;
    sCopyToUSBLinkspec(spec, serialNumber, descriptor->idProduct);
    bool found = false;
    const bool goOn = enumeration->callback(spec, &found, enumeration->ref);
    sCount(found, enumeration->count);
    aLinkSpec_Destroy(&spec);
    return goOn ? aUSBSCAN_NEXT : aUSBSCAN_STOP;
}

struct UnopenedEnumeration {
    aDiscoveryUnopenedCallback callback;
    void* ref;
    uint8_t count;
};

bool sListUnopened(libusb_device* device, void* ref) {
    auto* enumeration = static_cast<UnopenedEnumeration*>(ref);
    libusb_device_handle* handle = nullptr;
    const int opened = libusb_open(device, &handle);
    if (opened == 0) {
        libusb_close(handle);
        return true;
    }
    aDiscoveryUnopened module = {};
    module.bus = libusb_get_bus_number(device);
    module.address = libusb_get_device_address(device);
    sSysfsSerial(module.bus, module.address, &module.serialNumber);
    module.error = sOpenError(opened);
    module.reason = libusb_strerror(static_cast<libusb_error>(opened));
    sCount(true, enumeration->count);
    return enumeration->callback(&module, enumeration->ref);
}

}  // namespace

uint8_t aDiscovery_EnumerateUSB(aDiscoveryCallback callback, void* ref) {
    USBEnumeration enumeration{callback, ref, 0};
    aUsbScan_Modules(sListModule, &enumeration);
    return enumeration.count;
}

uint8_t aDiscovery_EnumerateUnopenedUSB(aDiscoveryUnopenedCallback callback, void* ref) {
    UnopenedEnumeration enumeration{callback, ref, 0};
    aUsbScan_Devices(sListUnopened, &enumeration);
    return enumeration.count;
}

uint8_t aDiscovery_EnumerateTCPIP(aDiscoveryCallback callback, void* ref) {
    const int listener = sTCPIPSetupListener();
    if (listener < 0) return 0;
    uint8_t count = 0;
    if (sSendRequests()) {
        const uint64_t limit = aTime_GetMonotonicMS() + ENUMERATION_LIMIT_MS;
        bool goOn = true;
        while (goOn) {
            const uint64_t now = aTime_GetMonotonicMS();
            if (now >= limit) break;
            const uint64_t quiet = now + static_cast<uint64_t>(REPLY_WAIT_MS);
            struct pollfd ready = {listener, POLLIN, 0};
            if (aPoll_Until(&ready, 1, quiet < limit ? quiet : limit) <= 0) break;
            uint8_t reply[DISCOVERY_DATAGRAM];
            struct sockaddr_in source = {};
            socklen_t sourceLength = sizeof source;
            const ssize_t received =
                recvfrom(listener, reply, sizeof reply, 0, reinterpret_cast<sockaddr*>(&source), &sourceLength);
            if (received < 0) break;
            linkSpec* spec = aLinkSpec_Create(TCPIP);
            if (!spec) continue;
            aDiscovery_ReadTCPIPReply(reply, static_cast<size_t>(received), source.sin_addr.s_addr, spec);
            bool found = false;
            goOn = callback(spec, &found, ref);
            sCount(found, count);
            aLinkSpec_Destroy(&spec);
        }
    }
    close(listener);
    return count;
}
