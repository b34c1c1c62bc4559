#include "CLI_Display.h"

#include <algorithm>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <unistd.h>

namespace {

constexpr int kBarWidth = 69;
// Every frame of the bar is 80 columns wide, with or without a label: "[", the bar, "]" and
// " (100% ) ". Clearing exactly that much never wraps on an 80-column terminal, so the clear
// leaves the cursor on the bar's own row.
constexpr int kClearWidth = 80;
constexpr int kLabelFrame = 4;  // " (" and ") " around a label
const char kBarText[] = "=====================================================================";
static_assert(sizeof kBarText - 1 == kBarWidth, "the bar text fills the whole bar");

const char* const kSpinnerFrames[] = {".", "..", "...", "....", ".....", "....", "...", ".."};
constexpr uint8_t kSpinnerFrameCount = sizeof kSpinnerFrames / sizeof kSpinnerFrames[0];

// One spinner for the whole program: a new label carries on where the last one stopped.
uint8_t spinnerFrame = 0;

bool drawing() {
    return isatty(STDOUT_FILENO) == 1;
}

// Formats first and writes once, so one redraw is one write.
void draw(const char* format, ...) __attribute__((format(printf, 1, 2)));
void draw(const char* format, ...) {
    char text[256];
    va_list args;
    va_start(args, format);
    const int length = vsnprintf(text, sizeof text, format, args);
    va_end(args);
    if (length <= 0) return;
    const size_t size = static_cast<size_t>(length) < sizeof text ? static_cast<size_t>(length) : sizeof text - 1;
    fwrite(text, 1, size, stdout);
}

void clearLine() {
    draw("\r%*s\r", kClearWidth, " ");
}

}  // namespace

CLI_Display::CLI_Display() {
    setvbuf(stdout, nullptr, _IONBF, 0);
    setvbuf(stderr, nullptr, _IONBF, 0);
}

void CLI_Display::display_progress(bool show) {
    if (!drawing()) return;
    if (!show) clearLine();
}

void CLI_Display::update_progress(double fraction, const char* label) {
    if (!drawing()) return;
    const int width = label ? kBarWidth - static_cast<int>(strlen(label)) - kLabelFrame : kBarWidth;
    // The ">" takes the last column of a full bar, so the frame at 100 % is as wide as the others.
    const int filled = std::clamp(static_cast<int>(width * fraction), 0, width - 1);
    const int percent = static_cast<int>(fraction * 100);
    if (label) {
        draw("\r (%s) [%.*s>%*s] (%3d%% ) ", label, filled, kBarText, width - filled - 1, "", percent);
    } else {
        draw("\r[%.*s>%*s] (%3d%% ) ", filled, kBarText, width - filled - 1, "", percent);
    }
}

void CLI_Display::update_spinner(bool spin, const char* label) {
    if (!drawing()) return;
    if (!spin) {
        clearLine();
        return;
    }
    // The spaces after the frame erase what a longer frame left.
    const char* frame = kSpinnerFrames[spinnerFrame];
    if (label) {
        draw("\r (%s) %s      \r", label, frame);
    } else {
        draw("\r %s      \r", frame);
    }
    spinnerFrame = static_cast<uint8_t>((spinnerFrame + 1) % kSpinnerFrameCount);
}

void CLI_Display::info_message(const char* text) {
    fprintf(stdout, "%s\n", text);
}

void CLI_Display::error_message(const char* text) {
    fprintf(stderr, "%s\n", text);
}
