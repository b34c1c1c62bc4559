// imxsim: a simulated i.MX boot ROM. See README.md.
#include <csignal>
#include <cstdio>
#include <memory>
#include <poll.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include "Options.h"
#include "Rom.h"
#include "Transport.h"

namespace {

volatile sig_atomic_t gStop = 0;
void onSignal(int) {
    gStop = 1;
}

FILE* gLog = nullptr;

void logLine(const std::string& text) {
    if (!gLog) return;
    std::fprintf(gLog, "ev %s\n", text.c_str());
    std::fflush(gLog);
}

// Starts the loader program: what the ROM's jump brings to life.
pid_t startLoader(const std::vector<std::string>& command, uint32_t address) {
    char text[64];
    std::snprintf(text, sizeof text, "jump 0x%08X", address);
    std::printf("%s\n", text);
    std::fflush(stdout);
    if (command.empty()) return -1;
    const pid_t rom = getpid();
    const pid_t pid = fork();
    if (pid == 0) {
        // The loader program ends with the simulated ROM, whatever ends it.
        prctl(PR_SET_PDEATHSIG, SIGTERM);
        if (getppid() != rom) _exit(127);
        std::vector<char*> argv;
        for (const std::string& a : command) argv.push_back(const_cast<char*>(a.c_str()));
        argv.push_back(nullptr);
        execvp(argv[0], argv.data());
        std::perror("imxsim: cannot start the loader");
        _exit(127);
    }
    logLine("loader started pid " + std::to_string(pid));
    return pid;
}

}  // namespace

int main(int argc, char** argv) {
    imxsim::Options options;
    std::string error;
    bool help = false;
    if (!imxsim::parseOptions(argc, argv, options, error, help)) {
        std::fprintf(stderr, "imxsim: %s\n%s", error.c_str(), imxsim::kUsage);
        return 2;
    }
    if (help) {
        std::printf("%s", imxsim::kUsage);
        return 0;
    }
    if (!options.logPath.empty()) {
        gLog = options.logPath == "-" ? stderr : std::fopen(options.logPath.c_str(), "w");
        if (!gLog) {
            std::perror("imxsim: log");
            return 1;
        }
    }
    struct sigaction sa {};
    sa.sa_handler = onSignal;
    sigaction(SIGTERM, &sa, nullptr);
    sigaction(SIGINT, &sa, nullptr);
    signal(SIGPIPE, SIG_IGN);

    imxsim::Rom rom(options, logLine);
    std::unique_ptr<imxsim::Transport> transport;
    if (options.pty) {
        auto pty = std::make_unique<imxsim::PtyTransport>(options.dropMs, logLine);
        if (!pty->open(error)) {
            std::fprintf(stderr, "imxsim: %s\n", error.c_str());
            return 1;
        }
        std::printf("ready pty %s\n", pty->slavePath().c_str());
        transport = std::move(pty);
    } else {
        auto hid = std::make_unique<imxsim::HidTransport>(logLine);
        if (!hid->open(options.hidSocket, error)) {
            std::fprintf(stderr, "imxsim: %s\n", error.c_str());
            return 1;
        }
        std::printf("ready hid %s\n", options.hidSocket.c_str());
        transport = std::move(hid);
    }
    std::fflush(stdout);

    pid_t loader = -1;
    while (!gStop) {
        pollfd p{transport->pollFd(), POLLIN, 0};
        const int timeout = transport->timeoutMs();
        const int ready = poll(&p, 1, timeout < 0 || timeout > 500 ? 500 : timeout);
        if (ready > 0 && !transport->service(rom)) break;
        transport->idle();
        uint32_t address = 0;
        if (rom.takeJump(address) && loader < 0) loader = startLoader(options.loader, address);
        if (loader > 0 && waitpid(loader, nullptr, WNOHANG) == loader) {
            logLine("loader ended");
            loader = -1;
        }
    }
    if (loader > 0) {
        kill(loader, SIGTERM);
        waitpid(loader, nullptr, 0);
    }
    logLine("quit");
    return 0;
}
