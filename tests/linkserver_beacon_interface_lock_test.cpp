// The lock around the messaging library's beacon interface setting. Nothing here
// creates a beacon or sends anything.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <future>
#include <thread>

#include <czmq.h>

#include "zBeaconInterface.h"

using namespace std::chrono_literals;

namespace {

// Another thread taking the lock (and giving it back at once). Destroy it only after
// the lock is free again: it joins that thread.
class LockProbe {
public:
    LockProbe()
        : thread_([this] {
              zBeaconInterface_getAndLock();
              zBeaconInterface_unlock();
              taken_.set_value();
          }) {}
    ~LockProbe() { thread_.join(); }
    bool takenWithin(std::chrono::milliseconds limit) { return done_.wait_for(limit) == std::future_status::ready; }

private:
    std::promise<void> taken_;
    std::future<void> done_ = taken_.get_future();
    std::thread thread_;
};

bool lockFreeForOthers() {
    LockProbe probe;
    return probe.takenWithin(5s);
}

TEST(BeaconInterfaceLock, OnlyAddressesEmptyAndStarAreTakenAndLocked) {
    const struct {
        const char* value;
        bool accepted;
    } cases[] = {
        {"198.18.0.1", true}, {"", true},       {"*", true},          {"eth0", false},
        {"lo", false},        {"1.2.3", false}, {"256.1.1.1", false}, {"198.18.0.1 ", false},
    };
    zBeaconInterface_setAndLock("");
    zBeaconInterface_unlock();
    for (const auto& c : cases) {
        SCOPED_TRACE(c.value);
        const std::string before = zBeaconInterface_get();
        EXPECT_EQ(zBeaconInterface_setAndLock(c.value), c.accepted);
        if (c.accepted) {
            EXPECT_EQ(zBeaconInterface_get(), c.value);
            LockProbe probe;
            EXPECT_FALSE(probe.takenWithin(200ms));
            zBeaconInterface_unlock();
            EXPECT_TRUE(probe.takenWithin(5s));
        } else {
            EXPECT_EQ(zBeaconInterface_get(), before);
        }
        EXPECT_TRUE(lockFreeForOthers());
    }
    EXPECT_FALSE(zBeaconInterface_setAndLock(nullptr));
    EXPECT_FALSE(zBeaconInterface_backupSetAndLock("eth0"));
    EXPECT_TRUE(lockFreeForOthers());
}

TEST(BeaconInterfaceLock, BackupSetThenRestoreGivesTheFormerValueBack) {
    ASSERT_TRUE(zBeaconInterface_setAndLock("198.18.0.2"));
    zBeaconInterface_unlock();
    ASSERT_TRUE(zBeaconInterface_backupSetAndLock("198.18.0.1"));
    EXPECT_EQ(zBeaconInterface_get(), "198.18.0.1");
    EXPECT_EQ(zBeaconInterface_getBackup(), "198.18.0.2");
    zBeaconInterface_restoreAndUnlock();
    EXPECT_EQ(zBeaconInterface_get(), "198.18.0.2");
    EXPECT_EQ(zsys_interface(), std::string("198.18.0.2"));
    EXPECT_EQ(zBeaconInterface_getBackupAndLock(), "198.18.0.2");
    zBeaconInterface_unlock();
    EXPECT_TRUE(lockFreeForOthers());
}

TEST(BeaconInterfaceLock, ARestoreByAThreadThatNeverLockedChangesNothing) {
    ASSERT_TRUE(zBeaconInterface_setAndLock("198.18.0.2"));
    zBeaconInterface_unlock();
    ASSERT_TRUE(zBeaconInterface_backupSetAndLock("198.18.0.1"));
    // Another thread that never took the lock must neither release it nor restore.
    std::thread([] {
        zBeaconInterface_unlock();
        zBeaconInterface_restoreAndUnlock();
    }).join();
    EXPECT_EQ(zBeaconInterface_get(), "198.18.0.1");
    {
        LockProbe probe;
        EXPECT_FALSE(probe.takenWithin(200ms));
        zBeaconInterface_restoreAndUnlock();
        EXPECT_TRUE(probe.takenWithin(5s));
    }
    EXPECT_EQ(zBeaconInterface_get(), "198.18.0.2");
    // Nothing is held now: a stray unlock on this thread is harmless too.
    zBeaconInterface_unlock();
    EXPECT_TRUE(lockFreeForOthers());
}

TEST(BeaconInterfaceLock, HolderKeepsItsValueWhileOthersWait) {
    ASSERT_TRUE(zBeaconInterface_setAndLock("198.18.0.1"));
    std::atomic<bool> set{false};
    std::thread other([&] {
        zBeaconInterface_setAndLock("198.18.0.2");
        set = true;
        zBeaconInterface_unlock();
    });
    std::this_thread::sleep_for(100ms);
    EXPECT_FALSE(set.load());
    EXPECT_EQ(zBeaconInterface_get(), "198.18.0.1");
    zBeaconInterface_unlock();
    other.join();
    EXPECT_TRUE(set.load());
    EXPECT_EQ(zBeaconInterface_get(), "198.18.0.2");
}

}  // namespace
