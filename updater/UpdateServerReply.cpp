#include "UpdateServerReply.h"

#include <cerrno>
#include <cstdlib>

#include "Log.h"
#include "UpdateServerRequest.h"

namespace {

// Successive pieces of a text between delimiter characters, skipping runs of them,
// like strtok but without touching the text.
class Tokens {
public:
    explicit Tokens(const std::string& text) : text_(text) {}

    bool next(const char* delimiters, std::string& piece) {
        const size_t start = text_.find_first_not_of(delimiters, position_);
        if (start == std::string::npos) {
            position_ = text_.size();
            return false;
        }
        size_t end = text_.find_first_of(delimiters, start);
        if (end == std::string::npos) end = text_.size();
        piece = text_.substr(start, end - start);
        position_ = end < text_.size() ? end + 1 : end;
        return true;
    }

private:
    const std::string& text_;
    size_t position_ = 0;
};

// strtoul as far as digits go, modulo 2^32; false only when the number exceeds unsigned long.
bool readNumber(const std::string& text, int base, uint32_t& value) {
    errno = 0;
    const unsigned long number = strtoul(text.c_str(), nullptr, base);
    if (errno == ERANGE) return false;
    value = static_cast<uint32_t>(number);
    return true;
}

}  // namespace

namespace UpdateServerReply {

std::vector<std::string> Lines(const std::string& body) {
    std::vector<std::string> lines;
    Tokens tokens(body);
    std::string line;
    while (tokens.next(UpdateServerRequest::delimiters, line)) lines.push_back(line);
    return lines;
}

bool IsAccepted(const std::vector<std::string>& lines) {
    return !lines.empty() && lines[0].compare(0, 2, "ok") == 0;
}

void ReadLatestBuild(const std::vector<std::string>& lines, std::string& build, std::string& firmware) {
    if (lines.size() > 1) build = lines[1];
    if (lines.size() > 2) {
        Tokens tokens(lines[2]);
        std::string name;
        if (tokens.next("\r\n", name)) firmware = name;
    }
}

void ReadFirmware(const std::vector<std::string>& lines, std::string& out) {
    out.clear();
    if (lines.size() > 1) out = lines[1];
}

void ReadBuildList(const std::vector<std::string>& lines, std::map<std::string, std::string>& builds) {
    for (size_t i = 1; i < lines.size(); ++i) {
        const std::string& entry = lines[i];
        if (entry.size() < 3) continue;
        Log::log(DEBUG_ServerComm, "%s processing entry: [%s]\n", "GetBuildList", entry.c_str());
        Tokens tokens(entry);
        std::string build, version;
        if (!tokens.next(";\r\n", build)) continue;
        tokens.next(";\r\n", version);
        builds.emplace(build, version);
        Log::log(DEBUG_ServerComm, "%s [%.10s][%.10s]\n", "GetBuildList", build.c_str(), version.c_str());
    }
}

bool ReadRecoveryInfo(const std::vector<std::string>& lines, uint32_t* serial, uint32_t* build) {
    const char* line1 = lines.empty() ? "" : lines[0].c_str();
    const char* line2 = lines.size() > 1 ? lines[1].c_str() : "";
    const char* line3 = lines.size() > 2 ? lines[2].c_str() : "";
    Log::log(DEBUG_ServerComm, "%s [%.20s][%.20s][%.20s]\n", "GetRecoveryInfo", line1, line2, line3);

    uint32_t newSerial = *serial, newBuild = *build;
    if ((lines.size() > 1 && !readNumber(lines[1], 16, newSerial)) ||
        (lines.size() > 2 && !readNumber(lines[2], 0, newBuild))) {
        Log::log(DEBUG_ServerComm, "%s: number out of range [%.20s][%.20s]\n", "GetRecoveryInfo", line2, line3);
        return false;
    }
    *serial = newSerial;
    *build = newBuild;
    return true;
}

bool ReadToken(const std::vector<std::string>& lines, std::string& jwt) {
    if (lines.size() < 2 || lines[1].size() <= 2) return false;
    const std::string& line = lines[1];
    Log::log(DEBUG_ServerComm, "%s processing entry: [%s]\n", "GetDeviceJWT", line.c_str());

    Tokens tokens(line);
    std::string header, payload, signature;
    if (!tokens.next(".", header) || !tokens.next(".", payload) || !tokens.next("\r\n", signature)) return false;
    if (header.size() < 2 || payload.size() < 2 || signature.size() < 2) return false;
    jwt = header + "." + payload + "." + signature;
    return true;
}

}  // namespace UpdateServerReply
