// Word matching and option handling of the command-line parser, in process
// against its Parameters record, and through the binary where a run shows it.
#include <gtest/gtest.h>

#include <functional>
#include <ostream>
#include <string>
#include <vector>

#include "CommandLine.h"
#include "Log.h"
#include "Parameters.h"
#include "UpdaterDisplayInterface.h"
#include "updater_cli.h"

namespace {

using namespace testsupport;
using namespace testsupport::cli_text;

class RecordingDisplay : public UpdaterDisplayInterface {
public:
    void display_progress(bool) override {}
    void update_progress(double, const char*) override {}
    void update_spinner(bool, const char*) override {}
    void info_message(const char* text) override { lines += "I:" + std::string(text) + "\n"; }
    void error_message(const char* text) override { lines += "E:" + std::string(text) + "\n"; }
    std::string lines;
};

struct Parsed {
    int result;
    Parameters params;
    std::string messages;
};

Parsed parse(std::vector<std::string> words) {
    words.insert(words.begin(), "/opt/tools/updater");
    std::vector<char*> argv;
    for (auto& word : words) argv.push_back(&word[0]);
    argv.push_back(nullptr);
    RecordingDisplay display;
    Parsed parsed;
    parsed.result = _get_params(display, static_cast<int>(words.size()), argv.data(), parsed.params);
    parsed.messages = display.lines;
    return parsed;
}

struct ParseCase {
    const char* name;
    std::vector<std::string> words;
    int result;
    std::string messages;
    std::function<bool(const Parameters&)> holds;
};

void PrintTo(const ParseCase& c, std::ostream* os) {
    *os << c.name;
}

class CliParse : public ::testing::TestWithParam<ParseCase> {
protected:
    void SetUp() override { Log::DeactivatePackage(0xFFFFFFFFu); }
    void TearDown() override { Log::DeactivatePackage(0xFFFFFFFFu); }
};

TEST_P(CliParse, Words) {
    const ParseCase& c = GetParam();
    const Parsed parsed = parse(c.words);
    EXPECT_EQ(parsed.result, c.result);
    EXPECT_EQ(parsed.messages, c.messages);
    EXPECT_TRUE(c.holds(parsed.params));
}

bool onlyCommands(const Parameters& p, uint32_t bits) {
    for (uint32_t bit = 1; bit != 0; bit <<= 1) {
        if (p.commands.IsSet(bit) != ((bits & bit) != 0)) return false;
    }
    return true;
}

const std::string kBadSerial = "E:Invalid serial number obtained from argument [";
const std::string kBadRouter = "E:Invalid router serial number obtained from argument [";
const std::string kBadBuild = "E:Invalid build number obtained from argument [";
const std::string kBadBaud = "E:Invalid baud rate obtained from argument [";

const ParseCase kParses[] = {
    {"Defaults",
     {},
     0,
     "",
     [](const Parameters& p) {
         return onlyCommands(p, 0) && p.deviceSerial == 0 && p.routerSerial == 0 && p.transport == USB &&
                !p.transportGiven && p.portBaud == 115200 && p.buildText.empty() &&
                p.serverUrl == "http://updates.veltrane.example/cgi/u" && p.logFile == "Updater.log" &&
                p.applicationName == "updater" && !p.override && !p.help && !p.extendedUsage && p.debugMask == 0;
     }},
    // Prefixes select the one row they begin; case matters.
    {"OverrideShortest", {"-O"}, 0, "", [](const Parameters& p) { return p.override && onlyCommands(p, 0); }},
    {"OverridePrefix", {"-OVER"}, 0, "", [](const Parameters& p) { return p.override; }},
    {"OverrideLongestPrefix", {"-OVERRID"}, 0, "", [](const Parameters& p) { return p.override; }},
    {"OverrideExact", {"-OVERRIDE"}, 0, "", [](const Parameters& p) { return p.override; }},
    {"OverrideTooLong", {"-OVERRIDEX"}, 0, "", [](const Parameters& p) { return !p.override; }},
    {"OverrideLowerCase", {"-over"}, 0, "", [](const Parameters& p) { return !p.override; }},
    {"LongHelpPrefix", {"--h"}, 0, "", [](const Parameters& p) { return p.help && onlyCommands(p, COMMAND_HELP); }},
    {"LongHelpPrefix3", {"--hel"}, 0, "", [](const Parameters& p) { return p.help; }},
    {"OneHyphenHelpWord", {"-help"}, 0, "", [](const Parameters& p) { return !p.help; }},
    {"TooManyHyphens", {"---help"}, 0, "", [](const Parameters& p) { return !p.help; }},
    {"TwoHyphensShortName", {"--B"}, 0, "", [](const Parameters& p) { return onlyCommands(p, 0); }},
    {"HyphenAlone", {"-"}, 0, "", [](const Parameters& p) { return onlyCommands(p, 0); }},
    // No joining of options, no argument glued on.
    {"JoinedCommands", {"-UD"}, 0, "", [](const Parameters& p) { return onlyCommands(p, 0); }},
    {"GluedArgument", {"-d1234"}, 0, "", [](const Parameters& p) { return p.deviceSerial == 0; }},
    {"SeparateArgument", {"-d", "1234"}, 0, "", [](const Parameters& p) { return p.deviceSerial == 0x1234; }},
    {"EqualsArgument", {"-d=0x1234"}, 0, "", [](const Parameters& p) { return p.deviceSerial == 0x1234; }},
    {"EqualsOnCommandRefused", {"-B=1"}, 0, "", [](const Parameters& p) { return onlyCommands(p, 0); }},
    {"EqualsOnHelpRefused", {"-h=1"}, 0, "", [](const Parameters& p) { return !p.help; }},
    {"EmptyEqualsArgument",
     {"-i=", "-f=a=b"},
     0,
     "",
     [](const Parameters& p) { return p.storeDirectory.empty() && p.trelFile == "a=b"; }},
    // A missing argument refuses the option and leaves the next word to be examined.
    {"ArgumentIsAnOption",
     {"-d", "-B"},
     0,
     "",
     [](const Parameters& p) { return p.deviceSerial == 0 && onlyCommands(p, COMMAND_BUILDS); }},
    {"ArgumentMissingAtEnd",
     {"-B", "-d"},
     0,
     "",
     [](const Parameters& p) { return p.deviceSerial == 0 && onlyCommands(p, COMMAND_BUILDS); }},
    {"ZNeedsArgument", {"-Z"}, 0, "", [](const Parameters& p) { return onlyCommands(p, 0); }},
    {"ZWithArgument", {"-Z", "x"}, 0, "", [](const Parameters& p) { return onlyCommands(p, COMMAND_Z); }},
    {"NonOptionsPassOver",
     {"foo", "-B", "bar"},
     0,
     "",
     [](const Parameters& p) { return onlyCommands(p, COMMAND_BUILDS); }},
    {"EmptyWordIsNoOption", {"", "-B"}, 0, "", [](const Parameters& p) { return onlyCommands(p, COMMAND_BUILDS); }},
    {"LaterParameterWins", {"-d", "1", "-d", "2"}, 0, "", [](const Parameters& p) { return p.deviceSerial == 2; }},
    {"CommandsAccumulate",
     {"-B", "-L", "-D", "-G", "-I", "-U", "-N", "-C", "-J", "-Z", "z"},
     0,
     "",
     [](const Parameters& p) {
         return onlyCommands(p, COMMAND_BUILDS | COMMAND_LOCAL_BUILDS | COMMAND_DISCOVER | COMMAND_GET | COMMAND_INFO |
                                    COMMAND_UPDATE | COMMAND_FINGERPRINT | COMMAND_CHECK | COMMAND_JWT | COMMAND_Z);
     }},
    // Help ends the parse with success whatever came before; later words are not read.
    {"HelpAfterFailure",
     {"-d", "zz", "-h", "-d", "5"},
     0,
     kBadSerial + "zz]\n",
     [](const Parameters& p) { return p.help && p.deviceSerial == 0; }},
    {"HelpStopsBeforeY", {"-H", "-Y"}, 0, "", [](const Parameters& p) { return p.help; }},
    {"RefusedY", {"-Y"}, 1, "E:Unhandled command: [-Y]\n", [](const Parameters& p) { return onlyCommands(p, 0); }},
    // Serial numbers.
    {"SerialUpperPrefix",
     {"-d", "0X40F5849A"},
     0,
     "",
     [](const Parameters& p) { return p.deviceSerial == 0x40F5849A; }},
    {"SerialLowerCase", {"-d", "40f5849a"}, 0, "", [](const Parameters& p) { return p.deviceSerial == 0x40F5849A; }},
    {"SerialMax", {"-d", "FFFFFFFF"}, 0, "", [](const Parameters& p) { return p.deviceSerial == 0xFFFFFFFF; }},
    {"SerialLeadingZeros",
     {"-d", "0000000040F5849A"},
     0,
     "",
     [](const Parameters& p) { return p.deviceSerial == 0x40F5849A; }},
    {"SerialTooWide",
     {"-d", "140F5849A"},
     1,
     kBadSerial + "140F5849A]\n",
     [](const Parameters& p) { return p.deviceSerial == 0; }},
    {"SerialWayTooWide",
     {"-d", "0x1000000040F5849A"},
     1,
     kBadSerial + "1000000040F5849A]\n",
     [](const Parameters& p) { return p.deviceSerial == 0; }},
    {"SerialNotHex",
     {"-d", "12G4"},
     1,
     kBadSerial + "12G4]\n",
     [](const Parameters& p) { return p.deviceSerial == 0; }},
    {"SerialSign", {"-d", "+12"}, 1, kBadSerial + "+12]\n", [](const Parameters& p) { return p.deviceSerial == 0; }},
    {"SerialEmpty", {"-d="}, 1, kBadSerial + "]\n", [](const Parameters& p) { return p.deviceSerial == 0; }},
    {"BadSerialThenGoodOne",
     {"-d", "zz", "-d", "7"},
     1,
     kBadSerial + "zz]\n",
     [](const Parameters& p) { return p.deviceSerial == 7; }},
    {"RouterSerial", {"-r", "0xD272031D"}, 0, "", [](const Parameters& p) { return p.routerSerial == 0xD272031D; }},
    {"RouterTooWide",
     {"-r", "1D272031D"},
     1,
     kBadRouter + "1D272031D]\n",
     [](const Parameters& p) { return p.routerSerial == 0; }},
    {"RouterZero", {"-r", "0x0"}, 1, kBadRouter + "0]\n", [](const Parameters& p) { return p.routerSerial == 0; }},
    // Build numbers and baud rates.
    {"BuildLeadingZeros", {"-b", "007"}, 0, "", [](const Parameters& p) { return p.buildText == "7"; }},
    {"BuildZero", {"-b", "0"}, 0, "", [](const Parameters& p) { return p.buildText == "0"; }},
    {"BuildMax", {"-b", "4294967295"}, 0, "", [](const Parameters& p) { return p.buildText == "4294967295"; }},
    // Anything but a whole decimal number within 32 bits fails the parse: another build
    // than the one asked for must never be flashed.
    {"BuildLetterO", {"-b", "200O"}, 1, kBadBuild + "200O]\n", [](const Parameters& p) { return p.buildText == "0"; }},
    {"BuildFraction", {"-b", "2.0"}, 1, kBadBuild + "2.0]\n", [](const Parameters& p) { return p.buildText == "0"; }},
    {"BuildNotNumber", {"-b", "abc"}, 1, kBadBuild + "abc]\n", [](const Parameters& p) { return p.buildText == "0"; }},
    {"BuildEmpty", {"-b="}, 1, kBadBuild + "]\n", [](const Parameters& p) { return p.buildText == "0"; }},
    {"BuildSign", {"-b", "+12"}, 1, kBadBuild + "+12]\n", [](const Parameters& p) { return p.buildText == "0"; }},
    {"BuildTooLarge",
     {"-b", "4294967296"},
     1,
     kBadBuild + "4294967296]\n",
     [](const Parameters& p) { return p.buildText == "0"; }},
    {"BuildWrapsNever",
     {"-b", "4294967396"},
     1,
     kBadBuild + "4294967396]\n",
     [](const Parameters& p) { return p.buildText == "0"; }},
    {"BuildFarTooLarge",
     {"-b", "99999999999999999999"},
     1,
     kBadBuild + "99999999999999999999]\n",
     [](const Parameters& p) { return p.buildText == "0"; }},
    {"BadBuildThenGoodOne",
     {"-b", "x", "-b", "7"},
     1,
     kBadBuild + "x]\n",
     [](const Parameters& p) { return p.buildText == "7"; }},
    // Baud rates: only those the usage text lists.
    {"BaudLowest", {"-o", "2400"}, 0, "", [](const Parameters& p) { return p.portBaud == 2400; }},
    {"Baud", {"-o", "9600"}, 0, "", [](const Parameters& p) { return p.portBaud == 9600; }},
    {"BaudHighest", {"-o", "230400"}, 0, "", [](const Parameters& p) { return p.portBaud == 230400; }},
    {"BaudUnlisted", {"-o", "9601"}, 1, kBadBaud + "9601]\n", [](const Parameters& p) { return p.portBaud == 0; }},
    {"BaudBelowList", {"-o", "1200"}, 1, kBadBaud + "1200]\n", [](const Parameters& p) { return p.portBaud == 0; }},
    {"BaudZero", {"-o", "0"}, 1, kBadBaud + "0]\n", [](const Parameters& p) { return p.portBaud == 0; }},
    {"BaudNotNumber", {"-o", "96k"}, 1, kBadBaud + "96k]\n", [](const Parameters& p) { return p.portBaud == 0; }},
    {"BaudTooLarge",
     {"-o", "4294967296"},
     1,
     kBadBaud + "4294967296]\n",
     [](const Parameters& p) { return p.portBaud == 0; }},
    // Transports.
    {"TransportUsb", {"-t", "USB"}, 0, "", [](const Parameters& p) { return p.transport == USB && p.transportGiven; }},
    {"TransportTcp", {"-t", "TCP"}, 0, "", [](const Parameters& p) { return p.transport == TCPIP; }},
    {"TransportTcpip", {"-t", "TCPIPX"}, 0, "", [](const Parameters& p) { return p.transport == TCPIP; }},
    {"TransportRecover", {"-t", "RECOVER"}, 0, "", [](const Parameters& p) { return p.transport == RECOVER; }},
    {"TransportBad",
     {"-t", "US"},
     1,
     "E:Invalid transport type:[US]\nMust be one of the following: USB, TCPIP, RECOVER\n",
     [](const Parameters& p) { return p.transport == 0 && p.transportGiven; }},
    // Debug mask.
    {"MaskHex",
     {"-X", "0x30"},
     0,
     "",
     [](const Parameters& p) { return p.debugMask == 0x30 && p.extendedUsage && Log::package_bitmask == 0x30; }},
    {"MaskDecimal",
     {"-X", "48"},
     0,
     "",
     [](const Parameters& p) { return p.debugMask == 48 && Log::package_bitmask == 48; }},
    {"MasksOrTogether",
     {"-X", "1", "-X", "0x20"},
     0,
     "",
     [](const Parameters& p) { return p.debugMask == 0x20 && Log::package_bitmask == 0x21; }},
    {"MaskWithLeftovers",
     {"-X", "12ab"},
     0,
     "E:Invalid format for \"-X\" parameter, unprocessed characters [ab]\n",
     [](const Parameters& p) { return p.debugMask == 12 && p.extendedUsage && Log::package_bitmask == 0; }},
    // Stored texts and flags.
    {"Texts",
     {"-i", "/s", "-f", "a.trel", "-s", "/dev/ttyS0", "-u", "http://127.0.0.1:1/x", "-l", "m", "-k", "k.log"},
     0,
     "",
     [](const Parameters& p) {
         return p.storeDirectory == "/s" && p.trelFile == "a.trel" && p.serialPort == "/dev/ttyS0" &&
                p.serverUrl == "http://127.0.0.1:1/x" && p.historyMessage == "m" && p.logFile == "k.log";
     }},
    {"Flags",
     {"-e", "ignored", "-n"},
     0,
     "",
     [](const Parameters& p) { return p.echo && p.optionN && onlyCommands(p, 0); }},
};

INSTANTIATE_TEST_SUITE_P(Table, CliParse, ::testing::ValuesIn(kParses),
                         [](const ::testing::TestParamInfo<ParseCase>& caseInfo) {
                             return std::string(caseInfo.param.name);
                         });

TEST(CliParseName, ApplicationNameAfterLastSlashOrBackslash) {
    const std::pair<const char*, const char*> names[] = {{"updater", "updater"},
                                                         {"/usr/bin/updater", "updater"},
                                                         {"C:\\tools\\Updater.exe", "Updater.exe"},
                                                         {"a/b\\c", "c"},
                                                         {"dir/", ""}};
    for (const auto& name : names) {
        std::vector<std::string> words = {name.first};
        char* argv[] = {&words[0][0], nullptr};
        RecordingDisplay display;
        Parameters params;
        EXPECT_EQ(_get_params(display, 1, argv, params), 0);
        EXPECT_EQ(params.applicationName, name.second) << name.first;
    }
}

TEST(CliParseNumbers, WholeTextsOfDigitsOnly) {
    EXPECT_EQ(_get_hex_arg("ff"), 0xFFu);
    EXPECT_EQ(_get_hex_arg(""), 0u);
    EXPECT_EQ(_get_hex_arg("0x1"), 0u);
    EXPECT_EQ(_get_hex_arg(" 1"), 0u);
    EXPECT_EQ(_get_hex_arg("100000000"), 0u);
    EXPECT_EQ(_get_int_arg("4294967295"), 4294967295u);
    EXPECT_EQ(_get_int_arg("4294967296"), 0u);
    EXPECT_EQ(_get_int_arg("-1"), 0u);
    EXPECT_EQ(_get_int_arg("1a"), 0u);
}

// Through the binary: the serial number a run addresses, and the diagnostics of the parse.
struct BinaryCase {
    const char* name;
    std::vector<std::string> args;
    std::string out;
    std::string err;
    int exitCode;
};

void PrintTo(const BinaryCase& c, std::ostream* os) {
    *os << c.name;
}

class CliOptionRun : public ::testing::TestWithParam<BinaryCase> {};

TEST_P(CliOptionRun, PrintsAndExits) {
    const BinaryCase& c = GetParam();
    TempDir store;
    const ProcessResult result = runUpdater(store, c.args);
    ASSERT_FALSE(result.timedOut);
    EXPECT_EQ(result.out, c.out);
    EXPECT_EQ(result.err, c.err);
    EXPECT_EQ(result.exitCode, c.exitCode);
}

// The test server URL refuses connections, so every -G ends at the server ping.
const std::string kGetMissing =
    std::string("Server request failed for ") + kUnreachableServer + "\nReason: connection refused\n";
std::string retrieving(const char* serial, const char* build) {
    return kVersion + "Retrieving firmware for device with serial number " + serial + "\nRetrieving firmware build " +
           build + "\n";
}

const BinaryCase kBinaryRuns[] = {
    {"SerialWithPrefix", {"-G", "-d", "0x40F5849A", "-b", "1"}, retrieving("40F5849A", "1"), kGetMissing, 1},
    {"SerialWithoutPrefix", {"-G", "-d", "40F5849A", "-b", "1"}, retrieving("40F5849A", "1"), kGetMissing, 1},
    {"SerialAfterEquals", {"-G", "-d=40F5849A", "-b=1"}, retrieving("40F5849A", "1"), kGetMissing, 1},
    {"SerialGluedIsDropped",
     {"-G", "-d40F5849A"},
     kVersion,
     "-G must specify a specific device via -d\n--help for usage information\n",
     1},
    // A serial wider than 32 bits never wraps onto another module.
    {"SerialTooWideRefused",
     {"-G", "-d", "140F5849A"},
     kVersion + kNotice,
     "Invalid serial number obtained from argument [140F5849A]\n" + kShortUsage,
     1},
    {"RouterTooWideRefused",
     {"-D", "-r", "0x1D272031D"},
     kVersion + kNotice,
     "Invalid router serial number obtained from argument [1D272031D]\n" + kShortUsage,
     1},
    // A build number that is not a whole 32-bit decimal fails the parse: nothing is fetched.
    {"BuildTooLarge",
     {"-G", "-d", "1", "-b", "4294967296"},
     kVersion + kNotice,
     "Invalid build number obtained from argument [4294967296]\n" + kShortUsage,
     1},
    {"BuildMax", {"-G", "-d", "1", "-b", "4294967295"}, retrieving("00000001", "4294967295"), kGetMissing, 1},
    {"BuildNotNumber",
     {"-U", "-d", "1", "-b", "200O"},
     kVersion + kNotice,
     "Invalid build number obtained from argument [200O]\n" + kShortUsage,
     1},
    {"BaudUnlisted",
     {"-N", "-s", "/dev/null", "-o", "115201"},
     kVersion + kNotice,
     "Invalid baud rate obtained from argument [115201]\n" + kShortUsage,
     1},
    // -X takes effect at once: only options to its right log under it.
    {"MaskBeforePrefixNote",
     {"-X", "1", "-d", "0x5"},
     kVersion + kNotice,
     "Discarding '0x' serial number prefix\n" + kShortUsage,
     0},
    {"MaskAfterPrefixNote", {"-d", "0x5", "-X", "1"}, kVersion + kNotice, kShortUsage, 0},
    {"RouterPrefixNote",
     {"-X", "0x1", "-r", "0x5"},
     kVersion + kNotice,
     "Discarding '0x' router serial number prefix\n" + kShortUsage,
     0},
    {"OtherPackageSilent", {"-X", "0x2", "-d", "0x5"}, kVersion + kNotice, kShortUsage, 0},
    {"MaskLeftoversNotActivated",
     {"-X", "1z", "-d", "0x5"},
     kVersion + kNotice,
     "Invalid format for \"-X\" parameter, unprocessed characters [z]\n" + kShortUsage,
     0},
};

INSTANTIATE_TEST_SUITE_P(Runs, CliOptionRun, ::testing::ValuesIn(kBinaryRuns),
                         [](const ::testing::TestParamInfo<BinaryCase>& caseInfo) {
                             return std::string(caseInfo.param.name);
                         });

TEST(CliOptionLog, ApplicationParametersInParseOrder) {
    TempDir store;
    const std::string bin = requiredEnv("UPDATER_BIN");
    const ProcessResult result = runProcess(
        {bin, "foo", "-X", "0x10000", "-i", store.path(), "bar", "-u=" + std::string(kUnreachableServer), "-Q", "-d"},
        std::chrono::seconds(20), {"HOME=" + store.path()});
    EXPECT_EQ(result.out, kVersion + kNotice);
    EXPECT_EQ(result.err, "\nApplication parameters:[updater]\n\t[" + bin + "]\n\t[-X]\n\t[0x10000]\n\t[-i]\n\t[" +
                              store.path() + "]\n\t[-u=" + kUnreachableServer +
                              "]\n\t[-Q]\n\t[-d]\n\t[foo]\n\t[bar]\n" + kShortUsage);
    EXPECT_EQ(result.exitCode, 0);
}

TEST(CliOptionLog, HelpEndsParseBeforeTheParameterLog) {
    TempDir store;
    const ProcessResult result = runUpdater(store, {"-X", "0x10000", "-h"});
    EXPECT_EQ(result.err, kExtendedHelpUsage);
    EXPECT_EQ(result.exitCode, 0);
}

}  // namespace
