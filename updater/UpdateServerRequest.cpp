#include "UpdateServerRequest.h"

#include <cstdio>
#include <exception>

#include "Log.h"
#include "ServerFailure.h"
#include "UpdateServerReply.h"

const char* const UpdateServerRequest::default_url = "http://updates.veltrane.example/cgi/u";
const char* const UpdateServerRequest::delimiters = "\n";

namespace {

using Query = std::map<std::string, std::string>;
using Lines = std::vector<std::string>;

std::string serialText(uint32_t serial) {
    char text[9];
    snprintf(text, sizeof text, "%08X", serial);
    return text;
}

// A line of the server's reply as the user may see it: cut to `limit` characters, with
// anything unprintable (a carriage return too) shown as "?".
std::string printable(const std::string& line, size_t limit) {
    std::string text = line.substr(0, limit);
    if (!text.empty() && text.back() == '\r') text.pop_back();
    for (char& c : text)
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F) c = '?';
    return text;
}

// Why the server refused: its first line, then the reason it gives on the lines after it.
std::string refusalReason(const Lines& lines) {
    std::string reason = "the server did not accept the request";
    if (lines.empty()) return reason;
    reason += " (" + printable(lines[0], 80) + ")";
    for (size_t i = 1; i < lines.size() && i <= 3; ++i) reason += (i == 1 ? ": " : "; ") + printable(lines[i], 160);
    return reason;
}

// Sends the request and hands back the reply's lines when the server accepted it.
bool exchange(const char* name, const char* url, const Query& query, const HTTPLimits& limits, Lines& lines) {
    try {
        HTTPResponse response = HTTPRequest::GET(url ? url : UpdateServerRequest::default_url, query, limits);
        if (response.get_status() != 200) {
            const int status = static_cast<int>(response.get_status());
            if (std::string(name) == "ping")
                Log::log(DEBUG_ServerComm, "PING ==> [%d] [%s]\n", status, response.body().c_str());
            else
                Log::log(DEBUG_ServerComm, "%s ==> [%d] [%s]\n", name, status, response.body().c_str());
            _record_server_failure(status == 404 ? "not found (HTTP 404)" : "HTTP status " + std::to_string(status));
            return false;
        }
        lines = UpdateServerReply::Lines(response.body());
        if (!UpdateServerReply::IsAccepted(lines)) {
            Log::log(DEBUG_ServerComm, "ServerCommClass: %s failed [%s]\n", name, response.get_request().c_str());
            _record_server_failure(refusalReason(lines));
            return false;
        }
        _record_server_failure("");
        return true;
    } catch (const std::exception& error) {
        Log::log(DEBUG_ServerComm, "%s ==> [%s]\n", name, error.what());
        return false;
    }
}

}  // namespace

bool UpdateServerRequest::ping(const char* url, const HTTPLimits& limits) {
    Lines lines;
    return exchange("ping", url, {{"op", "hi"}, {"rv", "2"}}, limits, lines);
}

bool UpdateServerRequest::QueryBuild(uint32_t serial, std::string& build, std::string& firmware, const char* url,
                                     const HTTPLimits& limits) {
    Lines lines;
    if (!exchange("QueryBuild", url, {{"op", "qu"}, {"sn", serialText(serial)}}, limits, lines)) return false;
    UpdateServerReply::ReadLatestBuild(lines, build, firmware);
    return true;
}

bool UpdateServerRequest::GetBuild(uint32_t serial, const std::string& firmware, const std::string& build,
                                   std::string& out, const char* url, bool noCal, const HTTPLimits& limits) {
    const Query query = {{"bld", build},
                         {"fw", firmware},
                         {"no_cal", noCal ? "true" : "false"},
                         {"op", "trel"},
                         {"sn", serialText(serial)}};
    Lines lines;
    if (!exchange("GetBuild", url, query, limits, lines)) return false;
    UpdateServerReply::ReadFirmware(lines, out);
    return true;
}

bool UpdateServerRequest::GetBuildList(uint32_t serial, BuildMap& builds, const char* url, const HTTPLimits& limits) {
    builds.clear();
    Lines lines;
    if (!exchange("GetBuildList", url, {{"op", "builds"}, {"sn", serialText(serial)}}, limits, lines)) return false;
    UpdateServerReply::ReadBuildList(lines, builds);
    return true;
}

bool UpdateServerRequest::GetRecoveryInfo(const uint32_t fingerprint[4], uint32_t* serial, uint32_t* build,
                                          const char* url, const HTTPLimits& limits) {
    char value[64];
    // "%20" is an escaped space between the words; the value goes out as it stands.
    snprintf(value, sizeof value, "%08X%%20%08X%%20%08X%%20%08X", fingerprint[0], fingerprint[1], fingerprint[2],
             fingerprint[3]);
    Lines lines;
    if (!exchange("GetRecoveryInfo", url, {{"brief", "true"}, {"fp", value}, {"op", "fix"}}, limits, lines))
        return false;
    return UpdateServerReply::ReadRecoveryInfo(lines, serial, build);
}

bool UpdateServerRequest::GetDeviceJWT(uint32_t serial, std::string& jwt, const char* url, const HTTPLimits& limits) {
    const Query query = {{"json", "false"}, {"op", "ent_jwt"}, {"sn", serialText(serial)}};
    Lines lines;
    if (!exchange("GetDeviceJWT", url, query, limits, lines)) return false;
    return UpdateServerReply::ReadToken(lines, jwt);
}
