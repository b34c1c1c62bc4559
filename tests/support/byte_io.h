// Raw byte exchange with a peer under test (socket, pty), every wait bounded.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

namespace testsupport {

using Bytes = std::vector<uint8_t>;

// A blocking TCP connection to address:port, or -1.
int connectTcp(const std::string& address, uint16_t port);
// A blocking connection to a Unix-domain stream socket, or -1.
int connectUnix(const std::string& path);

bool writeBytes(int fd, const Bytes& bytes);
// Reads until `count` bytes arrived, the peer closed, or `limit` passed; returns what arrived.
Bytes readBytes(int fd, std::size_t count, std::chrono::milliseconds limit = std::chrono::seconds(2));
// Everything that arrives within `window` (for checking that nothing more is sent).
Bytes readFor(int fd, std::chrono::milliseconds window);
// True when the peer closes (or errors) within `limit`; bytes that still arrive are skipped.
bool waitForClose(int fd, std::chrono::milliseconds limit = std::chrono::seconds(2));

// True when the peer resets the connection (a TCP RST, not an orderly close) within `limit`.
bool waitForReset(int fd, std::chrono::milliseconds limit = std::chrono::seconds(2));

// Sends one command line to a simulator's Unix-domain control socket and returns its
// one-line answer (without the newline), or "" when no whole line came within `limit`.
std::string controlLine(const std::string& socketPath, const std::string& command,
                        std::chrono::milliseconds limit = std::chrono::seconds(3));

// "AD 00": the format of the simulators' logs.
std::string hexText(const Bytes& bytes);

}  // namespace testsupport
