// What the user reads: information and error lines, a progress bar and a spinner.
#pragma once

class UpdaterDisplayInterface {
public:
    enum Level { LEVEL_INFO = 0, LEVEL_ERROR = 1 };

    virtual void display_progress(bool show) = 0;
    virtual void update_progress(double fraction, const char* label) = 0;
    virtual void update_spinner(bool spin, const char* label) = 0;
    virtual void info_message(const char* text) = 0;
    virtual void error_message(const char* text) = 0;

    void mute_messages(bool on) { muted = on; }
    // The one way the application prints lines; dropped while muted.
    void message(Level level, const char* format, ...) __attribute__((format(printf, 3, 4)));

protected:
    ~UpdaterDisplayInterface() = default;
    bool muted = false;
};
