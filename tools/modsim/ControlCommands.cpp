// The control protocol: one command per line, one answer line per command.
#include <cstdlib>
#include <sstream>

#include "Simulator.h"

namespace modsim {

namespace {

const char* const kHelp =
    "ok commands: heartbeat [N] | heartbeat-wait [MS] | fault framing [odd|zero] | fault partial | "
    "fault silence on|off | drop | status | quit";

std::vector<std::string> splitWords(const std::string& line) {
    std::istringstream stream(line);
    std::vector<std::string> words;
    for (std::string word; stream >> word;) words.push_back(word);
    return words;
}

bool parseUnsigned(const std::string& text, unsigned long max, unsigned long& value) {
    if (text.empty() || text[0] == '-') return false;
    char* end = nullptr;
    value = std::strtoul(text.c_str(), &end, 0);
    return *end == '\0' && value <= max;
}

}  // namespace

void Simulator::execute(const std::string& line, ControlClient& client) {
    const auto words = splitWords(line);
    if (words.empty()) return;
    const std::string& command = words[0];
    unsigned long number = 0;
    if (command == "heartbeat") {
        if (words.size() > 2 || (words.size() == 2 && !parseUnsigned(words[1], 255, number))) {
            reply(client, "error usage: heartbeat [N], N 0-255");
        } else if (host_ < 0) {
            reply(client, "error not connected");
        } else {
            module_.sendHeartbeat(static_cast<uint8_t>(number));
            reply(client, "ok");
        }
    } else if (command == "heartbeat-wait") {
        number = 1000;
        if (words.size() > 2 || (words.size() == 2 && !parseUnsigned(words[1], 600000, number))) {
            reply(client, "error usage: heartbeat-wait [MS]");
        } else {
            client.waitUntil = Clock::now() + std::chrono::milliseconds(number);
        }
    } else if (command == "fault") {
        reply(client, faultCommand(words));
    } else if (command == "drop" && words.size() == 1) {
        if (host_ < 0) {
            reply(client, "error not connected");
        } else {
            dropHost("dropped");
            reply(client, options_.port == PortKind::Pty ? "ok " + port_->where() : "ok");
        }
    } else if (command == "status" && words.size() == 1) {
        reply(client, "ok " + statusText());
    } else if (command == "quit" && words.size() == 1) {
        reply(client, "ok");
        running_ = false;
    } else if (command == "help") {
        reply(client, kHelp);
    } else {
        reply(client, "error unknown command: " + line);
    }
}

std::string Simulator::faultCommand(const std::vector<std::string>& words) {
    const std::string kind = words.size() > 1 ? words[1] : "";
    const std::string arg = words.size() > 2 ? words[2] : "";
    if (words.size() > 3) return "error usage: fault framing [odd|zero] | fault partial | fault silence on|off";
    if (kind == "silence") {
        if (arg != "on" && arg != "off") return "error usage: fault silence on|off";
        module_.setSilent(arg == "on");
        log_.event("fault silence " + arg);
        return "ok";
    }
    if (kind != "framing" && kind != "partial")
        return "error usage: fault framing [odd|zero] | fault partial | fault silence on|off";
    if (host_ < 0) return "error not connected";
    const uint8_t address = module_.identity().address;
    if (kind == "framing") {
        if (!arg.empty() && arg != "odd" && arg != "zero") return "error usage: fault framing [odd|zero]";
        const uint8_t bad = arg == "zero" ? 0x00 : static_cast<uint8_t>(address | 1);
        log_.event("fault framing " + std::string(arg == "zero" ? "zero" : "odd"));
        writeHost({bad});
        return "ok";
    }
    if (!arg.empty()) return "error usage: fault partial";
    // The header announces four data bytes; only the first follows.
    log_.event("fault partial");
    writeHost({address, 0x04, 0x01});
    return "ok";
}

std::string Simulator::heartbeatCounts() const {
    const auto& heartbeats = module_.heartbeats();
    return "hb-sent=" + std::to_string(heartbeats.sent()) + " hb-answered=" + std::to_string(heartbeats.answered()) +
           " hb-wrong=" + std::to_string(heartbeats.wrong()) + " hb-pending=" + std::to_string(heartbeats.pending());
}

std::string Simulator::statusText() const {
    return "connected=" + std::to_string(host_ >= 0 ? 1 : 0) + " silent=" + std::to_string(module_.silent() ? 1 : 0) +
           " route=" + std::to_string(module_.route()) + " sync-answers=" + std::to_string(module_.syncAnswers()) +
           " " + heartbeatCounts();
}

}  // namespace modsim
