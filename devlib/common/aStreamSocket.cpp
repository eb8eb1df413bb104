/*
 * TCP socket streams to networked modules. The stream reconnects by itself when the
 * connection breaks and stays usable.
 *
 * The reading and the writing thread share one descriptor. A reconnect keeps its number:
 * the old connection is dropped by putting an unconnected socket in its place and the new
 * connection is then put there too, so the other thread never uses a closed or reused
 * descriptor. Reconnects are serialised, and one that the other thread has just done is not
 * repeated.
 */
#include <arpa/inet.h>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <fcntl.h>
#include <linux/sockios.h>
#include <mutex>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <new>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

#include "aStream.h"

namespace {

constexpr uint16_t kSocketCheck = 0xDEAD;
constexpr uint32_t kConnected = 0x1;
constexpr auto kClosePause = std::chrono::milliseconds(10);
// How long a closing stream waits for the peer to take what was written.
constexpr auto kCloseDrainLimit = std::chrono::milliseconds(2000);
constexpr auto kCloseDrainStep = std::chrono::milliseconds(1);

struct SocketState {
    uint16_t port = 0;
    sockaddr_in address{};
    std::atomic<int> fd{-1};
    std::atomic<uint32_t> flags{0};
    uint16_t check = 0;
    std::mutex reconnect;
    std::atomic<uint32_t> generation{0}; // counts reconnects
};

inline SocketState* sSocketState(void* ref) {
    auto* state = static_cast<SocketState*>(ref);
    return state != nullptr && state->check == kSocketCheck ? state : nullptr;
}

inline bool sConnected(const SocketState* state) {
    return (state->flags.load() & kConnected) != 0;
}

inline void sSetConnected(SocketState* state, bool connected) {
    if (connected)
        state->flags.fetch_or(kConnected);
    else
        state->flags.fetch_and(~kConnected);
}

inline bool sBrokenConnection(int e) {
    return e == ECONNRESET || e == ENOTCONN || e == ETIMEDOUT;
}

aErr sSocketStreamSetOptions(int fd) {
    const int on = 1;
    const timeval noTimeout{0, 0};
    const linger resetOnClose{1, 0};
    if (::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on) != 0 ||
        ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &noTimeout, sizeof noTimeout) != 0 ||
        ::setsockopt(fd, SOL_SOCKET, SO_LINGER, &resetOnClose, sizeof resetOnClose) != 0)
        return aErrIO;
    const int fl = ::fcntl(fd, F_GETFL);
    if (fl < 0 || ::fcntl(fd, F_SETFL, fl | O_NONBLOCK) != 0) return aErrIO;
    return aErrNone;
}

aErr sConnectError(int e) {
    return e == ECONNREFUSED || e == ECONNRESET || e == ETIMEDOUT || e == EWOULDBLOCK || e == EAGAIN
               ? aErrConnection
               : aErrIO;
}

// A new connected socket in *out. The connect is bounded so that a reconnect to a host
// that has gone away does not hold the writer for the system's minutes-long time-out.
aErr sSocketConnect(const SocketState* state, int* out) {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd < 0) return aErrIO;
    int e = 0;
    if (::connect(fd, reinterpret_cast<const sockaddr*>(&state->address), sizeof state->address) !=
        0) {
        e = errno;
        if (e == EINPROGRESS) {
            pollfd p{fd, POLLOUT, 0};
            int ready;
            do {
                ready = ::poll(&p, 1, aSOCKET_CONNECT_TIMEOUT_MS);
            } while (ready < 0 && errno == EINTR);
            socklen_t len = sizeof e;
            if (ready == 0)
                e = ETIMEDOUT;
            else if (ready < 0 || ::getsockopt(fd, SOL_SOCKET, SO_ERROR, &e, &len) != 0)
                e = errno;
        }
    }
    if (e != 0) {
        ::close(fd);
        return sConnectError(e);
    }
    const aErr err = sSocketStreamSetOptions(fd);
    if (err != aErrNone) {
        ::close(fd);
        return err;
    }
    *out = fd;
    return aErrNone;
}

// Replaces the connection unless another reconnect happened since `seen` was read.
aErr sSocketStreamReset(SocketState* state, uint32_t seen) {
    std::lock_guard<std::mutex> lock(state->reconnect);
    if (state->generation.load() != seen) return sConnected(state) ? aErrNone : aErrConnection;
    const int old = state->fd.load();
    if (old >= 0) {
        // Drop the old connection first: a module may accept one connection at a time.
        sSetConnected(state, false);
        const int placeholder = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
        if (placeholder >= 0) {
            ::dup2(placeholder, old);
            ::close(placeholder);
        } else {
            ::shutdown(old, SHUT_RDWR);
        }
        std::this_thread::sleep_for(kClosePause);
    }
    int fresh = -1;
    const aErr err = sSocketConnect(state, &fresh);
    if (err == aErrNone) {
        if (old >= 0) {
            ::dup2(fresh, old);
            ::close(fresh);
        } else {
            state->fd.store(fresh);
        }
        sSetConnected(state, true);
    }
    // Counted once in place, so that whoever found the connection broken meanwhile waits for
    // this attempt instead of making another.
    state->generation.fetch_add(1);
    return err;
}

