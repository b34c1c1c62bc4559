// The control protocol: one command per line, one answer line per command.
#include <cstdio>
#include <cstdlib>
#include <sstream>

#include "ControlWords.h"
#include "Simulator.h"

namespace modsim {

namespace {

const char* const kHelp =
    "ok commands: heartbeat [N] | heartbeat-wait [MS] | fault framing [odd|zero] | fault partial | "
    "fault silence on|off | fault no-probe on|off | fault refuse on|off [ADDR] | fault error CODE [ADDR] | "
    "fault no-reply [ADDR] | fault delay MS [ADDR] | fault length [ADDR] | fault chunk-sequence [ADDR] | "
    "fault loader data-count|sum|write|piece-zero [ADDR] | fault loader drop-after K [ADDR] | "
    "fault loader refuse on|off [ADDR] | fault slot error|silent|sum|size AFTER [CODE] | "
    "fault factory error|silent|ack AFTER [CODE] | load-way keep|reconnect|announce|gone [ADDR] | update-to ADDR BUILD "
    "[VERSION] | "
    "dump FILE [ADDR] | module [ADDR] | stream-rate MS | stream-send | streams | random-replies SPEC|off | drop | "
    "status | quit";

std::vector<std::string> splitWords(const std::string& line) {
    std::istringstream stream(line);
    std::vector<std::string> words;
    for (std::string word; stream >> word;) words.push_back(word);
    return words;
}

std::string hexWord(uint32_t value) {
    char text[16];
    std::snprintf(text, sizeof text, "%08X", value);
    return text;
}

}  // namespace

bool parseUnsigned(const std::string& text, unsigned long max, unsigned long& value) {
    if (text.empty() || text[0] == '-') return false;
    char* end = nullptr;
    value = std::strtoul(text.c_str(), &end, 0);
    return *end == '\0' && value <= max;
}

SimModule* Simulator::moduleAt(const std::vector<std::string>& words, std::size_t position, std::string& error) const {
    if (words.size() <= position) return &primary();
    unsigned long address = 0;
    SimModule* module =
        parseUnsigned(words[position], 255, address) ? link_.find(static_cast<uint8_t>(address)) : nullptr;
    if (!module) error = "error no module at address " + words[position];
    return module;
}

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
            link_.sendHeartbeat(static_cast<uint8_t>(number));
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
    } else if (command == "load-way" || command == "update-to" || command == "dump" || command == "module") {
        reply(client, moduleCommand(words));
    } else if (command == "stream-rate" || command == "stream-send" || command == "streams") {
        reply(client, streamCommand(words));
    } else if (command == "random-replies") {
        reply(client, randomCommand(words));
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

std::string Simulator::moduleCommand(const std::vector<std::string>& words) {
    const std::string& command = words[0];
    std::string error;
    if (command == "load-way") {
        LoadWay way = LoadWay::Keep;
        if (words.size() < 2 || words.size() > 3 || !parseLoadWay(words[1], way))
            return "error usage: load-way keep|reconnect|announce|gone [ADDR]";
        SimModule* module = moduleAt(words, 2, error);
        if (!module) return error;
        module->loader().setLoadWay(way);
        log_.event(module->name() + " load-way " + words[1]);
        return "ok";
    }
    if (command == "update-to") {
        unsigned long build = 0;
        unsigned long version = 0;
        if (words.size() < 3 || words.size() > 4 || !parseUnsigned(words[2], 0xFFFFFFFFul, build) ||
            (words.size() == 4 && (words[3].size() > 8 || !parseUnsigned("0x" + words[3], 0xFFFFFFFFul, version))))
            return "error usage: update-to ADDR BUILD [VERSION]";
        SimModule* module = moduleAt(words, 1, error);
        if (!module) return error;
        std::optional<uint32_t> newVersion;
        if (words.size() == 4) newVersion = static_cast<uint32_t>(version);
        module->setUpdate(static_cast<uint32_t>(build), newVersion);
        return "ok";
    }
    if (command == "dump") {
        if (words.size() < 2 || words.size() > 3) return "error usage: dump FILE [ADDR]";
        SimModule* module = moduleAt(words, 2, error);
        if (!module) return error;
        if (!module->loader().dump(words[1], error)) return "error " + error;
        return "ok " + std::to_string(module->loader().image().size()) + " bytes";
    }
    if (words.size() > 2) return "error usage: module [ADDR]";
    SimModule* module = moduleAt(words, 1, error);
    if (!module) return error;
    const auto& identity = module->identity();
    return "ok address=" + std::to_string(identity.address) + " serial=" + hexWord(identity.serial) +
           " model=" + std::to_string(identity.model) + " build=" + std::to_string(module->buildNumber()) +
           " version=" + hexWord(module->version()) + " mode=" + (module->loader().running() ? "loader" : "firmware") +
           " image=" + std::to_string(module->loader().image().size()) + " absent=" + (module->absent() ? "1" : "0") +
           " refusing=" + (module->refusing() ? "1" : "0");
}

std::string Simulator::streamCommand(const std::vector<std::string>& words) {
    unsigned long number = 0;
    if (words[0] == "stream-rate") {
        if (words.size() != 2 || !parseUnsigned(words[1], 60000, number)) return "error usage: stream-rate MS, 0-60000";
        streams_->setInterval(static_cast<unsigned>(number));
        return "ok";
    }
    if (words[0] == "streams") {
        if (words.size() != 1) return "error usage: streams";
        const std::string enabled = streams_->enabledText();
        return enabled.empty() ? "ok" : "ok " + enabled;
    }
    if (words.size() != 1) return "error usage: stream-send";
    if (host_ < 0) return "error not connected";
    return "ok " + std::to_string(streams_->sendRound()) + " samples";
}

std::string Simulator::randomCommand(const std::vector<std::string>& words) {
    if (words.size() != 2) return "error usage: random-replies SPEC|off";
    std::string error;
    if (!random_.configure(words[1], error)) return "error " + error;
    if (random_.on()) inOrder_ = true;
    log_.event("random replies " + random_.describe());
    return "ok " + random_.describe();
}

std::string Simulator::heartbeatCounts() const {
    const auto& heartbeats = link_.heartbeats();
    return "hb-sent=" + std::to_string(heartbeats.sent()) + " hb-answered=" + std::to_string(heartbeats.answered()) +
           " hb-wrong=" + std::to_string(heartbeats.wrong()) + " hb-pending=" + std::to_string(heartbeats.pending());
}

std::string Simulator::statusText() const {
    return "connected=" + std::to_string(host_ >= 0 ? 1 : 0) + " silent=" + std::to_string(link_.silent() ? 1 : 0) +
           " route=" + std::to_string(link_.route()) + " sync-answers=" + std::to_string(link_.syncAnswers()) + " " +
           heartbeatCounts() + " listening=" + std::to_string(port_->listenFd() >= 0 ? 1 : 0);
}

}  // namespace modsim
