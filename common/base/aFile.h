// File handles of the link core (Linux implementation in unix_file.cpp).
#pragma once

#include <cstdint>
#include <cstdio>

#include "aError.h"

typedef int32_t aFileMode;
enum {
    aFileModeRead = 0,    // "rb"
    aFileModeWrite = 1,   // "wb": created or truncated
    aFileModeAppend = 2,  // "ab+": appending and reading, positioned at the end
};

#define aFILE_MAX_PATH 4096
#define aFILE_CHECK 0xFEEDu

typedef struct aFile {
    FILE* stream;
    aFileMode mode;
    uint32_t check;
} aFile;
typedef aFile* aFileRef;

#define aVALIDFILE(f) ((f) != nullptr && (f)->check == aFILE_CHECK)

bool aFile_Exists(const char* path);
aFileRef aFile_Open(const char* path, aFileMode mode);
aErr aFile_Close(aFileRef* file);
aErr aFile_Read(aFileRef file, void* buffer, size_t count, size_t* countRead);
aErr aFile_Write(aFileRef file, const void* data, size_t count, size_t* countWritten);
aErr aFile_Seek(aFileRef file, int64_t offset, int origin);
aErr aFile_GetSize(aFileRef file, uint64_t* size);
aErr aFile_GetPosition(aFileRef file, uint64_t* position);
aErr aFile_ReadLine(aFileRef file, char* buffer, size_t size, size_t* length);
aErr aFile_SetUnbuffered(aFileRef file);
aErr aFile_Printf(aFileRef file, const char* format, ...) __attribute__((format(printf, 2, 3)));
aErr aFile_Delete(const char* path);
