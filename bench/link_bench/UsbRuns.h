// Runs of the updater on the emulated USB bus (tools/usbbed), each module behind its
// device being a simulated module on a Unix-domain socket. The updater is timed by
// this benchmark's own --time-child mode inside the bed, so the bed's start-up does
// not count.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "Timing.h"
#include "UpdateTimeline.h"

struct BenchPaths {
    std::string build;
    std::string source;
    std::string self;
    std::string modsim() const { return build + "/tools/modsim/modsim"; }
    std::string updater() const { return build + "/updater/updater"; }
    std::string usbbed() const { return build + "/tools/usbbed/usbbed"; }
};

// `-D -t USB` with `modules` simulated modules on the bus (0: an empty bus).
ChildTimes discoverUsb(const BenchPaths& paths, const std::string& work, int modules);

struct UsbUpdate {
    ChildTimes times;
    UpdateTimeline timeline;
    std::string events;
};
// `-U -f trel` of the module with `serial`: the device leaves the bus while the module
// restarts into its loader and when it reboots, as a real module does. `loadWay` is the
// module's way of restarting into its loader (modsim --load-way). With `inPlaceMs` the
// device instead stays listed while the module restarts into its loader, refusing every
// transfer with "no device" for that long (usbbed's restart), as many modules do.
UsbUpdate updateUsb(const BenchPaths& paths, const std::string& work, const std::string& trel,
                    const std::string& serial, int model, const char* loadWay, int inPlaceMs = 0);

// CPU share (per cent of one core) of this benchmark holding an open USB link to a
// module for `seconds`, measured in a child under the bed; negative on failure.
double idleUsbLink(const BenchPaths& paths, const std::string& work, double seconds);
// The child half of it: connects to `serial` on USB, stays idle, writes the share to `file`.
int idleUsbChild(const std::string& file, uint32_t serial, double seconds);

// The child half of the timing: runs argv and writes "exit wall user sys start end"
// (start and end on the monotonic clock, in seconds) to `file`.
int timeChild(const std::string& file, const std::vector<std::string>& argv);
