// What an update says when SIGINT or SIGTERM ends it: whether the module still runs its
// firmware, or waits in its loader, where running the same -U again resumes it.
#pragma once

#include <csignal>
#include <cstdint>
#include <string>

class InterruptNotice {
public:
    // Installs the handlers for the update of `serial` until destruction. `moduleDir`
    // keeps a marker while the module may be in its loader, so that a run that could not
    // speak (killed, power lost) still leaves the next run knowing it.
    InterruptNotice(uint32_t serial, const std::string& moduleDir);
    ~InterruptNotice();
    InterruptNotice(const InterruptNotice&) = delete;
    InterruptNotice& operator=(const InterruptNotice&) = delete;

    // True when an earlier update left the module in its loader.
    bool resuming() const { return resuming_; }
    // From the request that starts the loader on, the module may be in its loader.
    void enterLoader();
    // enterLoader() of the notice of the update under way, if there is one.
    static void EnterLoader();
    // The firmware is written and the module rebooted out of its loader.
    void finished();

    static const char* const MARKER_NAME;

private:
    std::string marker_;
    bool resuming_ = false;
    InterruptNotice* outer_ = nullptr;
    struct sigaction previousInt_ {};
    struct sigaction previousTerm_ {};
};
