#include "ReplaceFile.h"

#include <cerrno>
#include <cstdio>
#include <unistd.h>

std::string TemporaryPathFor(const std::string& path) {
    const size_t slash = path.rfind('/');
    const std::string directory = slash == std::string::npos ? std::string() : path.substr(0, slash + 1);
    const std::string name = slash == std::string::npos ? path : path.substr(slash + 1);
    const char* hide = (!name.empty() && name[0] == '.') ? "" : ".";
    return directory + hide + name + ".tmp";
}

bool ReplaceFileWith(const std::string& temporaryPath, const std::string& path) {
    if (std::rename(temporaryPath.c_str(), path.c_str()) == 0) return true;
    const int error = errno;
    unlink(temporaryPath.c_str());
    errno = error;
    return false;
}
