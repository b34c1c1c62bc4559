// The module commands that the link core and the object API both build: the bytes on the
// wire, as a module expects them.
#include <gtest/gtest.h>

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

}  // namespace
