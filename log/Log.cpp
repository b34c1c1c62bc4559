#include "Log.h"

#include <cstdarg>
#include <cstring>
#include <ctime>

uint32_t Log::package_bitmask = 0;
FILE* Log::fh = nullptr;
bool Log::timestamped = false;
const char* const Log::TIMESTAMP_FORMAT = "%Y:%m:%d:%H:%M:%S";
const char* const Log::SEPARATOR = " | ";

void Log::log(uint32_t mask, const char* format, ...) {
    if (mask != 0 && (mask & package_bitmask) == 0) return;

    if (timestamped && std::strlen(format) > 10) {
        char stamp[128];
        const time_t now = time(nullptr);
        struct tm utc;
        gmtime_r(&now, &utc);
        const size_t length = strftime(stamp, sizeof stamp, TIMESTAMP_FORMAT, &utc);
        fwrite(stamp, 1, length, stdout);
        fwrite(SEPARATOR, 1, std::strlen(SEPARATOR), stdout);
    }

    char message[2048];
    va_list args;
    va_start(args, format);
    const int written = vsnprintf(message, sizeof message, format, args);
    va_end(args);
    if (written < 0 || fh == nullptr) return;
    const size_t length =
        static_cast<size_t>(written) < sizeof message ? static_cast<size_t>(written) : sizeof message - 1;
    // One write per message keeps lines of concurrent threads apart.
    fwrite(message, 1, length, fh);
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
