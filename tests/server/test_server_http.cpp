// The GET transport against the simulated server and raw sockets on 127.0.0.1: URL building,
// HTTP errors as responses, transport failures, certificate checks, time-outs and limits.
#include "server/HTTPRequest.h"
#include "server/UpdateServerRequest.h"
#include "server_testing.h"

#include <curl/curl.h>
#include <gtest/gtest.h>

#include <netinet/in.h>
#include <sys/socket.h>

#include <cstdlib>
#include <memory>
#include <stdexcept>
#include <string>
#include <thread>

namespace {

using namespace servertest;

constexpr uint32_t kSerial = 0x0012AB34;

// The message GET throws for a request, or "" when it returned.
std::string transport_error(const std::string& url, const HTTPRequest::Query& query = {}) {
    try {
        HTTPRequest::GET(url.c_str(), query);
        return "";
    } catch (const std::runtime_error& e) {
        return e.what();
    }
}

// A listening socket on 127.0.0.1 that never answers: connections complete in the kernel's
// backlog and then receive nothing.
class SilentListener {
public:
    SilentListener() {
        fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t n = sizeof a;
        if (fd < 0 || bind(fd, reinterpret_cast<sockaddr*>(&a), n) != 0 || listen(fd, 8) != 0 ||
            getsockname(fd, reinterpret_cast<sockaddr*>(&a), &n) != 0)
            throw std::runtime_error("cannot listen");
        port = ntohs(a.sin_port);
    }
    ~SilentListener() { close(fd); }
    int fd;
    int port;
};

// A port on 127.0.0.1 that nothing listens on.
int closed_port() {
    SilentListener l;
    return l.port; // closed when l goes
}

class HttpTest : public ::testing::Test {
protected:
    void SetUp() override {
        isolate_environment();
        HTTPRequest::SetLimits({});
        write_bytes(root() / "0012AB34" / "1234.bird", bird(1234, "2.10.3", kSerial));
        write_text(root() / "0012AB34" / "device.conf", "firmware=fw1\ntoken=aa.bb.cc\n");
    }
    void TearDown() override {
        HTTPRequest::SetLimits({});
        isolate_environment();
    }
    fs::path root() const { return dir.path / "content"; }

