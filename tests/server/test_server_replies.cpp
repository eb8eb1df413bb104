// Reply parsing of each server request and the version order of build lists, driven with
// replies made here.
#include "server/UpdateServerRequest.h"
#include "server_testing.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

using servertest::LogCapture;
using Map = UpdateServerRequest::BuildMap;

HTTPResponse reply(const std::string& body, int64_t status = 200) {
    HTTPResponse r("http://127.0.0.1:1/cgi/u?op=x&");
    r.set_status(status);
    r.process(body.data(), body.size());
    return r;
}

TEST(ServerReplies, StatusAndOkLineDecideEveryRequest) {
    const struct {
        int64_t status;
        std::string body;
        bool ok;
    } cases[] = {
        {200, "ok\n", true},     {200, "okay\n", true},     // only two characters count
        {200, "ok", true},       {200, "\n\n\nok\n", true}, // empty lines give no tokens
        {200, "error\n", false}, {200, "o\nk\n", false},    {200, "", false},
        {200, "\n\n", false},    {200, " ok\n", false},     {404, "ok\n", false},
        {500, "ok\n", false},    {201, "ok\n", false},      {200, std::string("\0ok\n", 4), false},
    };
    for (const auto& c : cases) {
        HTTPResponse r = reply(c.body, c.status);
        std::string s1 = "keep", s2 = "keep", token = "keep";
        Map builds{{"old", "1.0.0"}};
        uint32_t serial = 7, build = 7;
        EXPECT_EQ(UpdateServerRequest::ParsePing(r), c.ok) << c.status << " " << c.body;
        EXPECT_EQ(UpdateServerRequest::ParseQueryBuild(r, s1, s2), c.ok) << c.body;
        EXPECT_EQ(UpdateServerRequest::ParseGetBuild(r, s1), c.ok) << c.body;
        EXPECT_EQ(UpdateServerRequest::ParseGetBuildList(r, builds), c.ok) << c.body;
        EXPECT_EQ(UpdateServerRequest::ParseGetRecoveryInfo(r, &serial, &build), c.ok) << c.body;
        if (!c.ok) {
            EXPECT_EQ(s1, "keep");
            EXPECT_EQ(s2, "keep");
            EXPECT_EQ(serial, 7u);
            EXPECT_EQ(build, 7u);
        }
        EXPECT_FALSE(UpdateServerRequest::ParseGetDeviceJWT(r, token)) << "no token line";
        EXPECT_EQ(token, "keep");
    }
}

TEST(ServerReplies, FailuresLogTheirOwnLines) {
    LogCapture log;
    UpdateServerRequest::ParsePing(reply("down", 503));
    UpdateServerRequest::ParsePing(reply("error\n"));
    std::string b, f;
    UpdateServerRequest::ParseQueryBuild(reply("gone", 404), b, f);
    EXPECT_EQ(log.text(), "PING ==> [503] [down]\n"
                          "ServerCommClass: ping failed [http://127.0.0.1:1/cgi/u?op=x&]\n"
                          "QueryBuild ==> [404] [gone]\n");
}

TEST(ServerReplies, QueryBuildAndGetBuildTakeThePresentLines) {
    const struct {
        std::string body;
        std::string build, firmware;
    } cases[] = {
        {"ok\n1234\nabc\n", "1234", "abc"},
        {"ok\n", "B", "F"}, // missing lines leave both texts unchanged
        {"ok\n1234\n", "1234", "F"},
        {"ok\n\n1234\n\nabc", "1234", "abc"},
        {"ok\r\n1234\r\nabc\r\n", "1234\r", "abc"}, // only the third line is cut at "\r"
        {"ok\n1234\n\r\nabc\n", "1234", "abc"},
    };
    for (const auto& c : cases) {
        std::string build = "B", firmware = "F";
        EXPECT_TRUE(UpdateServerRequest::ParseQueryBuild(reply(c.body), build, firmware));
        EXPECT_EQ(build, c.build) << c.body;
        EXPECT_EQ(firmware, c.firmware) << c.body;
    }
    std::string out = "stale";
    EXPECT_TRUE(UpdateServerRequest::ParseGetBuild(reply("ok\nZm9v\nmore\n"), out));
    EXPECT_EQ(out, "Zm9v");
    EXPECT_TRUE(UpdateServerRequest::ParseGetBuild(reply("ok\n"), out));
    EXPECT_EQ(out, "") << "a reply without payload empties the text";
}

