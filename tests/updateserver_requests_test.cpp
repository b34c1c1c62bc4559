// The update-server requests against the simulated update server: exact queries, reply
// parsing on real replies, and every server fault ending in false with a diagnostic.
#include <chrono>
#include <cstdlib>
#include <functional>

#include <gtest/gtest.h>

#include "UpdateServerRequest.h"
#include "base64.h"
#include "log_capture.h"
#include "refusing_port.h"
#include "tempdir.h"
#include "update_server_sim.h"

using testsupport::LogCapture;
using testsupport::RefusingPort;
using testsupport::TempDir;
using testsupport::UpdateServerSim;
using testsupport::writeFixture;

namespace {

const uint32_t SERIAL = 0x40F5849A;
const std::string FIRMWARE_BYTES = std::string("trel\x00\x01\xff\x80\x7f\xfe", 10) + "payload";

// One module with a build list, a latest build, a firmware file and a token, and a few
// fingerprints whose build lines need different number bases.
class ServerRequests : public ::testing::Test {
protected:
    void SetUp() override {
        writeFixture(fixtures.path(), "40F5849A/builds.txt", "100;1.2.3\n99;1.10.0\n980\n7\n100;9.9.9\n");
        writeFixture(fixtures.path(), "40F5849A/latest.txt", "100\nFW-A\n");
        writeFixture(fixtures.path(), "40F5849A/100.trel", FIRMWARE_BYTES);
        writeFixture(fixtures.path(), "40F5849A/token.txt", "aa.bb.cc.dd\n");
        writeFixture(fixtures.path(), "000000AB/token.txt", "a.bb.cc\n");
        writeFixture(fixtures.path(), "000000AC/token.txt", "aa.bb\n");
        writeFixture(fixtures.path(), "fingerprints.txt",
                     "00000001 00000002 00000003 00000004 40F5849A 0x10\n"
                     "00000001 00000002 00000003 00000005 40F5849A 010\n"
                     "00000001 00000002 00000003 00000006 40f5849b 77\n"
                     "00000001 00000002 00000003 00000007 40F5849A 99999999999999999999999\n");
    }

    std::string path() const { return "/cgi/u"; }

    TempDir fixtures;
};

std::string decode(const std::string& text, bool& ok) {
    size_t length = 0;
    unsigned char* bytes = base64_decode(text.data(), text.size(), &length);
    ok = bytes != nullptr;
    std::string result = ok ? std::string(reinterpret_cast<char*>(bytes), length) : "";
    free(bytes);
    return result;
}

}  // namespace

TEST_F(ServerRequests, PingSendsHiAndAcceptsAFirstLineBeginningWithOk) {
    const struct {
        const char* okLine;
        bool expected;
    } cases[] = {{"ok", true}, {"okay, fine", true}, {"OK", false}, {"o", false}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.okLine);
        UpdateServerSim server(fixtures.path(), {"--ok-line", c.okLine});
        EXPECT_EQ(UpdateServerRequest::ping(server.url().c_str()), c.expected);
        EXPECT_EQ(server.requests(), std::vector<std::string>{path() + "?op=hi&rv=2&"});
    }
}

TEST_F(ServerRequests, QueryBuildReadsBuildAndFirmwareName) {
    UpdateServerSim server(fixtures.path());
    std::string build = "old", firmware = "old";

    ASSERT_TRUE(UpdateServerRequest::QueryBuild(SERIAL, build, firmware, server.url().c_str()));

    EXPECT_EQ(build, "100");
    EXPECT_EQ(firmware, "FW-A");
    EXPECT_EQ(server.requests(), std::vector<std::string>{path() + "?op=qu&sn=40F5849A&"});
}

TEST_F(ServerRequests, QueryBuildWithCrlfKeepsTheCarriageReturnOnlyOnTheBuild) {
    UpdateServerSim server(fixtures.path(), {"--fault", "crlf"});
    std::string build, firmware;

    ASSERT_TRUE(UpdateServerRequest::QueryBuild(SERIAL, build, firmware, server.url().c_str()));

    EXPECT_EQ(build, "100\r");
    EXPECT_EQ(firmware, "FW-A");
}

TEST_F(ServerRequests, QueryBuildForAnUnknownModuleFailsAndKeepsTheOutputs) {
    UpdateServerSim server(fixtures.path());
    LogCapture log(DEBUG_ServerComm);
    std::string build = "old", firmware = "old";

    EXPECT_FALSE(UpdateServerRequest::QueryBuild(0xAB, build, firmware, server.url().c_str()));

    EXPECT_EQ(build, "old");
    EXPECT_EQ(firmware, "old");
    EXPECT_EQ(server.requests(), std::vector<std::string>{path() + "?op=qu&sn=000000AB&"});
    EXPECT_NE(log.text().find("ServerCommClass: QueryBuild failed [" + server.url() + "?op=qu&sn=000000AB&]\n"),
              std::string::npos);
}

