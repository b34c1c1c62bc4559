// One blocking HTTP GET over libcurl, with bounded waits.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <string>

class HTTPResponse {
public:
    explicit HTTPResponse(std::string request) : request_(std::move(request)) {}

    const std::string& get_request() const { return request_; }
    int64_t get_status() const { return status_; }
    void set_status(int64_t status) { status_ = status; }
    // The body as received, NUL-terminated and writable.
    char* get_response() { return &response_[0]; }
    const std::string& body() const { return response_; }
    void process(const char* bytes, size_t count) { response_.append(bytes, count); }

    // Bytes the body may hold; a reply that would pass it ends the transfer.
    void set_limit(size_t limit) { limit_ = limit; }
    size_t limit() const { return limit_; }
    void mark_overflow() { overflow_ = true; }
    bool overflowed() const { return overflow_; }

private:
    std::string request_;
    int64_t status_ = 0;
    std::string response_;
    size_t limit_ = SIZE_MAX;
    bool overflow_ = false;
};

// How long a request may wait. A server that accepts the connection and then stalls
// must end in an error, not hold the tool (or its download worker) for ever.
struct HTTPLimits {
    long connectTimeoutMs = 10000;
    long lowSpeedBytesPerSecond = 1;  // slower than this for lowSpeedSeconds aborts
    long lowSpeedSeconds = 30;
    long totalTimeoutMs = 300000;
    // The largest reply is a firmware file of up to 64 MiB in base64 (4 characters for
    // every 3 bytes) after the status line; nothing larger is ever taken into memory.
    size_t maxBodyBytes = size_t(4) * (((size_t(64) << 20) + 2) / 3) + 4096;
};

class HTTPRequest {
public:
    HTTPRequest() = delete;

    // Appends "?key=value&" for each query entry, in key order, unescaped.
    // Throws std::runtime_error with libcurl's text when the transfer fails, or with
    // "Reply larger than N bytes" past limits.maxBodyBytes, and records the reason for
    // the user ("connection refused", "unknown host NAME", ...);
    // an HTTP error status is no failure here, it comes back in the response.
    static HTTPResponse GET(const std::string& url, const std::map<std::string, std::string>& query,
                            const HTTPLimits& limits = HTTPLimits());
};
