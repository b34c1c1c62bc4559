// Guards the messaging library's process-wide beacon interface: a beacon reads it when
// it is configured, so a caller sets it and keeps the lock until its beacon is set up.
#pragma once

#include <string>

// A dotted IPv4 address, "" or "*".
bool zBeaconInterface_isValid(const char* value);

// Locks and sets the interface; false (nothing locked) for an invalid value.
bool zBeaconInterface_setAndLock(const char* value);
// Releases the lock when the calling thread holds it; otherwise does nothing.
void zBeaconInterface_unlock();
// Locks, saves the current interface as the backup and sets the value; false (nothing
// locked) for an invalid value.
bool zBeaconInterface_backupSetAndLock(const char* value);
// Sets the interface back to the backup and unlocks, when the calling thread holds the
// lock; otherwise does nothing.
void zBeaconInterface_restoreAndUnlock();

std::string zBeaconInterface_get();
// Locks, then returns the current interface; the caller unlocks.
std::string zBeaconInterface_getAndLock();
std::string zBeaconInterface_getBackup();
// Locks, then returns the backup; the caller unlocks.
std::string zBeaconInterface_getBackupAndLock();
