// A simulated module running on real transports, with the API tests drive it through.
//
//     sim::Description d;
//     d.module.serial = 0x40F5849A;
//     sim::SimulatedModule dev(d);
//     aStream* s = dev.openInProcess();      // the host's end; the caller destroys it
//     uint16_t port = dev.listenTcp();       // 127.0.0.1, an ephemeral port
//     std::string tty = dev.openPty();       // COBS-framed serial on a pseudo-terminal
//     dev.waitFor([](const sim::SimulatedModule::View& v) { return v.received.size() >= 6; },
//                 std::chrono::seconds(5));
//
// One worker thread runs the device's timers (heartbeats, late replies, stream samples, coming
// back after a restart); the transports feed received bytes into the same core under one lock.
#pragma once

#include <chrono>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "aStream.h"
#include "sim/module/SimModuleCore.h"

namespace sim {

class SimulatedModule {
public:
    explicit SimulatedModule(Description description);
    ~SimulatedModule();
    SimulatedModule(const SimulatedModule&) = delete;
    SimulatedModule& operator=(const SimulatedModule&) = delete;

    // ---- transports ----------------------------------------------------------------------

    // The host's end of an in-process byte stream pair. Its get-byte waits up to 20 ms for a
    // byte and then answers aErrNotReady; while the device is off its link it answers aErrIO
    // (writes are lost), and while another client holds the device, aErrBusy. The stream
    // stays valid after the simulated module is gone (it then reads as aErrIO).
    aStream* openInProcess();

    // Raw access for transports that are not streams (an emulated USB device): bytes from the
    // host, and bytes to the host, waiting up to `timeout`. hostRead returns 0 when nothing
    // came; both report false/0 while the link is down.
    bool hostWrite(const uint8_t* data, size_t length);
    size_t hostRead(uint8_t* buffer, size_t capacity, std::chrono::milliseconds timeout);

    // TCP service of the module: listens on address:port (port 0 picks one) and serves one
    // host at a time. Returns the port. Throws std::runtime_error on failure.
    uint16_t listenTcp(const std::string& address = "127.0.0.1", uint16_t port = 0);

    // COBS-framed serial on a pseudo-terminal; returns the slave's path.
    std::string openPty();

    // Answers the TCP/IP discovery request (UDP 232.2.2.2:9888) with the 16-byte reply to
    // the requester's port 9889. Needs listenTcp first. Refuses (std::runtime_error) unless
    // this process is in a private network namespace (only lo, v0 and v1 exist): it must
    // never answer on a real network.
    void startDiscoveryResponder(const std::string& interfaceAddress);

    // ---- control -------------------------------------------------------------------------

    void addFault(const Fault& fault);
    void setBusy(bool busy);
    void setNextFirmware(uint32_t version, uint32_t build);
    // Trace of what the device does, one line per event, to this function (or nowhere).
    void setLog(std::function<void(const std::string&)> log);

    // ---- observation ---------------------------------------------------------------------

    // A consistent picture, taken under the device's lock.
    struct View {
        const std::vector<Bytes>& received; // every frame received, wire form
        const std::vector<Bytes>& sent;     // every frame (and noise) sent
        const LinkStats& stats;
        bool linkUp;
        const ModuleCore& core;
        const ModuleState* module(uint8_t address) const { return core.module(address); }
    };
    // Waits until the predicate holds (checked on every change); false on time-out.
    bool waitFor(const std::function<bool(const View&)>& predicate,
                 std::chrono::milliseconds timeout);
    // Calls f with a view (under the lock).
    void inspect(const std::function<void(const View&)>& f);

    std::vector<Bytes> received();
    std::vector<Bytes> sent();
    LinkStats stats();
    bool linkUp();
    // A copy of the module at that address (0: the link's own module).
    ModuleState module(uint8_t address = 0);
    uint8_t address() const { return address_; }

    // Writes `length` bytes of a module's committed flash from `from` into a binary file,
    // never-written bytes as 0xFF (erased flash). False on I/O error.
    bool dumpFlash(const std::string& path, uint32_t from, uint32_t length, uint8_t address = 0);
    // Writes every written range of a module's flash as "<prefix>-XXXXXXXX.bin" (its start
    // address in hexadecimal); returns the files written.
    std::vector<std::string> dumpFlashSegments(const std::string& prefix, uint8_t address = 0);

    struct Pipe;

private:
    void run();
    // Hands the core's output to every transport; called with mu_ held.
    void flushLocked(std::unique_lock<std::mutex>& lock);
    void feed(const uint8_t* data, size_t length);
    void tcpLoop();
    void ptyLoop();
    void discoveryLoop();
    void log(const std::string& line);

    std::mutex mu_;
    std::condition_variable changed_;
    ModuleCore core_;
    uint8_t address_;
    bool stopping_ = false;
    std::function<void(const std::string&)> log_;

    std::shared_ptr<Pipe> pipe_; // in-process pair and raw host access

    // TCP
    std::string tcpAddress_;
    uint16_t tcpPort_ = 0;
    int listenFd_ = -1;
    int clientFd_ = -1;
    int wakeFd_[2] = {-1, -1}; // wakes the transport threads
    std::mutex sendMu_;

    // Pseudo-terminal
    int ptyFd_ = -1;
    int ptySlaveFd_ = -1;
    size_t loggedRx_ = 0;

    int discoveryFd_ = -1;

    std::thread worker_, tcpThread_, ptyThread_, discoveryThread_;
};

} // namespace sim
