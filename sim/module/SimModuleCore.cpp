#include <algorithm>

#include "sim/module/SimNode.h"

namespace sim {

using namespace wire;

// ---- flash ---------------------------------------------------------------------------------

void Flash::write(uint32_t address, const uint8_t* data, size_t length) {
    if (length == 0) return;
    uint64_t start = address;
    uint64_t end = start + length; // exclusive; may reach 2^32
    // Merge with every segment that overlaps or touches [start, end).
    Bytes merged;
    uint64_t mergedStart = start;
    auto it = segments_.upper_bound(address);
    if (it != segments_.begin()) {
        auto prev = std::prev(it);
        if (uint64_t(prev->first) + prev->second.size() >= start) it = prev;
    }
    std::vector<std::pair<uint64_t, Bytes>> absorbed;
    while (it != segments_.end() && it->first <= end) {
        absorbed.emplace_back(it->first, std::move(it->second));
        it = segments_.erase(it);
    }
    uint64_t mergedEnd = end;
    for (auto& [s, b] : absorbed) {
        mergedStart = std::min(mergedStart, s);
        mergedEnd = std::max(mergedEnd, s + b.size());
    }
    merged.assign(mergedEnd - mergedStart, 0xFF);
    for (auto& [s, b] : absorbed)
        std::copy(b.begin(), b.end(), merged.begin() + (s - mergedStart));
    std::copy(data, data + length, merged.begin() + (start - mergedStart));
    segments_.emplace(uint32_t(mergedStart), std::move(merged));
}

bool Flash::read(uint32_t address, uint8_t* out, size_t length) const {
    auto it = segments_.upper_bound(address);
    if (it == segments_.begin()) return length == 0;
    --it;
    uint64_t offset = uint64_t(address) - it->first;
    if (offset + length > it->second.size()) return false;
    std::copy_n(it->second.begin() + offset, length, out);
    return true;
}

size_t Flash::size() const {
    size_t n = 0;
    for (auto& [a, b] : segments_)
        n += b.size();
    return n;
}

// ---- construction --------------------------------------------------------------------------

namespace {

void initNode(ModuleCore::Node& n, const ModuleIdentity& id, const Description& d,
              Clock::time_point now) {
    n.state.identity = id;
    n.ownSerial = id.serial;
    n.booted = now;
    n.name.assign(id.name.begin(), id.name.end());
    if (n.name.size() > d.nameCapacity) n.name.resize(d.nameCapacity);
    // Plain stored values of the system entity, as a bench supply would read them.
    n.values = {{3, 0},      {4, 1},      {6, 0},       {12, 5020},  {13, 0},      {14, 0},
                {15, 0},     {16, 0},     {21, 312},    {23, 41000}, {25, 12010},  {26, 405},
                {27, 29500}, {28, 18000}, {29, 1},      {30, 0},     {33, 100000}, {34, 100000},
                {35, 0},     {38, 0},     {40, 0x0102}, {41, 0},     {42, 255}};
    if (d.heartbeatMs) n.values[3] = uint8_t(std::min<uint32_t>(255, (d.heartbeatMs + 99) / 100));
    n.saved = n.values;
    n.defaults = n.values;
    n.defaultName = n.name;
    for (auto& s : d.slots)
        n.slots[{s.store, s.slot}] = s;
    for (auto& f : d.factory)
        n.factory[f.block] = f;
}

} // namespace

ModuleCore::ModuleCore(Description description, Clock::time_point now)
    : desc_(std::move(description)), started_(now) {
    auto main = std::make_unique<Node>();
    initNode(*main, desc_.module, desc_, now);
    nodes_.push_back(std::move(main));
    for (auto& b : desc_.behind) {
        auto n = std::make_unique<Node>();
        ModuleIdentity id = b;
        id.router = desc_.module.address;
        initNode(*n, id, desc_, now);
        nodes_.push_back(std::move(n));
    }
    for (auto& f : desc_.faults)
        addFault(f);
    if (desc_.heartbeatMs) nextHeartbeat_ = now + std::chrono::milliseconds(desc_.heartbeatMs);
}

ModuleCore::~ModuleCore() = default;

void ModuleCore::addFault(const Fault& fault) {
    if (fault.kind == FaultKind::Busy) busy_ = true;
    faults_.push_back({fault, 0});
}

void ModuleCore::setNextFirmware(uint32_t version, uint32_t build) {
    nextFirmware_ = {version, build};
}

uint8_t ModuleCore::address() const {
    return nodes_[0]->state.identity.address;
}

const ModuleState* ModuleCore::module(uint8_t address) const {
    for (auto& n : nodes_)
        if (n->state.identity.address == address) return &n->state;
    return nullptr;
}

ModuleCore::Node* ModuleCore::nodeAt(uint8_t address) {
    for (auto& n : nodes_)
        if (n->state.identity.address == address) return n.get();
    return nullptr;
}

std::vector<Output> ModuleCore::takeOutput() {
    std::vector<Output> out;
    out.swap(out_);
    return out;
}

// ---- framing -------------------------------------------------------------------------------

// Host frames are address, length, data with no marker: the only way back into step after a
// broken frame is the host's own resynchronisation, so a hunt skips everything up to the next
// sync request 0xAD 0x00.
void ModuleCore::startHunt() {
    ++stats_.framingErrors;
    frame_.clear();
    hunting_ = true;
    huntPrev_ = 0;
}

void ModuleCore::receive(const uint8_t* data, size_t length, Clock::time_point now) {
    if (!linkUp_) return;
    for (size_t i = 0; i < length && linkUp_; ++i) {
        uint8_t b = data[i];
        if (hunting_) {
            if (huntPrev_ == kSyncAddress && b == 0) {
                hunting_ = false;
                onFrame(Bytes{kSyncAddress, 0}, now);
            }
            huntPrev_ = b;
            continue;
        }
        frame_.push_back(b);
        if (frame_.size() == 1) {
            bool control = b == kSyncAddress || b == kRouteAddress;
            if (b == 0 || ((b & 1) && !control)) startHunt();
            continue;
        }
        if (frame_.size() == 2) {
            uint8_t addr = frame_[0];
            if (b > kMaxData || (addr == kSyncAddress && b != 0) ||
                (addr == kRouteAddress && b != 1)) {
                startHunt();
                continue;
            }
        }
        if (frame_.size() == size_t(frame_[1]) + 2) {
            Bytes f;
            f.swap(frame_);
            onFrame(f, now);
        }
    }
}

void ModuleCore::onFrame(const Bytes& frame, Clock::time_point now) {
    received_.push_back(frame);
    uint8_t addr = frame[0];
    const uint8_t* d = frame.data() + 2;
    size_t size = frame[1];
    if (addr == kSyncAddress) {
        // The sync request is also the address query: a zero-length frame from our address.
        ++stats_.syncRequests;
        emitFrame(Bytes{address(), 0});
        return;
    }
    if (addr == kRouteAddress) {
        stats_.forceRoute = d[0] != 0;
        return;
    }
    if (const Fault* f = hit(FaultKind::Disconnect, d, size)) {
        if (f->value)
            dropLink(now, std::chrono::milliseconds(f->value));
        else
            dropLink(now, std::nullopt);
        return;
    }
    handleHostFrame(addr, d, size, now);
}

void ModuleCore::handleHostFrame(uint8_t addr, const uint8_t* d, size_t size,
                                 Clock::time_point now) {
    Node* n = nodeAt(addr);
    if (!n) return; // nobody on this link has that address
    if (n != nodes_[0].get()) {
        if (!routed(*n) || !n->state.online) return;
    }
    if (size == 2 && d[0] == kCmdHeartbeat && n == nodes_[0].get()) {
        heartbeatReply(d, size);
        return;
    }
    handleModulePacket(*n, d, size, now);
}

bool ModuleCore::routed(const Node& n) const {
    (void)n;
    return stats_.forceRoute || nodes_[0]->state.routeToMe;
}

void ModuleCore::heartbeatReply(const uint8_t* d, size_t) {
    if (heartbeatExpected_ && d[1] == *heartbeatExpected_) {
        ++stats_.heartbeatReplies;
        heartbeatExpected_.reset();
    } else {
        ++stats_.heartbeatBadReplies;
    }
}

// ---- output and faults ---------------------------------------------------------------------

const Fault* ModuleCore::hit(FaultKind kind, const uint8_t* d, size_t size) {
    for (auto& a : faults_) {
        const Fault& f = a.fault;
        if (f.kind != kind) continue;
        if (f.command != 255 && (size < 1 || d[0] != f.command)) continue;
        if (f.sub >= 0 && (size < 2 || d[1] != f.sub)) continue;
        ++a.seen;
        if (f.nth == 0 || a.seen == f.nth) return &f;
    }
    return nullptr;
}

void ModuleCore::emitFrame(Bytes frame) {
    sent_.push_back(frame);
    out_.push_back({Output::Frame, std::move(frame)});
}

void ModuleCore::emit(Node& from, Bytes data, Clock::time_point now) {
    if (!linkUp_) return;
    if (&from != nodes_[0].get() && !routed(from)) return;
    Bytes frame;
    frame.reserve(data.size() + 2);
    frame.push_back(from.state.identity.address);
    frame.push_back(uint8_t(data.size()));
    frame.insert(frame.end(), data.begin(), data.end());
    // Every fault counts the replies it matches, whatever the others do with them.
    const uint8_t* d = data.data();
    const Fault* drop = hit(FaultKind::DropReply, d, data.size());
    const Fault* garbage = hit(FaultKind::Garbage, d, data.size());
    const Fault* late = hit(FaultKind::LateReply, d, data.size());
    if (drop) return;
    if (garbage) {
        // Noise that breaks the host's framing: a zero address byte, then odd bytes.
        Bytes noise(garbage->value ? garbage->value : 1);
        for (size_t i = 0; i < noise.size(); ++i)
            noise[i] = i == 0 ? 0x00 : uint8_t(0x3F + 2 * i);
        sent_.push_back(noise);
        out_.push_back({Output::Raw, std::move(noise)});
    }
    if (late) {
        late_.emplace(now + std::chrono::milliseconds(late->value), std::move(frame));
        return;
    }
    emitFrame(std::move(frame));
}

void ModuleCore::dropLink(Clock::time_point now, std::optional<Clock::duration> back) {
    if (!linkUp_) return;
    linkUp_ = false;
    ++stats_.linkDrops;
    late_.clear();
    frame_.clear();
    hunting_ = false;
    heartbeatExpected_.reset();
    stats_.forceRoute = false;
    linkBack_ = back ? std::optional(now + *back) : std::nullopt;
    out_.push_back({Output::LinkDown, {}});
}

// A module restarting loses its volatile state; the link's own module takes the link down
// with it, a module behind a router just goes quiet.
void ModuleCore::restart(Node& n, Clock::time_point now, std::optional<Clock::duration> back) {
    ++n.state.restarts;
    n.booted = now + back.value_or(Clock::duration::zero());
    n.blockActive = false;
    n.pending.clear();
    n.sum = 0;
    n.run.reset();
    n.openSlots.clear();
    n.factoryTransfer.reset();
    n.subscriptions.clear();
    n.state.routeToMe = false;
    if (&n == nodes_[0].get()) {
        dropLink(now, back);
    } else {
        n.state.online = false;
        n.offlineUntil = back ? std::optional(now + *back) : std::nullopt;
        n.neverBack = !back;
    }
}

// ---- time ----------------------------------------------------------------------------------

Clock::time_point ModuleCore::nextDeadline() const {
    auto t = Clock::time_point::max();
    if (!linkUp_) return linkBack_.value_or(t);
    t = std::min(t, nextHeartbeat_);
    t = std::min(t, nextSample_);
    if (!late_.empty()) t = std::min(t, late_.begin()->first);
    for (auto& n : nodes_)
        if (n->offlineUntil) t = std::min(t, *n->offlineUntil);
    return t;
}

void ModuleCore::tick(Clock::time_point now) {
    if (!linkUp_) {
        if (!linkBack_ || *linkBack_ > now) return;
        linkUp_ = true;
        linkBack_.reset();
        out_.push_back({Output::LinkUp, {}});
        if (desc_.heartbeatMs) nextHeartbeat_ = now + std::chrono::milliseconds(desc_.heartbeatMs);
    }
    for (auto& n : nodes_) {
        if (n->offlineUntil && *n->offlineUntil <= now) {
            n->offlineUntil.reset();
            n->state.online = true;
        }
    }
    while (!late_.empty() && late_.begin()->first <= now) {
        Bytes f = std::move(late_.begin()->second);
        late_.erase(late_.begin());
        emitFrame(std::move(f));
    }
    if (nextHeartbeat_ <= now) {
        uint32_t tenths = nodes_[0]->values[3];
        if (tenths == 0) {
            nextHeartbeat_ = Clock::time_point::max();
        } else {
            if (heartbeatExpected_) ++stats_.heartbeatsMissed;
            emitFrame(Bytes{address(), 2, kCmdHeartbeat, heartbeatValue_});
            ++stats_.heartbeatsSent;
            heartbeatExpected_ = uint8_t(heartbeatValue_ + 2);
            heartbeatValue_ ^= 1;
            nextHeartbeat_ = now + std::chrono::milliseconds(100 * tenths);
        }
    }
    if (nextSample_ <= now) {
        sendSamples(now);
        nextSample_ = now + std::chrono::milliseconds(desc_.streamPeriodMs);
    }
    bool streaming = false;
    for (auto& n : nodes_)
        streaming |= !n->subscriptions.empty();
    if (!streaming)
        nextSample_ = Clock::time_point::max();
    else if (nextSample_ == Clock::time_point::max())
        nextSample_ = now + std::chrono::milliseconds(desc_.streamPeriodMs);
}

// The values a module streams: its housekeeping readings, as 32-bit samples.
void ModuleCore::sendSamples(Clock::time_point now) {
    static const uint8_t streamed[] = {12, 21, 22, 27};
    for (auto& np : nodes_) {
        Node& n = *np;
        if (n.subscriptions.empty() || !n.state.online) continue;
        auto micros = std::chrono::duration_cast<std::chrono::microseconds>(now - started_).count();
        uint64_t ts = uint64_t(micros);
        for (uint8_t opt : streamed) {
            bool wanted = false;
            for (auto& s : n.subscriptions)
                wanted |= (s[0] == 255 || s[0] == kClassSystem) && (s[1] == 255 || s[1] == opt) &&
                          (s[2] == 255 || s[2] == 0);
            if (!wanted) continue;
            uint32_t value;
            if (opt == 22) {
                value = uint32_t(
                    std::chrono::duration_cast<std::chrono::seconds>(now - n.booted).count());
            } else {
                // Readings wander a little around their stored value.
                value = n.values[opt] + uint32_t((ts / 100000) % 7);
            }
            Bytes d{kClassSystem, opt, uint8_t(0 | kStream), 3};
            putBe32(d, uint32_t(ts >> 32));
            putBe32(d, uint32_t(ts));
            putBe32(d, value);
            d.push_back(0);
            emit(n, std::move(d), now);
        }
    }
}

} // namespace sim
