// The .settings file of a module directory, read through the same file layer as the tool.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <sys/mman.h>
#include <unistd.h>

#include "KeyValueStore.h"

namespace {

// One in-memory file for the whole run, rewritten for every input.
const std::string& inputPath() {
    static const std::string path = [] {
        const int fd = memfd_create("settings", 0);
        return fd < 0 ? std::string() : "/proc/self/fd/" + std::to_string(fd);
    }();
    return path;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string& path = inputPath();
    if (path.empty()) return 0;
    const int fd = std::stoi(path.substr(path.rfind('/') + 1));
    if (ftruncate(fd, 0) != 0 || pwrite(fd, data, size, 0) != static_cast<ssize_t>(size)) return 0;

    KeyValueStore store;
    store.Load(path.c_str());
    for (const auto& entry : store.entries) {
        // A key never holds "=" and neither part a line break: each came from one line.
        if (entry.first.find('=') != std::string::npos) abort();
        if (entry.first.find('\n') != std::string::npos || entry.second.find('\n') != std::string::npos) abort();
    }
    store.GetInt("LATEST_DOWNLOAD", 0);
    store.GetHex("SERIAL", 0);
    store.GetBOOL("FLAG", false);
    store.GetDouble("RATE", 0.0);
    store.GetString("LATEST_TRANSFER", "");
    return 0;
}
