// linkSpec records naming reachable modules, and module discovery on USB and on the network.
#pragma once

#include <cstdint>

#include "aError.h"

typedef uint32_t linkType;
enum {
    USB = 1,
    TCPIP = 2,
    SERIAL = 3,
    AWEAVE = 4,
};

#define aLINKSPEC_PORTNAME_SIZE 100

// Exactly 128 bytes, integers in host (little-endian) order; it travels raw.
struct linkSpec {
    uint32_t type;
    uint32_t serialNumber;
    uint32_t moduleAddress;
    uint32_t routerAddress;
    uint32_t routerSerialNumber;
    uint32_t model;
    union {
        uint32_t ipAddress;  // TCPIP and AWEAVE, network order; USB repeats the serial number
        uint32_t baudRate;   // SERIAL
    };
    union {
        uint32_t port;                           // TCPIP and AWEAVE
        char portName[aLINKSPEC_PORTNAME_SIZE];  // SERIAL
    };
};
static_assert(sizeof(linkSpec) == 128, "linkSpec travels as 128 raw bytes");

// Sets *found to count the module; returning false stops the enumeration. The
// linkSpec lives only during the call.
typedef bool (*aDiscoveryCallback)(const linkSpec* spec, bool* found, void* ref);

linkSpec* aLinkSpec_Create(linkType type);
linkSpec* aLinkSpec_Copy(const linkSpec* spec);
aErr aLinkSpec_Destroy(linkSpec** spec);

// The number of modules whose callback set the found flag. The network interface
// (an IPv4 address) matters only for link servers.
uint8_t aDiscovery_EnumerateModules(linkType type, aDiscoveryCallback callback, void* ref, uint32_t networkInterface);
// A new linkSpec owned by the caller, or NULL.
linkSpec* aDiscovery_FindModule(linkType type, uint32_t serialNumber, uint32_t networkInterface);
linkSpec* aDiscovery_FindFirstModule(linkType type, uint32_t networkInterface);

// A module the USB bus lists but this process cannot open (most often: no permission on
// its device node). serialNumber comes from sysfs; 0 when it cannot be read there.
struct aDiscoveryUnopened {
    uint32_t serialNumber;
    uint8_t bus;
    uint8_t address;
    aErr error;          // aErrPermission, aErrBusy or aErrIO
    const char* reason;  // the USB library's text, valid during the call only
};
typedef bool (*aDiscoveryUnopenedCallback)(const aDiscoveryUnopened* module, void* ref);
// Calls back for every such module (false stops); returns their number.
uint8_t aDiscovery_EnumerateUnopenedUSB(aDiscoveryUnopenedCallback callback, void* ref);

// Transport enumerations behind aDiscovery_EnumerateModules.
uint8_t aDiscovery_EnumerateUSB(aDiscoveryCallback callback, void* ref);
uint8_t aDiscovery_EnumerateTCPIP(aDiscoveryCallback callback, void* ref);
// Link servers (AWEAVE) are searched by the link-server library: aDiscoveryLinkServers.h.

// The host's interfaces as the beacon sees them: aDiscovery_GetIPv4Interfaces in
// aDiscoveryBeacon.h.
// Writes the dotted text of an address (network order) into a zero-filled buffer; its
// length, or 0 when the buffer is shorter than 16 bytes or the conversion fails.
uint32_t aDiscovery_ConvertIPv4Interface(uint32_t address, char* buffer, uint32_t length);
