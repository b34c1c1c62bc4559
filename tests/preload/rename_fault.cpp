// Preloaded into a program under test (LD_PRELOAD): makes chosen renames fail, or ends the
// program at one, as a failing disk or a power cut between two steps would.
//
// RENAME_FAULT holds rules separated by ",", each SUFFIX:ACTION[:N]: a rename whose new
// name ends with SUFFIX is hit; ACTION is "kill" (the program dies by SIGKILL before the
// rename happens) or one of EIO, ENOSPC, EACCES, EROFS (the rename fails with that error);
// N hits only the N-th matching rename (counted from 1), else every one is hit.
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <dlfcn.h>
#include <string>
#include <vector>

namespace {

struct Rule {
    std::string suffix;
    std::string action;
    long only = 0;  // 0: every match
    long seen = 0;
};

std::vector<Rule>& rules() {
    static std::vector<Rule> parsed = [] {
        std::vector<Rule> list;
        const char* text = getenv("RENAME_FAULT");
        std::string all = text ? text : "";
        size_t start = 0;
        while (start < all.size()) {
            size_t end = all.find(',', start);
            if (end == std::string::npos) end = all.size();
            const std::string item = all.substr(start, end - start);
            start = end + 1;
            const size_t first = item.find(':');
            if (first == std::string::npos) continue;
            Rule rule;
            rule.suffix = item.substr(0, first);
            const size_t second = item.find(':', first + 1);
            rule.action = item.substr(first + 1, second == std::string::npos ? std::string::npos : second - first - 1);
            if (second != std::string::npos) rule.only = strtol(item.c_str() + second + 1, nullptr, 10);
            list.push_back(rule);
        }
        return list;
    }();
    return parsed;
}

int errorNamed(const std::string& name) {
    if (name == "ENOSPC") return ENOSPC;
    if (name == "EACCES") return EACCES;
    if (name == "EROFS") return EROFS;
    return EIO;
}

bool endsWith(const char* text, const std::string& suffix) {
    const size_t length = strlen(text);
    return length >= suffix.size() && suffix.compare(0, suffix.size(), text + length - suffix.size()) == 0;
}

}  // namespace

extern "C" int rename(const char* oldpath, const char* newpath) {
    using RenameProc = int (*)(const char*, const char*);
    static RenameProc real = reinterpret_cast<RenameProc>(dlsym(RTLD_NEXT, "rename"));
    if (newpath) {
        for (Rule& rule : rules()) {
            if (!endsWith(newpath, rule.suffix)) continue;
            ++rule.seen;
            if (rule.only != 0 && rule.seen != rule.only) continue;
            if (rule.action == "kill") raise(SIGKILL);
            errno = errorNamed(rule.action);
            return -1;
        }
    }
    return real(oldpath, newpath);
}
