#include "UpdateTimeline.h"

#include <cstdio>
#include <cstdlib>

namespace {

bool has(const std::string& line, const char* text) {
    return line.find(text) != std::string::npos;
}

}  // namespace

bool UpdateTimeline::complete() const {
    return connect >= 0 && loader >= 0 && load >= 0 && reconnect >= 0 && firmware >= 0 && reboot >= 0 && end >= 0;
}

std::string UpdateTimeline::text() const {
    char buffer[256];
    snprintf(buffer, sizeof buffer,
             "connect %.3f, loader %.3f, load %.3f, reconnect %.3f, firmware %.3f, reboot %.3f, done %.3f s "
             "(module away %.3f s)",
             connect, loader, load, reconnect, firmware, reboot, end, awaySeconds);
    return buffer;
}

UpdateTimeline readTimeline(const std::vector<StampedLine>& lines, std::chrono::steady_clock::time_point start,
                            std::chrono::steady_clock::time_point end) {
    UpdateTimeline timeline;
    auto at = [start](std::chrono::steady_clock::time_point t) {
        return std::chrono::duration<double>(t - start).count();
    };
    timeline.end = at(end);
    for (const auto& line : lines) {
        const std::string& text = line.text;
        if (line.at < start || line.at > end) continue;
        const double t = at(line.at);
        if (text.rfind("ev ", 0) != 0) continue;
        if (has(text, "ev connect") && timeline.connect < 0) timeline.connect = t;
        if (has(text, "ev connect") && timeline.load >= 0 && timeline.reconnect < 0) timeline.reconnect = t;
        if (has(text, "prepare loader") && timeline.loader < 0) timeline.loader = t;
        if (has(text, " loader ") && has(text, " load ") && timeline.load < 0) timeline.load = t;
        if (has(text, "prepare firmware") && timeline.firmware < 0) timeline.firmware = t;
        if (has(text, " loader ") && has(text, " reboot") && timeline.reboot < 0) timeline.reboot = t;
        const auto stopped = text.find("listening stopped for ");
        if (stopped != std::string::npos) {
            const double ms = std::atof(text.c_str() + stopped + 22);
            const double until = t + ms / 1000.0;
            timeline.awaySeconds += (until < timeline.end ? until : timeline.end) - t;
        }
    }
    return timeline;
}

std::string eventLines(const std::vector<StampedLine>& lines, std::chrono::steady_clock::time_point start) {
    std::string out;
    for (const auto& line : lines) {
        if (line.text.rfind("ev ", 0) != 0) continue;
        char stamp[32];
        snprintf(stamp, sizeof stamp, "   %8.3f ", std::chrono::duration<double>(line.at - start).count());
        out += stamp + line.text + "\n";
    }
    return out;
}
