// update-server-sim: the simulated update server program. See UpdateServerSim.h for the content
// folder and the faults.
#include "UpdateServerSim.h"

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <pthread.h>
#include <string>
#include <thread>

namespace {

const char usage[] =
    "Usage: update-server-sim --root DIR [--port N] [--tls CERT KEY] [--log FILE]\n"
    "                         [--port-file FILE] [--fault OP=KIND]...\n"
    "       update-server-sim --make-cert DIR [NAME...]\n"
    "\n"
    "Serves the update server requests at /cgi/u on 127.0.0.1 from the content folder DIR\n"
    "(per device: ROOT/<SERIAL>/<build>.bird and device.conf; ROOT/recovery.conf;\n"
    "ROOT/faults.conf). Port 0 (the default) picks a free port. Once listening it prints\n"
    "\"update-server-sim: listening on URL\" and, with --port-file, writes the port there.\n"
    "--tls serves HTTPS with a PEM certificate and key. --log appends every request target\n"
    "to FILE. --fault injects KIND (http500, no-ok, only-ok, truncate, corrupt, stall) into\n"
    "the replies to OP (hi, qu, bird, builds, fix, ent_jwt, or * for all).\n"
    "--make-cert writes ca.pem, server.pem and server.key into DIR: a private CA and a\n"
    "server certificate for the NAMEs (default 127.0.0.1 and localhost), then exits.\n"
    "SIGINT or SIGTERM stops the server.\n";

int fail(const char* text) {
    std::fprintf(stderr, "update-server-sim: %s\n%s", text, usage);
    return 2;
}

} // namespace

int main(int argc, char** argv) {
    updatesim::Options options;
    std::string portFile;
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        auto value = [&]() -> const char* { return i + 1 < argc ? argv[++i] : nullptr; };
        if (arg == "--make-cert") {
            const char* dir = value();
            if (dir == nullptr) return fail("--make-cert needs a folder");
            std::vector<std::string> names(argv + i + 1, argv + argc);
            try {
                if (names.empty())
                    updatesim::make_test_certificates(dir);
                else
                    updatesim::make_test_certificates(dir, names);
            } catch (const std::exception& e) {
                std::fprintf(stderr, "update-server-sim: %s\n", e.what());
                return 1;
            }
            return 0;
        } else if (arg == "--root") {
            const char* v = value();
            if (v == nullptr) return fail("--root needs a folder");
            options.root = v;
        } else if (arg == "--port") {
            const char* v = value();
            char* end = nullptr;
            long port = v ? std::strtol(v, &end, 10) : -1;
            if (v == nullptr || *end != '\0' || port < 0 || port > 65535)
                return fail("--port needs a number from 0 to 65535");
            options.port = static_cast<int>(port);
        } else if (arg == "--tls") {
            if (i + 2 >= argc) return fail("--tls needs a certificate and a key");
            options.cert = argv[++i];
            options.key = argv[++i];
        } else if (arg == "--log") {
            const char* v = value();
            if (v == nullptr) return fail("--log needs a file");
            options.log = v;
        } else if (arg == "--port-file") {
            const char* v = value();
            if (v == nullptr) return fail("--port-file needs a file");
            portFile = v;
        } else if (arg == "--fault") {
            const char* v = value();
            const char* eq = v ? std::strchr(v, '=') : nullptr;
            if (eq == nullptr) return fail("--fault needs OP=KIND");
            options.faults[std::string(v, eq)] = eq + 1;
        } else if (arg == "-h" || arg == "--help") {
            std::fputs(usage, stdout);
            return 0;
        } else {
            return fail(("unknown argument " + arg).c_str());
        }
    }
    if (options.root.empty()) return fail("--root is required");

    // Signals go to one waiting thread, which stops the server from outside any handler.
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGINT);
    sigaddset(&stopSignals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);
    std::signal(SIGPIPE, SIG_IGN);

    try {
        updatesim::UpdateServerSim server(options);
        int port = server.bind();
        if (!portFile.empty()) std::ofstream(portFile) << port << '\n';
        std::printf("update-server-sim: listening on %s\n", server.url().c_str());
        std::fflush(stdout);
        std::thread waiter([&] {
            int signal = 0;
            sigwait(&stopSignals, &signal);
            server.stop();
        });
        bool served = server.run();
        // run() also ends when serving fails: wake the waiter so that it can be joined.
        pthread_kill(waiter.native_handle(), SIGTERM);
        waiter.join();
        return served ? 0 : 1;
    } catch (const std::exception& e) {
        std::fprintf(stderr, "update-server-sim: %s\n", e.what());
        return 1;
    }
}

// Under ThreadSanitizer: the HTTP server library is not instrumented, so the hand-over of a
// connection between its worker threads looks racy to it. Only reports with a frame in that
// library are silenced.
extern "C" const char* __tsan_default_suppressions() {
    return "race:libcpp-httplib.so\n";
}
