// HTTPRequest::GET against the simulated update server on loopback.
#include <chrono>
#include <stdexcept>

#include <gtest/gtest.h>

#include "HTTPRequest.h"
#include "log_capture.h"
#include "refusing_port.h"
#include "tempdir.h"
#include "update_server_sim.h"

using testsupport::LogCapture;
using testsupport::RefusingPort;
using testsupport::TempDir;
using testsupport::UpdateServerSim;

namespace {

std::string pathOf(const std::string& url) {
    return url.substr(url.find('/', std::string("http://").size()));
}

}  // namespace

TEST(ServerHttp, QueryKeysGoOutInByteOrderEachEndedByAmpersandUnescaped) {
    TempDir fixtures;
    UpdateServerSim server(fixtures.path());
    LogCapture log(DEBUG_ServerComm);

    HTTPResponse response =
        HTTPRequest::GET(server.url(), {{"zeta", "1"}, {"op", "hi"}, {"Alpha", "a%20b"}, {"empty", ""}});

    const std::string expected = "?Alpha=a%20b&empty=&op=hi&zeta=1&";
    EXPECT_EQ(server.requests(), std::vector<std::string>{pathOf(server.url()) + expected});
    EXPECT_EQ(response.get_request(), server.url() + expected);
    EXPECT_EQ(response.get_status(), 200);
    EXPECT_EQ(response.body(), "ok\n");
    EXPECT_STREQ(response.get_response(), "ok\n");
    EXPECT_NE(log.text().find("GET(" + server.url() + expected + ")\n"), std::string::npos);
    EXPECT_NE(log.text().find("rcv_data returns 3\n"), std::string::npos);
}

TEST(ServerHttp, EmptyQueryLeavesTheUrlAsItIs) {
    TempDir fixtures;
    UpdateServerSim server(fixtures.path());

    HTTPResponse response = HTTPRequest::GET(server.url(), {});

    EXPECT_EQ(response.get_request(), server.url());
    EXPECT_EQ(server.requests(), std::vector<std::string>{pathOf(server.url())});
}

TEST(ServerHttp, ErrorStatusesComeBackAsTheirStatusWithoutFollowingRedirects) {
    const struct {
        const char* fault;
        int64_t status;
    } cases[] = {{"status500", 500}, {"redirect301", 301}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.fault);
        TempDir fixtures;
        UpdateServerSim server(fixtures.path(), {"--fault", c.fault});

        HTTPResponse response = HTTPRequest::GET(server.url(), {{"op", "hi"}});

        EXPECT_EQ(response.get_status(), c.status);
        EXPECT_EQ(server.requests().size(), 1u);
    }
}

TEST(ServerHttp, RefusedConnectionThrowsLibcurlsText) {
    RefusingPort port;
    try {
        HTTPRequest::GET(port.url(), {{"op", "hi"}});
        FAIL() << "no exception";
    } catch (const std::runtime_error& error) {
        EXPECT_STREQ(error.what(), "Couldn't connect to server");
    }
}

TEST(ServerHttp, StallingServerEndsInAnErrorWithinTheLimit) {
    TempDir fixtures;
    UpdateServerSim server(fixtures.path(), {"--fault", "stall", "--stall-seconds", "60"});
    HTTPLimits limits;
    limits.lowSpeedSeconds = 1;
    limits.totalTimeoutMs = 2000;

    const auto start = std::chrono::steady_clock::now();
    EXPECT_THROW(HTTPRequest::GET(server.url(), {{"op", "hi"}}, limits), std::runtime_error);
    const auto elapsed = std::chrono::steady_clock::now() - start;

    EXPECT_LT(elapsed, std::chrono::seconds(5));
    EXPECT_EQ(server.requests().size(), 1u);
}

// A reply may fill the body bound exactly; one byte more ends the transfer with a reason.
TEST(ServerHttp, ReplyBodyIsBounded) {
    TempDir fixtures;
    testsupport::writeFixture(fixtures.path(), "0000CAFE/builds.txt", std::string(5000, '1') + ";1.0.0\n");
    UpdateServerSim server(fixtures.path());
    const std::map<std::string, std::string> query{{"op", "builds"}, {"sn", "0000CAFE"}};
    const size_t size = HTTPRequest::GET(server.url(), query).body().size();
    ASSERT_GT(size, 5000u);

    HTTPLimits limits;
    limits.maxBodyBytes = size;
    EXPECT_EQ(HTTPRequest::GET(server.url(), query, limits).body().size(), size);
    limits.maxBodyBytes = size - 1;
    try {
        HTTPRequest::GET(server.url(), query, limits);
        ADD_FAILURE() << "no exception";
    } catch (const std::runtime_error& error) {
        EXPECT_EQ(std::string(error.what()), "Reply larger than " + std::to_string(size - 1) + " bytes");
    }
}
