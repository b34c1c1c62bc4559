#include "UsbAccess.h"

#include "discover.h"

#ifndef UPDATER_UDEV_RULES_FILE
#define UPDATER_UDEV_RULES_FILE "/usr/lib/udev/rules.d/70-corvalith-modules.rules"
#endif

namespace {

struct Search {
    UpdaterDisplayInterface* display;  // null: only look
    uint32_t serial;
    aErr first;
    unsigned reported;
    bool denied;
};

// A module whose serial could not be read may be the one asked for.
bool matches(const aDiscoveryUnopened* module, uint32_t serial) {
    return serial == 0 || module->serialNumber == 0 || module->serialNumber == serial;
}

bool visit(const aDiscoveryUnopened* module, void* ref) {
    auto* search = static_cast<Search*>(ref);
    if (!matches(module, search->serial)) return true;
    if (search->first == aErrNone) search->first = module->error;
    if (module->error == aErrPermission) search->denied = true;
    ++search->reported;
    if (!search->display) return false;
    if (module->serialNumber != 0) {
        search->display->message(UpdaterDisplayInterface::LEVEL_ERROR, "Module %08X is on USB but cannot be opened: %s",
                                 module->serialNumber, module->reason);
    } else {
        search->display->message(UpdaterDisplayInterface::LEVEL_ERROR,
                                 "A module on USB (bus %u, device %u) cannot be opened: %s", module->bus,
                                 module->address, module->reason);
    }
    return true;
}

}  // namespace

aErr _unopened_usb_module(uint32_t serial) {
    Search search{nullptr, serial, aErrNone, 0, false};
    aDiscovery_EnumerateUnopenedUSB(visit, &search);
    return search.first;
}

unsigned _report_unopened_usb_modules(UpdaterDisplayInterface& display, uint32_t serial) {
    Search search{&display, serial, aErrNone, 0, false};
    aDiscovery_EnumerateUnopenedUSB(visit, &search);
    if (search.denied)
        display.message(UpdaterDisplayInterface::LEVEL_ERROR,
                        "Non-root access needs the udev rule %s and membership of the plugdev group "
                        "(see USB ACCESS in updater(1)), or run as root",
                        UPDATER_UDEV_RULES_FILE);
    return search.reported;
}
