// A loopback TCP port that refuses connections: bound, never listening, for as long as it lives.
#pragma once

#include <string>

namespace testsupport {

class RefusingPort {
public:
    RefusingPort();
    ~RefusingPort();
    RefusingPort(const RefusingPort&) = delete;
    RefusingPort& operator=(const RefusingPort&) = delete;

    // http://127.0.0.1:PORT<path>
    std::string url(const std::string& path = "/cgi/u") const;

private:
    int fd_ = -1;
    int port_ = 0;
};

}  // namespace testsupport
