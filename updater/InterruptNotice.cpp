#include "InterruptNotice.h"

#include <cstdio>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

const char* const InterruptNotice::MARKER_NAME = ".in-loader";

namespace {

// Where the update stands; the handler only reads it and the texts, which are written
// before it is installed.
enum : sig_atomic_t { PHASE_UNTOUCHED, PHASE_IN_LOADER, PHASE_FINISHED };
volatile sig_atomic_t g_phase = PHASE_UNTOUCHED;
InterruptNotice* g_active = nullptr;
char g_untouchedText[160];
char g_inLoaderText[160];
size_t g_untouchedLength = 0;
size_t g_inLoaderLength = 0;

void writeAll(const char* text, size_t length) {
    while (length > 0) {
        const ssize_t written = write(STDERR_FILENO, text, length);
        if (written <= 0) return;
        text += written;
        length -= static_cast<size_t>(written);
    }
}

// Async-signal-safe: one write of a prepared text, then the signal's own default action
// (SA_RESETHAND restored it), so the exit status still names the signal.
void onInterrupt(int signalNumber) {
    if (g_phase == PHASE_IN_LOADER)
        writeAll(g_inLoaderText, g_inLoaderLength);
    else if (g_phase == PHASE_UNTOUCHED)
        writeAll(g_untouchedText, g_untouchedLength);
    raise(signalNumber);
}

size_t format(char* buffer, size_t size, const char* format, uint32_t serial) {
    const int length = snprintf(buffer, size, format, serial);
    return length < 0 ? 0 : static_cast<size_t>(length) < size ? static_cast<size_t>(length) : size - 1;
}

bool exists(const std::string& path) {
    struct stat info {};
    return lstat(path.c_str(), &info) == 0;
}

}  // namespace

InterruptNotice::InterruptNotice(uint32_t serial, const std::string& moduleDir)
    : marker_(moduleDir + "/" + MARKER_NAME) {
    resuming_ = exists(marker_);
    g_phase = resuming_ ? PHASE_IN_LOADER : PHASE_UNTOUCHED;
    g_untouchedLength = format(g_untouchedText, sizeof g_untouchedText,
                               "\nUpdate interrupted before module %08X entered its loader: its firmware is "
                               "unchanged.\n",
                               serial);
    g_inLoaderLength = format(g_inLoaderText, sizeof g_inLoaderText,
                              "\nUpdate interrupted: module %08X is in its loader.\n"
                              "Running the same -U again resumes the update.\n",
                              serial);
    struct sigaction action {};
    action.sa_handler = onInterrupt;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESETHAND;
    sigaction(SIGINT, &action, &previousInt_);
    sigaction(SIGTERM, &action, &previousTerm_);
    outer_ = g_active;
    g_active = this;
}

InterruptNotice::~InterruptNotice() {
    sigaction(SIGINT, &previousInt_, nullptr);
    sigaction(SIGTERM, &previousTerm_, nullptr);
    g_active = outer_;
    g_phase = PHASE_UNTOUCHED;
}

void InterruptNotice::EnterLoader() {
    if (g_active) g_active->enterLoader();
}

void InterruptNotice::enterLoader() {
    // The marker first: from here on a run that dies without a word still leaves it.
    const int fd = open(marker_.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0644);
    if (fd >= 0) close(fd);
    g_phase = PHASE_IN_LOADER;
}

// Past this point the module runs its new firmware: an interrupt has nothing to warn of.
void InterruptNotice::finished() {
    g_phase = PHASE_FINISHED;
    unlink(marker_.c_str());
}