TEST(ServerReplies, BuildListKeepsFirstOfDuplicatesAndSkipsShortLines) {
    const struct {
        std::string body;
        Map expected;
    } cases[] = {
        {"ok\n1200;2.10.3\n1201;2.10.4\n1201;9.9.9\nx\n", {{"1200", "2.10.3"}, {"1201", "2.10.4"}}},
        {"ok\n", {}},
        {"ok\n12\nab\n123\n", {{"123", ""}}},          // under 3 characters skipped
        {"ok\n1300;\n", {{"1300", ""}}},               // no version
        {"ok\r\n1300;2.1.0\r\n", {{"1300", "2.1.0"}}}, // CRLF lines
        {"ok\n;;;\n;1400;3.0.0\n", {{"1400", "3.0.0"}}},
        {"ok\n1500;1.2.3;junk\n", {{"1500", "1.2.3"}}},
        {"ok\n1600\r2.0.0\n", {{"1600", "2.0.0"}}}, // "\r" separates as ";" does
    };
    for (const auto& c : cases) {
        Map builds{{"stale", "0.0.0"}};
        EXPECT_TRUE(UpdateServerRequest::ParseGetBuildList(reply(c.body), builds));
        EXPECT_EQ(builds, c.expected) << c.body;
    }
    LogCapture log;
    Map builds;
    UpdateServerRequest::ParseGetBuildList(reply("ok\n1200;2.10.3\nx\n"), builds);
    EXPECT_EQ(log.text(), "GetBuildList processing entry: [1200;2.10.3]\n"
                          "GetBuildList [1200][2.10.3]\n"
                          "GetBuildList processing entry: [x]\n");
}

TEST(ServerReplies, RecoveryInfoReadsHexSerialAndAnyBaseBuild) {
    const struct {
        std::string body;
        bool ok;
        uint32_t serial, build;
    } cases[] = {
        {"ok\n0012AB34\n0x4D2\n", true, 0x0012AB34, 1234},
        {"ok\n0012ab34\n1234\n", true, 0x0012AB34, 1234},
        {"ok\n40F5849A\n02322\n", true, 0x40F5849A, 1234}, // octal after "0"
        {"ok\nFFFFFFFF\n4294967295\n", true, 0xFFFFFFFF, 0xFFFFFFFF},
        {"ok\r\n0012AB34\r\n1234\r\n", true, 0x0012AB34, 1234},
        {"ok\n0012AB34\n", true, 0x0012AB34, 77}, // no build line: build unchanged
        {"ok\n", true, 77, 77},
        // Garbled numbers fail instead of handing serial 0 or a wrong build to a recovery.
        {"ok\nzz\n1234\n", false, 77, 77},
        {"ok\n0012AB34\nabc\n", false, 77, 77},
        {"ok\n0012AB34G\n1234\n", false, 77, 77},
        {"ok\n100000000\n1234\n", false, 77, 77},
        {"ok\n0012AB34\n-1\n", false, 77, 77},
        {"ok\n0012AB34\n0x\n", false, 77, 77},
    };
    for (const auto& c : cases) {
        uint32_t serial = 77, build = 77;
        EXPECT_EQ(UpdateServerRequest::ParseGetRecoveryInfo(reply(c.body), &serial, &build), c.ok)
            << c.body;
        EXPECT_EQ(serial, c.serial) << c.body;
        EXPECT_EQ(build, c.build) << c.body;
    }
    LogCapture log;
    uint32_t serial = 0, build = 0;
    UpdateServerRequest::ParseGetRecoveryInfo(reply("ok\n0012AB34\n0x4D2\n"), &serial, &build);
    EXPECT_EQ(log.text(), "GetRecoveryInfo [ok][0012AB34][0x4D2]\n");
}

TEST(ServerReplies, DeviceTokenNeedsThreePartsOfTwoOrMore) {
    const struct {
        std::string body;
        bool ok;
        std::string token;
    } cases[] = {
        {"ok\naaa.bbb.ccc\n", true, "aaa.bbb.ccc"},
        {"ok\naa.bb.cc\r\n", true, "aa.bb.cc"},
        {"ok\naa.bb.cc.dd\n", true, "aa.bb.cc.dd"}, // the rest of the line is the third part
        {"ok\na.bbb.ccc\n", false, "old"},
        {"ok\naaa.b.ccc\n", false, "old"},
        {"ok\naaa.bbb.c\n", false, "old"},
        {"ok\naaa.bbb\n", false, "old"},
        {"ok\naaabbbccc\n", false, "old"},
        {"ok\nab\n", false, "old"}, // too short to be a token
        {"ok\n", false, "old"},     // "ok" without a token
    };
    for (const auto& c : cases) {
        std::string token = "old";
        EXPECT_EQ(UpdateServerRequest::ParseGetDeviceJWT(reply(c.body), token), c.ok) << c.body;
        EXPECT_EQ(token, c.token) << c.body;
    }
}

