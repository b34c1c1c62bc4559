// What every byte stream promises its reader and writer, as typed suites that each back
// end instantiates with a description of its far end:
//
//   struct SomeEnd {
//       static constexpr const char* kName;  // the back end's name in the test names
//       static constexpr aErr kNothingYet;    // a read with no byte there: aErrNotReady, or
//                                             // aErrEOF for a finite source
//       static constexpr long kNothingYetMs;  // how long such a read may take at most
//       static constexpr aErr kAfterEnd;      // reads once the far end went away
//       static constexpr aErr kWriteAfterEnd; // writes once the far end went away
//       static constexpr bool kKeepsBytesBeforeEnd; // bytes sent before the end still arrive
//       bool open();                          // makes the streams; false when it cannot
//       aStreamRef reader();                  // the stream that reads what the far end sends
//       aStreamRef writer();                  // the stream whose writes the far end receives
//       void farSends(const std::string&);
//       std::string farReceives(size_t count);
//       void farEnds();                       // close, hang-up, unplug or end of the source
//   };
//
// StreamContract holds for every back end; waiting_stream_contract.h adds what holds for
// those that can wait for input and be woken.
#pragma once

#include <chrono>
#include <string>

#include <gtest/gtest.h>

#include "aStream.h"
#include "byte_patterns.h"
#include "wait_until.h"

namespace testsupport {

// Reads exactly `count` bytes, retrying while they are merely late; the last result.
inline aErr readExactly(aStreamRef stream, std::string& out, size_t count,
                        std::chrono::milliseconds limit = kDefaultWait) {
    std::string buffer(count, '\0');
    aErr err = aErrNotReady;
    waitUntil([&] { return (err = aStream_Read(stream, &buffer[0], count)) != aErrNotReady; }, limit,
              std::chrono::milliseconds(1));
    if (err == aErrNone) out = buffer;
    return err;
}

// The first result of a read of one byte that is not "not ready".
inline aErr nextReadResult(aStreamRef stream, uint8_t* byte) {
    aErr err = aErrNotReady;
    waitUntil([&] { return (err = aStream_Read(stream, byte, 1)) != aErrNotReady; }, kDefaultWait,
              std::chrono::milliseconds(1));
    return err;
}

template <typename End>
class StreamContract : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(end.open()); }

    End end;
};

// Test names carry the back end's name instead of a type index.
struct StreamEndName {
    template <typename End>
    static std::string GetName(int) {
        return End::kName;
    }
};

TYPED_TEST_SUITE_P(StreamContract);

// No byte means "nothing yet": the read returns within its bound and stores nothing.
TYPED_TEST_P(StreamContract, ReadWithoutAByteTakesNothing) {
    uint8_t byte = 0x55;
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(aStream_Read(this->end.reader(), &byte, 1), TypeParam::kNothingYet);
    EXPECT_LT(msSince(start), TypeParam::kNothingYetMs);
    EXPECT_EQ(byte, 0x55);
}

TYPED_TEST_P(StreamContract, ZeroLengthReadTakesNothing) {
    this->end.farSends("x");
    uint8_t byte = '.';
    EXPECT_EQ(aStream_Read(this->end.reader(), &byte, 0), aErrNotReady);
    EXPECT_EQ(byte, '.');
    std::string got;
    ASSERT_EQ(readExactly(this->end.reader(), got, 1), aErrNone);
    EXPECT_EQ(got, "x");
}

// More than one USB transfer and one pty buffer line, every byte distinct in place.
TYPED_TEST_P(StreamContract, BytesFromTheFarEndArriveWholeAndInOrder) {
    const std::string sent = patternBytes(1000, 3);
    this->end.farSends(sent);
    std::string got;
    ASSERT_EQ(readExactly(this->end.reader(), got, sent.size()), aErrNone);
    EXPECT_TRUE(got == sent);
}

TYPED_TEST_P(StreamContract, WritesReachTheFarEndWholeAndInOrder) {
    const std::string block = patternBytes(1000, 4);
    EXPECT_EQ(aStream_Write(this->end.writer(), block.data(), block.size()), aErrNone);
    EXPECT_EQ(aStream_Write(this->end.writer(), "!", 1), aErrNone);
    EXPECT_EQ(aStream_Write(this->end.writer(), "", 0), aErrNone);
    const std::string received = this->end.farReceives(block.size() + 1);
    EXPECT_EQ(received.size(), block.size() + 1);
    EXPECT_TRUE(received == block + "!");
}

// Once the far end is gone every later call says so, the same way each time.
TYPED_TEST_P(StreamContract, FarEndGoingAwayIsReportedOnEveryLaterCall) {
    if (TypeParam::kKeepsBytesBeforeEnd) this->end.farSends("z");
    this->end.farEnds();
    uint8_t byte = 0;
    if (TypeParam::kKeepsBytesBeforeEnd) {
        ASSERT_EQ(nextReadResult(this->end.reader(), &byte), aErrNone);
        EXPECT_EQ(byte, 'z');
    }
    EXPECT_EQ(nextReadResult(this->end.reader(), &byte), TypeParam::kAfterEnd);
    EXPECT_EQ(aStream_Read(this->end.reader(), &byte, 1), TypeParam::kAfterEnd);
    EXPECT_EQ(aStream_Write(this->end.writer(), "ab", 2), TypeParam::kWriteAfterEnd);
}

REGISTER_TYPED_TEST_SUITE_P(StreamContract, ReadWithoutAByteTakesNothing, ZeroLengthReadTakesNothing,
                            BytesFromTheFarEndArriveWholeAndInOrder, WritesReachTheFarEndWholeAndInOrder,
                            FarEndGoingAwayIsReportedOnEveryLaterCall);

}  // namespace testsupport
