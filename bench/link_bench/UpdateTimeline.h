// Where the time of one update goes, read from the simulated module's log.
#pragma once

#include <chrono>
#include <string>
#include <vector>

#include "Simulator.h"

struct UpdateTimeline {
    // Seconds after the updater started; negative when the step was not seen.
    double connect = -1, loader = -1, load = -1, reconnect = -1, firmware = -1, reboot = -1, end = -1;
    // Seconds in which the module itself was away (restarting) before the updater ended.
    double awaySeconds = 0;
    bool complete() const;
    std::string text() const;
};

UpdateTimeline readTimeline(const std::vector<StampedLine>& lines, std::chrono::steady_clock::time_point start,
                            std::chrono::steady_clock::time_point end);

// The module's events (not its packets) with their times after `start`, one a line;
// the benchmark prints them when LINK_BENCH_EVENTS is set.
std::string eventLines(const std::vector<StampedLine>& lines, std::chrono::steady_clock::time_point start);
