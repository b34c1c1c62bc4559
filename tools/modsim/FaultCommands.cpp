// Faults on command: link-level faults written at once, and faults armed for one module.
#include "ControlWords.h"
#include "Simulator.h"

namespace modsim {

namespace {

const char* const kFaultUsage =
    "error usage: fault framing [odd|zero] | fault partial | fault silence on|off | fault no-probe on|off | "
    "fault refuse on|off [ADDR] | fault error CODE [ADDR] | fault no-reply [ADDR] | fault delay MS [ADDR] | "
    "fault length [ADDR] | fault chunk-sequence [ADDR] | fault loader KIND ... | fault slot KIND AFTER [CODE] | "
    "fault factory KIND AFTER [CODE] | fault stream KIND AFTER [CODE]";

const char* const kLoaderUsage =
    "error usage: fault loader data-count|sum|write|piece-zero [ADDR] | fault loader drop-after K [ADDR] | "
    "fault loader refuse on|off [ADDR]";

bool onOff(const std::string& word, bool& on) {
    if (word != "on" && word != "off") return false;
    on = word == "on";
    return true;
}

}  // namespace

std::string Simulator::faultCommand(const std::vector<std::string>& words) {
    const std::string kind = words.size() > 1 ? words[1] : "";
    const std::string arg = words.size() > 2 ? words[2] : "";
    if (kind == "loader") return loaderFault(words);
    if (kind == "slot") return slots_->fault(words);
    if (kind == "factory") return factory_->fault(words);
    if (kind == "stream") return streams_->fault(words);
    if (kind == "framing" || kind == "partial") {
        if (words.size() > 3) return kFaultUsage;
        return linkFault(kind, arg);
    }
    bool on = false;
    if (kind == "silence" || kind == "no-probe") {
        if (words.size() != 3 || !onOff(arg, on)) return "error usage: fault " + kind + " on|off";
        if (kind == "silence")
            link_.setSilent(on);
        else
            link_.setProbeRefused(on);
        log_.event("fault " + kind + " " + arg);
        return "ok";
    }
    std::string error;
    if (kind == "refuse") {
        if (words.size() < 3 || words.size() > 4 || !onOff(arg, on)) return "error usage: fault refuse on|off [ADDR]";
        SimModule* module = moduleAt(words, 3, error);
        if (!module) return error;
        // The connected module refuses connections; a routed one its exchanges.
        if (module == &primary())
            refuseConnections_ = on;
        else
            module->setRefusing(on);
        log_.event(module->name() + " fault refuse " + arg);
        return "ok";
    }
    // Faults armed for the next request one module handles.
    const bool takesNumber = kind == "error" || kind == "delay";
    const std::size_t addressAt = takesNumber ? 3 : 2;
    if (kind != "error" && kind != "delay" && kind != "no-reply" && kind != "length" && kind != "chunk-sequence")
        return kFaultUsage;
    unsigned long number = 0;
    if (words.size() > addressAt + 1 || (takesNumber && words.size() <= 2) ||
        (kind == "error" && (!parseUnsigned(arg, 255, number) || number == 0)) ||
        (kind == "delay" && !parseUnsigned(arg, 600000, number)))
        return takesNumber ? "error usage: fault " + kind + (kind == "error" ? " CODE" : " MS") + " [ADDR]"
                           : "error usage: fault " + kind + " [ADDR]";
    SimModule* module = moduleAt(words, addressAt, error);
    if (!module) return error;
    ReplyFaults& faults = module->armedFaults();
    if (kind == "error") faults.errorCode = static_cast<uint8_t>(number);
    if (kind == "delay") faults.delayMs = static_cast<unsigned>(number);
    if (kind == "no-reply") faults.noReply = true;
    if (kind == "length") faults.wrongLength = true;
    if (kind == "chunk-sequence") faults.chunkSequence = true;
    log_.event(module->name() + " fault " + kind + (takesNumber ? " " + arg : "") + " armed");
    return "ok";
}

std::string Simulator::loaderFault(const std::vector<std::string>& words) {
    const std::string kind = words.size() > 2 ? words[2] : "";
    const std::string arg = words.size() > 3 ? words[3] : "";
    const bool takesArgument = kind == "drop-after" || kind == "refuse";
    const std::size_t addressAt = takesArgument ? 4 : 3;
    unsigned long count = 0;
    bool on = false;
    if (kind != "data-count" && kind != "sum" && kind != "write" && kind != "piece-zero" && !takesArgument)
        return kLoaderUsage;
    if (words.size() > addressAt + 1 || (kind == "drop-after" && !parseUnsigned(arg, 100000, count)) ||
        (kind == "refuse" && !onOff(arg, on)))
        return kLoaderUsage;
    std::string error;
    SimModule* module = moduleAt(words, addressAt, error);
    if (!module) return error;
    LoaderFaults& faults = module->loader().faults();
    if (kind == "data-count") faults.dataCount = true;
    if (kind == "sum") faults.sum = true;
    if (kind == "write") faults.write = true;
    if (kind == "piece-zero") faults.pieceZero = true;
    if (kind == "drop-after") faults.dropAfter = static_cast<unsigned>(count);
    if (kind == "refuse") faults.refuse = on;
    log_.event(module->name() + " fault loader " + kind + (takesArgument ? " " + arg : "") + " armed");
    return "ok";
}

std::string Simulator::linkFault(const std::string& kind, const std::string& arg) {
    if (host_ < 0) return "error not connected";
    const uint8_t address = link_.address();
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

}  // namespace modsim
