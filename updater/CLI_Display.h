// The console display: lines on standard output and standard error, and a
// progress bar and spinner that are drawn only when standard output is a terminal.
#pragma once

#include "UpdaterDisplayInterface.h"

class CLI_Display : public UpdaterDisplayInterface {
public:
    // Makes standard output and standard error unbuffered, so redraws show at once
    // and the two streams interleave in call order.
    CLI_Display();

    void display_progress(bool show) override;
    void update_progress(double fraction, const char* label) override;
    void update_spinner(bool spin, const char* label) override;
    void info_message(const char* text) override;
    void error_message(const char* text) override;
};
