// Files are written under a temporary name beside their final path and then renamed into
// place, so a reader never meets a partly written file and a failed write keeps the old one.
#pragma once

#include <string>

// A name in the same directory (rename stays on one file system); it begins with "." so
// store listings pass over it.
std::string TemporaryPathFor(const std::string& path);

// Renames temporaryPath to path; on failure the temporary file is removed and false returned,
// with errno saying why.
bool ReplaceFileWith(const std::string& temporaryPath, const std::string& path);
