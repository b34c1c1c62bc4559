// Recovery through the i.MX boot ROM: the simulated ROM (tools/imxsim), on a pty or behind
// an emulated hidraw node for the real hidapi, takes the loader, and on the jump starts a
// simulated module (tools/modsim) that this test puts on the emulated USB bus, first under
// the placeholder or the given serial number, after its reboot under its real serial number.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <mutex>
#include <sys/stat.h>
#include <thread>

#include "Fingerprint.h"
#include "ModuleNetworkConfig.h"
#include "RecoveryImx.h"
#include "SystemClass.h"
#include "Updater.h"
#include "byte_io.h"
#include "firmware_update.h"
#include "imxsim_process.h"
#include "tempdir.h"
#include "update_server_sim.h"
#include "usb_bed.h"
#include "wait_until.h"
#include "byte_patterns.h"

using namespace std::chrono_literals;
using testsupport::FirmwareFile;
using testsupport::ImxsimProcess;
using testsupport::patternBytes;
using testsupport::TempDir;

namespace {

const uint32_t REAL_SERIAL = 0x0000CAFE;

class RecordingDisplay : public UpdaterDisplayInterface {
public:
    void display_progress(bool) override {}
    void update_progress(double, const char*) override {}
    void update_spinner(bool, const char*) override {}
    void info_message(const char* text) override { lines.push_back(std::string("info: ") + text); }
    void error_message(const char* text) override { lines.push_back(std::string("error: ") + text); }
    std::string all() const {
        std::string out;
        for (const std::string& l : lines) out += l + "\n";
        return out;
    }
    bool isMuted() const { return muted; }
    std::vector<std::string> lines;
};

// The file may not exist yet: its writer may not have started.
bool fileHas(const std::string& path, const std::string& text, std::chrono::milliseconds limit = 20s) {
    return testsupport::waitUntil([&] { return testsupport::readFileOrEmpty(path).find(text) != std::string::npos; },
                                  limit, 20ms);
}

std::string control(const std::string& path, const std::string& command) {
    return testsupport::controlLine(path, command);
}

class RecoveryImx : public ::testing::Test {
protected:
    // Starts the ROM on a pty, or with `hid` behind an emulated hidraw node; its loader is
    // a module whose USB serial string is `usbSerial`.
    void startRom(const std::string& usbSerial, bool hid = false) {
        usbSerial_ = usbSerial;
        std::vector<std::string> romArgs{"--log", dir.file("rom.log"), "--"};
        if (hid)
            romArgs.insert(romArgs.begin(), {"--hid-socket", dir.file("rom.sock")});
        else
            romArgs.insert(romArgs.begin(), "--pty");
        const std::vector<std::string> loader =
            testsupport::loaderModuleArgs(moduleSocket(), moduleControl(), moduleLog(), dir.file("image.bin"));
        romArgs.insert(romArgs.end(), loader.begin(), loader.end());
        rom = std::make_unique<ImxsimProcess>(romArgs);
        ASSERT_FALSE(rom->endpoint().empty());
        port = rom->endpoint();
        if (hid) {
            hidraw = usbbed_add_hidraw(usbtest::bed(), 0x1FC9, 0x0130, rom->endpoint().c_str());
            ASSERT_NE(hidraw, nullptr);
            port = "USB";
        }
        watcher = std::thread([this] { watch(); });
    }

    // The module a started loader brings up appears on the bus.
    void watch() {
        std::string line;
        while (!stopping) {
            if (!rom->readLine(line, 200ms)) {
                std::this_thread::sleep_for(10ms);
                continue;
            }
            if (line.rfind("jump ", 0) == 0) {
                std::lock_guard<std::mutex> hold(lock);
                jumpLine = line;
            }
            if (line.rfind("ready unix ", 0) == 0 && !device) {
                UsbBedDeviceSpec spec{usbSerial_.c_str(), 19, 0, 0, USBBED_LAYOUT_MODULE};
                std::lock_guard<std::mutex> hold(lock);
                device = usbbed_add_device(usbtest::bed(), &spec);
                if (device) usbbed_device_bridge_unix(device, moduleSocket().c_str());
            }
        }
    }

