// File handles over standard I/O streams.
#include "aFile.h"

#include <cerrno>
#include <climits>
#include <cstdarg>
#include <cstdlib>
#include <cstring>
#include <sys/stat.h>
#include <unistd.h>

namespace {

bool sPathTooLong(const char* path) {
    return strnlen(path, aFILE_MAX_PATH + 1) > aFILE_MAX_PATH;
}

bool sCanRead(aFileRef file) {
    return file->mode == aFileModeRead || file->mode == aFileModeAppend;
}

bool sCanWrite(aFileRef file) {
    return file->mode == aFileModeWrite || file->mode == aFileModeAppend;
}

const char* sOpenMode(aFileMode mode) {
    switch (mode) {
    case aFileModeRead:
        return "rb";
    case aFileModeWrite:
        return "wb";
    case aFileModeAppend:
        return "ab+";
    default:
        return nullptr;
    }
}

}  // namespace

bool aFile_Exists(const char* path) {
    if (!path || sPathTooLong(path)) return false;
    struct stat info;
    if (stat(path, &info) != 0) return false;
    return !S_ISDIR(info.st_mode);
}

aFileRef aFile_Open(const char* path, aFileMode mode) {
    if (!path || path[0] == '\0' || sPathTooLong(path)) return nullptr;
    const char* openMode = sOpenMode(mode);
    if (!openMode) return nullptr;

    aFileRef file = static_cast<aFileRef>(calloc(1, sizeof(aFile)));
    if (!file) return nullptr;
    file->check = aFILE_CHECK;
    file->mode = mode;
    file->stream = fopen(path, openMode);
    if (!file->stream) {
        free(file);
        return nullptr;
    }
    if (mode == aFileModeAppend && aFile_Seek(file, 0, SEEK_END) != aErrNone) {
        fclose(file->stream);
        free(file);
        return nullptr;
    }
    return file;
}

aErr aFile_Close(aFileRef* file) {
    if (!file) return aErrParam;
    aFileRef handle = *file;
    *file = nullptr;
    if (!aVALIDFILE(handle)) return aErrParam;
    // fclose flushes first; either failing means data may not have reached the file.
    const bool closed = fclose(handle->stream) == 0;
    handle->check = 0;
    free(handle);
    return closed ? aErrNone : aErrIO;
}

aErr aFile_Read(aFileRef file, void* buffer, size_t count, size_t* countRead) {
    if (countRead) *countRead = 0;
    if (!aVALIDFILE(file) || !buffer) return aErrParam;
    if (!sCanRead(file)) return aErrMode;
    if (count == 0) return aErrNone;
    const size_t got = fread(buffer, 1, count, file->stream);
    if (countRead) *countRead = got;
    return got == 0 ? aErrEOF : aErrNone;
}

aErr aFile_Write(aFileRef file, const void* data, size_t count, size_t* countWritten) {
    if (countWritten) *countWritten = 0;
    if (!aVALIDFILE(file) || !data) return aErrParam;
    if (!sCanWrite(file)) return aErrMode;
    const size_t put = fwrite(data, 1, count, file->stream);
    if (countWritten) *countWritten = put;
    return put < count ? aErrIO : aErrNone;
}

aErr aFile_Seek(aFileRef file, int64_t offset, int origin) {
    if (!aVALIDFILE(file)) return aErrParam;
    const off_t current = ftello(file->stream);
    uint64_t size = 0;
    if (current < 0 || aFile_GetSize(file, &size) != aErrNone) return aErrIO;

    int64_t base = 0;
    if (origin == SEEK_CUR)
        base = current;
    else if (origin == SEEK_END)
        base = static_cast<int64_t>(size);

    int64_t target = 0;
    if (__builtin_add_overflow(base, offset, &target)) return aErrRange;
    // The end itself is a valid target; a file is never extended by seeking.
    if (target < 0 || static_cast<uint64_t>(target) > size) return aErrRange;

    if (fseeko(file->stream, static_cast<off_t>(target), SEEK_SET) != 0) return aErrIO;
    if (ftello(file->stream) < 0) return aErrIO;
    return aErrNone;
}

aErr aFile_GetSize(aFileRef file, uint64_t* size) {
    if (!aVALIDFILE(file) || !size) return aErrParam;
    *size = 0;
    const off_t position = ftello(file->stream);
    if (position < 0) return aErrIO;
    if (fseeko(file->stream, 0, SEEK_END) != 0) return aErrIO;
    const off_t end = ftello(file->stream);
    const bool restored = fseeko(file->stream, position, SEEK_SET) == 0;
    if (end < 0) return aErrIO;
    *size = static_cast<uint64_t>(end);
    return restored ? aErrNone : aErrIO;
}

aErr aFile_GetPosition(aFileRef file, uint64_t* position) {
    if (!aVALIDFILE(file)) return aErrParam;
    const off_t current = ftello(file->stream);
    if (current < 0) return aErrIO;
    if (position) *position = static_cast<uint64_t>(current);
    return aErrNone;
}

aErr aFile_ReadLine(aFileRef file, char* buffer, size_t size, size_t* length) {
    if (length) *length = 0;
    if (buffer && size != 0) buffer[0] = '\0';
    // Below two bytes fgets has no room for even one character.
    if (!aVALIDFILE(file) || !buffer || !length || size < 2) return aErrParam;
    if (!sCanRead(file)) return aErrMode;

    const int limit = size > INT_MAX ? INT_MAX : static_cast<int>(size);
    if (!fgets(buffer, limit, file->stream)) {
        buffer[0] = '\0';
        return feof(file->stream) ? aErrEOF : aErrIO;
    }
    *length = strlen(buffer);
    if (*length == static_cast<size_t>(limit) - 1 && buffer[*length - 1] != '\n') return aErrOverrun;
    return aErrNone;
}

aErr aFile_SetUnbuffered(aFileRef file) {
    if (!aVALIDFILE(file)) return aErrParam;
    if (!sCanWrite(file)) return aErrMode;
    if (setvbuf(file->stream, nullptr, _IONBF, 0) != 0) return aErrMode;
    return aErrNone;
}

aErr aFile_Printf(aFileRef file, const char* format, ...) {
    if (!aVALIDFILE(file) || !format) return aErrParam;
    if (!sCanWrite(file)) return aErrMode;
    va_list args;
    va_start(args, format);
    const int written = vfprintf(file->stream, format, args);
    va_end(args);
    return written < 0 ? aErrIO : aErrNone;
}

aErr aFile_Delete(const char* path) {
    if (!path) return aErrParam;
    if (sPathTooLong(path)) return aErrFileNameLength;
    if (unlink(path) == 0) return aErrNone;
    switch (errno) {
    case ENOENT:
        return aErrNotFound;
    case EACCES:
        return aErrPermission;
    default:
        return aErrIO;
    }
}
