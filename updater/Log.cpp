#include "Log.h"

#include <cstdarg>
#include <cstring>
#include <ctime>

uint32_t Log::package_bitmask = 0;
FILE* Log::fh = nullptr;
bool Log::timestamped = false;
const char* const Log::TIMESTAMP_FORMAT = "%Y:%m:%d:%H:%M:%S";
const char* const Log::SEPARATOR = " | ";

namespace {
const size_t MESSAGE_SIZE = 2048;
const size_t TIMESTAMP_SIZE = 128;
}  // namespace

void Log::log(uint32_t mask, const char* format, ...) {
    if (mask != 0 && (mask & package_bitmask) == 0) return;
    if (!format) return;
    if (timestamped && strlen(format) > 10) {
        const time_t now = time(nullptr);
        struct tm utc;
        char stamp[TIMESTAMP_SIZE];
        if (gmtime_r(&now, &utc) && strftime(stamp, sizeof stamp, TIMESTAMP_FORMAT, &utc) > 0) {
            fputs(stamp, stdout);
            fputs(SEPARATOR, stdout);
        }
    }
    char message[MESSAGE_SIZE];
    va_list args;
    va_start(args, format);
    const int length = vsnprintf(message, sizeof message, format, args);
    va_end(args);
    if (length < 0 || !fh) return;
    const size_t size = static_cast<size_t>(length) < sizeof message ? static_cast<size_t>(length) : sizeof message - 1;
    fwrite(message, 1, size, fh);
}

void Log::SetOutput(FILE* stream) {
    fh = stream;
}

void Log::ActivatePackage(uint32_t bits) {
    package_bitmask |= bits;
}

void Log::DeactivatePackage(uint32_t bits) {
    package_bitmask &= ~bits;
}
