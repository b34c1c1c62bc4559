// One update per module on the machine, whatever store and user each run has: a Unix
// socket bound to an abstract name made of the module's serial number. The first run to
// bind the name holds it; the kernel frees it the moment the holder's socket closes,
// however the holder ends. Abstract names belong to the network namespace, which is the
// machine as far as the modules it reaches are concerned.
#pragma once

#include <cstdint>
#include <string>

class ModuleLock {
public:
    enum Result { LOCKED, BUSY, UNAVAILABLE };

    ModuleLock() = default;
    ~ModuleLock();
    ModuleLock(const ModuleLock&) = delete;
    ModuleLock& operator=(const ModuleLock&) = delete;

    // Takes the module's lock without waiting. BUSY when another process holds it (the
    // reason then names the holder's process when the system tells it); UNAVAILABLE,
    // with the system's reason, when no socket could be made.
    Result acquire(uint32_t serial, std::string& reason);
    // Releases a held lock; a no-op otherwise.
    void release();

    // The abstract name for the module, as `ss -xl` lists it (with a leading "@").
    // UPDATER_LOCK_SCOPE, when set, puts the name in a scope of its own: test suites that
    // run many updates of the same serial numbers at once keep them apart that way.
    static std::string NameFor(uint32_t serial);

private:
    int fd_ = -1;
};
