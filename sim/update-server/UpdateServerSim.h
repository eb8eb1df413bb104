// A simulated update server: the requests and replies of the tool's update server protocol,
// GET "/cgi/u" over HTTP or HTTPS, answered from a content folder. It listens on 127.0.0.1 only.
//
// Content folder (read anew for every request, so a test may change it between requests):
//
//   ROOT/<SERIAL>/               one folder per device, 8 upper-case hexadecimal digits
//       <build>.bird             a build the server offers; <build> is a decimal number, the
//                                version is the one in the file's info block
//       device.conf              optional "key=value" lines ('#' starts a comment):
//           firmware=<id>        firmware identifier of the device (default "main"); GetBuild
//                                must send it back
//           latest=<build>       the newest build (default: the highest build number)
//           token=<a.b.c>        the device's feature token
//           version.<build>=<v>  the version listed for a build, instead of the file's own
//   ROOT/recovery.conf           lines "W0 W1 W2 W3 SERIAL BUILD": a chip fingerprint (four
//                                hexadecimal words), the device's serial number and its build
//                                (sent back as written)
//   ROOT/faults.conf             lines "OP KIND": a fault injected into every reply to OP
//                                (hi, qu, bird, builds, fix, ent_jwt, or * for all)
//
// Fault kinds: http500 (status 500), no-ok (a 200 reply whose first line is "error"), only-ok
// (the "ok" line alone), truncate (a Base64 payload without its last 3 characters), corrupt
// (a character in the middle of a Base64 payload replaced by "*"), stall (headers and half the
// body, then nothing until the server stops or 120 s have passed).
//
// Queries are checked strictly: an unknown op, a missing, repeated or unexpected key, or a
// malformed serial number, fingerprint, build or flag gets HTTP 400 with "error: ..."; a
// well-formed query for something the folder does not hold gets a 200 reply "error: ...".
#pragma once

#include <condition_variable>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace httplib {
class Server;
struct Request;
struct Response;
} // namespace httplib

namespace updatesim {

struct Options {
    std::string root;                          // content folder
    int port = 0;                              // 0: any free port
    std::string cert, key;                     // PEM files; both set: HTTPS
    std::string log;                           // when set, every request target is appended
    std::map<std::string, std::string> faults; // op (or "*") -> fault kind, before faults.conf
};

class UpdateServerSim {
public:
    explicit UpdateServerSim(Options options);
    ~UpdateServerSim();
    UpdateServerSim(const UpdateServerSim&) = delete;
    UpdateServerSim& operator=(const UpdateServerSim&) = delete;

    // Binds 127.0.0.1 and returns the port; throws std::runtime_error when it cannot.
    int bind();
    // Serves until stop(); returns false when serving failed.
    bool run();
    // From any thread: ends run() and releases stalled replies.
    void stop();

    // "http://127.0.0.1:PORT/cgi/u" or https, after bind().
    std::string url() const;

private:
    void handle(const httplib::Request& request, httplib::Response& response);
    void log_request(const std::string& target);

    Options options;
    std::unique_ptr<httplib::Server> server;
    int port = 0;
    std::mutex lock;
    std::condition_variable stopped;
    bool stopping = false;
};

// Writes a private CA and a server certificate signed by it, for tests and demos, into dir:
// ca.pem, server.pem and server.key. The server certificate names every entry of names (an IPv4
// address or a DNS name). Throws std::runtime_error on failure.
void make_test_certificates(const std::string& dir,
                            const std::vector<std::string>& names = {"127.0.0.1", "localhost"});

} // namespace updatesim
