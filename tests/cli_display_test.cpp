// The console display on a real pseudo-terminal and on redirected output, and
// the level routing, muting and length limit of its messages.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
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

const std::string kClear = "\r" + repeat(' ', 88) + "\r";

TEST(CliDisplay, ProgressBarHalfWay) {
    const Drawn drawn = drawInChild(true, [](CLI_Display& d) { d.update_progress(0.5, nullptr); });
    EXPECT_EQ(drawn.exitCode, 0);
    EXPECT_EQ(drawn.out, "\r[" + repeat('=', 34) + ">" + repeat(' ', 34) + "] ( 50% ) ");
}

TEST(CliDisplay, ProgressBarFullIsOneColumnWider) {
    const Drawn drawn = drawInChild(true, [](CLI_Display& d) { d.update_progress(1.0, nullptr); });
    EXPECT_EQ(drawn.out, "\r[" + repeat('=', 69) + "> ] (100% ) ");
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
