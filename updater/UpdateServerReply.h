// Reading the plain-text replies of the update server. None of these throws.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

namespace UpdateServerReply {

// The body cut at "\n"; runs of "\n" count as one, so no line is empty. "\r" stays in its line.
std::vector<std::string> Lines(const std::string& body);

// The server accepted the request: the first line begins with "ok".
bool IsAccepted(const std::vector<std::string>& lines);

// Line 2 is the latest build, line 3 (cut at "\r") the firmware name; missing lines leave
// the outputs as they were.
void ReadLatestBuild(const std::vector<std::string>& lines, std::string& build, std::string& firmware);

// Line 2, the firmware file in base64; empty when missing.
void ReadFirmware(const std::vector<std::string>& lines, std::string& out);

// "build;version" entries after the first line; the first entry of a build wins.
void ReadBuildList(const std::vector<std::string>& lines, std::map<std::string, std::string>& builds);

// Line 2 the serial number in hexadecimal, line 3 the build with automatic base. False when
// either number does not fit; then neither output changes.
bool ReadRecoveryInfo(const std::vector<std::string>& lines, uint32_t* serial, uint32_t* build);

// Line 2 as a token of three dot-separated parts of at least 2 characters each; false
// (and jwt unchanged) otherwise.
bool ReadToken(const std::vector<std::string>& lines, std::string& jwt);

}  // namespace UpdateServerReply
