// The module commands that the link core and the object API both build: the bytes on the
// wire, as a module expects them.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <vector>

#include "SystemClass.h"
#include "StreamProtocol.h"
#include "Uei.h"
#include "aModuleCommands.h"

namespace {

using Bytes = std::vector<uint8_t>;
using namespace Veltrane::Corvalith;

struct Layout {
    const char* what;
    Bytes built;
    Bytes wire;
};

TEST(ModuleCommandsLayout, BothLayersBuildTheBytesAModuleExpects) {
    const Layout layouts[] = {
        {"model query", {aCMD_SYSTEM, aCMD_OPTION_GET | aCMD_SYSTEM_MODEL, aCMD_SPECIFIER_REQUEST}, {0x03, 0x48, 0x20}},
        {"model query (API)",
         {SYSTEM_COMMAND, static_cast<uint8_t>(ueiOPTION_GET | systemModel), ueiSPECIFIER_REQUEST},
         {0x03, 0x48, 0x20}},
        {"heartbeat answer", {aCMD_HEARTBEAT, aModuleCommand_HeartbeatAnswer(0)}, {0x00, 0x02}},
        {"heartbeat answer, wrapped", {aCMD_HEARTBEAT, aModuleCommand_HeartbeatAnswer(0xFF)}, {0x00, 0x01}},
        {"stream enable", {aCMD_STREAM, aCMD_OPTION_SET | aCMD_STREAM_ENABLE}, {0x5D, 0x81}},
        {"stream disable", {aCMD_STREAM, aCMD_OPTION_SET | aCMD_STREAM_DISABLE}, {0x5D, 0x82}},
        {"stream enable (API)",
         {StreamProtocol::COMMAND, static_cast<uint8_t>(ueiOPTION_SET | StreamProtocol::OP_ENABLE)},
         {0x5D, 0x81}},
        {"stream disable (API)",
         {StreamProtocol::COMMAND, static_cast<uint8_t>(ueiOPTION_SET | StreamProtocol::OP_DISABLE)},
         {0x5D, 0x82}},
    };
    for (const Layout& layout : layouts) EXPECT_EQ(layout.built, layout.wire) << layout.what;
}

// Only a two-byte packet led by the heartbeat command is one; a stream sample or a reply
// that starts with 0x00 but is longer is not.
TEST(ModuleCommandsLayout, AHeartbeatIsExactlyTwoBytesLedByItsCommand) {
    struct Case {
        Bytes data;
        bool heartbeat;
    };
    const Case cases[] = {{{0x00, 0x00}, true},        {{0x00, 0x01}, true},  {{0x00}, false},
                          {{0x00, 0x01, 0x02}, false}, {{0x01, 0x00}, false}, {{}, false}};
    for (const Case& c : cases) {
        uint8_t data[4] = {};
        std::copy(c.data.begin(), c.data.end(), data);
        aPacket* packet = aPacket_CreateWithData(0x02, static_cast<uint8_t>(c.data.size()), data);
        ASSERT_NE(packet, nullptr);
        EXPECT_EQ(aModuleCommand_IsHeartbeat(packet), c.heartbeat) << c.data.size();
        aPacket_Destroy(&packet);
    }
}

}  // namespace
