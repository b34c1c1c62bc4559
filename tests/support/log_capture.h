// Collects what the diagnostic log writes for chosen packages during one test.
#pragma once

#include <cstdio>
#include <string>

#include "Log.h"

namespace testsupport {

class LogCapture {
public:
    explicit LogCapture(uint32_t packages) : packages_(packages), file_(std::tmpfile()) {
        saved_ = Log::fh;
        Log::SetOutput(file_);
        Log::ActivatePackage(packages_);
    }
    ~LogCapture() {
        Log::DeactivatePackage(packages_);
        Log::SetOutput(saved_);
        if (file_) std::fclose(file_);
    }
    LogCapture(const LogCapture&) = delete;
    LogCapture& operator=(const LogCapture&) = delete;

    std::string text() const {
        std::string content;
        if (!file_) return content;
        std::fflush(file_);
        std::rewind(file_);
        char buffer[4096];
        size_t n;
        while ((n = std::fread(buffer, 1, sizeof buffer, file_)) > 0) content.append(buffer, n);
        std::fseek(file_, 0, SEEK_END);
        return content;
    }

private:
    uint32_t packages_;
    FILE* file_;
    FILE* saved_ = nullptr;
};

}  // namespace testsupport
