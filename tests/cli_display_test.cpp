// The console display on a real pseudo-terminal and on redirected output, and
// the level routing, muting and length limit of its messages.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <functional>
#include <string>

#include "CLI_Display.h"
#include "UpdaterDisplayInterface.h"
#include "tempdir.h"
#include "wait_until.h"

namespace {

// The terminal the display is drawn on is this wide.
constexpr unsigned short kColumns = 80;

using testsupport::readWholeFile;
using testsupport::TempDir;

struct Drawn {
    std::string out;  // what reached standard output
    std::string err;  // what reached standard error
    int exitCode = -1;
};

// Runs `draw` in a child process whose standard output is either the slave side of
// a fresh pseudo-terminal (in raw mode, so bytes arrive unchanged) or a plain file.
// A child keeps the spinner's frame counter of this process, which never spins.
Drawn drawInChild(bool onTerminal, const std::function<void(CLI_Display&)>& draw) {
    TempDir files;
    const std::string outFile = files.file("out");
    const std::string errFile = files.file("err");
    int master = -1;
    int slave = -1;
    if (onTerminal) {
        master = posix_openpt(O_RDWR | O_NOCTTY);
        EXPECT_GE(master, 0);
        EXPECT_EQ(grantpt(master), 0);
        EXPECT_EQ(unlockpt(master), 0);
        slave = open(ptsname(master), O_RDWR | O_NOCTTY);
        EXPECT_GE(slave, 0);
        struct termios raw;
        tcgetattr(slave, &raw);
        cfmakeraw(&raw);
        tcsetattr(slave, TCSANOW, &raw);
        struct winsize size = {};
        size.ws_row = 24;
        size.ws_col = kColumns;
        ioctl(slave, TIOCSWINSZ, &size);
    }

    fflush(stdout);
    fflush(stderr);
    const pid_t pid = fork();
    if (pid == 0) {
        const int out = onTerminal ? slave : open(outFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        const int err = open(errFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        dup2(out, STDOUT_FILENO);
        dup2(err, STDERR_FILENO);
        if (master >= 0) close(master);
        CLI_Display display;
        draw(display);
        _exit(0);
    }

    Drawn drawn;
    if (onTerminal) {
        close(slave);
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        // Ends with EIO once the child has gone and everything it wrote was read.
        while (std::chrono::steady_clock::now() < deadline) {
            struct pollfd fd = {master, POLLIN, 0};
            if (poll(&fd, 1, 100) <= 0) continue;
            char buffer[4096];
            const ssize_t n = read(master, buffer, sizeof buffer);
            if (n <= 0) break;
            drawn.out.append(buffer, static_cast<size_t>(n));
        }
        close(master);
    }
    int status = 0;
    testsupport::waitUntil([&] { return waitpid(pid, &status, WNOHANG) != 0; }, std::chrono::seconds(10),
                           std::chrono::milliseconds(10));
    drawn.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    if (!onTerminal) drawn.out = readWholeFile(outFile);
    drawn.err = readWholeFile(errFile);
    return drawn;
}

std::string repeat(char c, size_t count) {
    return std::string(count, c);
}

const std::string kClear = "\r" + repeat(' ', 80) + "\r";

// What an 80-column terminal shows after the bytes were written: printable characters fill
// rows, a character after the last column wraps to the next row first, "\r" returns to the
// row's start and "\n" goes down a row (raw mode, no translation).
struct Screen {
    std::vector<std::string> rows{std::string(kColumns, ' ')};
    size_t row = 0;
    size_t column = 0;
    bool pendingWrap = false;

    void write(const std::string& bytes) {
        for (const char c : bytes) {
            if (c == '\r') {
                column = 0;
                pendingWrap = false;
            } else if (c == '\n') {
                down();
            } else {
                if (pendingWrap) {
                    down();
                    column = 0;
                    pendingWrap = false;
                }
                rows[row][column] = c;
                if (column + 1 == kColumns) {
                    pendingWrap = true;
                } else {
                    ++column;
                }
            }
        }
    }
    void down() {
        if (++row == rows.size()) rows.emplace_back(kColumns, ' ');
    }
    bool blank() const {
        for (const std::string& line : rows)
            if (line.find_first_not_of(' ') != std::string::npos) return false;
        return true;
    }
};

TEST(CliDisplay, ProgressBarHalfWay) {
    const Drawn drawn = drawInChild(true, [](CLI_Display& d) { d.update_progress(0.5, nullptr); });
    EXPECT_EQ(drawn.exitCode, 0);
    EXPECT_EQ(drawn.out, "\r[" + repeat('=', 34) + ">" + repeat(' ', 34) + "] ( 50% ) ");
}

// The ">" takes the bar's last column at 100 %: the full bar is as wide as every other frame.
TEST(CliDisplay, ProgressBarFullIsAsWideAsTheOthers) {
    const Drawn drawn = drawInChild(true, [](CLI_Display& d) { d.update_progress(1.0, nullptr); });
    EXPECT_EQ(drawn.out, "\r[" + repeat('=', 68) + ">] (100% ) ");
}

// A whole transfer from 0 to 100 % on an 80-column terminal, with and without a label: no
// frame is wider than the terminal, so none wraps, and the clear leaves a blank screen with
// the cursor where the bar began.
TEST(CliDisplay, BarFromZeroToFullNeverWrapsAndClearsCompletely) {
    for (const char* label : {static_cast<const char*>(nullptr), "Load"}) {
        const Drawn drawn = drawInChild(true, [label](CLI_Display& d) {
            d.display_progress(true);
            for (int step = 0; step <= 1000; ++step) d.update_progress(step / 1000.0, label);
            d.display_progress(false);
        });
        ASSERT_EQ(drawn.exitCode, 0);
        size_t frames = 0;
        for (size_t start = drawn.out.find('\r'); start != std::string::npos;) {
            const size_t end = drawn.out.find('\r', start + 1);
            const std::string frame = drawn.out.substr(start + 1, end == std::string::npos ? end : end - start - 1);
            EXPECT_LE(frame.size(), kColumns) << frame;
            if (!frame.empty()) ++frames;
            start = end;
        }
        EXPECT_GE(frames, 1001u);
        Screen screen;
        screen.write(drawn.out);
        EXPECT_TRUE(screen.blank()) << (label ? label : "no label");
        EXPECT_EQ(screen.row, 0u);
        EXPECT_EQ(screen.column, 0u);
    }
}

TEST(CliDisplay, ProgressBarStartAndLabelAndClear) {
    const Drawn drawn = drawInChild(true, [](CLI_Display& d) {
        d.display_progress(true);
        d.update_progress(0.0, nullptr);
        d.update_progress(0.999, "Load");
        d.display_progress(false);
    });
    // With a label the bar is 69 - 4 - 4 = 61 columns.
    EXPECT_EQ(drawn.out, "\r[>" + repeat(' ', 68) + "] (  0% ) " + "\r (Load) [" + repeat('=', 60) + ">" +
                             repeat(' ', 0) + "] ( 99% ) " + kClear);
}

TEST(CliDisplay, SpinnerFramesCarryOverAcrossLabels) {
    const Drawn drawn = drawInChild(true, [](CLI_Display& d) {
        for (int i = 0; i < 9; ++i) d.update_spinner(true, "Downloading");
        d.update_spinner(false, "Downloading");
        d.update_spinner(true, "Verifying Update");
        d.update_spinner(true, nullptr);
    });
    const char* frames[] = {".", "..", "...", "....", ".....", "....", "...", "..", "."};
    std::string expected;
    for (const char* frame : frames) expected += std::string("\r (Downloading) ") + frame + "      \r";
    expected += kClear;
    expected += "\r (Verifying Update) ..      \r";
    expected += "\r ...      \r";
    EXPECT_EQ(drawn.out, expected);
}

TEST(CliDisplay, RedirectedOutputHoldsLinesButNoDrawing) {
    const Drawn drawn = drawInChild(false, [](CLI_Display& d) {
        d.display_progress(true);
        d.update_progress(0.5, nullptr);
        d.update_progress(1.0, "Label");
        d.display_progress(false);
        d.info_message("first");
        d.update_spinner(true, "Downloading");
        d.update_spinner(false, nullptr);
        d.message(UpdaterDisplayInterface::LEVEL_INFO, "second %d", 2);
        d.message(UpdaterDisplayInterface::LEVEL_ERROR, "broken %s", "x");
    });
    EXPECT_EQ(drawn.exitCode, 0);
    EXPECT_EQ(drawn.out, "first\nsecond 2\n");
    EXPECT_EQ(drawn.err, "broken x\n");
}

TEST(CliDisplay, MutedMessagesDropButSpinnerTurns) {
    const Drawn drawn = drawInChild(true, [](CLI_Display& d) {
        d.mute_messages(true);
        d.message(UpdaterDisplayInterface::LEVEL_ERROR, "hidden error");
        d.message(UpdaterDisplayInterface::LEVEL_INFO, "hidden info");
        d.update_spinner(true, nullptr);
        d.error_message("direct error");
        d.mute_messages(false);
        d.message(UpdaterDisplayInterface::LEVEL_ERROR, "shown error");
        d.message(UpdaterDisplayInterface::LEVEL_INFO, "shown info");
    });
    EXPECT_EQ(drawn.out, "\r .      \rshown info\n");
    EXPECT_EQ(drawn.err, "direct error\nshown error\n");
}

// Unbuffered streams: what the display wrote is out before the process ends abruptly.
TEST(CliDisplay, StreamsAreUnbuffered) {
    const Drawn drawn = drawInChild(false, [](CLI_Display& d) {
        d.info_message("line");
        fputs("raw", stdout);
        fputs("raw", stderr);
        _exit(0);
    });
    EXPECT_EQ(drawn.out, "line\nraw");
    EXPECT_EQ(drawn.err, "raw");
}

class Recorder : public UpdaterDisplayInterface {
public:
    void display_progress(bool) override {}
    void update_progress(double, const char*) override {}
    void update_spinner(bool, const char*) override {}
    void info_message(const char* text) override { info.push_back(text); }
    void error_message(const char* text) override { errors.push_back(text); }
    std::vector<std::string> info;
    std::vector<std::string> errors;
};

TEST(CliDisplayMessage, LevelsRouteToTheirOperation) {
    Recorder recorder;
    recorder.message(UpdaterDisplayInterface::LEVEL_INFO, "%s-%08X", "a", 0x2A);
    recorder.message(UpdaterDisplayInterface::LEVEL_ERROR, "e%d", 1);
    recorder.message(static_cast<UpdaterDisplayInterface::Level>(7), "other");
    EXPECT_EQ(recorder.info, (std::vector<std::string>{"a-0000002A", "other"}));
    EXPECT_EQ(recorder.errors, (std::vector<std::string>{"e1"}));
}

TEST(CliDisplayMessage, LongMessageCutTo2047) {
    Recorder recorder;
    const std::string longText(3000, 'm');
    recorder.message(UpdaterDisplayInterface::LEVEL_ERROR, "%s", longText.c_str());
    recorder.message(UpdaterDisplayInterface::LEVEL_INFO, "%s", longText.substr(0, 2047).c_str());
    ASSERT_EQ(recorder.errors.size(), 1u);
    EXPECT_EQ(recorder.errors[0], longText.substr(0, 2047));
    ASSERT_EQ(recorder.info.size(), 1u);
    EXPECT_EQ(recorder.info[0].size(), 2047u);
}

}  // namespace
