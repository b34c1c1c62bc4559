// The names in a directory, "." and ".." left out: what a listing test compares.
#pragma once

#include <dirent.h>

#include <set>
#include <string>

namespace testsupport {

inline std::set<std::string> namesIn(const std::string& directory) {
    std::set<std::string> names;
    DIR* listing = opendir(directory.c_str());
    if (!listing) return names;
    while (dirent* entry = readdir(listing)) {
        const std::string name = entry->d_name;
        if (name != "." && name != "..") names.insert(name);
    }
    closedir(listing);
    return names;
}

}  // namespace testsupport
