#include "PacketLog.h"

#include "Packet.h"

namespace modsim {

PacketLog::~PacketLog() {
    if (owned_) std::fclose(file_);
}

bool PacketLog::open(const std::string& path) {
    if (path == "-") {
        file_ = stderr;
        return true;
    }
    file_ = std::fopen(path.c_str(), "w");
    owned_ = file_ != nullptr;
    return owned_;
}

void PacketLog::received(const std::vector<uint8_t>& bytes) {
    line("rx", hexBytes(bytes));
}

void PacketLog::sent(const std::vector<uint8_t>& bytes) {
    line("tx", hexBytes(bytes));
}

void PacketLog::event(const std::string& text) {
    line("ev", text);
}

void PacketLog::line(const char* tag, const std::string& text) {
    if (!file_) return;
    std::fprintf(file_, "%s %s\n", tag, text.c_str());
    std::fflush(file_);
}

}  // namespace modsim
