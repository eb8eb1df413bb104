// The simulated device itself, without threads or transports: it consumes the bytes the host
// sent and produces the bytes to send back, plus link events (the link drops across a load or
// a reboot and comes back). Time is passed in by the caller, so the same core serves the
// in-process stream pair, TCP, the COBS pseudo-terminal and an emulated USB device.
//
// Not thread-safe: SimulatedModule (SimulatedModule.h) serialises every call.
#pragma once

#include <chrono>
#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "sim/module/SimDescription.h"

namespace sim {

using Clock = std::chrono::steady_clock;
using Bytes = std::vector<uint8_t>;

// One thing the transport must do, in order.
struct Output {
    enum Kind {
        Frame,    // one packet in wire form: address, length, data
        Raw,      // bytes that are no frame (injected noise), sent as they are
        LinkDown, // the device dropped off its link
        LinkUp,   // the device is back
    };
    Kind kind;
    Bytes bytes;
};

// A sparse flash image: what the boot loader committed, by address.
class Flash {
public:
    void write(uint32_t address, const uint8_t* data, size_t length);
    // False when any byte of the range was never written.
    bool read(uint32_t address, uint8_t* out, size_t length) const;
    // Contiguous written ranges in address order.
    const std::map<uint32_t, Bytes>& segments() const { return segments_; }
    size_t size() const;
    void clear() { segments_.clear(); }

private:
    std::map<uint32_t, Bytes> segments_; // start address -> bytes; never adjacent or overlapping
};

// Where a module's boot loader stands.
enum class UpgradeMode {
    Firmware, // running its firmware; an upgrade starts with init
    Session,  // after init: loader blocks are taken and started with load
    Loader,   // the boot loader runs: firmware blocks are taken in chunks and written
};

// A read-only picture of one module for tests.
struct ModuleState {
    ModuleIdentity identity; // as it reports itself now (serial, version and build change)
    UpgradeMode mode = UpgradeMode::Firmware;
    bool online = true;
    bool routeToMe = false;
    uint32_t restarts = 0;
    uint32_t committedWrites = 0; // chunks committed with the write command
    Flash flash;
};

struct LinkStats {
    uint64_t syncRequests = 0;
    uint64_t framingErrors = 0; // bytes that broke the framing and started a hunt
    uint64_t heartbeatsSent = 0;
    uint64_t heartbeatReplies = 0;    // V + 2 as expected
    uint64_t heartbeatBadReplies = 0; // any other value
    uint64_t heartbeatsMissed = 0;    // a heartbeat went unanswered until the next one
    bool forceRoute = false;
    uint64_t linkDrops = 0;
};

class ModuleCore {
public:
    ModuleCore(Description description, Clock::time_point now);
    ~ModuleCore();
    ModuleCore(const ModuleCore&) = delete;
    ModuleCore& operator=(const ModuleCore&) = delete;

    // Bytes from the host, in arrival order. Ignored while the link is down.
    void receive(const uint8_t* data, size_t length, Clock::time_point now);
    // Runs whatever is due: heartbeats, late replies, stream samples, coming back.
    void tick(Clock::time_point now);
    // When tick next has work; Clock::time_point::max() when nothing is scheduled.
    Clock::time_point nextDeadline() const;
    // Everything produced since the last call.
    std::vector<Output> takeOutput();

    bool linkUp() const { return linkUp_; }
    bool busy() const { return busy_; }
    void setBusy(bool busy) { busy_ = busy; }

    void addFault(const Fault& fault);
    // Identity the next reboot into new firmware reports (overrides the description).
    void setNextFirmware(uint32_t version, uint32_t build);

    // Every complete frame received and every frame sent, in wire form.
    const std::vector<Bytes>& received() const { return received_; }
    const std::vector<Bytes>& sent() const { return sent_; }
    const LinkStats& stats() const { return stats_; }
    // The module at that address (the link's own module or one behind it); null if none.
    const ModuleState* module(uint8_t address) const;
    uint8_t address() const;
    const Description& description() const { return desc_; }

    struct Node; // one simulated module (internal)

private:
    struct ActiveFault {
        Fault fault;
        unsigned seen = 0;
    };

    void onFrame(const Bytes& frame, Clock::time_point now);
    void startHunt();
    void handleHostFrame(uint8_t address, const uint8_t* data, size_t size, Clock::time_point now);
    void heartbeatReply(const uint8_t* data, size_t size);

    // Replies of module `from`; faults apply here.
    void emit(Node& from, Bytes data, Clock::time_point now);
    void emitFrame(Bytes frame);
    const Fault* hit(FaultKind kind, const uint8_t* data, size_t size);
    void dropLink(Clock::time_point now, std::optional<Clock::duration> back);
    void restart(Node& n, Clock::time_point now, std::optional<Clock::duration> back);
    bool routed(const Node& n) const;
    Node* nodeAt(uint8_t address);
    void sendSamples(Clock::time_point now);

    // Entity handlers (SimEntities.cpp).
    void handleModulePacket(Node& n, const uint8_t* d, size_t size, Clock::time_point now);
    void handleUEI(Node& n, const uint8_t* d, size_t size, Clock::time_point now);
    void handleBytesSet(Node& n, const uint8_t* d, size_t size, Clock::time_point now);
    void finishBytesSet(Node& n, Clock::time_point now);
    void handleUpgrade(Node& n, const uint8_t* d, size_t size, Clock::time_point now);
    void handleI2C(Node& n, const uint8_t* d, size_t size, Clock::time_point now);
    void handleInfo(Node& n, const uint8_t* d, size_t size, Clock::time_point now);
    void handleSlot(Node& n, const uint8_t* d, size_t size, Clock::time_point now);
    void handleFactory(Node& n, const uint8_t* d, size_t size, Clock::time_point now);
    void ueiError(Node& n, uint8_t cmd, uint8_t replyOption, uint8_t index, uint32_t code,
                  Clock::time_point now);
    void sendBytes(Node& n, uint8_t cmd, uint8_t option, uint8_t index, const Bytes& bytes,
                   Clock::time_point now);
    uint32_t ueiSupport(const Node& n, uint8_t cmd, uint8_t option, uint8_t index,
                        uint8_t flags) const;

    Description desc_;
    std::vector<std::unique_ptr<Node>> nodes_; // nodes_[0] owns the link
    std::vector<ActiveFault> faults_;
    std::optional<std::pair<uint32_t, uint32_t>> nextFirmware_;

    // Framing of host bytes.
    Bytes frame_;
    bool hunting_ = false;
    uint8_t huntPrev_ = 0;

    bool linkUp_ = true;
    bool busy_ = false;
    std::optional<Clock::time_point> linkBack_;

    Clock::time_point nextHeartbeat_ = Clock::time_point::max();
    uint8_t heartbeatValue_ = 0;
    std::optional<uint8_t> heartbeatExpected_;
    Clock::time_point nextSample_ = Clock::time_point::max();
    Clock::time_point started_;

    std::multimap<Clock::time_point, Bytes> late_; // late frames by due time
    std::vector<Output> out_;
    std::vector<Bytes> received_;
    std::vector<Bytes> sent_;
    LinkStats stats_;
};

} // namespace sim
