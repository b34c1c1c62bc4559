// A second host for a client that loses its network: a veth pair inside the test's own
// namespace, one end (198.19.0.1) left here for the server to bind, the other moved
// into the private network namespace of the client's process (198.19.0.2). Cutting
// takes the client's end down: from then on nothing the server sends reaches it and no
// FIN or RST comes back, as when a host on the network loses its cable.
#pragma once

#include <arpa/inet.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <vector>

#include "process.h"
#include "wait_until.h"

namespace requestpath {

class CutNetwork {
public:
    static constexpr const char* kServerSide = "rpcut0";
    static constexpr const char* kClientSide = "rpcut1";
    static constexpr const char* kServerAddress = "198.19.0.1";
    static constexpr const char* kClientAddress = "198.19.0.2";

    CutNetwork() {
        ready_ = ip({"link", "add", kServerSide, "type", "veth", "peer", "name", kClientSide}) &&
                 ip({"addr", "add", std::string(kServerAddress) + "/24", "dev", kServerSide}) &&
                 ip({"link", "set", kServerSide, "up"});
    }
    // The pair goes with the client's namespace when its process ends; else here.
    ~CutNetwork() { run({"/usr/sbin/ip", "link", "del", kServerSide}, true); }
    CutNetwork(const CutNetwork&) = delete;
    CutNetwork& operator=(const CutNetwork&) = delete;

    bool ready() const { return ready_; }
    static uint32_t serverAddress() { return inet_addr(kServerAddress); }

    // Gives the process (started under `unshare -n`) the client's end, once it has left
    // this namespace.
    bool join(pid_t pid) const {
        const std::string here = namespaceOf(getpid());
        if (!testsupport::waitUntil(
                [&] {
                    const std::string there = namespaceOf(pid);
                    return !there.empty() && there != here;
                },
                std::chrono::seconds(10)))
            return false;
        const std::string target = std::to_string(pid);
        return ip({"link", "set", kClientSide, "netns", target}) &&
               inside(pid, {"addr", "add", std::string(kClientAddress) + "/24", "dev", kClientSide}) &&
               inside(pid, {"link", "set", "lo", "up"}) && inside(pid, {"link", "set", kClientSide, "up"});
    }
    bool cut(pid_t pid) const { return inside(pid, {"link", "set", kClientSide, "down"}); }

private:
    static std::string namespaceOf(pid_t pid) {
        char target[256];
        const std::string link = "/proc/" + std::to_string(pid) + "/ns/net";
        const ssize_t length = readlink(link.c_str(), target, sizeof target - 1);
        return length > 0 ? std::string(target, static_cast<size_t>(length)) : std::string();
    }
    static bool run(std::vector<std::string> argv, bool quiet = false) {
        const testsupport::ProcessResult result = testsupport::runProcess(argv, std::chrono::seconds(20), {"LD_PRELOAD="});
        if (result.exitCode != 0 && !quiet)
            std::fprintf(stderr, "%s failed: %s%s\n", argv.front().c_str(), result.out.c_str(), result.err.c_str());
        return result.exitCode == 0;
    }
    static bool ip(std::vector<std::string> args) {
        args.insert(args.begin(), "/usr/sbin/ip");
        return run(args);
    }
    static bool inside(pid_t pid, std::vector<std::string> args) {
        args.insert(args.begin(), {"/usr/bin/nsenter", "-t", std::to_string(pid), "-n", "/usr/sbin/ip"});
        return run(args);
    }

    bool ready_ = false;
};

}  // namespace requestpath