    TempDir dir;
};

TEST_F(HttpTest, QueryIsAppendedInKeyOrderWithTrailingAmpersand) {
    SimServer sim(root());
    const struct {
        HTTPRequest::Query query;
        std::string target;
    } cases[] = {
        {{}, "/cgi/u"},
        {{{"sn", "0012AB34"}, {"op", "qu"}}, "/cgi/u?op=qu&sn=0012AB34&"},
        {{{"rv", "2"}, {"op", "hi"}}, "/cgi/u?op=hi&rv=2&"},
        // Byte-wise order: upper case before lower case, "_" between them.
        {{{"op", "bird"}, {"sn", "0012AB34"}, {"fw", "fw1"}, {"bld", "1234"}, {"no_cal", "false"}},
         "/cgi/u?bld=1234&fw=fw1&no_cal=false&op=bird&sn=0012AB34&"},
        {{{"b", "2"}, {"B", "1"}, {"_", "3"}}, "/cgi/u?B=1&_=3&b=2&"},
        // Nothing is escaped: the already-encoded space goes out as given.
        {{{"fp", "00000001%2000000002"}}, "/cgi/u?fp=00000001%2000000002&"},
    };
    for (const auto& c : cases) {
        HTTPResponse r = HTTPRequest::GET(sim.url.c_str(), c.query);
        EXPECT_EQ(r.get_request(), sim.base + c.target);
        EXPECT_EQ(sim.last_request(), c.target);
    }
}

TEST_F(HttpTest, HttpErrorsAreResponsesWithTheirBody) {
    SimServer sim(root());
    const struct {
        std::string url;
        HTTPRequest::Query query;
        int64_t status;
        std::string body;
    } cases[] = {
        {sim.url, {{"op", "qu"}, {"sn", "0012AB34"}}, 200, "ok\n1234\nfw1\n"},
        {sim.base + "/nothing", {{"op", "hi"}}, 404, ""},
        {sim.url, {}, 400, "error: missing key op\n"},
        {sim.url, {{"op", "zz"}}, 400, "error: unknown op zz\n"},
        {sim.url, {{"op", "qu"}, {"sn", "12ab34"}}, 400, "error: bad serial number 12ab34\n"},
        {sim.url, {{"op", "qu"}, {"sn", "0012AB34"}, {"x", "1"}}, 400, "error: unexpected key x\n"},
        {sim.url, {{"op", "qu"}, {"sn", "0000BEEF"}}, 200, "error: unknown device 0000BEEF\n"},
    };
    for (const auto& c : cases) {
        HTTPResponse r = HTTPRequest::GET(c.url.c_str(), c.query);
        EXPECT_EQ(r.get_status(), c.status) << r.get_request();
        if (c.status != 404) {
            EXPECT_EQ(r.body(), c.body) << r.get_request();
        }
    }
}

TEST_F(HttpTest, TransportFailuresThrowLibcurlText) {
    EXPECT_EQ(transport_error("http://127.0.0.1:" + std::to_string(closed_port()) + "/cgi/u"),
              curl_easy_strerror(CURLE_COULDNT_CONNECT));
    EXPECT_EQ(transport_error("nosuch://127.0.0.1/cgi/u"),
              curl_easy_strerror(CURLE_UNSUPPORTED_PROTOCOL));
    EXPECT_EQ(transport_error(""), curl_easy_strerror(CURLE_URL_MALFORMAT));
}

TEST_F(HttpTest, LargeBodyArrivesWholeOverManyChunks) {
    const std::vector<uint8_t> file = bird(1300, "2.11.0", kSerial, 300000);
    write_bytes(root() / "0012AB34" / "1300.bird", file);
    SimServer sim(root());
    LogCapture log;
    HTTPResponse r = HTTPRequest::GET(
        sim.url.c_str(),
        {{"op", "bird"}, {"sn", "0012AB34"}, {"fw", "fw1"}, {"bld", "1300"}, {"no_cal", "false"}});
    ASSERT_EQ(r.get_status(), 200);

    size_t n = 0;
    std::unique_ptr<char, decltype(&std::free)> text(
        UpdateServerRequest::base64_encode(file.data(), file.size(), &n), &std::free);
    EXPECT_EQ(r.body(), "ok\n" + std::string(text.get(), n) + "\n");

    const std::string lines = log.text();
    EXPECT_EQ(lines.rfind("GET(" + r.get_request() + ")\n", 0), 0u);
    size_t calls = 0;
    for (size_t at = 0; (at = lines.find("rcv_data called (..., 1, ", at)) != std::string::npos;
         ++at)
        ++calls;
    EXPECT_GT(calls, 1u) << "the body should come in several chunks";
    EXPECT_NE(lines.find("rcv_data returns "), std::string::npos);
}

TEST_F(HttpTest, ShortChunkIsLoggedPaddedAndNothingMore) {
    SimServer sim(root());
    LogCapture log;
    HTTPRequest::GET(sim.url.c_str(), {{"op", "hi"}, {"rv", "2"}});
    // The 3-byte chunk is shown right-aligned in 100 columns, read no further than its end.
    EXPECT_NE(log.text().find(") [" + std::string(97, ' ') + "ok\n]\nrcv_data returns 3\n"),
              std::string::npos)
        << log.text();
}

TEST_F(HttpTest, NothingIsLoggedWithThePackageOff) {
    SimServer sim(root());
    LogCapture log(DEBUG_Updater);
    HTTPRequest::GET(sim.url.c_str(), {{"op", "hi"}, {"rv", "2"}});
    EXPECT_EQ(log.text(), "");
}

TEST_F(HttpTest, OversizedBodyIsRefused) {
    write_bytes(root() / "0012AB34" / "1300.bird", bird(1300, "2.11.0", kSerial, 100000));
    SimServer sim(root());
    HTTPRequest::Limits limits;
    limits.max_body_bytes = 50000;
    HTTPRequest::SetLimits(limits);
    EXPECT_EQ(transport_error(sim.url, {{"op", "bird"},
                                        {"sn", "0012AB34"},
                                        {"fw", "fw1"},
                                        {"bld", "1300"},
                                        {"no_cal", "false"}}),
              curl_easy_strerror(CURLE_WRITE_ERROR));
    EXPECT_EQ(transport_error(sim.url, {{"op", "hi"}, {"rv", "2"}}), "") << "small bodies pass";
}

TEST_F(HttpTest, StalledServerIsAbandoned) {
    HTTPRequest::Limits limits;
    limits.stall_timeout_s = 1;
    HTTPRequest::SetLimits(limits);
    const std::string timedOut = curl_easy_strerror(CURLE_OPERATION_TIMEDOUT);

    // Accepted, then silence before any byte of the reply.
    SilentListener silent;
    EXPECT_EQ(transport_error("http://127.0.0.1:" + std::to_string(silent.port) + "/cgi/u"),
              timedOut);

    // Headers and half the body, then silence.
    write_text(root() / "faults.conf", "bird stall\n");
    SimServer sim(root());
    LogCapture log;
    std::string payload = "unchanged";
    EXPECT_FALSE(
        UpdateServerRequest::GetBuild(kSerial, "fw1", "1234", payload, sim.url.c_str(), false));
    EXPECT_EQ(payload, "unchanged");
    EXPECT_NE(log.text().find("GetBuild ==> [" + timedOut + "]\n"), std::string::npos)
        << log.text();
}

TEST_F(HttpTest, EnvironmentSetsTheTimeouts) {
    HTTPRequest::Limits limits;
    limits.connect_timeout_s = 7;
    limits.stall_timeout_s = 300;
    HTTPRequest::SetLimits(limits);
    const struct {
        const char* value;
        long expected;
    } cases[] = {{"1", 1},     {"45", 45},  {"0", 300}, {"-3", 300},
                 {"abc", 300}, {"5s", 300}, {"", 300}};
    for (const auto& c : cases) {
        setenv("UPDATER_HTTP_STALL_TIMEOUT", c.value, 1);
        EXPECT_EQ(HTTPRequest::GetLimits().stall_timeout_s, c.expected) << c.value;
        EXPECT_EQ(HTTPRequest::GetLimits().connect_timeout_s, 7);
    }
    setenv("UPDATER_HTTP_CONNECT_TIMEOUT", "2", 1);
    EXPECT_EQ(HTTPRequest::GetLimits().connect_timeout_s, 2);

    // And a stall ends after the environment's time, not the 300 s set in code.
    setenv("UPDATER_HTTP_STALL_TIMEOUT", "1", 1);
    SilentListener silent;
    EXPECT_EQ(transport_error("http://127.0.0.1:" + std::to_string(silent.port) + "/cgi/u"),
              curl_easy_strerror(CURLE_OPERATION_TIMEDOUT));
}

TEST_F(HttpTest, ConcurrentRequestsShareNothing) {
    SimServer sim(root());
    constexpr int kThreads = 4, kEach = 5;
    std::vector<std::string> results(kThreads * kEach);
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t)
        threads.emplace_back([&, t] {
            for (int i = 0; i < kEach; ++i) {
                std::string build, firmware;
                bool ok =
                    UpdateServerRequest::QueryBuild(kSerial, build, firmware, sim.url.c_str());
                results[t * kEach + i] = (ok ? "ok " : "failed ") + build + " " + firmware;
            }
        });
    for (auto& t : threads)
        t.join();
    for (const auto& r : results)
        EXPECT_EQ(r, "ok 1234 fw1");
    EXPECT_EQ(sim.requests().size(), static_cast<size_t>(kThreads * kEach));
}

