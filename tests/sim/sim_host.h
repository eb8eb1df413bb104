// The host's side of byte-level exchanges with the simulated module: writes frames and reads
// exactly what comes back, waiting on the stream with a generous bound.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

#include "aStream.h"
#include "sim/module/SimulatedModule.h"

namespace simtest {

using Bytes = std::vector<uint8_t>;
inline constexpr auto kWait = std::chrono::seconds(5);

inline std::string hex(const Bytes& b) {
    std::string s;
    char buf[4];
    for (size_t i = 0; i < b.size(); ++i) {
        std::snprintf(buf, sizeof buf, i ? " %02X" : "%02X", b[i]);
        s += buf;
    }
    return s;
}

class Host {
public:
    explicit Host(aStream* s) : s_(s) {}
    ~Host() { aStream_Destroy(&s_); }
    Host(const Host&) = delete;
    Host& operator=(const Host&) = delete;

    aErr write(const Bytes& b) { return aStream_Write(s_, b.data(), b.size()); }

    // n bytes, or fewer when the wait ends or the stream fails; lastError() tells which.
    Bytes read(size_t n, std::chrono::milliseconds wait = kWait) {
        Bytes out;
        auto deadline = std::chrono::steady_clock::now() + wait;
        while (out.size() < n && std::chrono::steady_clock::now() < deadline) {
            uint8_t b;
            err_ = aStream_Read(s_, &b, 1);
            if (err_ == aErrNone)
                out.push_back(b);
            else if (err_ != aErrNotReady)
                break;
        }
        return out;
    }
    // One frame from the device: address, length, data.
    Bytes frame(std::chrono::milliseconds wait = kWait) {
        Bytes head = read(2, wait);
        if (head.size() < 2) return head;
        Bytes body = read(head[1], wait);
        head.insert(head.end(), body.begin(), body.end());
        return head;
    }
    // Writes a request and returns the reply frame.
    Bytes ask(const Bytes& request) {
        write(request);
        return frame();
    }
    // Reads until the stream reports an error other than "not ready" (the link dropped).
    aErr readUntilError(std::chrono::milliseconds wait = kWait) {
        auto deadline = std::chrono::steady_clock::now() + wait;
        while (std::chrono::steady_clock::now() < deadline) {
            uint8_t b;
            aErr e = aStream_Read(s_, &b, 1);
            if (e != aErrNone && e != aErrNotReady) return e;
        }
        return aErrTimeout;
    }
    aErr lastError() const { return err_; }
    aStream* stream() { return s_; }

private:
    aStream* s_;
    aErr err_ = aErrNone;
};

// Waits until the simulated module is off its link and back on it `drops` times in all.
inline bool waitBack(sim::SimulatedModule& dev, uint64_t drops) {
    return dev.waitFor(
        [&](const sim::SimulatedModule::View& v) { return v.stats.linkDrops >= drops && v.linkUp; },
        kWait);
}

} // namespace simtest
