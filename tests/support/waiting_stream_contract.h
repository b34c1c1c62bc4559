// What a stream that can wait for input (aStream_WaitReadable) and be woken
// (aStream_WakeReader) promises beyond the stream contract, for the same descriptions
// of the far end as StreamContract.
#pragma once

#include <chrono>
#include <string>
#include <thread>

#include <gtest/gtest.h>

#include "aStream.h"
#include "stream_contract.h"
#include "wait_until.h"

namespace testsupport {

template <typename End>
class WaitingStreamContract : public StreamContract<End> {};

TYPED_TEST_SUITE_P(WaitingStreamContract);

TYPED_TEST_P(WaitingStreamContract, IdleWaitTimesOut) {
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(aStream_WaitReadable(this->end.reader(), 150), aErrTimeout);
    EXPECT_GE(msSince(start), 140);
    EXPECT_LT(msSince(start), 1000);
}

TYPED_TEST_P(WaitingStreamContract, WaitWakesWhenAByteArrivesAndLeavesItThere) {
    std::thread sender([this] {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        this->end.farSends("k");
    });
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(aStream_WaitReadable(this->end.reader(), 5000), aErrNone);
    EXPECT_LT(msSince(start), 1000);
    sender.join();
    uint8_t byte = 0;
    EXPECT_EQ(aStream_Read(this->end.reader(), &byte, 1), aErrNone);
    EXPECT_EQ(byte, 'k');
}

// A wake ends a wait in progress, and a wake given before the wait ends the next one;
// either way nothing is taken from the stream.
TYPED_TEST_P(WaitingStreamContract, WakeEndsTheReadersWaitNowOrNext) {
    aStreamRef stream = this->end.reader();
    std::thread waker([stream] {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        EXPECT_EQ(aStream_WakeReader(stream), aErrNone);
    });
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(aStream_WaitReadable(stream, 20000), aErrNone);
    EXPECT_LT(msSince(start), 10000);
    waker.join();

    EXPECT_EQ(aStream_WakeReader(stream), aErrNone);
    start = std::chrono::steady_clock::now();
    EXPECT_EQ(aStream_WaitReadable(stream, 20000), aErrNone);
    EXPECT_LT(msSince(start), 10000);
    // Consumed: the following wait runs its course.
    EXPECT_EQ(aStream_WaitReadable(stream, 100), aErrTimeout);

    this->end.farSends("w");
    ASSERT_EQ(aStream_WaitReadable(stream, 2000), aErrNone);
    uint8_t byte = 0;
    EXPECT_EQ(aStream_Read(stream, &byte, 1), aErrNone);
    EXPECT_EQ(byte, 'w');
}

TYPED_TEST_P(WaitingStreamContract, ReadsAreAllOrNothingAndPushBackKeepsOrder) {
    aStreamRef stream = this->end.reader();
    this->end.farSends("ab");
    ASSERT_EQ(aStream_WaitReadable(stream, 2000), aErrNone);
    char buf[4] = {'.', '.', '.', '.'};
    EXPECT_EQ(aStream_Read(stream, buf, 3), aErrNotReady);
    EXPECT_EQ(std::string(buf, 4), "....");
    // The bytes taken wait in front; the wait sees them.
    EXPECT_EQ(aStream_WaitReadable(stream, 0), aErrNone);
    this->end.farSends("cd");
    ASSERT_EQ(aStream_WaitReadable(stream, 2000), aErrNone);
    EXPECT_EQ(aStream_Read(stream, buf, 3), aErrNone);
    EXPECT_EQ(std::string(buf, 3), "abc");

    EXPECT_EQ(aStream_Read(stream, buf, 2), aErrNotReady);
    EXPECT_EQ(aStream_Read(stream, buf, 1), aErrNone);
    EXPECT_EQ(buf[0], 'd');
    EXPECT_EQ(aStream_Read(stream, buf, 1), aErrNotReady);
}

// Nothing to wait for once the far end is gone: the wait hands over to the read at once.
TYPED_TEST_P(WaitingStreamContract, WaitAfterTheEndAnswersAtOnce) {
    this->end.farEnds();
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(aStream_WaitReadable(this->end.reader(), 2000), aErrNone);
    EXPECT_LT(msSince(start), 500);
    uint8_t byte = 0;
    EXPECT_EQ(aStream_Read(this->end.reader(), &byte, 1), TypeParam::kAfterEnd);
    EXPECT_EQ(aStream_WaitReadable(this->end.reader(), 2000), aErrNone);
}

REGISTER_TYPED_TEST_SUITE_P(WaitingStreamContract, IdleWaitTimesOut, WaitWakesWhenAByteArrivesAndLeavesItThere,
                            WakeEndsTheReadersWaitNowOrNext, ReadsAreAllOrNothingAndPushBackKeepsOrder,
                            WaitAfterTheEndAnswersAtOnce);

}  // namespace testsupport
