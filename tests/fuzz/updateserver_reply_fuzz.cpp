// Update-server replies: the body of any request, read by every reply reader, and the
// firmware line's base64.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "UpdateServerReply.h"
#include "UpdateServerRequest.h"
#include "base64.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string body(reinterpret_cast<const char*>(data), size);
    const std::vector<std::string> lines = UpdateServerReply::Lines(body);
    UpdateServerReply::IsAccepted(lines);

    std::string build = "unchanged";
    std::string firmware = "unchanged";
    UpdateServerReply::ReadLatestBuild(lines, build, firmware);
    uint32_t number = 0;
    UpdateServerRequest::ParseBuildNumber(build, number);

    std::map<std::string, std::string> builds;
    UpdateServerReply::ReadBuildList(lines, builds);
    UpdateServerRequest::SortBuildsByVersion(builds);

    uint32_t serial = 0;
    uint32_t recoveryBuild = 0;
    UpdateServerReply::ReadRecoveryInfo(lines, &serial, &recoveryBuild);
    std::string jwt;
    UpdateServerReply::ReadToken(lines, jwt);

    std::string text;
    UpdateServerReply::ReadFirmware(lines, text);
    size_t length = 0;
    unsigned char* decoded = base64_decode(text.data(), text.size(), &length);
    if (decoded) {
        // What decodes encodes back to the same bytes.
        size_t encodedLength = 0;
        char* encoded = base64_encode(decoded, length, &encodedLength);
        size_t again = 0;
        unsigned char* round = encoded ? base64_decode(encoded, encodedLength, &again) : nullptr;
        if (!round || again != length || memcmp(round, decoded, length) != 0) abort();
        free(round);
        free(encoded);
        free(decoded);
    }
    free(base64_decode(body.data(), body.size(), &length));
    return 0;
}
