// The update-server client: one blocking GET per request, plain-text replies whose first
// line begins with "ok". Every request returns true on success and never throws; failures
// go to the diagnostic log (DEBUG_ServerComm). A null url means default_url.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "HTTPRequest.h"

using BuildMap = std::map<std::string, std::string>;                 // build text -> version text
using BuildList = std::vector<std::pair<std::string, std::string>>;  // (build, version)

class UpdateServerRequest {
public:
    UpdateServerRequest() = delete;

    static const char* const default_url;
    static const char* const delimiters;

    static bool ping(const char* url = nullptr, const HTTPLimits& limits = HTTPLimits());
    static bool QueryBuild(uint32_t serial, std::string& build, std::string& firmware, const char* url = nullptr,
                           const HTTPLimits& limits = HTTPLimits());
    static bool GetBuild(uint32_t serial, const std::string& firmware, const std::string& build, std::string& out,
                         const char* url = nullptr, bool noCal = false, const HTTPLimits& limits = HTTPLimits());
    // builds is cleared first, so a failed request leaves it empty.
    static bool GetBuildList(uint32_t serial, BuildMap& builds, const char* url = nullptr,
                             const HTTPLimits& limits = HTTPLimits());
    static bool GetRecoveryInfo(const uint32_t fingerprint[4], uint32_t* serial, uint32_t* build,
                                const char* url = nullptr, const HTTPLimits& limits = HTTPLimits());
    static bool GetDeviceJWT(uint32_t serial, std::string& jwt, const char* url = nullptr,
                             const HTTPLimits& limits = HTTPLimits());

    // Builds whose version has three numeric parts, newest first (equal versions in build-text
    // order), then all the others in build-text order.
    static BuildList SortBuildsByVersion(const BuildMap& builds);
    // The pieces of a version text cut at every "."; empty unless there are exactly three.
    static std::vector<std::string> SplitCorvalithVersion(const std::string& version);

    // A build text read like stoul (base 10, as far as digits go), modulo 2^32, but without
    // exceptions: false when there are no digits or the number exceeds unsigned long.
    static bool ParseBuildNumber(const std::string& text, uint32_t& number);
};

// True when both versions have three numeric parts and a's is newer than b's (8 bits per part).
bool _sortVersion(const std::pair<std::string, std::string>& a, const std::pair<std::string, std::string>& b);
