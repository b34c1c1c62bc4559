// Directory operations: existence, creation, listing, removal and path building.
#include "aDirectory.h"

#include <cerrno>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <pwd.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#include "aDefs.h"

namespace {

const char sSeparator = aDIR_PATH_SEP[0];

bool sIsDotEntry(const char* name) {
    return strcmp(name, ".") == 0 || strcmp(name, "..") == 0;
}

// One prefix of a path to create: already there as a directory, or made now.
bool sMakeDirectory(const char* path, uint16_t mode) {
    if (aDirectory_Exists(path)) return true;
    if (mkdir(path, mode) == 0) return true;
    // EEXIST is fine only when what exists is a directory (someone may have just made it).
    return errno == EEXIST && aDirectory_Exists(path);
}

bool sLiesWithin(const char* part, const char* buffer, size_t size) {
    const uintptr_t p = reinterpret_cast<uintptr_t>(part);
    const uintptr_t start = reinterpret_cast<uintptr_t>(buffer);
    return p >= start && p - start < size;
}

// Copies a home path into the caller's buffer, always terminated.
aErr sCopyHome(char* buffer, size_t size, const char* home) {
    const size_t length = strlen(home);
    if (length >= size) return aErrOverrun;
    memcpy(buffer, home, length + 1);
    return aErrNone;
}

}  // namespace

bool aDirectory_Exists(const char* path) {
    if (!path) return false;
    struct stat info;
    return stat(path, &info) == 0 && S_ISDIR(info.st_mode);
}

aErr aDirectory_Ensure(const char* path, uint16_t mode) {
    if (!path) return aErrParam;
    if (aDirectory_Exists(path)) return aErrNone;

    // Every prefix that ends before a separator is an ancestor; empty ones
    // (a leading or doubled separator) are skipped.
    std::string prefix(path);
    for (size_t cut = prefix.find(sSeparator, 1); cut != std::string::npos; cut = prefix.find(sSeparator, cut + 1)) {
        if (prefix[cut - 1] == sSeparator) continue;
        prefix[cut] = '\0';
        const bool made = sMakeDirectory(prefix.c_str(), mode);
        prefix[cut] = sSeparator;
        if (!made) return aErrPermission;
    }
    return sMakeDirectory(path, mode) ? aErrNone : aErrPermission;
}

aErr aDirectory_List(const char* directory, aDirectoryListProc proc, void* ref) {
    if (!directory || !proc) return aErrParam;
    DIR* dir = opendir(directory);
    if (!dir) return aErrNotFound;

    char path[aDIRECTORY_LIST_PATH_SIZE];
    for (struct dirent* entry = readdir(dir); entry; entry = readdir(dir)) {
        // A name that does not fit would leave the directory's own path in the buffer.
        if (aDirectory_JoinPath(path, sizeof path, directory, entry->d_name) != aErrNone) continue;
        struct stat info;
        if (stat(path, &info) != 0) continue;
        const aDirectoryListData data = {path, static_cast<uint32_t>(info.st_size), S_ISDIR(info.st_mode) ? 1u : 0u};
        if (!proc(&data, ref)) break;
    }
    closedir(dir);
    return aErrNone;
}

aErr aDirectory_Delete(const char* path) {
    if (!path) return aErrParam;
    return rmdir(path) == 0 ? aErrNone : aErrUnknown;
}

