// Runs of the updater on the emulated USB bus (tools/usbbed), each module behind its
// device being a simulated module on a Unix-domain socket. The updater is timed by
// this benchmark's own --time-child mode inside the bed, so the bed's start-up does
// not count.
#pragma once

#include <string>

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
};
// `-U -f trel` of the module with `serial`: the device leaves the bus while the module
// restarts into its loader and when it reboots, as a real module does.
UsbUpdate updateUsb(const BenchPaths& paths, const std::string& work, const std::string& trel,
                    const std::string& serial, int model);

// The child half of the timing: runs argv and writes "exit wall user sys start end"
// (start and end on the monotonic clock, in seconds) to `file`.
int timeChild(const std::string& file, const std::vector<std::string>& argv);
