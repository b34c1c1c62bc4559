// Directory operations of the link core.
#pragma once

#include <cstddef>
#include <cstdint>

#include "aError.h"

#define aDIRECTORY_LIST_PATH_SIZE 2048
#define aDIRECTORY_MAX_BUILD_PARTS 10

typedef struct aDirectoryListData {
    const char* path;      // the entry's full path; valid only during the call
    uint32_t size;         // low 32 bits of the entry's size
    uint32_t isDirectory;  // 1 for a directory, else 0
} aDirectoryListData;

// Returns true to go on with the next entry, false to stop the listing.
typedef bool (*aDirectoryListProc)(const aDirectoryListData* entry, void* ref);

bool aDirectory_Exists(const char* path);
aErr aDirectory_Ensure(const char* path, uint16_t mode);
aErr aDirectory_List(const char* directory, aDirectoryListProc proc, void* ref);
aErr aDirectory_Delete(const char* path);
aErr aDirectory_DeleteTree(const char* path);
aErr aDirectory_CWD(char* buffer, size_t size);
aErr aDirectory_ExecutableFilePath(char* buffer, size_t size);
aErr aDirectory_GetHomeDirectory(char* buffer, size_t size);
aErr aDirectory_JoinPath(char* destination, size_t size, const char* directory, const char* name);
// The further parts end with a null pointer.
aErr aDirectory_BuildPath(char* destination, size_t size, const char* first, ...);
