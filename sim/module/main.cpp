// module-sim: runs one simulated module (and the modules behind it) on TCP and/or a COBS
// pseudo-terminal until interrupted.
#include <csignal>
#include <cstdio>
#include <cstring>
#include <iostream>
#include <string>

#include <unistd.h>

#include "sim/module/SimulatedModule.h"

namespace {

const char* kUsage =
    "usage: module-sim [--config FILE] [--KEY VALUE]... [--behind KEY=VALUE,...]...\n"
    "                  [--fault KIND[,cmd=N][,sub=N][,nth=N][,value=N]]...\n"
    "                  [--tcp [ADDRESS:]PORT] [--pty] [--discovery INTERFACE]\n"
    "                  [--dump-flash PREFIX] [--verbose]\n"
    "\n"
    "KEY is a description key: serial, model, version, build, name, address, router,\n"
    "heartbeat_ms, stream_period_ms, features, uei_data, load_base, block_size, restart_ms,\n"
    "loader_serial, next_version, next_build, serial_address, name_capacity, slots, factory.\n"
    "Dashes in keys may be written as underscores or dashes (--block-size 1024).\n"
    "Fault kinds: drop, late, wrong-sum, wrong-count, prepare-status, disconnect, no-return,\n"
    "garbage, busy.\n"
    "Without --tcp or --pty the module listens on 127.0.0.1 with a free port.\n"
    "--discovery answers the TCP/IP discovery request; it runs only inside scripts/netns-run.\n"
    "Prints \"tcp ADDRESS:PORT\" and \"pty PATH\" when ready; stops on SIGINT or SIGTERM,\n"
    "then writes each written flash range as PREFIX-XXXXXXXX.bin with --dump-flash.\n";

volatile std::sig_atomic_t gStop = 0;
void onSignal(int) {
    gStop = 1;
}

} // namespace

int main(int argc, char** argv) {
    sim::Description d;
    std::string tcp, discovery, dumpPath;
    bool pty = false, verbose = false, tcpGiven = false;
    try {
        for (int i = 1; i < argc; ++i) {
            std::string a = argv[i];
            auto next = [&]() -> std::string {
                if (i + 1 >= argc) throw std::invalid_argument(a + " needs a value");
                return argv[++i];
            };
            if (a == "-h" || a == "--help") {
                std::cout << kUsage;
                return 0;
            } else if (a == "--config") {
                d = sim::loadDescription(next());
            } else if (a == "--behind") {
                sim::ModuleIdentity m;
                m.address = 0;
                m.name = "Behind module";
                d.behind.push_back(m);
                std::string spec = next();
                size_t start = 0;
                while (start <= spec.size()) {
                    size_t comma = spec.find(',', start);
                    std::string item = spec.substr(
                        start, comma == std::string::npos ? std::string::npos : comma - start);
                    auto eq = item.find('=');
                    if (eq == std::string::npos)
                        throw std::invalid_argument("--behind takes key=value items");
                    sim::applySetting(d, item.substr(0, eq), item.substr(eq + 1), true);
                    if (comma == std::string::npos) break;
                    start = comma + 1;
                }
                if (d.behind.back().address == 0)
                    throw std::invalid_argument("--behind needs an address");
            } else if (a == "--fault") {
                d.faults.push_back(sim::parseFault(next()));
            } else if (a == "--tcp") {
                tcp = next();
                tcpGiven = true;
            } else if (a == "--pty") {
                pty = true;
            } else if (a == "--discovery") {
                discovery = next();
            } else if (a == "--dump-flash") {
                dumpPath = next();
            } else if (a == "--verbose" || a == "-v") {
                verbose = true;
            } else if (a.rfind("--", 0) == 0 && a.size() > 2) {
                std::string key = a.substr(2);
                for (auto& c : key)
                    if (c == '-') c = '_';
                sim::applySetting(d, key, next(), false);
            } else {
                throw std::invalid_argument("unknown argument " + a);
            }
        }
        for (auto& m : d.behind) {
            if (m.address == d.module.address)
                throw std::invalid_argument("a behind module cannot share the router's address");
            m.router = d.module.address;
        }
    } catch (const std::exception& e) {
        std::cerr << "module-sim: " << e.what() << "\n" << kUsage;
        return 2;
    }

    std::signal(SIGINT, onSignal);
    std::signal(SIGTERM, onSignal);
    try {
        sim::SimulatedModule dev(d);
        if (verbose)
            dev.setLog([](const std::string& line) {
                std::fprintf(stderr, "module-sim: %s\n", line.c_str());
            });
        if (tcpGiven || !pty) {
            std::string address = "127.0.0.1";
            uint16_t port = 0;
            if (!tcp.empty()) {
                auto colon = tcp.rfind(':');
                if (colon != std::string::npos) address = tcp.substr(0, colon);
                port = uint16_t(
                    sim::parseNumber(colon == std::string::npos ? tcp : tcp.substr(colon + 1)));
            }
            port = dev.listenTcp(address, port);
            std::printf("tcp %s:%u\n", address.c_str(), unsigned(port));
        }
        if (pty) std::printf("pty %s\n", dev.openPty().c_str());
        if (!discovery.empty()) dev.startDiscoveryResponder(discovery);
        std::fflush(stdout);
        while (!gStop)
            ::usleep(100000);
        if (!dumpPath.empty()) {
            for (auto& f : dev.dumpFlashSegments(dumpPath))
                std::printf("flash %s\n", f.c_str());
        }
    } catch (const std::exception& e) {
        std::cerr << "module-sim: " << e.what() << "\n";
        return 1;
    }
    return 0;
}
