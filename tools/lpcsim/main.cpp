// lpcsim: a simulated LPC17xx serial ISP boot ROM on a pseudo-terminal.
//
//   lpcsim [--id W0,W1,W2,W3] [--fill BYTE] [--dump FILE] [--log FILE] [--fault RULE]... [--verbose]
//
// Prints "ready pty /dev/pts/N" once the port is up. Standard input takes control lines:
// "fault RULE", "clear", "release", "dump FILE", "quit"; each is answered "ok" or "error ...".
// SIGUSR1 does what "release" does.
// Fault rules: silent:<letter|sync>[:N], rc:<letter>:<code>[:N], checksum:resend|wrong|silent|pass[:N],
// hold:<letter>[:N].
#include <array>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <poll.h>
#include <string>
#include <unistd.h>

#include "Chip.h"
#include "Pty.h"

namespace {

volatile std::sig_atomic_t stopRequested = 0;
volatile std::sig_atomic_t releaseRequested = 0;

void onSignal(int) {
    stopRequested = 1;
}

void onRelease(int) {
    releaseRequested = 1;
}

bool dumpFlash(const lpcsim::Chip& chip, const std::string& path) {
    FILE* file = std::fopen(path.c_str(), "wb");
    if (!file) return false;
    const bool written = std::fwrite(chip.flash().data(), 1, chip.flash().size(), file) == chip.flash().size();
    return std::fclose(file) == 0 && written;
}

bool parseId(const char* text, std::array<uint32_t, 4>& id) {
    const char* at = text;
    for (size_t i = 0; i < id.size(); ++i) {
        char* end = nullptr;
        id[i] = static_cast<uint32_t>(std::strtoul(at, &end, 0));
        if (end == at || (i < 3 && *end != ',') || (i == 3 && *end != '\0')) return false;
        at = end + 1;
    }
    return true;
}

std::string controlLine(lpcsim::Chip& chip, const std::string& line, bool& quit) {
    if (line.rfind("fault ", 0) == 0) {
        std::string error;
        return chip.faults().add(line.substr(6), error) ? "ok" : "error " + error;
    }
    if (line == "clear") {
        chip.faults().clear();
        return "ok";
    }
    if (line == "release") {
        if (!chip.holding()) return "error nothing held";
        chip.release();
        return "ok";
    }
    if (line.rfind("dump ", 0) == 0) return dumpFlash(chip, line.substr(5)) ? "ok" : "error cannot write";
    if (line == "quit") {
        quit = true;
        return "ok";
    }
    return "error unknown command";
}

}  // namespace

int main(int argc, char** argv) {
    std::array<uint32_t, 4> id = {0x12345678, 0x9ABCDEF0, 0x0F1E2D3C, 0x4B5A6978};
    uint8_t fill = 0xFF;
    std::string dumpPath;
    std::string logPath;
    bool verbose = false;
    std::vector<std::string> faultRules;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        const bool hasValue = i + 1 < argc;
        if (arg == "--id" && hasValue && parseId(argv[i + 1], id))
            ++i;
        else if (arg == "--fill" && hasValue)
            fill = static_cast<uint8_t>(std::strtoul(argv[++i], nullptr, 0));
        else if (arg == "--dump" && hasValue)
            dumpPath = argv[++i];
        else if (arg == "--log" && hasValue)
            logPath = argv[++i];
        else if (arg == "--fault" && hasValue)
            faultRules.push_back(argv[++i]);
        else if (arg == "--verbose")
            verbose = true;
        else {
            std::fprintf(stderr,
                         "usage: lpcsim [--id W0,W1,W2,W3] [--fill BYTE] [--dump FILE] [--log FILE] "
                         "[--fault RULE]... [--verbose]\n");
            return 2;
        }
    }

    lpcsim::Pty pty;
    std::string error;
    if (!pty.open(error)) {
        std::fprintf(stderr, "lpcsim: %s\n", error.c_str());
        return 1;
    }
    lpcsim::Chip chip([&pty](const std::string& bytes) { pty.write(bytes); }, id, fill);
    chip.lineRate = [&pty] { return pty.baudRate(); };
    for (const std::string& rule : faultRules) {
        if (!chip.faults().add(rule, error)) {
            std::fprintf(stderr, "lpcsim: %s\n", error.c_str());
            return 2;
        }
    }
    FILE* log = nullptr;
    if (!logPath.empty() && !(log = std::fopen(logPath.c_str(), "w"))) {
        std::fprintf(stderr, "lpcsim: cannot write %s\n", logPath.c_str());
        return 1;
    }
    chip.onEvent = [verbose, log](const std::string& text) {
        if (verbose) std::fprintf(stderr, "lpcsim: %s\n", text.c_str());
        if (log) {
            std::fprintf(log, "%s\n", text.c_str());
            std::fflush(log);
        }
    };

    std::signal(SIGTERM, onSignal);
    std::signal(SIGINT, onSignal);
    std::signal(SIGUSR1, onRelease);
    std::signal(SIGPIPE, SIG_IGN);
    std::printf("ready pty %s\n", pty.slavePath().c_str());
    std::fflush(stdout);

    bool stdinOpen = true;
    bool quit = false;
    std::string control;
    while (!stopRequested && !quit) {
        pollfd fds[2] = {{pty.master(), POLLIN, 0}, {stdinOpen ? 0 : -1, POLLIN, 0}};
        if (poll(fds, 2, 200) < 0 && errno != EINTR) break;
        if (releaseRequested) {
            releaseRequested = 0;
            chip.release();
        }
        if (fds[0].revents & POLLIN) {
            uint8_t buffer[512];
            const ssize_t n = read(pty.master(), buffer, sizeof buffer);
            for (ssize_t i = 0; i < n; ++i) chip.receive(buffer[i]);
        }
        if (fds[1].revents & (POLLIN | POLLHUP)) {
            char buffer[256];
            const ssize_t n = read(0, buffer, sizeof buffer);
            if (n <= 0) stdinOpen = false;
            for (ssize_t i = 0; i < n; ++i) {
                if (buffer[i] != '\n') {
                    control += buffer[i];
                    continue;
                }
                std::printf("%s\n", controlLine(chip, control, quit).c_str());
                std::fflush(stdout);
                control.clear();
            }
        }
    }
    if (log) std::fclose(log);
    if (!dumpPath.empty() && !dumpFlash(chip, dumpPath)) {
        std::fprintf(stderr, "lpcsim: cannot write %s\n", dumpPath.c_str());
        return 1;
    }
    return 0;
}
