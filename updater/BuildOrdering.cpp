#include <algorithm>
#include <array>
#include <cerrno>
#include <climits>
#include <cstdlib>

#include "Log.h"
#include "UpdateServerRequest.h"

namespace {

using Version = std::array<uint8_t, 3>;  // major, minor, patch; only the low 8 bits of each part count

// A part as a signed decimal int: leading white space and a sign, digits as far as they go.
bool readPart(const std::string& part, uint8_t& value, std::string& failure) {
    const char* start = part.c_str();
    char* end = nullptr;
    errno = 0;
    const long number = strtol(start, &end, 10);
    if (end == start) {
        failure = "no digits in [" + part + "]";
        return false;
    }
    if (errno == ERANGE || number < INT_MIN || number > INT_MAX) {
        failure = "out of range [" + part + "]";
        return false;
    }
    value = static_cast<uint8_t>(static_cast<unsigned long>(number) & 0xFF);
    return true;
}

bool readVersion(const std::string& text, Version& version, std::string& failure) {
    const std::vector<std::string> parts = UpdateServerRequest::SplitCorvalithVersion(text);
    if (parts.empty()) {
        failure = "not three parts [" + text + "]";
        return false;
    }
    for (size_t i = 0; i < 3; ++i)
        if (!readPart(parts[i], version[i], failure)) return false;
    return true;
}

}  // namespace

std::vector<std::string> UpdateServerRequest::SplitCorvalithVersion(const std::string& version) {
    std::vector<std::string> parts;
    size_t start = 0;
    for (;;) {
        const size_t dot = version.find('.', start);
        parts.push_back(version.substr(start, dot == std::string::npos ? std::string::npos : dot - start));
        if (dot == std::string::npos) break;
        start = dot + 1;
    }
    if (parts.size() != 3) parts.clear();
    return parts;
}

bool _sortVersion(const std::pair<std::string, std::string>& a, const std::pair<std::string, std::string>& b) {
    const bool aHasParts = !UpdateServerRequest::SplitCorvalithVersion(a.second).empty();
    const bool bHasParts = !UpdateServerRequest::SplitCorvalithVersion(b.second).empty();
    if (!aHasParts && !bHasParts) return false;

    Version va{}, vb{};
    std::string failure;
    if (!readVersion(a.second, va, failure) || !readVersion(b.second, vb, failure)) {
        Log::log(DEBUG_ServerComm, "%s: Exception converting version: %s\n", "_sortVersion", failure.c_str());
        return false;
    }
    return va > vb;
}

BuildList UpdateServerRequest::SortBuildsByVersion(const BuildMap& builds) {
    struct Sortable {
        std::pair<std::string, std::string> build;
        bool valid;
        Version version;
    };
    std::vector<Sortable> sortable;
    for (const auto& build : builds) {
        Sortable entry{build, false, {}};
        std::string failure;
        entry.valid = readVersion(build.second, entry.version, failure);
        if (!entry.valid && !SplitCorvalithVersion(build.second).empty())
            Log::log(DEBUG_ServerComm, "%s: Exception converting version: %s\n", "_sortVersion", failure.c_str());
        sortable.push_back(entry);
    }

    // Valid versions first, newest first; stability keeps build-text order among equals
    // and among the builds whose version cannot be read.
    std::stable_sort(sortable.begin(), sortable.end(), [](const Sortable& a, const Sortable& b) {
        if (a.valid != b.valid) return a.valid;
        return a.valid && a.version > b.version;
    });

    BuildList sorted;
    for (const auto& entry : sortable) sorted.push_back(entry.build);
    return sorted;
}

bool UpdateServerRequest::ParseBuildNumber(const std::string& text, uint32_t& number) {
    const char* start = text.c_str();
    char* end = nullptr;
    errno = 0;
    const unsigned long value = strtoul(start, &end, 10);
    if (end == start || errno == ERANGE) return false;
    number = static_cast<uint32_t>(value);
    return true;
}
