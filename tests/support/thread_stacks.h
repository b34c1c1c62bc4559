// Printing every thread's stack of a process that seems stuck, for the report of a
// watchdog: a blocked test leaves nothing else to go on.
#pragma once

#include <sys/types.h>

namespace testsupport {

// Writes a backtrace of every thread of `pid` (this process too) to standard error, by
// gdb run from a forked child; without gdb, what /proc tells of each thread (name,
// state, wait channel). Returns within about a minute.
void printThreadStacks(pid_t pid);

}  // namespace testsupport
