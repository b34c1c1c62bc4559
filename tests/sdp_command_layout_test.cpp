// The i.MX serial download commands byte for byte, as the boot ROM reads them: the report
// ID, then 16 bytes of type, address, format, count, data and a reserved byte.
#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

#include "SDPCommand.h"
#include "SDPLoader.h"

namespace {

using Bytes = std::vector<uint8_t>;

struct Layout {
    const char* what;
    Bytes built;
    Bytes wire;
};

TEST(SdpCommandLayout, EachCommandIsTheReportIdAndSixteenBytes) {
    const Layout layouts[] = {
        {"error status",
         sdpCommandReport(SDP_ERROR_STATUS),
         {0x01, 0x05, 0x05, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}},
        {"write file",
         sdpCommandReport(SDP_WRITE_FILE, 0x20001000, SDP_FORMAT_32BIT, 0x00012345),
         {0x01, 0x04, 0x04, 0x20, 0x00, 0x10, 0x00, 0x20, 0x00, 0x01, 0x23, 0x45, 0, 0, 0, 0, 0}},
        {"jump",
         sdpCommandReport(SDP_JUMP_ADDRESS, 0x60002000),
         {0x01, 0x0B, 0x0B, 0x60, 0x00, 0x20, 0x00, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}},
        {"read register",
         sdpCommandReport(SDP_READ_REGISTER, 0x401F4400, SDP_FORMAT_32BIT, 4),
         {0x01, 0x01, 0x01, 0x40, 0x1F, 0x44, 0x00, 0x20, 0x00, 0x00, 0x00, 0x04, 0, 0, 0, 0, 0}},
    };
    for (const Layout& layout : layouts) {
        EXPECT_EQ(layout.built, layout.wire) << layout.what;
        EXPECT_EQ(layout.built.size(), MAX_COMMAND_BYTES) << layout.what;
    }
}

}  // namespace