TEST_F(ServerRequests, GetBuildFetchesTheFirmwareAsBase64) {
    const struct {
        bool noCal;
        const char* value;
    } cases[] = {{false, "false"}, {true, "true"}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.value);
        UpdateServerSim server(fixtures.path());
        std::string out = "stale";

        ASSERT_TRUE(UpdateServerRequest::GetBuild(SERIAL, "FW-A", "100", out, server.url().c_str(), c.noCal));

        bool decoded = false;
        EXPECT_EQ(decode(out, decoded), FIRMWARE_BYTES);
        EXPECT_TRUE(decoded);
        EXPECT_EQ(server.requests(),
                  std::vector<std::string>{path() + "?bld=100&fw=FW-A&no_cal=" + c.value + "&op=trel&sn=40F5849A&"});
    }
}

TEST_F(ServerRequests, GetBuildWithASpoiledReplyGivesTextThatDoesNotDecode) {
    for (const char* fault : {"crlf", "truncated-base64", "bad-base64"}) {
        SCOPED_TRACE(fault);
        UpdateServerSim server(fixtures.path(), {"--fault", fault});
        std::string out;

        ASSERT_TRUE(UpdateServerRequest::GetBuild(SERIAL, "FW-A", "100", out, server.url().c_str()));

        bool decoded = true;
        decode(out, decoded);
        EXPECT_FALSE(decoded) << out;
    }
}

TEST_F(ServerRequests, GetBuildOfAMissingBuildFailsAndLeavesTheOutput) {
    UpdateServerSim server(fixtures.path());
    std::string out = "kept";

    EXPECT_FALSE(UpdateServerRequest::GetBuild(SERIAL, "FW-A", "101", out, server.url().c_str()));
    EXPECT_EQ(out, "kept");
}

TEST_F(ServerRequests, GetBuildListKeepsFirstVersionOfEachBuildAndSkipsShortLines) {
    for (const bool crlf : {false, true}) {
        SCOPED_TRACE(crlf ? "CRLF" : "LF");
        UpdateServerSim server(fixtures.path(),
                               crlf ? std::vector<std::string>{"--fault", "crlf"} : std::vector<std::string>{});
        BuildMap builds = {{"stale", "0.0.0"}};

        ASSERT_TRUE(UpdateServerRequest::GetBuildList(SERIAL, builds, server.url().c_str()));

        EXPECT_EQ(builds, (BuildMap{{"100", "1.2.3"}, {"99", "1.10.0"}, {"980", ""}}));
        EXPECT_EQ(server.requests(), std::vector<std::string>{path() + "?op=builds&sn=40F5849A&"});
    }
}

TEST_F(ServerRequests, GetBuildListOfAnUnknownModuleFailsWithAnEmptyMap) {
    UpdateServerSim server(fixtures.path());
    BuildMap builds = {{"stale", "0.0.0"}};

    EXPECT_FALSE(UpdateServerRequest::GetBuildList(0x12345678, builds, server.url().c_str()));
    EXPECT_TRUE(builds.empty());
}

TEST_F(ServerRequests, GetRecoveryInfoSendsTheFingerprintAndReadsSerialAndBuild) {
    const struct {
        uint32_t lastWord;
        bool ok;
        uint32_t serial;
        uint32_t build;
    } cases[] = {
        {4, true, 0x40F5849A, 16},           // build 0x10: hexadecimal
        {5, true, 0x40F5849A, 8},            // build 010: octal
        {6, true, 0x40F5849B, 77},           // serial in lower case, build decimal
        {7, false, 0xDEADDEAD, 0xDEADDEAD},  // build beyond every integer: refused, outputs kept
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.lastWord);
        UpdateServerSim server(fixtures.path());
        const uint32_t fingerprint[4] = {1, 2, 3, c.lastWord};
        uint32_t serial = 0xDEADDEAD, build = 0xDEADDEAD;

        EXPECT_EQ(UpdateServerRequest::GetRecoveryInfo(fingerprint, &serial, &build, server.url().c_str()), c.ok);

        EXPECT_EQ(serial, c.serial);
        EXPECT_EQ(build, c.build);
        EXPECT_EQ(server.requests(), std::vector<std::string>{path() +
                                                              "?brief=true&fp=00000001%2000000002%20"
                                                              "00000003%200000000" +
                                                              std::to_string(c.lastWord) + "&op=fix&"});
    }
}

TEST_F(ServerRequests, GetDeviceJWTAcceptsOnlyThreeLongEnoughParts) {
    const struct {
        uint32_t serial;
        const char* fault;
        bool ok;
        const char* jwt;
    } cases[] = {
        {SERIAL, nullptr, true, "aa.bb.cc.dd"},  // the third part runs to the line end, dots and all
        {SERIAL, "crlf", true, "aa.bb.cc.dd"},  {0xAB, nullptr, false, "unchanged"},  // first part too short
        {0xAC, nullptr, false, "unchanged"},                                          // no third part
        {0xAD, nullptr, false, "unchanged"},                                          // no token at all
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::to_string(c.serial) + (c.fault ? c.fault : ""));
        UpdateServerSim server(fixtures.path(),
                               c.fault ? std::vector<std::string>{"--fault", c.fault} : std::vector<std::string>{});
        std::string jwt = "unchanged";

        EXPECT_EQ(UpdateServerRequest::GetDeviceJWT(c.serial, jwt, server.url().c_str()), c.ok);

        EXPECT_EQ(jwt, c.jwt);
        char sn[9];
        snprintf(sn, sizeof sn, "%08X", c.serial);
        EXPECT_EQ(server.requests(),
                  std::vector<std::string>{path() + "?json=false&op=ent_jwt&sn=" + std::string(sn) + "&"});
    }
}

