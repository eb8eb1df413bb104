// The far end of a link under test, scripted byte by byte: a loopback TCP listener, or the
// master side of a pseudo-terminal speaking COBS frames. It records every frame the host sent
// and sends whatever frames (well-formed or not) a test hands it.
#pragma once

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstring>
#include <functional>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <pty.h>
#include <sys/socket.h>
#include <termios.h>
#include <unistd.h>

#include "aLink.h"
#include "aStream.h"

namespace linktest {

using Bytes = std::vector<uint8_t>;
using namespace std::chrono_literals;

inline constexpr auto kWait = std::chrono::seconds(10);

inline uint32_t loopback() {
    return htonl(INADDR_LOOPBACK);
}

class Peer {
public:
    virtual ~Peer() { stopReader(); }

    // A new host-side stream onto this peer; null on failure.
    virtual aStream* openHostStream() = 0;
    // Sends one frame's bytes as they are (over COBS: as one COBS frame).
    virtual void send(const Bytes& frame) = 0;
    virtual const char* name() const = 0;

    // Every frame the host sent, in order.
    std::vector<Bytes> frames() {
        std::lock_guard<std::mutex> lock(mu_);
        return frames_;
    }
    bool waitFor(const std::function<bool(const std::vector<Bytes>&)>& pred,
                 std::chrono::milliseconds timeout = kWait) {
        std::unique_lock<std::mutex> lock(mu_);
        return changed_.wait_for(lock, timeout, [&] { return pred(frames_); });
    }
    size_t count(const Bytes& frame) {
        std::lock_guard<std::mutex> lock(mu_);
        size_t n = 0;
        for (const Bytes& f : frames_)
            n += f == frame;
        return n;
    }
    bool waitCount(const Bytes& frame, size_t atLeast, std::chrono::milliseconds timeout = kWait) {
        return waitFor(
            [&](const std::vector<Bytes>& fs) {
                size_t n = 0;
                for (const Bytes& f : fs)
                    n += f == frame;
                return n >= atLeast;
            },
            timeout);
    }

protected:
    // Reads bytes from fd until stopped; onBytes turns them into frames under the lock.
    void startReader(int fd) {
        fd_ = fd;
        reader_ = std::thread([this] {
            uint8_t buffer[4096];
            while (!stop_) {
                pollfd p{fd_, POLLIN, 0};
                if (::poll(&p, 1, 20) <= 0) continue;
                const ssize_t n = ::read(fd_, buffer, sizeof buffer);
                if (n <= 0) {
                    if (n == 0 || (errno != EAGAIN && errno != EINTR))
                        std::this_thread::sleep_for(5ms);
                    continue;
                }
                std::lock_guard<std::mutex> lock(mu_);
                onBytes(buffer, static_cast<size_t>(n));
                changed_.notify_all();
            }
        });
    }
    void stopReader() {
        stop_ = true;
        if (reader_.joinable()) reader_.join();
    }
    virtual void onBytes(const uint8_t* data, size_t length) = 0;
    void addFrame(Bytes frame) { frames_.push_back(std::move(frame)); }

