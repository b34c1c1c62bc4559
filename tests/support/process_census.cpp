#include "process_census.h"

#include <dirent.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <set>
#include <thread>

namespace testsupport {

namespace {

std::vector<std::string> entries(const char* path) {
    std::vector<std::string> names;
    DIR* dir = opendir(path);
    if (!dir) return names;
    const int own = dirfd(dir);
    while (dirent* entry = readdir(dir)) {
        if (entry->d_name[0] == '.') continue;
        if (atoi(entry->d_name) == own && std::string(path) == "/proc/self/fd") continue;
        names.push_back(entry->d_name);
    }
    closedir(dir);
    std::sort(names.begin(), names.end(),
              [](const std::string& a, const std::string& b) { return atoi(a.c_str()) < atoi(b.c_str()); });
    return names;
}

std::string target(const std::string& fd) {
    char buffer[512];
    const ssize_t length = readlink(("/proc/self/fd/" + fd).c_str(), buffer, sizeof buffer - 1);
    return length < 0 ? "?" : std::string(buffer, static_cast<std::size_t>(length));
}

}  // namespace

Census Census::take() {
    Census census;
    for (const auto& fd : entries("/proc/self/fd")) census.descriptors.push_back(fd + " -> " + target(fd));
    census.threads = entries("/proc/self/task").size();
    return census;
}

std::string Census::beyond(const Census& baseline) const {
    std::string text;
    // By number: a number open at the start may since refer to another socket of the same owner.
    auto number = [](const std::string& descriptor) { return descriptor.substr(0, descriptor.find(' ')); };
    std::set<std::string> before;
    for (const auto& descriptor : baseline.descriptors) before.insert(number(descriptor));
    for (const auto& descriptor : descriptors)
        if (!before.count(number(descriptor))) text += "  descriptor " + descriptor + "\n";
    if (threads > baseline.threads)
        text += "  " + std::to_string(threads - baseline.threads) + " thread(s) more than the " +
                std::to_string(baseline.threads) + " at the start\n";
    return text;
}

Census awaitCensusAtMost(const Census& baseline, std::chrono::milliseconds limit) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    Census census = Census::take();
    while (std::chrono::steady_clock::now() < deadline) {
        if (census.descriptors.size() <= baseline.descriptors.size() && census.threads <= baseline.threads)
            return census;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        census = Census::take();
    }
    return census;
}

}  // namespace testsupport