namespace {

struct NamedRequest {
    const char* logName;
    std::function<bool(const char* url, const HTTPLimits&)> run;
};

std::vector<NamedRequest> allRequests() {
    return {
        {"PING", [](const char* url, const HTTPLimits& l) { return UpdateServerRequest::ping(url, l); }},
        {"QueryBuild",
         [](const char* url, const HTTPLimits& l) {
             std::string build, firmware;
             return UpdateServerRequest::QueryBuild(SERIAL, build, firmware, url, l);
         }},
        {"GetBuild",
         [](const char* url, const HTTPLimits& l) {
             std::string out;
             return UpdateServerRequest::GetBuild(SERIAL, "FW-A", "100", out, url, false, l);
         }},
        {"GetBuildList",
         [](const char* url, const HTTPLimits& l) {
             BuildMap builds;
             return UpdateServerRequest::GetBuildList(SERIAL, builds, url, l);
         }},
        {"GetRecoveryInfo",
         [](const char* url, const HTTPLimits& l) {
             const uint32_t fingerprint[4] = {1, 2, 3, 4};
             uint32_t serial = 0, build = 0;
             return UpdateServerRequest::GetRecoveryInfo(fingerprint, &serial, &build, url, l);
         }},
        {"GetDeviceJWT",
         [](const char* url, const HTTPLimits& l) {
             std::string jwt;
             return UpdateServerRequest::GetDeviceJWT(SERIAL, jwt, url, l);
         }},
    };
}

}  // namespace

TEST_F(ServerRequests, EveryRequestSucceedsOnAHealthyServer) {
    UpdateServerSim server(fixtures.path());
    for (const auto& request : allRequests()) {
        SCOPED_TRACE(request.logName);
        EXPECT_TRUE(request.run(server.url().c_str(), HTTPLimits()));
    }
}

TEST_F(ServerRequests, EveryServerFaultGivesFalseAndADiagnostic) {
    const struct {
        std::vector<std::string> options;
        std::string diagnostic;  // after the request's log name
    } cases[] = {
        {{"--fault", "status500"}, " ==> [500] [internal error\n]\n"},
        {{"--fault", "redirect301"}, " ==> [301] [moved\n]\n"},
        {{"--fault", "empty-body"}, " failed ["},
        {{"--ok-line", "OK"}, " failed ["},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.options.back());
        UpdateServerSim server(fixtures.path(), c.options);
        for (const auto& request : allRequests()) {
            SCOPED_TRACE(request.logName);
            LogCapture log(DEBUG_ServerComm);
            EXPECT_FALSE(request.run(server.url().c_str(), HTTPLimits()));
            std::string name = request.logName;
            if (c.diagnostic == " failed [") name = "ServerCommClass: " + std::string(name == "PING" ? "ping" : name);
            EXPECT_NE(log.text().find(name + c.diagnostic), std::string::npos) << log.text();
        }
        EXPECT_EQ(server.requests().size(), allRequests().size());
    }
}

TEST_F(ServerRequests, AFaultLimitedToOneRequestLeavesTheOthersWorking) {
    UpdateServerSim server(fixtures.path(), {"--fault", "status500", "--fault-op", "trel"});
    std::string out;

    EXPECT_TRUE(UpdateServerRequest::ping(server.url().c_str()));
    EXPECT_FALSE(UpdateServerRequest::GetBuild(SERIAL, "FW-A", "100", out, server.url().c_str()));
}

TEST_F(ServerRequests, UnreachableServerGivesFalseWithTheErrorText) {
    RefusingPort port;
    const std::string url = port.url();
    for (const auto& request : allRequests()) {
        SCOPED_TRACE(request.logName);
        LogCapture log(DEBUG_ServerComm);
        EXPECT_FALSE(request.run(url.c_str(), HTTPLimits()));
        const std::string name = request.logName == std::string("PING") ? "ping" : request.logName;
        EXPECT_NE(log.text().find(name + " ==> [Couldn't connect to server]\n"), std::string::npos) << log.text();
    }
}

TEST_F(ServerRequests, StallingServerGivesFalseWithinTheLimit) {
    UpdateServerSim server(fixtures.path(), {"--fault", "stall", "--stall-seconds", "60"});
    HTTPLimits limits;
    limits.lowSpeedSeconds = 1;
    limits.totalTimeoutMs = 1500;
    for (const auto& request : allRequests()) {
        if (request.logName != std::string("PING") && request.logName != std::string("GetBuild")) continue;
        SCOPED_TRACE(request.logName);
        const auto start = std::chrono::steady_clock::now();
        EXPECT_FALSE(request.run(server.url().c_str(), limits));
        EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
    }
}
