// A fresh directory under /tmp, removed with everything in it on destruction.
#pragma once

#include <string>

namespace testsupport {

class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    const std::string& path() const { return path_; }
    std::string file(const std::string& name) const { return path_ + "/" + name; }

private:
    std::string path_;
};

std::string readWholeFile(const std::string& path);
void writeWholeFile(const std::string& path, const std::string& content);
bool fileExists(const std::string& path);
// The file's content, or "" when there is no such file.
std::string readFileOrEmpty(const std::string& path);

}  // namespace testsupport
