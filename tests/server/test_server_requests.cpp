// The six update server requests end to end against the simulated server on 127.0.0.1.
#include "server/UpdateServerRequest.h"
#include "server_testing.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace {

using namespace servertest;
using Map = UpdateServerRequest::BuildMap;

constexpr uint32_t kSerial = 0x0012AB34;
const uint32_t kFingerprint[4] = {0xDEADBEEF, 0x00000001, 0x0000ABCD, 0x12345678};

class RequestTest : public ::testing::Test {
protected:
    void SetUp() override {
        isolate_environment();
        HTTPRequest::SetLimits({});
        fs::path device = root() / "0012AB34";
        file1200 = bird(1200, "2.10.3", kSerial);
        write_bytes(device / "1200.bird", file1200);
        write_bytes(device / "1201.bird", bird(1201, "2.10.4", kSerial));
        write_bytes(device / "1100.bird", bird(1100, "2.9.12", kSerial));
        write_text(device / "device.conf",
                   "firmware=hub-fw\nlatest=1201\ntoken=eyJhbGciOi.eyJmZWF0.c2lnbmF0dXJl\n");
        write_text(root() / "recovery.conf",
                   "DEADBEEF 00000001 0000abcd 12345678 0012AB34 0x4D2\n");
    }
    fs::path root() const { return dir.path / "content"; }
    void fault(const std::string& op, const std::string& kind) {
        write_text(root() / "faults.conf", op + " " + kind + "\n");
    }

    TempDir dir;
    std::vector<uint8_t> file1200;
};

TEST_F(RequestTest, EachRequestSucceedsAndSendsItsQuery) {
    SimServer sim(root());
    const char* url = sim.url.c_str();

    EXPECT_TRUE(UpdateServerRequest::ping(url));
    EXPECT_EQ(sim.last_request(), "/cgi/u?op=hi&rv=2&");

    std::string build = "B", firmware = "F";
    EXPECT_TRUE(UpdateServerRequest::QueryBuild(kSerial, build, firmware, url));
    EXPECT_EQ(build, "1201");
    EXPECT_EQ(firmware, "hub-fw");
    EXPECT_EQ(sim.last_request(), "/cgi/u?op=qu&sn=0012AB34&");

    Map builds{{"stale", "1.0.0"}};
    EXPECT_TRUE(UpdateServerRequest::GetBuildList(kSerial, builds, url));
    EXPECT_EQ(builds, (Map{{"1100", "2.9.12"}, {"1200", "2.10.3"}, {"1201", "2.10.4"}}));
    EXPECT_EQ(sim.last_request(), "/cgi/u?op=builds&sn=0012AB34&");

    std::string payload;
    EXPECT_TRUE(UpdateServerRequest::GetBuild(kSerial, "hub-fw", "1200", payload, url, true));
    EXPECT_EQ(sim.last_request(), "/cgi/u?bld=1200&fw=hub-fw&no_cal=true&op=bird&sn=0012AB34&");
    size_t n = 0;
    std::unique_ptr<unsigned char, decltype(&std::free)> bytes(
        UpdateServerRequest::base64_decode(payload.data(), payload.size(), &n), &std::free);
    ASSERT_TRUE(bytes);
    EXPECT_EQ(std::vector<uint8_t>(bytes.get(), bytes.get() + n), file1200);
    EXPECT_TRUE(UpdateServerRequest::GetBuild(kSerial, "hub-fw", "1200", payload, url, false));
    EXPECT_EQ(sim.last_request(), "/cgi/u?bld=1200&fw=hub-fw&no_cal=false&op=bird&sn=0012AB34&");

    uint32_t serial = 0, recovered = 0;
    EXPECT_TRUE(UpdateServerRequest::GetRecoveryInfo(kFingerprint, &serial, &recovered, url));
    EXPECT_EQ(serial, kSerial);
    EXPECT_EQ(recovered, 1234u);
    EXPECT_EQ(sim.last_request(),
              "/cgi/u?brief=true&fp=DEADBEEF%2000000001%200000ABCD%2012345678&op=fix&");

    std::string token;
    EXPECT_TRUE(UpdateServerRequest::GetDeviceJWT(kSerial, token, url));
    EXPECT_EQ(token, "eyJhbGciOi.eyJmZWF0.c2lnbmF0dXJl");
    EXPECT_EQ(sim.last_request(), "/cgi/u?json=false&op=ent_jwt&sn=0012AB34&");
}

