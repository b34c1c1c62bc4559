// The discovery commands: modules reached directly over USB or TCP/IP, and the
// modules on the I2C network behind a router module.
#include <cstddef>
#include <cstring>
#include <vector>

#include "DeviceRecords.h"
#include "I2CClass.h"
#include "Log.h"
#include "ModuleNetworkConfig.h"
#include "SystemClass.h"
#include "Updater.h"
#include "UsbAccess.h"
#include "aDefs.h"

using Veltrane::Corvalith::I2CClass;
using Veltrane::Corvalith::Module;
using Veltrane::Corvalith::SystemClass;

namespace {

// Discovery asks for plain USB and TCP/IP modules only; the interface matters to link servers.
const uint32_t LOCAL_INTERFACE = 0x0100007Fu;
const uint8_t DEFAULT_ADDRESS = 2;
const uint8_t ANY_MODEL = 0;
const uint8_t I2C_SPEED = 3;
const uint16_t SWEEP_FIRST = 2;
const uint16_t SWEEP_LAST = 252;
const uint16_t SWEEP_STEP = 2;
// Everything after type, serial number, module and router addresses, router serial and model.
const size_t SPEC_TRANSPORT_OFFSET = offsetof(linkSpec, ipAddress);

struct LinkTypeSearch {
    uint32_t serial;
    linkType type;
};

bool _discovered_device(const linkSpec* spec, bool* found, void* list) {
    DeviceInfo record{};
    memcpy(&record.spec, spec, sizeof record.spec);
    static_cast<std::vector<DeviceInfo>*>(list)->push_back(record);
    *found = true;
    return true;
}

bool _discovered_link(const linkSpec* spec, bool* found, void* ref) {
    *found = true;
    auto* search = static_cast<LinkTypeSearch*>(ref);
    if (spec->serialNumber != search->serial) return true;
    Log::log(DEBUG_Network2, "NETWORK: Found device [%08X] via link type [%d]\n", spec->serialNumber,
             static_cast<int>(spec->type));
    search->type = spec->type;
    return false;
}

linkType _discover_link_type(uint32_t serial) {
    LinkTypeSearch search{serial, 0};
    aDiscovery_EnumerateModules(USB, _discovered_link, &search, LOCAL_INTERFACE);
    if (search.type == 0) aDiscovery_EnumerateModules(TCPIP, _discovered_link, &search, LOCAL_INTERFACE);
    return search.type;
}

// Connects to the discovered module and fills in what it reports; a failure is
// kept in the record's error.
void queryDirectDevice(DeviceInfo& record, UpdaterDisplayInterface& display) {
    record.modelName = aDefs_GetModelName(static_cast<int>(record.spec.model));
    Module module(DEFAULT_ADDRESS, ANY_MODEL);
    aErr result = _disableWeave(module, display);
    if (result == aErrNone) result = module.connectFromSpec(record.spec);
    if (result != aErrNone) {
        record.error = result;
        return;
    }
    record.buildNumber = _get_build_number(module);
    record.error = _get_version(module, record);
    module.disconnect();
}

// The record of the module at `address` behind the router, or false when nothing
// there connects or tells its serial number.
bool queryNetworkDevice(Module& router, const linkSpec& routerSpec, linkType type, uint32_t routerSerial,
                        uint8_t address, UpdaterDisplayInterface& display, DeviceInfo& record) {
    Module module(address, false, ANY_MODEL);
    _disableWeave(module, display);
    if (module.connectThroughLinkModule(&router) != aErrNone) return false;
    SystemClass system;
    system.init(&module, 0);
    uint32_t serial = 0;
    if (system.getSerialNumber(&serial) != aErrNone) {
        module.disconnect();
        return false;
    }
    Log::log(DEBUG_Updater, "Got Serial [0x%08X]\n", serial);

    memcpy(reinterpret_cast<uint8_t*>(&record.spec) + SPEC_TRANSPORT_OFFSET,
           reinterpret_cast<const uint8_t*>(&routerSpec) + SPEC_TRANSPORT_OFFSET,
           sizeof(linkSpec) - SPEC_TRANSPORT_OFFSET);
    record.spec.type = type;
    record.spec.serialNumber = serial;
    // The sweep address until the module tells its own.
    record.spec.moduleAddress = address;
    record.spec.routerAddress = router.getModuleAddress();
    record.spec.routerSerialNumber = routerSerial;
    record.networkAddress = address;

    record.buildNumber = _get_build_number(module);
    record.error = _get_version(module, record);
    uint8_t model = 0;
    const aErr modelResult = system.getModel(&model);
    if (modelResult != aErrNone) {
        record.error = modelResult;
    } else {
        record.spec.model = model;
        record.modelName = aDefs_GetModelName(model);
    }
    module.disconnect();
    return true;
}

}  // namespace

