// Clocks the benchmark reads.
#pragma once

#include <string>
#include <vector>

double processCpuSeconds();

// Wall and CPU time of one child process.
struct ChildTimes {
    int exitCode = -1;
    double wallSeconds = -1;
    double userSeconds = 0;
    double systemSeconds = 0;
};

// Runs argv with standard output on /dev/null and waits for it.
ChildTimes runTimed(const std::vector<std::string>& argv);