aErr aDirectory_DeleteTree(const char* path) {
    if (!path) return aErrParam;
    // O_NOFOLLOW: a symbolic link is never entered, so nothing outside the tree is removed.
    const int fd = open(path, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) return aErrNotFound;
    DIR* dir = fdopendir(fd);
    if (!dir) {
        close(fd);
        return aErrNotFound;
    }

    char entryPath[aDIRECTORY_LIST_PATH_SIZE];
    for (struct dirent* entry = readdir(dir); entry; entry = readdir(dir)) {
        if (sIsDotEntry(entry->d_name)) continue;
        // An entry whose path does not fit stays; the final rmdir then reports the failure.
        if (aDirectory_JoinPath(entryPath, sizeof entryPath, path, entry->d_name) != aErrNone) continue;
        struct stat info;
        if (lstat(entryPath, &info) != 0) continue;
        if (S_ISDIR(info.st_mode)) {
            if (aDirectory_DeleteTree(entryPath) != aErrNone) break;
        } else if (unlink(entryPath) != 0) {
            perror("aDirectory_DeleteTree");
            printf("---error unlink-ing file [%s]\n", entryPath);
            break;
        }
    }
    closedir(dir);
    return aDirectory_Delete(path);
}

aErr aDirectory_CWD(char* buffer, size_t size) {
    if (!buffer || size == 0) return aErrParam;
    return getcwd(buffer, size) ? aErrNone : aErrParam;
}

aErr aDirectory_ExecutableFilePath(char* buffer, size_t size) {
    if (!buffer || size == 0) return aErrParam;
    char target[4096];
    const ssize_t length = readlink("/proc/self/exe", target, sizeof target);
    if (length < 0) return aErrRead;
    const size_t kept = static_cast<size_t>(length) < size - 1 ? static_cast<size_t>(length) : size - 1;
    memcpy(buffer, target, kept);
    buffer[kept] = '\0';
    return aErrNone;
}

aErr aDirectory_GetHomeDirectory(char* buffer, size_t size) {
    if (!buffer || size == 0) return aErrParam;
    buffer[0] = '\0';

    // getpwuid_r, not getpwuid: this may run on any thread.
    std::vector<char> scratch(16384);
    struct passwd entry;
    struct passwd* found = nullptr;
    int rc = 0;
    while ((rc = getpwuid_r(getuid(), &entry, scratch.data(), scratch.size(), &found)) == ERANGE &&
           scratch.size() < (1u << 20)) {
        scratch.resize(scratch.size() * 2);
    }
    if (rc == 0 && found && found->pw_dir && found->pw_dir[0] != '\0') {
        return sCopyHome(buffer, size, found->pw_dir);
    }
    const char* home = getenv("HOME");
    if (home && home[0] != '\0') return sCopyHome(buffer, size, home);
    return aErrNotFound;
}

aErr aDirectory_JoinPath(char* destination, size_t size, const char* directory, const char* name) {
    return aDirectory_BuildPath(destination, size, directory, name, static_cast<const char*>(nullptr));
}

aErr aDirectory_BuildPath(char* destination, size_t size, const char* first, ...) {
    if (!destination || size == 0 || !first || sLiesWithin(first, destination, size)) return aErrParam;
    destination[0] = '\0';

    const char* parts[aDIRECTORY_MAX_BUILD_PARTS];
    size_t count = 0;
    parts[count++] = first;
    va_list args;
    va_start(args, first);
    bool refused = false;
    for (const char* part = va_arg(args, const char*); part; part = va_arg(args, const char*)) {
        if (count == aDIRECTORY_MAX_BUILD_PARTS || sLiesWithin(part, destination, size)) {
            refused = true;
            break;
        }
        parts[count++] = part;
    }
    va_end(args);
    if (refused) return aErrParam;

    size_t length = strlen(first);
    if (length >= size - 1) return aErrOverrun;
    memcpy(destination, first, length + 1);

    for (size_t i = 1; i < count; ++i) {
        const char* part = parts[i];
        size_t room = size - length - 1;
        // Nothing joined yet: no separator, so an empty first part never makes a path absolute.
        if (room > 1 && length > 0 && destination[length - 1] != sSeparator && part[0] != sSeparator) {
            destination[length++] = sSeparator;
            destination[length] = '\0';
            --room;
        }
        const size_t partLength = strlen(part);
        if (partLength >= room) return aErrOverrun;
        memcpy(destination + length, part, partLength + 1);
        length += partLength;
    }
    return aErrNone;
}
