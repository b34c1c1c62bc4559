#include "tempdir.h"

#include <cstdlib>
#include <fstream>
#include <filesystem>
#include <sstream>
#include <stdexcept>

namespace testsupport {

TempDir::TempDir() {
    char pattern[] = "/tmp/updater-test-XXXXXX";
    if (!mkdtemp(pattern)) throw std::runtime_error("mkdtemp failed");
    path_ = pattern;
}

TempDir::~TempDir() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
}

std::string readWholeFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) throw std::runtime_error("cannot read " + path);
    std::ostringstream content;
    content << in.rdbuf();
    return content.str();
}

void writeWholeFile(const std::string& path, const std::string& content) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    if (!out) throw std::runtime_error("cannot write " + path);
    out << content;
}

bool fileExists(const std::string& path) {
    std::error_code ignored;
    return std::filesystem::exists(path, ignored);
}

std::string readFileOrEmpty(const std::string& path) {
    return fileExists(path) ? readWholeFile(path) : "";
}

}  // namespace testsupport
