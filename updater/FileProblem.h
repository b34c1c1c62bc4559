// Why a file or directory the user named cannot be used, in the system's words.
#pragma once

#include <string>

// "PATH: No such file or directory", "PATH: unreadable (Permission denied)", "PATH: not a firmware file", ...
std::string _firmware_file_problem(const std::string& path);
// The first part of the path that could not be made a directory, with the system's
// reason: "PATH: Permission denied", "PATH: Not a directory", ...
std::string _directory_problem(const std::string& path);