// Runs every request, reporting which succeeded; the outputs must stay as they were on failure.
struct Outcome {
    bool ping, query, list, get, recovery, jwt;
    bool untouched;
};
Outcome run_all(const char* url, uint32_t serial = kSerial) {
    Outcome o{};
    std::string build = "B", firmware = "F", payload = "P", token = "T";
    Map builds;
    uint32_t sn = 5, bld = 5;
    o.ping = UpdateServerRequest::ping(url);
    o.query = UpdateServerRequest::QueryBuild(serial, build, firmware, url);
    o.list = UpdateServerRequest::GetBuildList(serial, builds, url);
    o.get = UpdateServerRequest::GetBuild(serial, "hub-fw", "1200", payload, url, false);
    o.recovery = UpdateServerRequest::GetRecoveryInfo(kFingerprint, &sn, &bld, url);
    o.jwt = UpdateServerRequest::GetDeviceJWT(serial, token, url);
    o.untouched = build == "B" && firmware == "F" && payload == "P" && token == "T" && sn == 5 &&
                  bld == 5 && builds.empty();
    return o;
}

TEST_F(RequestTest, ServerFaultsFailEveryRequestAndLeaveOutputs) {
    for (const char* kind : {"http500", "no-ok"}) {
        fault("*", kind);
        SimServer sim(root());
        Outcome o = run_all(sim.url.c_str());
        EXPECT_FALSE(o.ping || o.query || o.list || o.get || o.recovery || o.jwt) << kind;
        EXPECT_TRUE(o.untouched) << kind;
    }
    std::string closed;
    {
        SimServer gone(root());
        closed = gone.url;
    }
    Outcome o = run_all(closed.c_str()); // nothing listens there any more
    EXPECT_FALSE(o.ping || o.query || o.list || o.get || o.recovery || o.jwt) << "no server";
    EXPECT_TRUE(o.untouched);
}

TEST_F(RequestTest, FailuresAreLoggedWithTheOperationName) {
    fault("*", "http500");
    SimServer sim(root());
    LogCapture log;
    std::string build, firmware, token;
    UpdateServerRequest::ping(sim.url.c_str());
    UpdateServerRequest::QueryBuild(kSerial, build, firmware, sim.url.c_str());
    fault("*", "no-ok");
    UpdateServerRequest::GetDeviceJWT(kSerial, token, sim.url.c_str());
    const std::string text = log.text();
    EXPECT_NE(text.find("PING ==> [500] [error: injected server fault\n]\n"), std::string::npos)
        << text;
    EXPECT_NE(text.find("QueryBuild ==> [500] [error: injected server fault\n]\n"),
              std::string::npos);
    EXPECT_NE(text.find("ServerCommClass: GetDeviceJWT failed [" + sim.url +
                        "?json=false&op=ent_jwt&sn=0012AB34&]\n"),
              std::string::npos);
}

TEST_F(RequestTest, OkWithoutResultLines) {
    fault("*", "only-ok");
    SimServer sim(root());
    std::string build = "B", firmware = "F", payload = "P", token = "T";
    Map builds{{"x", "y"}};
    uint32_t sn = 5, bld = 5;
    EXPECT_TRUE(UpdateServerRequest::ping(sim.url.c_str()));
    EXPECT_TRUE(UpdateServerRequest::QueryBuild(kSerial, build, firmware, sim.url.c_str()));
    EXPECT_EQ(build + firmware, "BF");
    EXPECT_TRUE(UpdateServerRequest::GetBuildList(kSerial, builds, sim.url.c_str()));
    EXPECT_TRUE(builds.empty());
    EXPECT_TRUE(
        UpdateServerRequest::GetBuild(kSerial, "hub-fw", "1200", payload, sim.url.c_str(), false));
    EXPECT_EQ(payload, "");
    EXPECT_TRUE(UpdateServerRequest::GetRecoveryInfo(kFingerprint, &sn, &bld, sim.url.c_str()));
    EXPECT_EQ(sn + bld, 10u);
    EXPECT_FALSE(UpdateServerRequest::GetDeviceJWT(kSerial, token, sim.url.c_str()));
    EXPECT_EQ(token, "T");
}

