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
constexpr size_t kMessageSize = 2048;
constexpr size_t kTimestampSize = 128;
}  // namespace

void Log::log(uint32_t mask, const char* format, ...) {
    if (mask != 0 && (mask & package_bitmask) == 0) return;

    if (timestamped && strlen(format) > 10) {
        char stamp[kTimestampSize];
        const time_t now = time(nullptr);
        struct tm utc;
        gmtime_r(&now, &utc);
        const size_t length = strftime(stamp, sizeof stamp, TIMESTAMP_FORMAT, &utc);
        fwrite(stamp, 1, length, stdout);
        fwrite(SEPARATOR, 1, strlen(SEPARATOR), stdout);
    }

    // Formatted first and written in one call, so lines of two threads never mix.
    char message[kMessageSize];
    va_list args;
    va_start(args, format);
    vsnprintf(message, sizeof message, format, args);
    va_end(args);
    if (fh) {
        fwrite(message, 1, strlen(message), fh);
        fflush(fh);
    }
}

void Log::SetOutput(FILE* stream) { fh = stream; }

void Log::ActivatePackage(uint32_t bits) { package_bitmask |= bits; }

void Log::DeactivatePackage(uint32_t bits) { package_bitmask &= ~bits; }
