// Waiting on descriptors until a deadline: signals neither cut the wait short nor turn
// it into an error, and a deadline already passed still looks once.
#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <csignal>
#include <sys/time.h>
#include <unistd.h>

#include "aPoll.h"
#include "aTime.h"

namespace {

using Clock = std::chrono::steady_clock;

int64_t elapsedMs(Clock::time_point start) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
}

void ignoreAlarm(int) {}

class PollDeadline : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_EQ(pipe(ends), 0); }
    void TearDown() override {
        close(ends[0]);
        close(ends[1]);
    }
    int ends[2] = {-1, -1};
};

TEST_F(PollDeadline, SignalsDuringTheWaitNeitherEndNorFailIt) {
    struct sigaction action = {};
    action.sa_handler = ignoreAlarm;  // no SA_RESTART: poll returns early with EINTR
    struct sigaction previous = {};
    ASSERT_EQ(sigaction(SIGALRM, &action, &previous), 0);
    const struct itimerval every15ms = {{0, 15000}, {0, 15000}};
    ASSERT_EQ(setitimer(ITIMER_REAL, &every15ms, nullptr), 0);

    pollfd wanted = {ends[0], POLLIN, 0};
    const auto start = Clock::now();
    const int ready = aPoll_Until(&wanted, 1, aTime_GetMonotonicMS() + 200);
    const int64_t ms = elapsedMs(start);

    const struct itimerval off = {};
    setitimer(ITIMER_REAL, &off, nullptr);
    sigaction(SIGALRM, &previous, nullptr);
    EXPECT_EQ(ready, 0);
    EXPECT_GE(ms, 199);
    EXPECT_LT(ms, 5000);
}

TEST_F(PollDeadline, ReadyDescriptorAnswersAtOnce) {
    ASSERT_EQ(write(ends[1], "x", 1), 1);
    pollfd wanted = {ends[0], POLLIN, 0};
    const auto start = Clock::now();
    EXPECT_EQ(aPoll_Until(&wanted, 1, aTime_GetMonotonicMS() + 20000), 1);
    EXPECT_TRUE(wanted.revents & POLLIN);
    EXPECT_LT(elapsedMs(start), 5000);
}

TEST_F(PollDeadline, PassedDeadlineStillLooksOnce) {
    pollfd wanted = {ends[0], POLLIN, 0};
    const uint64_t past = aTime_GetMonotonicMS() - 1;
    EXPECT_EQ(aPoll_Until(&wanted, 1, past), 0);
    ASSERT_EQ(write(ends[1], "x", 1), 1);
    EXPECT_EQ(aPoll_Until(&wanted, 1, past), 1);
}

TEST_F(PollDeadline, AnErrorEndsTheWaitAtOnce) {
    const auto start = Clock::now();
    errno = 0;
    EXPECT_EQ(aPoll_Until(nullptr, 1, aTime_GetMonotonicMS() + 20000), -1);
    EXPECT_EQ(errno, EFAULT);
    EXPECT_LT(elapsedMs(start), 5000);
}

}  // namespace
