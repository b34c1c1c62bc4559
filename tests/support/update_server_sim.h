// The simulated update server (tools/update_server) run for one test, with its request log.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "process.h"
#include "tempdir.h"

namespace testsupport {

class UpdateServerSim {
public:
    // `options` go to the server as they stand (e.g. {"--fault", "crlf"}).
    explicit UpdateServerSim(const std::string& fixtures, const std::vector<std::string>& options = {});

    // http://127.0.0.1:PORT/cgi/u, or empty when the server did not start.
    const std::string& url() const { return url_; }
    // Path and query of every request received so far, oldest first.
    std::vector<std::string> requests() const;

private:
    TempDir logDir_;
    std::unique_ptr<BackgroundProcess> process_;
    std::string url_;
};

// Writes `content` to root/relativePath, creating the directories on the way.
void writeFixture(const std::string& root, const std::string& relativePath, const std::string& content);

}  // namespace testsupport
