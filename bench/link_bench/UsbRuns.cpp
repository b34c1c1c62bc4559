#include "UsbRuns.h"

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <memory>
#include <thread>
#include <utility>
#include <vector>

#include "Module.h"
#include "Simulator.h"

namespace {

using Clock = std::chrono::steady_clock;
// How long the device stays off the bus while the module restarts into its loader.
const int RESTART_MS = 200;

double monotonicSeconds(Clock::time_point t) {
    return std::chrono::duration<double>(t.time_since_epoch()).count();
}

Clock::time_point fromSeconds(double s) {
    return Clock::time_point(std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(s)));
}

struct Timed {
    ChildTimes times;
    Clock::time_point start, end;
};

Timed readTimes(const std::string& file) {
    Timed timed;
    std::ifstream in(file);
    double start = 0, end = 0;
    if (in >> timed.times.exitCode >> timed.times.wallSeconds >> timed.times.userSeconds >> timed.times.systemSeconds >>
        start >> end) {
        timed.start = fromSeconds(start);
        timed.end = fromSeconds(end);
    } else {
        timed.times = ChildTimes{};
    }
    return timed;
}

std::vector<std::string> bedCommand(const BenchPaths& paths, const std::vector<std::string>& bedArgs,
                                    const std::string& timesFile, const std::vector<std::string>& updaterArgs) {
    std::vector<std::string> argv{paths.usbbed()};
    argv.insert(argv.end(), bedArgs.begin(), bedArgs.end());
    argv.insert(argv.end(), {"--", paths.self, "--time-child", timesFile, paths.updater()});
    argv.insert(argv.end(), updaterArgs.begin(), updaterArgs.end());
    return argv;
}

bool bedControl(const std::string& path, const std::string& command) {
    const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return false;
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    snprintf(address.sun_path, sizeof address.sun_path, "%s", path.c_str());
    bool ok = connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
    const std::string line = command + "\n";
    ok = ok && write(fd, line.data(), line.size()) == static_cast<ssize_t>(line.size());
    char answer[64] = {};
    ok = ok && read(fd, answer, sizeof answer - 1) > 0 && strncmp(answer, "ok", 2) == 0;
    close(fd);
    return ok;
}

std::string deviceSpec(const std::string& serial, int model, const std::string& socketPath) {
    return "serial=" + serial + ",model=" + std::to_string(model) + ",bridge=unix:" + socketPath;
}

}  // namespace

int timeChild(const std::string& file, const std::vector<std::string>& argv) {
    const Clock::time_point start = Clock::now();
    const ChildTimes times = runTimed(argv);
    const Clock::time_point end = Clock::now();
    std::ofstream out(file);
    out << times.exitCode << ' ' << times.wallSeconds << ' ' << times.userSeconds << ' ' << times.systemSeconds << ' ';
    out.precision(17);
    out << monotonicSeconds(start) << ' ' << monotonicSeconds(end) << '\n';
    return times.exitCode;
}

ChildTimes discoverUsb(const BenchPaths& paths, const std::string& work, int modules) {
    std::vector<std::unique_ptr<Simulator>> sims;
    std::vector<std::string> bedArgs;
    for (int i = 0; i < modules; ++i) {
        char serial[16];
        snprintf(serial, sizeof serial, "0000D%03X", i);
        const std::string socketPath = work + "/discover-" + serial + ".sock";
        sims.push_back(std::make_unique<Simulator>(
            paths.modsim(), std::vector<std::string>{"--unix", socketPath, "--serial", serial, "--model", "19",
                                                     "--address", std::to_string(2 + 2 * i)}));
        if (!sims.back()->ready()) return {};
        bedArgs.insert(bedArgs.end(), {"--device", deviceSpec(serial, 19, socketPath)});
    }
    const std::string timesFile = work + "/discover.times";
    runTimed(bedCommand(paths, bedArgs, timesFile, {"-i", work, "-u", "http://127.0.0.1:1/cgi/u", "-D", "-t", "USB"}));
    return readTimes(timesFile).times;
}

