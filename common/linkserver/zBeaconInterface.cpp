#include "zBeaconInterface.h"

#include <arpa/inet.h>
#include <atomic>
#include <cstring>
#include <mutex>
#include <thread>

#include <czmq.h>

#include "aTrace.h"

namespace {

const uint32_t TRACE_LOCK = 0x200;
const size_t BACKUP_CAPACITY = 100;

std::mutex _interfaceLock;
// The thread holding _interfaceLock, so an unlock by a thread that never took it is
// refused instead of releasing someone else's lock.
std::atomic<std::thread::id> _lockOwner{};
std::string _backupInterface;

bool _isValidIpAddress(const char* value) {
    struct in_addr address = {};
    return inet_pton(AF_INET, value, &address) == 1;
}

bool _isValidBeaconConfig(const char* value) {
    return value && (value[0] == '\0' || strcmp(value, "*") == 0 || _isValidIpAddress(value));
}

void _configureBackup() {
    if (_backupInterface.capacity() < BACKUP_CAPACITY) {
        aTrace(TRACE_LOCK, "%s Reserving memory for _backupInterface\n", "_configureBackup");
        _backupInterface.reserve(BACKUP_CAPACITY);
    }
}

void _lock(const char* name) {
    aTrace(TRACE_LOCK, "%s PRE-LOCK\n", name);
    _interfaceLock.lock();
    _lockOwner = std::this_thread::get_id();
    aTrace(TRACE_LOCK, "%s LOCKED\n", name);
}

bool _heldByCaller() {
    return _lockOwner.load() == std::this_thread::get_id();
}

void _release() {
    _lockOwner = std::thread::id();
    _interfaceLock.unlock();
}

void _setInterface(const char* value) {
    // Initialises the library first, so a later initialisation cannot replace the value.
    zsys_init();
    zsys_set_interface(value);
}

}  // namespace

bool zBeaconInterface_isValid(const char* value) {
    return _isValidBeaconConfig(value);
}

bool zBeaconInterface_setAndLock(const char* value) {
    if (!_isValidBeaconConfig(value)) return false;
    _lock("zBeaconInterface_setAndLock");
    _setInterface(value);
    return true;
}

void zBeaconInterface_unlock() {
    if (!_heldByCaller()) return;
    aTrace(TRACE_LOCK, "%s: UNLOCKING\n", "zBeaconInterface_unlock");
    _release();
}

bool zBeaconInterface_backupSetAndLock(const char* value) {
    if (!_isValidBeaconConfig(value)) return false;
    _lock("zBeaconInterface_backupSetAndLock");
    _configureBackup();
    _backupInterface = zsys_interface();
    _setInterface(value);
    return true;
}

void zBeaconInterface_restoreAndUnlock() {
    if (!_heldByCaller()) return;
    _configureBackup();
    _setInterface(_backupInterface.c_str());
    aTrace(TRACE_LOCK, "%s UNLOCKING\n", "zBeaconInterface_restoreAndUnlock");
    _release();
}

std::string zBeaconInterface_get() {
    return zsys_interface();
}

std::string zBeaconInterface_getAndLock() {
    _lock("zBeaconInterface_getAndLock");
    return zsys_interface();
}

std::string zBeaconInterface_getBackup() {
    return _backupInterface;
}

std::string zBeaconInterface_getBackupAndLock() {
    _lock("zBeaconInterface_getBackupAndLock");
    _configureBackup();
    return _backupInterface;
}