    std::mutex mu_;
    std::condition_variable changed_;
    std::vector<Bytes> frames_;
    int fd_ = -1;
    std::atomic<bool> stop_{false};
    std::thread reader_;
};

// Raw frames over TCP on 127.0.0.1; serves one connection at a time.
class TcpPeer final : public Peer {
public:
    TcpPeer() {
        listenFd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = loopback();
        socklen_t len = sizeof a;
        if (listenFd_ < 0 || ::bind(listenFd_, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 ||
            ::listen(listenFd_, 4) != 0 ||
            ::getsockname(listenFd_, reinterpret_cast<sockaddr*>(&a), &len) != 0)
            throw std::runtime_error("loopback listener");
        port_ = ntohs(a.sin_port);
    }
    ~TcpPeer() override {
        stopReader();
        if (conn_ >= 0) ::close(conn_);
        ::close(listenFd_);
    }
    uint16_t port() const { return port_; }
    const char* name() const override { return "tcp"; }

    aStream* openHostStream() override {
        aStream* s = nullptr;
        if (aStream_CreateSocket(loopback(), port_, &s) != aErrNone) return nullptr;
        pollfd p{listenFd_, POLLIN, 0};
        if (::poll(&p, 1, 5000) != 1) return s;
        conn_ = ::accept4(listenFd_, nullptr, nullptr, SOCK_CLOEXEC);
        int one = 1;
        ::setsockopt(conn_, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
        startReader(conn_);
        return s;
    }
    void send(const Bytes& frame) override {
        if (::write(conn_, frame.data(), frame.size()) != static_cast<ssize_t>(frame.size()))
            throw std::runtime_error("peer write");
    }

private:
    // Host frames are always well formed, so the byte run splits into frames by their lengths.
    void onBytes(const uint8_t* data, size_t length) override {
        pending_.insert(pending_.end(), data, data + length);
        size_t at = 0;
        while (pending_.size() - at >= 2 && pending_.size() - at >= pending_[at + 1] + 2u) {
            const size_t n = pending_[at + 1] + 2u;
            addFrame(Bytes(pending_.begin() + at, pending_.begin() + at + n));
            at += n;
        }
        pending_.erase(pending_.begin(), pending_.begin() + at);
    }

    int listenFd_ = -1;
    int conn_ = -1;
    uint16_t port_ = 0;
    Bytes pending_;
};

// COBS frames with CRC-8 on a pseudo-terminal; the host opens the slave.
class PtyPeer final : public Peer {
public:
    PtyPeer() {
        int slave = -1;
        char path[256] = {};
        if (::openpty(&master_, &slave, path, nullptr, nullptr) != 0)
            throw std::runtime_error("openpty");
        termios t{};
        ::tcgetattr(master_, &t);
        ::cfmakeraw(&t);
        ::tcsetattr(master_, TCSANOW, &t);
        path_ = path;
        // Keeping a slave descriptor open keeps the line up while the host reopens it.
        slave_ = slave;
        startReader(master_);
    }
    ~PtyPeer() override {
        stopReader();
        ::close(slave_);
        ::close(master_);
    }
    const std::string& path() const { return path_; }
    const char* name() const override { return "cobs-pty"; }

    aStream* openHostStream() override {
        aStream* s = nullptr;
        return aStream_CreateSerial_Packetized(path_.c_str(), 6, 0, 0, 0, &s) == aErrNone ? s
                                                                                          : nullptr;
    }
    void send(const Bytes& frame) override {
        Bytes body = frame;
        body.push_back(crc8_create(body.data(), body.size()));
        Bytes wire(COBS_ENCODED_MAX(body.size()) + 1);
        const size_t n = cobs_encode(body.data(), body.size(), wire.data());
        wire.resize(n);
        wire.push_back(0);
        if (::write(master_, wire.data(), wire.size()) != static_cast<ssize_t>(wire.size()))
            throw std::runtime_error("peer write");
    }

private:
    void onBytes(const uint8_t* data, size_t length) override {
        for (size_t i = 0; i < length; ++i) {
            if (data[i] != 0) {
                body_.push_back(data[i]);
                continue;
            }
            Bytes decoded(body_.size() + 1);
            const size_t m = cobs_decode(body_.data(), body_.size(), decoded.data());
            body_.clear();
            if (m < 3 || !crc8_check(decoded.data(), m - 1, decoded[m - 1])) continue;
            addFrame(Bytes(decoded.begin(), decoded.begin() + static_cast<long>(m - 1)));
        }
    }

    int master_ = -1;
    int slave_ = -1;
    std::string path_;
    Bytes body_;
};

inline std::unique_ptr<Peer> makePeer(const std::string& kind) {
    if (kind == "tcp") return std::make_unique<TcpPeer>();
    return std::make_unique<PtyPeer>();
}

inline const Bytes kSyncRequest{0xAD, 0x00};
inline const Bytes kRouteOn{0xAF, 0x01, 0x01};
inline const Bytes kRouteOff{0xAF, 0x01, 0x00};

inline aPacket* makePacket(const Bytes& frame) {
    return aPacket_CreateWithData(frame[0], static_cast<uint8_t>(frame.size() - 2),
                                  frame.data() + 2);
}

inline Bytes wire(const aPacket* p) {
    Bytes b(2u + p->dataSize);
    b[0] = p->address;
    b[1] = p->dataSize;
    std::copy(p->data, p->data + p->dataSize, b.begin() + 2);
    return b;
}

// Polls a condition of the library (status words have no notification) with a generous bound.
inline bool eventually(const std::function<bool()>& condition,
                       std::chrono::milliseconds timeout = kWait) {
    const auto until = std::chrono::steady_clock::now() + timeout;
    while (!condition()) {
        if (std::chrono::steady_clock::now() >= until) return false;
        std::this_thread::sleep_for(2ms);
    }
    return true;
}

} // namespace linktest
