// Running some of a test in a forked child, e.g. with other privileges or limits.
#pragma once

#include <chrono>
#include <functional>

namespace testsupport {

// The uid and gid a child drops to when a test needs an unprivileged caller.
constexpr unsigned kUnprivilegedId = 65534;

// Runs `body` in a forked child and answers its exit code (128 + signal number
// when killed, -1 when it had to be killed for running past `limit`).
int runForked(const std::function<int()>& body, std::chrono::milliseconds limit = std::chrono::seconds(20));

// In a child: drops group and user to kUnprivilegedId; false when that fails.
bool dropPrivileges();

}  // namespace testsupport
