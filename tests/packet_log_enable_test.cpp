// Several threads enabling one link's packet log at once share one ring: none is lost
// (LeakSanitizer would report it) and every record lands in the ring that stays.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

#include "aLink.h"
#include "aPacketDebug.h"
#include "modsim_process.h"
#include "net_address.h"
#include "tempdir.h"

using testsupport::ipv4;
using testsupport::ModsimProcess;
using testsupport::TempDir;

namespace {

TEST(PacketLogEnable, ThreadsEnablingAtOnceShareOneRing) {
    TempDir dir;
    ModsimProcess sim(dir.path(), {"--tcp", "127.0.0.3:0", "--address", "4"});
    ASSERT_TRUE(sim.ready());
    aLinkRef id = aLink_CreateTCPIP(ipv4("127.0.0.3"), sim.tcpPort());
    ASSERT_NE(id, 0u);

    const int threads = 8;
    std::atomic<int> waiting{threads};
    std::atomic<int> failures{0};
    std::vector<std::thread> enablers;
    for (int i = 0; i < threads; ++i) {
        enablers.emplace_back([&] {
            // Released together, so the enables overlap as far as the machine allows.
            --waiting;
            while (waiting > 0) std::this_thread::yield();
            if (aLink_PacketDebug_Enable(id) != aErrNone) ++failures;
        });
    }
    for (auto& enabler : enablers) enabler.join();
    EXPECT_EQ(failures, 0);

    const uint8_t text[] = {'m', 'a', 'r', 'k'};
    ASSERT_EQ(aLink_PacketDebug_Write(id, aPACKETLOG_TEXT, sizeof text, text), aErrNone);
    // The caller's record is in the ring every reader sees; what the link recorded
    // itself may come first.
    bool found = false;
    for (int i = 0; i < 1000 && !found; ++i) {
        uint32_t direction = 0;
        uint8_t buffer[256] = {};
        uint32_t length = sizeof buffer;
        if (aLink_PacketDebug_Read(id, &direction, &length, buffer) != aErrNone) break;
        found = direction == aPACKETLOG_TEXT && length == sizeof text && buffer[0] == 'm';
    }
    EXPECT_TRUE(found);
    aLink_Destroy(&id);
}

}  // namespace
