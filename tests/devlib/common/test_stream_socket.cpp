// Socket streams against a listener of the test's own on 127.0.0.1, which plays the module.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <netinet/in.h>
#include <poll.h>
#include <sstream>
#include <string>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

#include "aStream.h"

namespace {

using Clock = std::chrono::steady_clock;
constexpr auto kPatience = std::chrono::seconds(10);
const uint32_t kLoopback = htonl(INADDR_LOOPBACK);

class Listener {
public:
    // Port 0 picks a free one; a given port is taken again after the listener was closed.
    explicit Listener(uint16_t wanted = 0) {
        fd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        const int on = 1;
        setsockopt(fd_, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = kLoopback;
        a.sin_port = htons(wanted);
        if (bind(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 || listen(fd_, 8) != 0) {
            ADD_FAILURE() << "listen: " << std::strerror(errno);
            return;
        }
        socklen_t len = sizeof a;
        getsockname(fd_, reinterpret_cast<sockaddr*>(&a), &len);
        port_ = ntohs(a.sin_port);
    }
    ~Listener() { close(); }
    void close() {
        if (fd_ >= 0) ::close(fd_);
        fd_ = -1;
    }
    uint16_t port() const { return port_; }
    // The next connection, or -1 when none comes within the wait.
    int accept(int waitMs = 10000) {
        pollfd p{fd_, POLLIN, 0};
        if (poll(&p, 1, waitMs) != 1) return -1;
        return ::accept4(fd_, nullptr, nullptr, SOCK_CLOEXEC);
    }

private:
    int fd_ = -1;
    uint16_t port_ = 0;
};

std::string readExact(int fd, size_t n) {
    std::string got;
    const auto end = Clock::now() + kPatience;
    while (got.size() < n && Clock::now() < end) {
        pollfd p{fd, POLLIN, 0};
        if (poll(&p, 1, 100) != 1) continue;
        char buf[512];
        const ssize_t r = recv(fd, buf, std::min(sizeof buf, n - got.size()), 0);
        if (r <= 0) break;
        got.append(buf, r);
    }
    return got;
}

void sendAll(int fd, const std::string& s) {
    ASSERT_EQ(send(fd, s.data(), s.size(), MSG_NOSIGNAL), static_cast<ssize_t>(s.size()));
}

void closeWithReset(int fd) {
    const linger l{1, 0};
    setsockopt(fd, SOL_SOCKET, SO_LINGER, &l, sizeof l);
    close(fd);
}

// The stream's end of the connection to `peer`, as /proc/net/tcp names it.
std::string clientKey(int peer) {
    sockaddr_in client{};
    socklen_t len = sizeof client;
    getpeername(peer, reinterpret_cast<sockaddr*>(&client), &len);
    char key[32];
    std::snprintf(key, sizeof key, "%08X:%04X", client.sin_addr.s_addr, ntohs(client.sin_port));
    return key;
}

// Waits until the kernel shows that end in the given TCP state; 8 is CLOSE_WAIT: the peer's
// close has arrived.
bool waitForState(const std::string& key, int state) {
    const auto end = Clock::now() + kPatience;
    while (Clock::now() < end) {
        std::ifstream tcp("/proc/net/tcp");
        std::string line;
        while (std::getline(tcp, line)) {
            std::istringstream fields(line);
            std::string sl, loc, rem, st;
            fields >> sl >> loc >> rem >> st;
            if (loc == key && std::stoi(st, nullptr, 16) == state) return true;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return false;
}
constexpr int kCloseWait = 8;

aErr writeText(aStream* s, const std::string& text) {
    return aStream_Write(s, reinterpret_cast<const uint8_t*>(text.data()), text.size());
}

std::string readStream(aStream* s, size_t n) {
    std::string got;
    const auto end = Clock::now() + kPatience;
    while (got.size() < n && Clock::now() < end) {
        uint8_t b;
        const aErr err = aStream_Read(s, &b, 1);
        if (err == aErrNone)
            got.push_back(static_cast<char>(b));
        else if (err != aErrNotReady)
            ADD_FAILURE() << "read error " << err;
    }
    return got;
}

class SocketStream : public ::testing::Test {
protected:
    void TearDown() override {
        if (stream != nullptr) aStream_Destroy(&stream);
        if (peer >= 0) close(peer);
    }
    void connect() {
        ASSERT_EQ(aStream_CreateSocket(kLoopback, listener.port(), &stream), aErrNone);
        ASSERT_NE(stream, nullptr);
        peer = listener.accept();
        ASSERT_GE(peer, 0);
    }

    Listener listener;
    aStream* stream = nullptr;
    int peer = -1;
};

TEST_F(SocketStream, SendAndReceive) {
    connect();
    uint8_t b;
    EXPECT_EQ(aStream_Read(stream, &b, 1), aErrNotReady);
    const std::string block("\x02\x03\x00\x01\x02", 5);
    ASSERT_EQ(writeText(stream, block), aErrNone);
    EXPECT_EQ(readExact(peer, block.size()), block);
    ASSERT_EQ(writeText(stream, "Q"), aErrNone); // put-byte
    EXPECT_EQ(readExact(peer, 1), "Q");

    std::string big(100000, '\0');
    for (size_t i = 0; i < big.size(); ++i)
        big[i] = static_cast<char>(i * 31);
    std::thread drain([&] { EXPECT_EQ(readExact(peer, big.size()), big); });
    EXPECT_EQ(writeText(stream, big), aErrNone); // more than the socket buffers hold at once
    drain.join();

    sendAll(peer, std::string("\x04\x00\xFF", 3));
    EXPECT_EQ(readStream(stream, 3), std::string("\x04\x00\xFF", 3));
}

TEST_F(SocketStream, RefusedConnectStoresNoStream) {
    uint16_t unused;
    {
        Listener gone;
        unused = gone.port();
    }
    aStream* s = reinterpret_cast<aStream*>(0x1);
    EXPECT_EQ(aStream_CreateSocket(kLoopback, unused, &s), aErrResource);
    EXPECT_EQ(s, nullptr);
    EXPECT_EQ(aStream_CreateSocket(kLoopback, listener.port(), nullptr), aErrResource);
}

TEST_F(SocketStream, WriteAfterPeerClosedReconnectsAndDeliversTheBlock) {
    connect();
    const std::string key = clientKey(peer);
    close(peer);
    peer = -1;
    ASSERT_TRUE(waitForState(key, kCloseWait));
    uint8_t b;
    EXPECT_EQ(aStream_Read(stream, &b, 1), aErrNotReady); // a closed peer reads as idle
    ASSERT_EQ(writeText(stream, "after close"), aErrNone);
    peer = listener.accept();
    ASSERT_GE(peer, 0);
    EXPECT_EQ(readExact(peer, 11), "after close");
    sendAll(peer, "ok");
    EXPECT_EQ(readStream(stream, 2), "ok");
}

TEST_F(SocketStream, PeerAwayThenBack) {
    connect();
    const uint16_t port = listener.port();
    listener.close();
    const int old = peer;
    peer = -1;
    close(old);
    uint8_t b;
    // The write finds the connection broken and cannot reconnect: the connect's error.
    aErr err = aErrNone;
    for (int i = 0; i < 100 && err == aErrNone; ++i)
        err = writeText(stream, "lost");
    EXPECT_EQ(err, aErrConnection);
    EXPECT_EQ(aStream_Read(stream, &b, 1), aErrConnection);

    Listener back(port);
    ASSERT_EQ(back.port(), port);
    ASSERT_EQ(writeText(stream, "back again"), aErrNone);
    peer = back.accept();
    ASSERT_GE(peer, 0);
    EXPECT_EQ(readExact(peer, 10), "back again");
    sendAll(peer, "hi");
    EXPECT_EQ(readStream(stream, 2), "hi");
}

TEST_F(SocketStream, ReaderReconnectsAfterReset) {
    connect();
    closeWithReset(peer);
    peer = -1;
    const auto end = Clock::now() + kPatience;
    while (peer < 0 && Clock::now() < end) {
        uint8_t b;
        const aErr err = aStream_Read(stream, &b, 1);
        ASSERT_TRUE(err == aErrNotReady) << err;
        peer = listener.accept(0);
    }
    ASSERT_GE(peer, 0);
    sendAll(peer, "fresh");
    EXPECT_EQ(readStream(stream, 5), "fresh");
}

// The reading and the writing thread keep going across a reset: one new connection is
// made, it carries whole blocks only, and the reader gets what the new peer sends.
TEST_F(SocketStream, ReaderAndWriterAcrossReconnect) {
    connect();
    std::atomic<bool> stop{false};
    std::string received;
    std::atomic<int> badReads{0};
    std::thread reader([&] {
        const auto end = Clock::now() + kPatience;
        while (!stop && received.size() < 3 && Clock::now() < end) {
            uint8_t b;
            const aErr err = aStream_Read(stream, &b, 1);
            if (err == aErrNone)
                received.push_back(static_cast<char>(b));
            else if (err != aErrNotReady)
                ++badReads;
        }
    });
    const std::string block = "B1234";
    ASSERT_EQ(writeText(stream, block), aErrNone);
    EXPECT_EQ(readExact(peer, block.size()), block);
    closeWithReset(peer);
    peer = -1;
    const auto end = Clock::now() + kPatience;
    while (peer < 0 && Clock::now() < end) {
        const aErr err = writeText(stream, block);
        EXPECT_TRUE(err == aErrNone) << err;
        peer = listener.accept(10);
    }
    ASSERT_GE(peer, 0);
    ASSERT_EQ(writeText(stream, block), aErrNone);
    // Whole blocks only: the new peer never sees the tail of one begun on the old connection.
    const std::string first = readExact(peer, block.size());
    EXPECT_EQ(first, block);
    sendAll(peer, "xyz");
    reader.join();
    stop = true;
    EXPECT_EQ(received, "xyz");
    EXPECT_EQ(badReads, 0);
    EXPECT_LT(listener.accept(200), 0); // no second reconnect
}

} // namespace