aErr sSocketGet(uint8_t* byte, void* ref) {
    SocketState* state = sSocketState(ref);
    if (state == nullptr) return aErrParam;
    if (!sConnected(state)) {
        // While the writer reconnects the input is merely not ready.
        std::unique_lock<std::mutex> lock(state->reconnect, std::try_to_lock);
        if (!lock.owns_lock() || sConnected(state)) return aErrNotReady;
        return aErrConnection;
    }
    const uint32_t seen = state->generation.load();
    const int fd = state->fd.load();
    // Wait a moment for input, so that an idle reader sleeps instead of spinning.
    pollfd p{fd, POLLIN, 0};
    const int ready = ::poll(&p, 1, aSTREAM_INPUT_WAIT_MS);
    if (ready == 0 || (ready < 0 && errno == EINTR)) return aErrNotReady;

    ssize_t n = ::recv(fd, byte, 1, MSG_PEEK | MSG_DONTWAIT);
    if (n < 0) {
        const int e = errno;
        if (e == EAGAIN || e == EWOULDBLOCK || e == EINTR) return aErrNotReady;
        if (!sBrokenConnection(e)) return aErrConnection;
        sSetConnected(state, false);
        const aErr err = sSocketStreamReset(state, seen);
        if (err != aErrNone) return err;
        n = ::recv(fd, byte, 1, MSG_PEEK | MSG_DONTWAIT);
        if (n < 0) return errno == EAGAIN || errno == EWOULDBLOCK ? aErrNotReady : aErrConnection;
    }
    if (n == 0) {
        // The peer has closed; the next write reconnects. Until then the socket reads as
        // ready at once, so pause as an idle read would.
        std::this_thread::sleep_for(std::chrono::milliseconds(aSTREAM_INPUT_WAIT_MS));
        return aErrNotReady;
    }
    n = ::recv(fd, byte, 1, MSG_DONTWAIT);
    if (n == 1) return aErrNone;
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return aErrEOF;
    if (n < 0 && sBrokenConnection(errno)) return aErrNotReady;
    return aErrIO;
}

aErr sSocketWrite(const uint8_t* data, size_t length, void* ref) {
    SocketState* state = sSocketState(ref);
    if (state == nullptr) return aErrParam;
    uint32_t seen = state->generation.load();
    if (!sConnected(state)) {
        // A peer that was away when the connection last broke may be back.
        const aErr err = sSocketStreamReset(state, seen);
        if (err != aErrNone) return err;
    } else {
        // A peer that closed its end is otherwise noticed only by the second send after it,
        // and the first one would be lost.
        pollfd p{state->fd.load(), POLLRDHUP, 0};
        if (::poll(&p, 1, 0) > 0 && (p.revents & (POLLRDHUP | POLLHUP | POLLERR)) != 0) {
            sSetConnected(state, false);
            const aErr err = sSocketStreamReset(state, seen);
            if (err != aErrNone) return err;
        }
    }
    size_t sent = 0;
    for (int attempt = 1;; ++attempt) {
        bool wait = true;
        seen = state->generation.load(); // so that a reconnect by the reader is not repeated
        const int fd = state->fd.load();
        const ssize_t n = ::send(fd, data + sent, length - sent, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n >= 0) {
            sent += static_cast<size_t>(n);
            if (sent == length) return aErrNone;
            attempt = 1;
        } else if (errno == EPIPE || errno == ECONNRESET || errno == ENOTCONN) {
            sSetConnected(state, false);
            const aErr err = sSocketStreamReset(state, seen);
            if (err != aErrNone) return err;
            sent = 0; // the peer on the new connection gets whole blocks only
            wait = false;
        } else if (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) {
            return aErrIO;
        }
        if (attempt >= aSOCKET_MAX_SEND_RETRY) return aErrBusy;
        if (wait) {
            pollfd p{state->fd.load(), POLLOUT, 0};
            ::poll(&p, 1, aSOCKET_RETRY_DELAY_MS);
        }
    }
}

aErr sSocketPut(const uint8_t* byte, void* ref) {
    return sSocketWrite(byte, 1, ref);
}

// The close resets the connection, and a reset throws away whatever the kernel has not yet
// sent, such as the last frames a stopping link wrote. So the close waits, bounded, until the
// peer has acknowledged everything; a peer that has reset or vanished ends the wait early or
// at the limit.
void sSocketDrain(int fd) {
    const auto until = std::chrono::steady_clock::now() + kCloseDrainLimit;
    int queued = 0;
    while (::ioctl(fd, SIOCOUTQ, &queued) == 0 && queued > 0 &&
           std::chrono::steady_clock::now() < until) {
        int e = 0;
        socklen_t len = sizeof e;
        if (::getsockopt(fd, SOL_SOCKET, SO_ERROR, &e, &len) != 0 || e != 0) return;
        std::this_thread::sleep_for(kCloseDrainStep);
    }
}

aErr sSocketDelete(void* ref) {
    SocketState* state = sSocketState(ref);
    if (state == nullptr) return aErrIO;
    const int fd = state->fd.exchange(-1);
    if (fd >= 0) {
        if (sConnected(state)) sSocketDrain(fd);
        sSetConnected(state, false);
        ::close(fd);
        std::this_thread::sleep_for(kClosePause);
    }
    state->check = 0;
    delete state;
    return aErrNone;
}

} // namespace

extern "C" aErr aStream_CreateSocket(uint32_t ipAddress, uint16_t port, aStream** streamAddress) {
    if (streamAddress == nullptr) return aErrResource;
    *streamAddress = nullptr;
    auto* state = new (std::nothrow) SocketState;
    if (state == nullptr) return aErrResource;
    state->port = port;
    state->address.sin_family = AF_INET;
    state->address.sin_port = htons(port);
    state->address.sin_addr.s_addr = ipAddress;
    state->check = kSocketCheck;
    if (sSocketStreamReset(state, state->generation.load()) != aErrNone) {
        sSocketDelete(state);
        return aErrResource;
    }
    aStream* stream = aStream_Create(sSocketGet, sSocketPut, sSocketWrite, sSocketDelete, state);
    if (stream == nullptr) {
        sSocketDelete(state);
        return aErrResource;
    }
    *streamAddress = stream;
    return aErrNone;
}
