// The serial download client over USB HID: the real hidapi (hidraw back end) opens an
// emulated /dev/hidraw node whose reports reach the simulated boot ROM (tools/imxsim).
#include <gtest/gtest.h>

#include <chrono>

#include "HID_SDPLoader.h"
#include "SDPLoader.h"
#include "imxsim_process.h"
#include "tempdir.h"
#include "usb_bed.h"

using testsupport::ImxsimProcess;

namespace {

std::vector<uint8_t> image(size_t n) {
    std::vector<uint8_t> out(n);
    for (size_t i = 0; i < n; ++i) out[i] = static_cast<uint8_t>(i * 13 + 7);
    return out;
}

// The ROM behind an emulated hidraw node for as long as the object lives.
class HidRom {
public:
    explicit HidRom(const std::vector<std::string>& faults, const std::string& log = "") {
        std::vector<std::string> args{"--hid-socket", dir.file("rom.sock")};
        if (!log.empty()) args.insert(args.end(), {"--log", log});
        args.insert(args.end(), faults.begin(), faults.end());
        rom = std::make_unique<ImxsimProcess>(args);
        if (!rom->endpoint().empty())
            node = usbbed_add_hidraw(usbtest::bed(), IMX1050::VID, IMX1050::PID, rom->endpoint().c_str());
    }
    ~HidRom() {
        usbbed_remove_hidraw(node);
        rom->stop();
    }
    testsupport::TempDir dir;
    std::unique_ptr<ImxsimProcess> rom;
    UsbBedHidraw* node = nullptr;
};

int openLoader(SDPLoader& loader) {
    EXPECT_TRUE(loader.setLoader(new HID_SDPLoader(IMX1050::VID, IMX1050::PID)));
    return loader.init();
}

TEST(SdpHid, ReadsFusesWritesImagesAndJumps) {
    testsupport::TempDir logDir;
    const std::string log = logDir.file("rom.log");
    HidRom hid({"--fuses", "CAFEF00D,0BADBEEF"}, log);
    ASSERT_NE(hid.node, nullptr);
    SDPLoader loader;
    ASSERT_EQ(openLoader(loader), SDPLoader::SDP_OK);
    uint64_t value = 0;
    ASSERT_EQ(loader.getFingerprint(value), SDPLoader::SDP_OK);
    EXPECT_EQ(value, 0x0BADBEEFCAFEF00Dull);
    for (size_t size : {size_t(2048), size_t(1025), size_t(3000)})
        EXPECT_EQ(loader.writeLoader(image(size), 0x20000000), SDPLoader::SDP_OK) << size;
    loader.startLoader(0x20000400);
    std::string line;
    ASSERT_TRUE(hid.rom->readLine(line));
    EXPECT_EQ(line, "jump 0x20000400");
    const std::string text = testsupport::readWholeFile(log);
    EXPECT_NE(text.find("write-file done 0x20000000 size 3000"), std::string::npos) << text;
}

TEST(SdpHid, FaultsEndInTheirResultWithinSeconds) {
    struct Case {
        std::vector<std::string> faults;
        int expected;
    } cases[] = {{{"--silent"}, SDPLoader::SDP_NO_ANSWER},
                 {{"--write-status", "12345678"}, SDPLoader::SDP_NOT_CONFIRMED},
                 {{"--stray-during-load"}, SDPLoader::SDP_UNEXPECTED_INPUT}};
    for (const Case& c : cases) {
        HidRom hid(c.faults);
        ASSERT_NE(hid.node, nullptr);
        SDPLoader loader;
        ASSERT_EQ(openLoader(loader), SDPLoader::SDP_OK);
        const auto start = std::chrono::steady_clock::now();
        EXPECT_EQ(loader.writeLoader(image(65536), 0x20000000), c.expected) << c.faults[0];
        EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(10)) << c.faults[0];
    }
}

TEST(SdpHid, NoDeviceFailsTheOpen) {
    SDPLoader loader;
    EXPECT_EQ(openLoader(loader), SDPLoader::SDP_INIT_FAILED);
}

}  // namespace