UsbUpdate updateUsb(const BenchPaths& paths, const std::string& work, const std::string& trel,
                    const std::string& serial, int model, const char* loadWay, int inPlaceMs) {
    UsbUpdate result;
    const std::string socketPath = work + "/update-usb.sock";
    const std::string controlPath = work + "/update-bed.sock";
    Simulator sim(paths.modsim(), {"--unix", socketPath, "--serial", serial, "--model", std::to_string(model),
                                   "--address", "2", "--load-way", loadWay});
    if (!sim.ready()) return result;
    // The device follows the module: it leaves the bus when the module restarts into its
    // loader and comes back after the module's restart time, and leaves again at the reboot.
    std::atomic<bool> done{false};
    std::vector<std::pair<Clock::time_point, Clock::time_point>> away;
    std::thread bus([&] {
        size_t seen = 0;
        Clock::time_point returnAt{};
        while (!done) {
            const auto lines = sim.log();
            for (; seen < lines.size(); ++seen) {
                const std::string& text = lines[seen].text;
                const bool restart = text.find("restart into loader") != std::string::npos;
                const bool reboot =
                    text.find(" loader ") != std::string::npos && text.find(" reboot") != std::string::npos;
                if (!restart && !reboot) continue;
                if (restart && inPlaceMs > 0) {
                    bedControl(controlPath, "restart " + serial + " " + std::to_string(inPlaceMs));
                    const Clock::time_point now = Clock::now();
                    away.push_back({now, now + std::chrono::milliseconds(inPlaceMs)});
                    continue;
                }
                bedControl(controlPath, "unplug " + serial);
                away.push_back({Clock::now(), Clock::time_point::max()});
                if (restart) returnAt = Clock::now() + std::chrono::milliseconds(RESTART_MS);
            }
            if (returnAt != Clock::time_point{} && Clock::now() >= returnAt) {
                bedControl(controlPath, "add " + deviceSpec(serial, model, socketPath));
                away.back().second = Clock::now();
                returnAt = {};
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
    });
    const std::string timesFile = work + "/update-usb.times";
    runTimed(bedCommand(paths, {"--control", controlPath, "--device", deviceSpec(serial, model, socketPath)}, timesFile,
                        {"-i", work, "-u", "http://127.0.0.1:1/cgi/u", "-U", "-d", serial, "-f", trel}));
    done = true;
    bus.join();
    const Timed timed = readTimes(timesFile);
    result.times = timed.times;
    if (timed.times.exitCode == 0) {
        result.timeline = readTimeline(sim.log(), timed.start, timed.end);
        result.timeline.awaySeconds = 0;
        for (const auto& gone : away)
            result.timeline.awaySeconds +=
                std::chrono::duration<double>(std::min(gone.second, timed.end) - gone.first).count();
    }
    result.events = eventLines(sim.log(), timed.start);
    return result;
}

int idleUsbChild(const std::string& file, uint32_t serial, double seconds) {
    using namespace Veltrane::Corvalith;
    Module module(2, 0);
    aWeaveConfig config;
    config.enabled = 0;
    config.fallback = 0;
    module.setConfig(config);
    if (module.connect(USB, serial) != aErrNone) return 1;
    const double before = processCpuSeconds();
    std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
    const double share = (processCpuSeconds() - before) / seconds * 100.0;
    module.disconnect();
    std::ofstream(file) << share << '\n';
    return 0;
}

double idleUsbLink(const BenchPaths& paths, const std::string& work, double seconds) {
    const std::string serial = "0000D1D1";
    const std::string socketPath = work + "/idle-usb.sock";
    Simulator sim(paths.modsim(), {"--unix", socketPath, "--serial", serial, "--model", "19"});
    if (!sim.ready()) return -1;
    const std::string shareFile = work + "/idle-usb.share";
    runTimed({paths.usbbed(), "--device", deviceSpec(serial, 19, socketPath), "--", paths.self, "--idle-usb-child",
              shareFile, serial, std::to_string(seconds)});
    std::ifstream in(shareFile);
    double share = -1;
    return in >> share ? share : -1;
}