class TlsTest : public HttpTest {
protected:
    void SetUp() override {
        HttpTest::SetUp();
        fs::create_directories(dir.path / "good");
        fs::create_directories(dir.path / "wrongname");
        updatesim_make_cert(dir.path / "good", {});
        updatesim_make_cert(dir.path / "wrongname", {"update.invalid"});
    }
    void updatesim_make_cert(const fs::path& where, std::vector<std::string> names) {
        std::string cmd = std::string(UPDATE_SERVER_SIM) + " --make-cert " + where.string();
        for (const auto& n : names)
            cmd += " " + n;
        ASSERT_EQ(std::system(cmd.c_str()), 0) << cmd;
    }
    std::vector<std::string> tls(const char* which) {
        return {"--tls", (dir.path / which / "server.pem").string(),
                (dir.path / which / "server.key").string()};
    }
    std::string ca(const char* which) { return (dir.path / which / "ca.pem").string(); }
};

TEST_F(TlsTest, UntrustedCertificateIsRefusedUntilItsCaIsGiven) {
    SimServer sim(root(), tls("good"));
    ASSERT_EQ(sim.url.rfind("https://127.0.0.1:", 0), 0u);
    const HTTPRequest::Query hi{{"op", "hi"}, {"rv", "2"}};
    const std::string refused = curl_easy_strerror(CURLE_PEER_FAILED_VERIFICATION);

    EXPECT_EQ(transport_error(sim.url, hi), refused);
    EXPECT_FALSE(UpdateServerRequest::ping(sim.url.c_str()));

    for (const char* variable : {"UPDATER_CA_BUNDLE", "CURL_CA_BUNDLE", "SSL_CERT_FILE"}) {
        setenv(variable, ca("good").c_str(), 1);
        EXPECT_EQ(transport_error(sim.url, hi), "") << variable;
        std::string localhost = "https://localhost:" + std::to_string(sim.port) + "/cgi/u";
        EXPECT_EQ(transport_error(localhost, hi), "") << variable;
        EXPECT_TRUE(UpdateServerRequest::ping(sim.url.c_str())) << variable;
        unsetenv(variable);
    }
    // The project's own variable comes first.
    setenv("UPDATER_CA_BUNDLE", ca("good").c_str(), 1);
    setenv("SSL_CERT_FILE", ca("wrongname").c_str(), 1);
    EXPECT_EQ(transport_error(sim.url, hi), "");
    // Another CA is no better than none.
    setenv("UPDATER_CA_BUNDLE", ca("wrongname").c_str(), 1);
    EXPECT_EQ(transport_error(sim.url, hi), refused);
}

TEST_F(TlsTest, CertificateForAnotherHostIsRefused) {
    SimServer sim(root(), tls("wrongname"));
    setenv("UPDATER_CA_BUNDLE", ca("wrongname").c_str(), 1);
    EXPECT_EQ(transport_error(sim.url, {{"op", "hi"}, {"rv", "2"}}),
              curl_easy_strerror(CURLE_PEER_FAILED_VERIFICATION));
}

} // namespace
