// modsim: a simulated module for tests and for trying the updater by hand.
#include <cstdio>
#include <string>

#include "Options.h"
#include "Simulator.h"

int main(int argc, char** argv) {
    modsim::Options options;
    std::string error;
    bool help = false;
    if (!modsim::parseOptions(argc, argv, options, error, help)) {
        std::fprintf(stderr, "modsim: %s\n%s", error.c_str(), modsim::kUsage);
        return 2;
    }
    if (help) {
        std::fputs(modsim::kUsage, stdout);
        return 0;
    }
    modsim::Simulator simulator(options);
    return simulator.run();
}
