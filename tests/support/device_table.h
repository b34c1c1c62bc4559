// The device table of `-D` in a test: modules answer discovery in no fixed order, so
// tests compare the output byte for byte with the table's rows sorted.
#pragma once

#include <algorithm>
#include <sstream>
#include <string>
#include <vector>

namespace testsupport {

inline const char kDeviceHeading[] = "    Device    Module   Router  Model          Firmware Version (Build)";

// `out` with the lines after the table heading put in sorted order.
inline std::string withSortedDeviceRows(const std::string& out) {
    std::istringstream lines(out);
    std::string result, line;
    std::vector<std::string> rows;
    bool inTable = false;
    while (std::getline(lines, line)) {
        if (inTable) {
            rows.push_back(line);
            continue;
        }
        result += line + "\n";
        inTable = line.rfind(kDeviceHeading, 0) == 0;
    }
    std::sort(rows.begin(), rows.end());
    for (const auto& row : rows) result += row + "\n";
    return result;
}

}  // namespace testsupport