std::vector<DeviceInfo> Updater::Discover_Devices(linkType type) {
    std::vector<DeviceInfo> devices;
    const std::vector<linkType> transports =
        type != 0 ? std::vector<linkType>{type} : std::vector<linkType>{USB, TCPIP};
    for (const linkType transport : transports)
        aDiscovery_EnumerateModules(transport, _discovered_device, &devices, LOCAL_INTERFACE);
    if (type == 0 || type == USB) _report_unopened_usb_modules(*display, 0);
    for (DeviceInfo& record : devices) queryDirectDevice(record, *display);
    return devices;
}

std::vector<DeviceInfo> Updater::Discover_CVNetwork_Devices(uint32_t routerSerial, linkType type) {
    std::vector<DeviceInfo> devices;
    if (type == 0) type = _discover_link_type(routerSerial);
    linkSpec* found = aDiscovery_FindModule(type, routerSerial, LOCAL_INTERFACE);
    if (!found) {
        if (type == 0 || type == USB) _report_unopened_usb_modules(*display, routerSerial);
        return devices;
    }
    const linkSpec routerSpec = *found;
    aLinkSpec_Destroy(&found);
    Log::log(DEBUG_Updater, "Found Link Module");

    Module router(DEFAULT_ADDRESS, ANY_MODEL);
    if (_disableWeave(router, *display) != aErrNone) return devices;
    aErr result = router.connectFromSpec(routerSpec);
    if (result != aErrNone) {
        display->message(UpdaterDisplayInterface::LEVEL_ERROR, "Error %d on connectFromSpec", result);
        return devices;
    }
    SystemClass routerSystem;
    routerSystem.init(&router, 0);
    result = routerSystem.routeToMe(1);
    if (result != aErrNone) {
        display->message(UpdaterDisplayInterface::LEVEL_ERROR, "Error %d on route to me", result);
        router.disconnect();
        return devices;
    }

    I2CClass i2c;
    i2c.init(&router, 0);
    i2c.setSpeed(I2C_SPEED);
    const uint8_t probe[2] = {0, 0};
    const uint8_t routerAddress = router.getModuleAddress();
    for (uint16_t address = SWEEP_FIRST; address <= SWEEP_LAST; address += SWEEP_STEP) {
        if (address == routerAddress) continue;
        const auto busAddress = static_cast<uint8_t>(address);
        Log::log(DEBUG_Updater, "Searching Address 0x%02x\n", busAddress);
        // Only an acknowledged write counts: an error status, with or without a code, is no module.
        if (i2c.write(busAddress, sizeof probe, probe) != aErrNone) continue;
        Log::log(DEBUG_Updater, "Attempt Connect on address: 0x%02x\n", busAddress);
        DeviceInfo record{};
        if (queryNetworkDevice(router, routerSpec, type, routerSerial, busAddress, *display, record))
            devices.push_back(record);
    }
    routerSystem.routeToMe(0);
    router.disconnect();
    return devices;
}