TEST_F(RequestTest, UnknownThingsAreNotOk) {
    SimServer sim(root());
    const char* url = sim.url.c_str();
    Outcome o = run_all(url, 0x0000BEEF); // a device the server does not know
    EXPECT_TRUE(o.ping);
    EXPECT_FALSE(o.query || o.list || o.get || o.jwt);
    std::string payload = "P";
    EXPECT_FALSE(UpdateServerRequest::GetBuild(kSerial, "hub-fw", "9999", payload, url, false));
    EXPECT_FALSE(UpdateServerRequest::GetBuild(kSerial, "other-fw", "1200", payload, url, false));
    EXPECT_FALSE(UpdateServerRequest::GetBuild(kSerial, "hub-fw", "", payload, url, false));
    EXPECT_EQ(payload, "P");
    const uint32_t unknown[4] = {1, 2, 3, 4};
    uint32_t sn = 5, bld = 5;
    EXPECT_FALSE(UpdateServerRequest::GetRecoveryInfo(unknown, &sn, &bld, url));
    EXPECT_EQ(sn + bld, 10u);
}

TEST_F(RequestTest, DamagedPayloadIsRefusedByTheDecoder) {
    for (const char* kind : {"truncate", "corrupt"}) {
        fault("bird", kind);
        SimServer sim(root());
        std::string payload;
        ASSERT_TRUE(UpdateServerRequest::GetBuild(kSerial, "hub-fw", "1200", payload,
                                                  sim.url.c_str(), false))
            << kind;
        ASSERT_FALSE(payload.empty());
        size_t n = 12345;
        EXPECT_EQ(UpdateServerRequest::base64_decode(payload.data(), payload.size(), &n), nullptr)
            << kind;
    }
}

} // namespace

namespace {

TEST_F(RequestTest, SimulatorDefaultsAndCommandLineFaults) {
    // A device folder without device.conf: the highest build is the newest, the firmware "main".
    write_bytes(root() / "00000042" / "7.bird", bird(7, "1.0.7", 0x42));
    write_bytes(root() / "00000042" / "12.bird", bird(12, "1.0.12", 0x42));
    write_text(root() / "00000042" / "notes.txt", "not a build\n");
    const fs::path portFile = dir.path / "port";
    SimServer sim(root(), {"--fault", "ent_jwt=http500", "--port-file", portFile.string()});
    EXPECT_EQ(std::stoi(read_text(portFile)), sim.port);

    std::string build, firmware;
    EXPECT_TRUE(UpdateServerRequest::QueryBuild(0x42, build, firmware, sim.url.c_str()));
    EXPECT_EQ(build + " " + firmware, "12 main");
    Map builds;
    EXPECT_TRUE(UpdateServerRequest::GetBuildList(0x42, builds, sim.url.c_str()));
    EXPECT_EQ(builds, (Map{{"12", "1.0.12"}, {"7", "1.0.7"}}));
    write_text(root() / "00000042" / "device.conf", "version.7=3.0.0\n");
    EXPECT_TRUE(UpdateServerRequest::GetBuildList(0x42, builds, sim.url.c_str()));
    EXPECT_EQ(builds, (Map{{"12", "1.0.12"}, {"7", "3.0.0"}}));

    // The fault named on the command line hits its op only.
    LogCapture log;
    std::string token;
    EXPECT_FALSE(UpdateServerRequest::GetDeviceJWT(kSerial, token, sim.url.c_str()));
    EXPECT_NE(log.text().find("GetDeviceJWT ==> [500] "), std::string::npos) << log.text();
    EXPECT_TRUE(UpdateServerRequest::ping(sim.url.c_str()));
}

TEST(SimulatorCommandLine, RefusesBadArguments) {
    for (const char* args : {"", "--root", "--root /tmp --port 70000", "--root /tmp --fault qu",
                             "--root /tmp --tls onlycert", "--bogus"}) {
        std::string cmd = std::string(UPDATE_SERVER_SIM) + " " + args + " >/dev/null 2>&1";
        int status = std::system(cmd.c_str());
        ASSERT_TRUE(WIFEXITED(status)) << args;
        EXPECT_EQ(WEXITSTATUS(status), 2) << args;
    }
}

} // namespace
