#include "CountedFault.h"

#include <algorithm>

#include "ControlWords.h"

namespace modsim {

ErrorShape errorShapeOf(const std::string& kind) {
    if (kind == "error-short") return ErrorShape::NoCode;
    if (kind == "error-long") return ErrorShape::Trailing;
    return ErrorShape::Normal;
}

bool isErrorKind(const std::string& kind) {
    return kind == "error" || kind == "error-short" || kind == "error-long";
}

std::vector<uint8_t> shapedError(std::vector<uint8_t> head, uint8_t code, ErrorShape shape) {
    if (shape != ErrorShape::NoCode) head.push_back(code);
    if (shape == ErrorShape::Trailing) head.push_back(0);
    return head;
}

std::string parseCountedFault(const std::vector<std::string>& words, const std::vector<std::string>& kinds,
                              unsigned& after, uint8_t& code) {
    const std::string group = words.size() > 1 ? words[1] : "";
    std::string usage = "error usage: fault " + group + " ";
    for (std::size_t i = 0; i < kinds.size(); ++i) usage += (i ? "|" : "") + kinds[i];
    usage += " AFTER [CODE]";
    if (words.size() < 4 || std::find(kinds.begin(), kinds.end(), words[2]) == kinds.end()) return usage;
    const bool takesCode = words[2] == "error" || words[2] == "error-long";
    unsigned long number = 0;
    if (words.size() != (takesCode ? 5u : 4u) || !parseUnsigned(words[3], 100000, number)) return usage;
    after = static_cast<unsigned>(number);
    code = 0;
    if (takesCode) {
        if (!parseUnsigned(words[4], 255, number)) return usage;
        code = static_cast<uint8_t>(number);
    }
    return "";
}

}  // namespace modsim
