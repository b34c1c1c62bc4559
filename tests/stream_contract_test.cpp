// The stream contract over the TCP socket (a loopback peer), the serial line (a
// pseudo-terminal) and files (an input file the far end writes, an output file it reads).
#include <gtest/gtest.h>

#include <string>

#include "aStream.h"
#include "aStreamsocket.h"
#include "pty_line.h"
#include "stream_contract.h"
#include "tcp_peer.h"
#include "tempdir.h"
#include "unix_streamserial.h"
#include "waiting_stream_contract.h"

namespace testsupport {
namespace {

// The stream owns nothing of the test's: destroying it is the test's last word.
struct StreamHolder {
    aStreamRef stream = nullptr;
    ~StreamHolder() {
        if (stream) aStream_Destroy(&stream);
    }
};

class TcpEnd {
public:
    static constexpr const char* kName = "Tcp";
    static constexpr aErr kNothingYet = aErrNotReady;
    static constexpr long kNothingYetMs = 200;
    // An orderly close by the module ends the connection for good.
    static constexpr aErr kAfterEnd = aErrConnection;
    static constexpr aErr kWriteAfterEnd = aErrConnection;
    static constexpr bool kKeepsBytesBeforeEnd = true;

    bool open() { return aStream_CreateSocket(loopback(), peer_.port(), &held_.stream) == aErrNone && peer_.accept(); }
    aStreamRef reader() { return held_.stream; }
    aStreamRef writer() { return held_.stream; }
    void farSends(const std::string& bytes) { peer_.send(bytes); }
    std::string farReceives(size_t count) { return peer_.receive(count); }
    void farEnds() { peer_.closeOrderly(); }

private:
    TcpPeer peer_;
    StreamHolder held_;
};

class SerialEnd {
public:
    static constexpr const char* kName = "Serial";
    static constexpr aErr kNothingYet = aErrNotReady;
    static constexpr long kNothingYetMs = 200;
    // A hung-up line fails every later call.
    static constexpr aErr kAfterEnd = aErrIO;
    static constexpr aErr kWriteAfterEnd = aErrIO;
    // A pseudo-terminal drops what its slave did not read when the master closes.
    static constexpr bool kKeepsBytesBeforeEnd = false;

    bool open() {
        return line_.ok() && aStream_CreateSerial(line_.path().c_str(), 6, 0, 0, 0, &held_.stream) == aErrNone;
    }
    aStreamRef reader() { return held_.stream; }
    aStreamRef writer() { return held_.stream; }
    void farSends(const std::string& bytes) { line_.send(bytes); }
    std::string farReceives(size_t count) { return line_.receive(count); }
    void farEnds() { line_.closeMaster(); }

private:
    PtyLine line_;
    StreamHolder held_;
};

// A finite source: the input stream opens on first use over what the far end wrote
// by then, and ends where the file ends.
class FileEnd {
public:
    static constexpr const char* kName = "File";
    static constexpr aErr kNothingYet = aErrEOF;
    static constexpr long kNothingYetMs = 200;
    static constexpr aErr kAfterEnd = aErrEOF;
    // Input and output are separate files: the end of one leaves the other writable.
    static constexpr aErr kWriteAfterEnd = aErrNone;
    static constexpr bool kKeepsBytesBeforeEnd = true;

    bool open() {
        writeWholeFile(dir_.file("in"), "");
        return aStream_CreateFileOutput(dir_.file("out").c_str(), &output_.stream) == aErrNone;
    }
    aStreamRef reader() {
        if (!input_.stream) {
            EXPECT_EQ(aStream_CreateFileInput(dir_.file("in").c_str(), &input_.stream), aErrNone);
        }
        return input_.stream;
    }
    aStreamRef writer() { return output_.stream; }
    void farSends(const std::string& bytes) { writeWholeFile(dir_.file("in"), readWholeFile(dir_.file("in")) + bytes); }
    // The far end reads the output file once the stream is closed and everything is written.
    std::string farReceives(size_t count) {
        if (output_.stream) aStream_Destroy(&output_.stream);
        return readWholeFile(dir_.file("out")).substr(0, count);
    }
    void farEnds() {}

private:
    TempDir dir_;
    StreamHolder input_;
    StreamHolder output_;
};

using AllEnds = ::testing::Types<TcpEnd, SerialEnd, FileEnd>;
INSTANTIATE_TYPED_TEST_SUITE_P(Streams, StreamContract, AllEnds, StreamEndName);

using WaitingEnds = ::testing::Types<TcpEnd, SerialEnd>;
INSTANTIATE_TYPED_TEST_SUITE_P(Streams, WaitingStreamContract, WaitingEnds, StreamEndName);

}  // namespace
}  // namespace testsupport
