// One writer at a time for a file that is replaced by rename: an exclusive lock (flock) on a
// small lock file beside it. The lock file is never replaced itself, so every writer locks the
// same file, whichever version of the locked file it read; a lock on the renamed file would
// be left behind on the old version by the first rename. The kernel releases the lock when
// its holder ends, however it ends.
#pragma once

#include <chrono>
#include <string>

class FileLock {
public:
    // Waits for the lock of `path` (the lock file is path + ".lock", made when missing) up to
    // `patience`; a writer holds it only for the moments of a rename and its record.
    explicit FileLock(const std::string& path, std::chrono::milliseconds patience = std::chrono::seconds(30));
    ~FileLock();
    FileLock(const FileLock&) = delete;
    FileLock& operator=(const FileLock&) = delete;

    bool held() const { return fd_ >= 0; }
    // Why the lock is not held: errno of the failed open, or EWOULDBLOCK when another writer
    // kept it past the wait.
    int error() const { return error_; }

    static std::string LockPathFor(const std::string& path) { return path + ".lock"; }

private:
    int fd_ = -1;
    int error_ = 0;
};