    void TearDown() override {
        stopping = true;
        if (watcher.joinable()) watcher.join();
        if (device) usbbed_device_unplug(device);
        if (hidraw) usbbed_remove_hidraw(hidraw);
        if (rom) rom->stop();
    }

    std::string trel(std::vector<std::string> extra = {}) {
        FirmwareFile file;
        file.serial = "0000CAFE";
        file.model = "Hallvex";
        file.loader = testsupport::noiseText(3000, 5);
        file.firmware = {{0x4000, patternBytes(700, 3)}, {0x6000, patternBytes(30, 4)}};
        file.extraArgs = std::move(extra);
        firmware = file.firmware;
        return testsupport::writeFirmwareFile(dir.file("fw.trel"), file);
    }

    // The ROM's jump line, written by the watcher thread.
    std::string jump() {
        std::lock_guard<std::mutex> hold(lock);
        return jumpLine;
    }

    std::string moduleSocket() const { return dir.file("module.sock"); }
    std::string moduleControl() const { return dir.file("module.ctl"); }
    std::string moduleLog() const { return dir.file("module.log"); }

    TempDir dir;
    TempDir store;
    RecordingDisplay display;
    std::unique_ptr<ImxsimProcess> rom;
    std::thread watcher;
    std::atomic<bool> stopping{false};
    std::mutex lock;
    UsbBedDevice* device = nullptr;
    std::string usbSerial_;
    std::string port;  // what the user names with -s
    UsbBedHidraw* hidraw = nullptr;
    std::string jumpLine;
    std::vector<testsupport::ImageBlock> firmware;
};

class RecoveryImxBoth : public RecoveryImx, public ::testing::WithParamInterface<bool> {};

TEST_P(RecoveryImxBoth, FingerprintIsTheChipIdentifierLastWordFirstAndTheModuleIsReset) {
    startRom("0000CAFE", GetParam());
    const std::string path = trel({"--recovery-start", "0x10000400"});
    Updater updater("http://127.0.0.1:9/cgi/u", store.path().c_str(), display);
    Fingerprint fp{};
    ASSERT_TRUE(_get_fingerprint_imx(display, updater, port, REAL_SERIAL, path, fp, true)) << display.all();
    EXPECT_EQ(fp.word[0], 0x44444444u);
    EXPECT_EQ(fp.word[1], 0x33333333u);
    EXPECT_EQ(fp.word[2], 0x22222222u);
    EXPECT_EQ(fp.word[3], 0x11111111u);
    EXPECT_EQ(jump(), "jump 0x10000400");
    EXPECT_TRUE(fileHas(dir.file("rom.log"), "write-file done 0x10000000 size 3000"));
    EXPECT_TRUE(fileHas(moduleLog(), "module 0x02 reset")) << testsupport::readWholeFile(moduleLog());
}

TEST_F(RecoveryImx, PlaceholderSerialUsesTheStoredLatestDownload) {
    startRom("DEADDEAD");
    const std::string path = trel();
    const std::string folder = store.path() + "/DEADDEAD";
    ASSERT_EQ(mkdir(folder.c_str(), 0755), 0);
    testsupport::writeWholeFile(folder + "/77.trel", testsupport::readWholeFile(path));
    testsupport::writeWholeFile(folder + "/.settings", "LATEST_DOWNLOAD=77.trel\n");
    Updater updater("http://127.0.0.1:9/cgi/u", store.path().c_str(), display);
    Fingerprint fp{};
    ASSERT_TRUE(_get_fingerprint_imx(display, updater, port, 0, "", fp, false)) << display.all();
    EXPECT_EQ(fp.word[3], 0x11111111u);
    EXPECT_EQ(jump(), "jump 0x20000400");
}

TEST_F(RecoveryImx, PlaceholderSerialWithoutAStoreEntryDownloadsTheDefaultRecoveryImage) {
    startRom("DEADDEAD");
    TempDir fixtures;
    testsupport::writeFixture(fixtures.path(), "DEADDEAD/latest.txt", "55\nrecovery\n");
    testsupport::writeFixture(fixtures.path(), "DEADDEAD/builds.txt", "55;1.0.0\n");
    testsupport::writeFixture(fixtures.path(), "DEADDEAD/55.trel", testsupport::readWholeFile(trel()));
    testsupport::UpdateServerSim server(fixtures.path());
    ASSERT_FALSE(server.url().empty());
    Updater updater(server.url().c_str(), store.path().c_str(), display);
    Fingerprint fp{};
    ASSERT_TRUE(_get_fingerprint_imx(display, updater, port, 0, "", fp, true)) << display.all();
    EXPECT_EQ(fp.word[0], 0x44444444u);
    EXPECT_EQ(testsupport::readWholeFile(store.path() + "/DEADDEAD/55.trel"),
              testsupport::readWholeFile(fixtures.path() + "/DEADDEAD/55.trel"));
    // The download ran with the display muted.
    EXPECT_TRUE(display.lines.empty()) << display.all();
    EXPECT_FALSE(display.isMuted());
}

// A loader block too short to hold its load address has no place in RAM: the file is
// refused and the ROM hears nothing. (The file reader drops such blocks; the loader
// transfer does not rely on that.)
TEST_F(RecoveryImx, LoaderBlockWithoutItsAddressIsRefusedBeforeAnythingIsSent) {
    startRom("DEADDEAD");
    TrelFile file(trel().c_str());
    uint8_t shortData[3] = {0xAA, 0xBB, 0xCC};
    TrelBlock shortBlock;
    shortBlock.type = TrelFile::BLOCK_LOADER;
    shortBlock.length = sizeof shortData;
    shortBlock.data = shortData;
    file.blocks.push_back(shortBlock);
    ASSERT_EQ(file.FindBlocks(TrelFile::BLOCK_LOADER).size(), 2u);
    EXPECT_EQ(_transfer_recovery_loader(file, port), aErrConnection);
    rom->stop();
    EXPECT_EQ(testsupport::readWholeFile(dir.file("rom.log")).find("error-status"), std::string::npos);
}

// The file reader sets a loader block too short for its load address aside; the loader
// transfer still sees it and refuses the file before the ROM hears anything.
TEST_F(RecoveryImx, ShortLoaderBlockOfAFileIsRefusedBeforeAnythingIsSent) {
    startRom("DEADDEAD");
    TrelFile file(trel({"--raw-block", "0:AABBCC"}).c_str());
    EXPECT_EQ(_transfer_recovery_loader(file, port), aErrConnection);
    rom->stop();
    const std::string log = testsupport::readFileOrEmpty(dir.file("rom.log"));
    EXPECT_EQ(log.find("error-status"), std::string::npos) << log;
    EXPECT_EQ(log.find("write-file"), std::string::npos) << log;
}

TEST_F(RecoveryImx, PathWithThePlaceholderSerialIsRefusedBeforeTheRom) {
    startRom("DEADDEAD");
    Updater updater("http://127.0.0.1:9/cgi/u", store.path().c_str(), display);
    Fingerprint fp{};
    EXPECT_FALSE(_get_fingerprint_imx(display, updater, rom->endpoint(), 0xDEADDEAD, trel(), fp, true));
    EXPECT_EQ(display.lines,
              std::vector<std::string>{
                  "error: Add serial number or remove the trel filename to use a default recovery image."});
    EXPECT_EQ(testsupport::readWholeFile(dir.file("rom.log")).find("write-file"), std::string::npos);
}

TEST_P(RecoveryImxBoth, RecoveryWritesTheFirmwareAndTheModuleComesBackWithTheNewBuild) {
    startRom("DEADDEAD", GetParam());
    TrelFile file(trel().c_str());
    ASSERT_EQ(_transfer_recovery_loader(file, port), aErrNone);
    // A rebooting module leaves the bus and comes back under its real serial number.
    std::atomic<bool> done{false};
    std::thread rebooter([&] {
        while (!done && !fileHas(moduleLog(), "reboot", 200ms)) {}
        if (done) return;
        std::lock_guard<std::mutex> hold(lock);
        usbbed_device_unplug(device);
        device = nullptr;
    });
    const bool recovered = _recover_firmware_imx(display, file, REAL_SERIAL);
    done = true;
    rebooter.join();
    ASSERT_TRUE(recovered) << display.all() << testsupport::readWholeFile(moduleLog());
    EXPECT_NE(control(moduleControl(), "module").find("build=4321"), std::string::npos);
    EXPECT_EQ(testsupport::readWholeFile(dir.file("image.bin")), testsupport::imageOf(firmware));

    UsbBedDeviceSpec spec{"0000CAFE", 19, 0, 0, USBBED_LAYOUT_MODULE};
    UsbBedDevice* back = usbbed_add_device(usbtest::bed(), &spec);
    ASSERT_NE(back, nullptr);
    usbbed_device_bridge_unix(back, moduleSocket().c_str());
    ASSERT_TRUE(usbtest::waitListed(back, true));
    Veltrane::Corvalith::Module module(0, 0);
    ASSERT_EQ(_disableWeave(module, display), aErrNone);
    aErr result = aErrNotFound;
    for (int attempt = 0; attempt < 20 && result != aErrNone; ++attempt) {
        result = module.discoverAndConnect(USB, REAL_SERIAL);
        if (result != aErrNone) std::this_thread::sleep_for(250ms);
    }
    ASSERT_EQ(result, aErrNone);
    Veltrane::Corvalith::SystemClass system;
    system.init(&module, 0);
    uint32_t serial = 0;
    EXPECT_EQ(system.getSerialNumber(&serial), aErrNone);
    EXPECT_EQ(serial, REAL_SERIAL);
    module.disconnect();
    usbbed_device_unplug(back);
}

INSTANTIATE_TEST_SUITE_P(SerialAndHid, RecoveryImxBoth, ::testing::Values(false, true),
                         [](const ::testing::TestParamInfo<bool>& param) { return param.param ? "Hid" : "Pty"; });

// The firmware file of a recovery without -f is known only after the fingerprint started the
// loader: a file the module's loader cannot be given whole is refused before the module is
// looked for, so nothing reaches it and it is not rebooted.
TEST_F(RecoveryImx, AFileThatCannotBeWrittenWholeIsRefusedBeforeTheModuleIsLookedFor) {
    TrelFile file(trel({"--claim-length", "2=5000"}).c_str());
    const auto start = std::chrono::steady_clock::now();
    EXPECT_FALSE(_recover_firmware_imx(display, file, REAL_SERIAL));
    EXPECT_LT(std::chrono::steady_clock::now() - start, 5s);
    EXPECT_EQ(display.lines, (std::vector<std::string>{"error: Failed to transfer firmware",
                                                       "error: Reason: block 3 of the firmware file (a firmware "
                                                       "block) claims 5000 bytes, but only 107 remain in the file"}));
}

TEST_F(RecoveryImx, RomFaultsEndTheLoaderTransferWithItsCode) {
    struct Case {
        std::vector<std::string> args;
        aErr expected;
    } cases[] = {{{"--silent"}, aErrConnection}, {{"--write-status", "00000000"}, aErrConnection}};
    for (const Case& c : cases) {
        ImxsimProcess faulty([&] {
            std::vector<std::string> a{"--pty"};
            a.insert(a.end(), c.args.begin(), c.args.end());
            return a;
        }());
        TrelFile file(trel().c_str());
        const auto start = std::chrono::steady_clock::now();
        EXPECT_EQ(_transfer_recovery_loader(file, faulty.endpoint()), c.expected) << c.args[0];
        EXPECT_LT(std::chrono::steady_clock::now() - start, 15s);
    }
    TrelFile file(trel().c_str());
    EXPECT_EQ(_transfer_recovery_loader(file, dir.file("no-such-port")), aErrNotReady);
}

}  // namespace
