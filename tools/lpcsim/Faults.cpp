#include "Faults.h"

#include <cstdlib>

namespace lpcsim {
namespace {

std::vector<std::string> splitColons(const std::string& text) {
    std::vector<std::string> parts;
    size_t start = 0;
    while (true) {
        const size_t colon = text.find(':', start);
        parts.push_back(text.substr(start, colon - start));
        if (colon == std::string::npos) break;
        start = colon + 1;
    }
    return parts;
}

bool parseCount(const std::string& text, int& count) {
    char* end = nullptr;
    const long value = std::strtol(text.c_str(), &end, 10);
    if (text.empty() || *end != '\0' || value < 1 || value > 1000000) return false;
    count = static_cast<int>(value);
    return true;
}

}  // namespace

bool Faults::add(const std::string& rule, std::string& error) {
    const std::vector<std::string> parts = splitColons(rule);
    Fault fault;
    size_t countAt = 0;
    if (parts[0] == "silent" && parts.size() >= 2) {
        fault.kind = FaultKind::Silent;
        if (parts[1] == "sync")
            fault.command = '?';
        else if (parts[1].size() == 1)
            fault.command = parts[1][0];
        else {
            error = "silent wants a command letter or sync";
            return false;
        }
        countAt = 2;
    } else if (parts[0] == "hold" && parts.size() >= 2 && parts[1].size() == 1) {
        fault.kind = FaultKind::Hold;
        fault.command = parts[1][0];
        countAt = 2;
    } else if (parts[0] == "rc" && parts.size() >= 3 && parts[1].size() == 1) {
        fault.kind = FaultKind::ReturnCode;
        fault.command = parts[1][0];
        char* end = nullptr;
        fault.code = static_cast<int>(std::strtol(parts[2].c_str(), &end, 10));
        if (parts[2].empty() || *end != '\0') {
            error = "rc wants a decimal code";
            return false;
        }
        countAt = 3;
    } else if (parts[0] == "checksum" && parts.size() >= 2) {
        if (parts[1] == "resend")
            fault.kind = FaultKind::ChecksumResend;
        else if (parts[1] == "wrong")
            fault.kind = FaultKind::ChecksumWrong;
        else if (parts[1] == "silent")
            fault.kind = FaultKind::ChecksumSilent;
        else if (parts[1] == "pass")
            fault.kind = FaultKind::ChecksumPass;
        else {
            error = "checksum wants resend, wrong, silent or pass";
            return false;
        }
        countAt = 2;
    } else {
        error = "unknown fault: " + rule;
        return false;
    }
    if (parts.size() > countAt + 1 || (parts.size() == countAt + 1 && !parseCount(parts[countAt], fault.remaining))) {
        error = "bad count in fault: " + rule;
        return false;
    }
    faults_.push_back(fault);
    return true;
}

const Fault* Faults::strike(FaultKind kind, char command) {
    for (Fault& fault : faults_) {
        if (fault.kind != kind || fault.command != command || fault.remaining == 0) continue;
        if (fault.remaining > 0) --fault.remaining;
        struck_ = fault;
        return &struck_;
    }
    return nullptr;
}

const Fault* Faults::strikeChecksum() {
    for (Fault& fault : faults_) {
        const bool checksum = fault.kind == FaultKind::ChecksumResend || fault.kind == FaultKind::ChecksumWrong ||
                              fault.kind == FaultKind::ChecksumSilent || fault.kind == FaultKind::ChecksumPass;
        if (!checksum || fault.remaining == 0) continue;
        if (fault.remaining > 0) --fault.remaining;
        struck_ = fault;
        return &struck_;
    }
    return nullptr;
}

}  // namespace lpcsim
