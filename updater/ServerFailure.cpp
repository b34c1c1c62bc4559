#include "ServerFailure.h"

#include <mutex>

namespace {

std::mutex g_lock;
std::string g_reason;

}  // namespace

void _record_server_failure(const std::string& reason) {
    std::lock_guard<std::mutex> hold(g_lock);
    g_reason = reason;
}

std::string _last_server_failure() {
    std::lock_guard<std::mutex> hold(g_lock);
    return g_reason;
}

void _report_server_failure(UpdaterDisplayInterface& display) {
    const std::string reason = _last_server_failure();
    if (!reason.empty()) display.message(UpdaterDisplayInterface::LEVEL_ERROR, "Reason: %s", reason.c_str());
}
