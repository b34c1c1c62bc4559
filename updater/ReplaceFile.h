// Files are written under a temporary name beside their final path, flushed to the disk and
// then renamed into place, so a reader never meets a partly written file, a failed write
// keeps the old one, and a power loss after the rename keeps the new one. Every writer gets
// a temporary name of its own: two programs writing the same file never share one.
#pragma once

#include <cstddef>
#include <string>

#include "aError.h"

// Creates a new, empty file of a unique name in the directory of path (a rename stays on
// one file system), open for writing with the mode 0666 less the umask. Its name begins with
// "." so store listings pass over it. -1 with errno when none could be made.
int CreateFileBeside(const std::string& path, std::string& temporaryPath);

// Writes every byte and flushes them to the disk; false with errno.
bool WriteAllAndSync(int fd, const void* data, size_t length);

// Writes the bytes whole to a new temporary file beside path (see CreateFileBeside) and
// returns its name. On failure no file is left and errno says why: aErrNotFound when no
// file could be made, aErrIO when the bytes could not be written.
aErr StageFileBeside(const std::string& path, const void* data, size_t length, std::string& temporaryPath);

// Renames temporaryPath to path, then flushes the directory so the new name lasts. False
// when the rename failed: the temporary file is then removed and errno says why. When the
// rename succeeded but the flush did not, the result is true and *flushed (if given) false.
bool ReplaceFileWith(const std::string& temporaryPath, const std::string& path, bool* flushed = nullptr);

// Flushes the directory that holds path, so a rename or removal in it lasts.
bool SyncDirectoryOf(const std::string& path);

// Makes a second name, unique and beside path, for the file at path (a hard link), so the
// file can be put back after path was replaced; false with errno.
bool KeepUnderTemporaryName(const std::string& path, std::string& keptPath);

// The file that writing to path really changes: path itself, or where its chain of
// symbolic links ends (which need not exist yet).
std::string FinalTargetOf(const std::string& path);
