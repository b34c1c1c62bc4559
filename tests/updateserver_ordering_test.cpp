// Build ordering by version and the reading of build numbers.
#include <gtest/gtest.h>

#include "UpdateServerRequest.h"
#include "log_capture.h"

using testsupport::LogCapture;

namespace {

std::vector<std::string> buildsOf(const BuildList& list) {
    std::vector<std::string> builds;
    for (const auto& entry : list) builds.push_back(entry.first);
    return builds;
}

}  // namespace

TEST(ServerOrdering, SortPutsNewestFirstThenUnreadableVersionsInBuildTextOrder) {
    const struct {
        const char* name;
        BuildMap builds;
        std::vector<std::string> expected;
    } cases[] = {
        {"versions compare by number, not text",
         {{"100", "1.2.3"}, {"99", "1.10.0"}, {"980", ""}},
         {"99", "100", "980"}},
        {"major decides before minor and patch", {{"1", "1.9.9"}, {"2", "2.0.0"}}, {"2", "1"}},
        {"only the low 8 bits of a part count", {{"b", "1.256.0"}, {"a", "1.0.0"}, {"c", "1.1.0"}}, {"c", "a", "b"}},
        {"a sign is allowed and -1 reads as 255", {{"a", "1.0.0"}, {"b", "-1.0.0"}, {"c", " +2.0.0"}}, {"b", "c", "a"}},
        {"equal versions keep build-text order", {{"b", "1.0.0"}, {"a", "1.0.0"}, {"c", "2.0.0"}}, {"c", "a", "b"}},
        {"every kind of unreadable version goes last",
         {{"10", "1.2"},
          {"11", "x.y.z"},
          {"12", "1.2.3.4"},
          {"13", "3.0.0"},
          {"14", ""},
          {"15", "99999999999.0.0"},
          {"16", "1..3"},
          {"17", "2.5.0"},
          {"18", "2147483648.0.0"}},
         {"13", "17", "10", "11", "12", "14", "15", "16", "18"}},
        {"huge build texts sort like any other text",
         {{"99999999999999999999999", "1.0.0"}, {"5", "1.0.0"}, {"18446744073709551616", "2.0.0"}},
         {"18446744073709551616", "5", "99999999999999999999999"}},
        {"only unreadable versions keep build-text order", {{"b", ""}, {"a", "?"}, {"c", "1"}}, {"a", "b", "c"}},
        {"an empty list stays empty", {}, {}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const BuildList sorted = UpdateServerRequest::SortBuildsByVersion(c.builds);
        EXPECT_EQ(buildsOf(sorted), c.expected);
        for (const auto& entry : sorted) EXPECT_EQ(c.builds.at(entry.first), entry.second);
    }
}

TEST(ServerOrdering, SortLogsVersionsWithThreePartsThatDoNotRead) {
    LogCapture log(DEBUG_ServerComm);
    UpdateServerRequest::SortBuildsByVersion({{"1", "a.0.0"}, {"2", ""}, {"3", "1.0.0"}});
    EXPECT_EQ(log.text(), "_sortVersion: Exception converting version: no digits in [a]\n");
}

TEST(ServerOrdering, SortVersionIsTrueOnlyWhenBothReadAndTheFirstIsNewer) {
    const struct {
        const char* a;
        const char* b;
        bool expected;
    } cases[] = {
        {"2.0.0", "1.9.9", true},  {"1.9.9", "2.0.0", false},   {"1.2.4", "1.2.3", true},
        {"1.2.3", "1.2.3", false}, {"1.256.0", "1.0.0", false}, {"1.0.0", "1.256.0", false},
        {"2.0.0", "", false},      {"", "2.0.0", false},        {"", "", false},
        {"2.0.0", "x.0.0", false}, {"1.2", "1.1", false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.a) + " vs " + c.b);
        EXPECT_EQ(_sortVersion({"1", c.a}, {"2", c.b}), c.expected);
    }
}

TEST(ServerOrdering, SplitKeepsEmptyPiecesAndNeedsExactlyThree) {
    const struct {
        const char* version;
        std::vector<std::string> expected;
    } cases[] = {
        {"1.2.3", {"1", "2", "3"}},
        {"1..3", {"1", "", "3"}},
        {"..", {"", "", ""}},
        {"1.2", {}},
        {"1.2.3.4", {}},
        {"", {}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.version);
        EXPECT_EQ(UpdateServerRequest::SplitCorvalithVersion(c.version), c.expected);
    }
}

TEST(ServerOrdering, BuildNumbersReadLeadingDigitsAndRefuseWhatDoesNotFit) {
    const struct {
        const char* text;
        bool ok;
        uint32_t number;
    } cases[] = {
        {"123", true, 123},      {"0123", true, 123}, {"123abc", true, 123},
        {" 42", true, 42},       {"0", true, 0},      {"4294967295", true, 4294967295u},
        {"4294967296", true, 0},  // beyond 32 bits: the low 32 bits
        {"abc", false, 7},       {"", false, 7},      {"99999999999999999999999", false, 7},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text);
        uint32_t number = 7;
        EXPECT_EQ(UpdateServerRequest::ParseBuildNumber(c.text, number), c.ok);
        EXPECT_EQ(number, c.number);
    }
}
