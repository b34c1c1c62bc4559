#include "HTTPRequest.h"

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <stdexcept>

#include <curl/curl.h>

#include "Log.h"
#include "ServerFailure.h"

namespace {

size_t _rcv_data(char* data, size_t size, size_t count, void* userdata) {
    HTTPResponse* response = static_cast<HTTPResponse*>(userdata);
    const size_t bytes = size * count;
    Log::log(DEBUG_ServerComm, "rcv_data called (..., %d, %d, %08X) [%100.*s]\n", static_cast<int>(size),
             static_cast<int>(count), static_cast<unsigned>(reinterpret_cast<uintptr_t>(response)),
             static_cast<int>(std::min<size_t>(bytes, 100)), data);
    if (bytes > response->limit() - response->body().size()) {
        // Returning less than offered makes libcurl end the transfer with an error.
        response->mark_overflow();
        return 0;
    }
    try {
        response->process(data, bytes);
    } catch (const std::exception&) {
        // Out of memory: returning less than offered makes libcurl end the transfer with an error.
        return 0;
    }
    Log::log(DEBUG_ServerComm, "rcv_data returns %d\n", static_cast<int>(bytes));
    return bytes;
}

std::string fullUrl(const std::string& url, const std::map<std::string, std::string>& query) {
    std::string full = url;
    if (!query.empty()) {
        full += "?";
        for (const auto& entry : query) full += entry.first + "=" + entry.second + "&";
    }
    return full;
}

CURLcode configure(CURL* curl, HTTPResponse& response, const HTTPLimits& limits) {
    CURLcode code = CURLE_OK;
    if ((code = curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, _rcv_data)) != CURLE_OK) return code;
    if ((code = curl_easy_setopt(curl, CURLOPT_WRITEDATA, &response)) != CURLE_OK) return code;
    if ((code = curl_easy_setopt(curl, CURLOPT_URL, response.get_request().c_str())) != CURLE_OK) return code;
    if ((code = curl_easy_setopt(curl, CURLOPT_SSL_VERIFYHOST, 2L)) != CURLE_OK) return code;
    if ((code = curl_easy_setopt(curl, CURLOPT_SSL_VERIFYPEER, 0L)) != CURLE_OK) return code;
    // Builds without OCSP stapling support refuse this option; leaving it off is what 0 asks for.
    curl_easy_setopt(curl, CURLOPT_SSL_VERIFYSTATUS, 0L);
    // Time-outs must not use signals: GET also runs on the download worker thread.
    if ((code = curl_easy_setopt(curl, CURLOPT_NOSIGNAL, 1L)) != CURLE_OK) return code;
    if ((code = curl_easy_setopt(curl, CURLOPT_CONNECTTIMEOUT_MS, limits.connectTimeoutMs)) != CURLE_OK) return code;
    if ((code = curl_easy_setopt(curl, CURLOPT_LOW_SPEED_LIMIT, limits.lowSpeedBytesPerSecond)) != CURLE_OK)
        return code;
    if ((code = curl_easy_setopt(curl, CURLOPT_LOW_SPEED_TIME, limits.lowSpeedSeconds)) != CURLE_OK) return code;
    return curl_easy_setopt(curl, CURLOPT_TIMEOUT_MS, limits.totalTimeoutMs);
}

long long bytesReceived(CURL* curl) {
    curl_off_t bytes = 0;
    return curl_easy_getinfo(curl, CURLINFO_SIZE_DOWNLOAD_T, &bytes) == CURLE_OK ? static_cast<long long>(bytes) : 0;
}

std::string systemError(CURL* curl) {
    long osError = 0;
    curl_easy_getinfo(curl, CURLINFO_OS_ERRNO, &osError);
    return osError != 0 ? strerror(static_cast<int>(osError)) : std::string();
}

// What went wrong, as a user can act on it: the system's reason for a refused
// connection, the host name that did not resolve, how far a broken reply came.
std::string failureText(CURL* curl, CURLcode code, const HTTPResponse& response, const HTTPLimits& limits) {
    if (response.overflowed()) return "reply larger than " + std::to_string(limits.maxBodyBytes) + " bytes";
    switch (code) {
    case CURLE_COULDNT_CONNECT: {
        long osError = 0;
        curl_easy_getinfo(curl, CURLINFO_OS_ERRNO, &osError);
        if (osError == ECONNREFUSED) return "connection refused";
        return osError != 0 ? std::string("cannot connect: ") + strerror(static_cast<int>(osError))
                            : std::string("cannot connect");
    }
    case CURLE_COULDNT_RESOLVE_HOST: {
        char* host = nullptr;
        CURLU* parsed = curl_url();
        std::string text = "unknown host";
        char* url = nullptr;
        if (parsed && curl_easy_getinfo(curl, CURLINFO_EFFECTIVE_URL, &url) == CURLE_OK && url &&
            curl_url_set(parsed, CURLUPART_URL, url, 0) == CURLUE_OK &&
            curl_url_get(parsed, CURLUPART_HOST, &host, 0) == CURLUE_OK) {
            text += std::string(" ") + host;
            curl_free(host);
        }
        curl_url_cleanup(parsed);
        return text;
    }
    case CURLE_OPERATION_TIMEDOUT: {
        long headerBytes = 0;
        curl_easy_getinfo(curl, CURLINFO_HEADER_SIZE, &headerBytes);
        if (headerBytes == 0) return "no answer in time";
        double seconds = 0;
        curl_easy_getinfo(curl, CURLINFO_TOTAL_TIME, &seconds);
        char text[128];
        snprintf(text, sizeof text, "the reply came too slowly: %lld bytes in %.0f s", bytesReceived(curl), seconds);
        return text;
    }
    case CURLE_PARTIAL_FILE: {
        curl_off_t announced = -1;
        curl_easy_getinfo(curl, CURLINFO_CONTENT_LENGTH_DOWNLOAD_T, &announced);
        std::string text = "the connection closed after " + std::to_string(bytesReceived(curl));
        if (announced >= 0) return text + " of the " + std::to_string(announced) + " bytes the reply announced";
        return text + " bytes of the reply";
    }
    case CURLE_GOT_NOTHING:
        return "the server closed the connection without a reply";
    case CURLE_RECV_ERROR: {
        const std::string why = systemError(curl);
        return "the connection broke after " + std::to_string(bytesReceived(curl)) + " bytes of the reply" +
               (why.empty() ? std::string() : " (" + why + ")");
    }
    default:
        return curl_easy_strerror(code);
    }
}

}  // namespace

HTTPResponse HTTPRequest::GET(const std::string& url, const std::map<std::string, std::string>& query,
                              const HTTPLimits& limits) {
    CURL* curl = curl_easy_init();
    HTTPResponse response(fullUrl(url, query));
    response.set_limit(limits.maxBodyBytes);
    if (curl == nullptr) throw std::runtime_error("Could not create curl instance");

    CURLcode code = configure(curl, response, limits);
    if (code == CURLE_OK) {
        Log::log(DEBUG_ServerComm, "GET(%s)\n", response.get_request().c_str());
        code = curl_easy_perform(curl);
    }
    if (code == CURLE_OK) {
        long status = 0;
        code = curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &status);
        response.set_status(status);
    }
    if (code != CURLE_OK) _record_server_failure(failureText(curl, code, response, limits));
    curl_easy_cleanup(curl);
    if (code != CURLE_OK && response.overflowed())
        throw std::runtime_error("Reply larger than " + std::to_string(limits.maxBodyBytes) + " bytes");
    if (code != CURLE_OK) throw std::runtime_error(curl_easy_strerror(code));
    return response;
}