TEST(VersionOrder, SplitNeedsExactlyThreeParts) {
    const struct {
        const char* text;
        std::vector<std::string> parts;
    } cases[] = {
        {"2.10.4", {"2", "10", "4"}},
        {"2.10", {}},
        {"2.10.4.1", {}},
        {"", {}},
        {"..", {"", "", ""}},
        {"a.b.c", {"a", "b", "c"}},
    };
    for (const auto& c : cases)
        EXPECT_EQ(UpdateServerRequest::SplitVorlixaneVersion(c.text), c.parts) << c.text;
}

TEST(VersionOrder, PairwiseComparison) {
    const struct {
        const char* a;
        const char* b;
        bool greater;
    } cases[] = {
        {"2.10.4", "2.10.3", true},  {"2.10.3", "2.10.4", false},
        {"2.10.4", "2.10.4", false}, {"3.0.0", "2.255.255", true},
        {"2.10.0", "2.9.12", true},  {"10.0.0", "9.0.0", true},
        {"2.10", "2.9.0", false},    {"2.9.0", "2.10", false},
        {"2.x.0", "1.0.0", false},   {"", "", false},
        {"2.256.0", "2.1.0", false}, // not a version word
    };
    for (const auto& c : cases)
        EXPECT_EQ(UpdateServerRequest::_sortVersion({"a", c.a}, {"b", c.b}), c.greater)
            << c.a << " > " << c.b;

    LogCapture log;
    UpdateServerRequest::_sortVersion({"a", "2.x.0"}, {"b", "1.0.0"});
    UpdateServerRequest::_sortVersion({"a", "2.10"}, {"b", "2.11"}); // neither: no line
    EXPECT_EQ(log.text().rfind("_sortVersion: Exception converting version: ", 0), 0u)
        << log.text();
    EXPECT_EQ(log.text().find("\n"), log.text().size() - 1) << log.text();
}

TEST(VersionOrder, SortsNewestFirstAndKeepsTheRestInKeyOrder) {
    using V = std::vector<UpdateServerRequest::BuildEntry>;
    EXPECT_EQ(UpdateServerRequest::SortBuildsByVersion(
                  {{"1200", "2.10.3"}, {"1201", "2.10.4"}, {"1100", "2.9.12"}}),
              (V{{"1201", "2.10.4"}, {"1200", "2.10.3"}, {"1100", "2.9.12"}}));
    EXPECT_EQ(UpdateServerRequest::SortBuildsByVersion(
                  {{"1", "1.0.0"}, {"2", ""}, {"3", "3.0.0"}, {"4", "beta"}, {"5", "1.0.0"}}),
              (V{{"3", "3.0.0"}, {"1", "1.0.0"}, {"5", "1.0.0"}, {"2", ""}, {"4", "beta"}}));
    EXPECT_TRUE(UpdateServerRequest::SortBuildsByVersion({}).empty());
}

TEST(VersionOrder, ManyIncomparableVersionsStayInBounds) {
    // Enough entries for the sort's insertion passes to run unguarded: an ordering that is not
    // strict weak would walk off the vector (caught by the sanitizer builds).
    Map builds;
    for (int i = 0; i < 300; ++i) {
        char key[8];
        std::snprintf(key, sizeof key, "%04d", i);
        builds[key] =
            i % 3 == 0 ? "n/a" : std::to_string(i % 7) + "." + std::to_string(i % 5) + ".0";
    }
    auto sorted = UpdateServerRequest::SortBuildsByVersion(builds);
    ASSERT_EQ(sorted.size(), builds.size());
    size_t comparable = 0;
    while (comparable < sorted.size() && sorted[comparable].second != "n/a")
        ++comparable;
    EXPECT_EQ(comparable, 200u);
    for (size_t i = 1; i < comparable; ++i)
        EXPECT_FALSE(UpdateServerRequest::_sortVersion(sorted[i], sorted[i - 1])) << i;
    for (size_t i = comparable; i < sorted.size(); ++i) {
        EXPECT_EQ(sorted[i].second, "n/a");
        if (i > comparable) {
            EXPECT_LT(sorted[i - 1].first, sorted[i].first);
        }
    }
}

} // namespace
