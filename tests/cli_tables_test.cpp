// The result printers: device tables, build tables, fingerprint and token lines,
// as the display receives them.
#include <gtest/gtest.h>

#include <arpa/inet.h>

#include <string>
#include <vector>

#include "ResultTables.h"
#include "UpdaterDisplayInterface.h"

namespace {

class Recorder : public UpdaterDisplayInterface {
public:
    void display_progress(bool) override {}
    void update_progress(double, const char*) override {}
    void update_spinner(bool, const char*) override {}
    void info_message(const char* text) override { text_ += std::string(text) + "\n"; }
    void error_message(const char* text) override { text_ += "error: " + std::string(text) + "\n"; }
    const std::string& text() const { return text_; }

private:
    std::string text_;
};

DeviceInfo device(linkType type, uint32_t serial, uint32_t module, uint32_t router, uint32_t model, uint8_t major,
                  uint8_t minor, uint32_t patch, uint32_t build, aErr error = 0) {
    DeviceInfo info;
    info.spec.type = type;
    info.spec.serialNumber = serial;
    info.spec.moduleAddress = module;
    info.spec.routerAddress = router;
    info.spec.model = model;
    info.spec.ipAddress = type == TCPIP ? inet_addr("192.168.7.21") : serial;
    info.versionMajor = major;
    info.versionMinor = minor;
    info.versionPatch = patch;
    info.buildNumber = build;
    info.error = error;
    return info;
}

const std::string kHeading = "    Device    Module   Router  Model          Firmware Version (Build)";

TEST(CliTables, VersionAndNoticeLines) {
    Recorder display;
    _display_app_version(display);
    EXPECT_EQ(display.text(), "Updater (Version: 2.10.8 Sep 13 2024)\n");
    _display_notice(display);
    EXPECT_EQ(display.text(),
              "Updater (Version: 2.10.8 Sep 13 2024)\n"
              "Keep a module connected and powered until its update has finished.\n");
}

TEST(CliTables, EmptyDeviceListPerTransport) {
    const std::pair<linkType, const char*> titles[] = {{USB, "USB"}, {TCPIP, "TCPIP"}, {0, "Unknown"}, {3, "Unknown"}};
    for (const auto& title : titles) {
        Recorder display;
        _display_device_list(display, {}, title.first);
        EXPECT_EQ(display.text(), std::string("Discovered Devices: (") + title.second + ")\n    No devices found.\n");
    }
}

TEST(CliTables, UsbDeviceRows) {
    Recorder display;
    _display_device_list(
        display,
        {device(USB, 0x40F5849A, 2, 0, 16, 2, 10, 8, 99528558),
         device(USB, 0x0000ABCD, 0x1E, 0xA, 99, 10, 0, 123, 7, 0), device(USB, 0xD272031D, 0, 0, 16, 0, 0, 0, 0, 25)},
        USB);
    EXPECT_EQ(display.text(), "Discovered Devices: (USB)\n" + kHeading + "\n" +
                                  "    40F5849A  02       00      Vesprin        2.10.8 (99528558)\n"
                                  "    0000ABCD  1E       0A      Unknown       10.0.123 (7)\n"
                                  "    D272031D  [Error (25): Is someone else connected to this device?]\n");
}

TEST(CliTables, TcpipRowsShowAddressAndNeverTheErrorForm) {
    Recorder display;
    _display_device_list(display, {device(TCPIP, 0x2181F0EE, 4, 4, 13, 1, 2, 3, 456, 30)}, TCPIP);
    EXPECT_EQ(display.text(), "Discovered Devices: (TCPIP)\n" + kHeading + "   [IP address]\n" +
                                  "    2181F0EE  04       04      Drennic        1.2.3 (456) [192.168.7.21]\n");
}

// Behind a router without -t: the searched kind is 0, each row keeps its own form.
TEST(CliTables, UnknownKindKeepsRowForms) {
    Recorder display;
    _display_device_list(
        display,
        {device(USB, 0x11111111, 6, 2, 4, 3, 1, 0, 10), device(TCPIP, 0x22222222, 8, 2, 5, 4, 0, 1, 20),
         device(USB, 0x33333333, 0, 0, 4, 0, 0, 0, 0, 3)},
        0);
    EXPECT_EQ(display.text(), "Discovered Devices: (Unknown)\n" + kHeading + "   [IP address]\n" +
                                  "    11111111  06       02      Quillet        3.1.0 (10)\n"
                                  "    22222222  08       02      Pavlorn        4.0.1 (20) [192.168.7.21]\n"
                                  "    33333333  [Error (3): Is someone else connected to this device?]\n");
}

TEST(CliTables, EmptyBuildList) {
    Recorder display;
    _display_builds(display, {}, 0x40F5849A);
    EXPECT_EQ(display.text(), "No builds found for device [40F5849A]\n");
}

TEST(CliTables, BuildListNewestVersionFirstCutTo15) {
    Recorder display;
    _display_builds(display,
                    {{"7", "release-candidate-x"},
                     {"99528558", "2.10.8"},
                     {"99600000", "2.11.0"},
                     {"1234567890123456789", "1.0.0"}},
                    0x1);
    EXPECT_EQ(display.text(),
              "Build List for device [00000001]:\n"
              "\n"
              "Build          \tVersion        \n"
              "99600000       \t2.11.0         \n"
              "99528558       \t2.10.8         \n"
              "123456789012345\t1.0.0          \n"
              "7              \trelease-candida\n");
}

TEST(CliTables, FingerprintWordsInIndexOrder) {
    Recorder display;
    Fingerprint fingerprint{};
    fingerprint.word[0] = 0x1;
    fingerprint.word[1] = 0xABCDEF12;
    fingerprint.word[2] = 0;
    fingerprint.word[3] = 0xFFFFFFFF;
    _display_fingerprint(display, fingerprint);
    EXPECT_EQ(display.text(), "[ 00000001 ABCDEF12 00000000 FFFFFFFF ]\n");
}

TEST(CliTables, TokenLines) {
    Recorder display;
    _display_jwt(display, "eyJhbGciOiJIUzI1NiJ9.e30.sig%s");
    _display_jwt(display, "");
    EXPECT_EQ(display.text(), "eyJhbGciOiJIUzI1NiJ9.e30.sig%s\n\n");
}

TEST(CliTables, MutedDisplayPrintsNoTable) {
    Recorder display;
    display.mute_messages(true);
    _display_builds(display, {{"1", "1.0"}}, 0x1);
    _display_device_list(display, {}, USB);
    _display_fingerprint(display, Fingerprint{});
    EXPECT_EQ(display.text(), "");
}

}  // namespace
