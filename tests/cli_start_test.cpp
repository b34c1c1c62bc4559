// The updater binary end to end: what each start-up path prints on standard
// output and standard error, byte for byte, and its exit code.
#include <gtest/gtest.h>

#include <pwd.h>
#include <sys/stat.h>

#include <ostream>
#include <string>
#include <vector>

#include "updater_cli.h"

namespace {

using namespace testsupport;
using namespace testsupport::cli_text;

struct RunCase {
    const char* name;
    std::vector<std::string> args;
    std::string out;
    std::string err;
    int exitCode;
};

void PrintTo(const RunCase& c, std::ostream* os) {
    *os << c.name;
}

// The test URL refuses connections: the failure names its reason on the next line.
const std::string kServerRefused =
    std::string("Server request failed for ") + kUnreachableServer + "\nReason: connection refused\n";
// After an empty build table that is no answer of the server, on standard output.
const std::string kNoBuildList = "Reason: the update server gave no build list: connection refused\n";
const std::string kNoSerial = "Invalid serial number obtained from argument [";
const std::string kNoUsbDevices = "Searching for Corvalith devices\nDiscovered Devices: (USB)\n    No devices found.\n";

class CliStart : public ::testing::TestWithParam<RunCase> {};

TEST_P(CliStart, PrintsAndExits) {
    const RunCase& c = GetParam();
    TempDir store;
    const ProcessResult result = runUpdater(store, c.args);
    ASSERT_FALSE(result.timedOut);
    EXPECT_EQ(result.out, c.out);
    EXPECT_EQ(result.err, c.err);
    EXPECT_EQ(result.exitCode, c.exitCode);
}

const RunCase kRuns[] = {
    {"NoCommand", {}, kVersion + kNotice, kShortUsage, 0},
    {"HelpShort", {"-h"}, kVersion + kNotice, kHelpUsage, 0},
    {"HelpCapital", {"-H"}, kVersion + kNotice, kHelpUsage, 0},
    {"HelpLong", {"--help"}, kVersion + kNotice, kHelpUsage, 0},
    {"HelpPrefix", {"--he"}, kVersion + kNotice, kHelpUsage, 0},
    {"DebugMaskBeforeHelpAddsExtended", {"-X", "0", "-h"}, kVersion + kNotice, kExtendedHelpUsage, 0},
    {"DebugMaskAfterHelpIsNotRead", {"-h", "-X", "0"}, kVersion + kNotice, kHelpUsage, 0},
    {"DebugMaskWithoutHelpShortUsage", {"-X", "0"}, kVersion + kNotice, kShortUsage, 0},
    {"BadSerialThenHelp", {"-d", "zz", "-h"}, kVersion + kNotice, kNoSerial + "zz]\n" + kHelpUsage, 0},
    {"HelpThenBadSerialNotExamined", {"-h", "-d", "zz"}, kVersion + kNotice, kHelpUsage, 0},
    {"BadTransport",
     {"-t", "bogus"},
     kVersion + kNotice,
     "Invalid transport type:[bogus]\nMust be one of the following: USB, TCPIP, RECOVER\n" + kShortUsage,
     1},
    {"TransportIsCaseSensitive",
     {"-D", "-t", "usb"},
     kVersion + kNotice,
     "Invalid transport type:[usb]\nMust be one of the following: USB, TCPIP, RECOVER\n" + kShortUsage,
     1},
    {"RefusedY", {"-Y"}, kVersion + kNotice, "Unhandled command: [-Y]\n" + kShortUsage, 1},
    {"RefusedYWithCommand", {"-I", "-Y"}, kVersion + kNotice, "Unhandled command: [-Y]\n" + kShortUsage, 1},
    {"CommandWithArgumentDropped", {"-U=1"}, kVersion + kNotice, kShortUsage, 0},
    {"JoinedCommandsMatchNothing", {"-UD"}, kVersion + kNotice, kShortUsage, 0},
    {"NonOptionWord", {"foo"}, kVersion + kNotice, kShortUsage, 0},
    {"ZeroSerialFails", {"-G", "-d", "0"}, kVersion + kNotice, kNoSerial + "0]\n" + kShortUsage, 1},
    {"BarePrefixSerialFails", {"-G", "-d", "0x"}, kVersion + kNotice, kNoSerial + "]\n" + kShortUsage, 1},
    {"SerialOf2To32Fails", {"-G", "-d", "100000000"}, kVersion + kNotice, kNoSerial + "100000000]\n" + kShortUsage, 1},
    {"BadRouterSerial",
     {"-D", "-r", "xyz"},
     kVersion + kNotice,
     "Invalid router serial number obtained from argument [xyz]\n" + kShortUsage,
     1},
    {"InfoOnly", {"-I"}, kVersion, "", 0},
    {"CheckOnly", {"-C"}, kVersion, "", 0},
    {"ZOnly", {"-Z", "anything"}, kVersion, "", 0},
    {"NonOptionWordBesideInfo", {"foo", "-I"}, kVersion, "", 0},
    {"BuildsWithoutSerial",
     {"-B"},
     kVersion,
     "Error must supply a serial number for the List Builds command\n" + kShortUsage,
     1},
    {"LocalBuildsWithoutSerial",
     {"-L"},
     kVersion,
     "Error must supply a serial number for the List Local Builds command\n" + kShortUsage,
     1},
    {"JwtWithoutSerial",
     {"-J"},
     kVersion,
     "Error must supply a serial number for the Get JWT command\n" + kShortUsage,
     1},
    {"UpdateWithoutSerial", {"-U"}, kVersion, "Must specify the specific device to be updated\n", 1},
    {"GetWithoutSerial",
     {"-G", "-D"},
     kVersion,
     "-G must specify a specific device via -d\n--help for usage information\n",
     1},
    {"FingerprintWithoutPort",
     {"-N", "-G", "-d", "1"},
     kVersion,
     "Must specify the serial port used for connecting\n",
     1},
    // Discovery outside the test namespace stays on USB: no multicast leaves this host.
    {"DiscoverFindsNothing", {"-D"}, kVersion + kNoUsbDevices, "", 0},
    {"RouterNotFound",
     {"-D", "-r", "0xD272031D", "-t", "USB"},
     kVersion + "Searching for Corvalith Network devices connected to D272031D\n"
                "Discovered Devices: (USB)\n    No devices found.\n",
     "",
     0},
    {"BuildsWithoutServer",
     {"-B", "-d", "40F5849A"},
     kVersion + "No builds found for device [40F5849A]\n" + kNoBuildList,
     kServerRefused,
     1},
    {"LocalBuildsEmptyStore", {"-L", "-d", "40F5849A"}, kVersion + "No builds found for device [40F5849A]\n", "", 0},
    {"JwtWithoutServer", {"-J", "-d", "40F5849A"}, kVersion + "\n", kServerRefused, 1},
    {"UpdateWithNoBuildAnywhere",
     {"-U", "-d", "40F5849A"},
     kVersion,
     "Could not find valid build for this device.\n",
     1},
    // Recovery needs no -d; without a port no chip answers.
    {"RecoverWithoutPort",
     {"-U", "-t", "RECOVER"},
     kVersion,
     "Could not get Device Identifier\nReason: no serial port given (-s)\n",
     1},
    {"GetWithoutServer",
     {"-G", "-d", "0x40F5849A"},
     kVersion + "Retrieving firmware for device with serial number 40F5849A\nNo build specified\nUsing Latest build\n",
     kServerRefused,
     1},
    {"GetNamedBuild",
     {"-G", "-d", "40f5849a", "-b", "0099"},
     kVersion + "Retrieving firmware for device with serial number 40F5849A\nRetrieving firmware build 99\n",
     kServerRefused,
     1},
    // -B decides the code after a failed -G; without the server's answer it is 1.
    {"GetThenBuilds",
     {"-G", "-B", "-d", "1"},
     kVersion +
         "Retrieving firmware for device with serial number 00000001\nNo build specified\nUsing Latest build\n"
         "No builds found for device [00000001]\n" +
         kNoBuildList,
     kServerRefused + kServerRefused,
     1},
    {"FingerprintOfNoChip",
     {"-N", "-s", "/dev/null"},
     kVersion,
     "Got no response from chip\nReason: not a serial port: /dev/null\n",
     1},
    // Only the first of -D, -U, -B, -L, -J runs.
    {"DiscoverBeforeUpdate", {"-U", "-D"}, kVersion + kNoUsbDevices, "", 0},
};

INSTANTIATE_TEST_SUITE_P(Runs, CliStart, ::testing::ValuesIn(kRuns),
                         [](const ::testing::TestParamInfo<RunCase>& caseInfo) {
                             return std::string(caseInfo.param.name);
                         });

bool isDirectory(const std::string& path, mode_t* mode) {
    struct stat st;
    if (stat(path.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) return false;
    *mode = st.st_mode & 07777;
    return true;
}

TEST(CliStorage, InfoCreatesTheUpdaterDirectoryWith0755) {
    TempDir store;
    const std::string nested = store.file("a/b");
    const ProcessResult result = runProcess({requiredEnv("UPDATER_BIN"), "-i", nested, "-u", kUnreachableServer, "-I"},
                                            std::chrono::seconds(20), {"HOME=" + store.path()});
    EXPECT_EQ(result.exitCode, 0);
    mode_t mode = 0;
    ASSERT_TRUE(isDirectory(nested + "/updater", &mode));
    EXPECT_EQ(mode, 0755u);
}

TEST(CliStorage, NoCommandTouchesNoDirectory) {
    TempDir store;
    EXPECT_EQ(runUpdater(store, {"-h"}).exitCode, 0);
    EXPECT_EQ(runUpdater(store, {"-t", "bogus"}).exitCode, 1);
    mode_t mode = 0;
    EXPECT_FALSE(isDirectory(store.file("updater"), &mode));
    EXPECT_FALSE(isDirectory(store.file(".veltrane"), &mode));
}

TEST(CliStorage, UncreatableDirectoryFailsTheRun) {
    TempDir store;
    writeWholeFile(store.file("plain"), "not a directory");
    const ProcessResult result =
        runProcess({requiredEnv("UPDATER_BIN"), "-i", store.file("plain"), "-u", kUnreachableServer, "-I"},
                   std::chrono::seconds(20), {"HOME=" + store.path()});
    EXPECT_EQ(result.out, kVersion);
    EXPECT_EQ(result.err, "Could not find updater directory at " + store.file("plain") +
                              "/updater\nReason: " + store.file("plain") + ": Not a directory\n");
    EXPECT_EQ(result.exitCode, 1);
}

// Without -i the store follows the home directory of the user's password entry, whatever
// HOME says; HOME counts only for a user the password database does not know.
ProcessResult infoAs(const std::string& uid, const std::string& home) {
    return runProcess({"/usr/bin/setpriv", "--reuid=" + uid, "--regid=65534", "--clear-groups",
                       requiredEnv("UPDATER_BIN"), "-u", kUnreachableServer, "-I"},
                      std::chrono::seconds(20), {"HOME=" + home});
}

TEST(CliStorage, DefaultStoreFollowsThePasswordEntryNotHome) {
    TempDir home;
    ASSERT_EQ(chmod(home.path().c_str(), 0777), 0);
    // nobody's entry names /nonexistent, where nobody may create nothing.
    const ProcessResult result = infoAs("65534", home.path());
    EXPECT_EQ(result.exitCode, 1);
    EXPECT_EQ(result.err,
              "Could not find updater directory at /nonexistent/.veltrane/updater\nReason: /nonexistent: Permission "
              "denied\n");
    mode_t mode = 0;
    EXPECT_FALSE(isDirectory(home.file(".veltrane"), &mode));
}

TEST(CliStorage, DefaultStoreOfAUserWithoutPasswordEntryFollowsHome) {
    TempDir home;
    ASSERT_EQ(chmod(home.path().c_str(), 0777), 0);
    ASSERT_EQ(getpwuid(54321), nullptr) << "uid 54321 has a password entry here";
    const ProcessResult result = infoAs("54321", home.path());
    EXPECT_EQ(result.exitCode, 0) << result.err;
    mode_t mode = 0;
    EXPECT_TRUE(isDirectory(home.file(".veltrane/updater"), &mode));
}

}  // namespace
