// One update per module at a time: an exclusive flock on the module's store directory.
// The kernel drops the lock when its holder exits, however it exits.
#pragma once

#include <string>

class StoreLock {
public:
    enum Result { LOCKED, BUSY, UNAVAILABLE };

    StoreLock() = default;
    ~StoreLock();
    StoreLock(const StoreLock&) = delete;
    StoreLock& operator=(const StoreLock&) = delete;

    // Takes the lock on directory/.lock without waiting. BUSY when another process holds
    // it; UNAVAILABLE (with the system's reason) when the lock file cannot be opened.
    Result acquire(const std::string& directory, std::string& reason);
    // Releases a held lock; a no-op otherwise.
    void release();

    static const char* const FILE_NAME;

private:
    int fd_ = -1;
};
