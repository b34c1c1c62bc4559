// Sends the diagnostic log to a temporary file for the life of the object.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>

#include "Log.h"

namespace testsupport {

class LogCapture {
public:
    explicit LogCapture(uint32_t packages)
        : file_(tmpfile()), savedFile_(Log::fh), savedMask_(Log::package_bitmask) {
        Log::SetOutput(file_);
        Log::package_bitmask = packages;
    }
    ~LogCapture() {
        Log::SetOutput(savedFile_);
        Log::package_bitmask = savedMask_;
        if (file_) fclose(file_);
    }
    LogCapture(const LogCapture&) = delete;
    LogCapture& operator=(const LogCapture&) = delete;

    std::string text() const {
        std::string all;
        if (!file_) return all;
        fflush(file_);
        rewind(file_);
        char chunk[4096];
        size_t got = 0;
        while ((got = fread(chunk, 1, sizeof chunk, file_)) > 0) all.append(chunk, got);
        fseek(file_, 0, SEEK_END);
        return all;
    }

private:
    FILE* file_;
    FILE* savedFile_;
    uint32_t savedMask_;
};

}  // namespace testsupport
