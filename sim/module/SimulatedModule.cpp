#include "sim/module/SimulatedModule.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <ifaddrs.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <pty.h>
#include <sys/socket.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <deque>
#include <fstream>
#include <set>
#include <stdexcept>

namespace sim {

namespace {

constexpr int kInProcessWaitMs = 20;
constexpr uint16_t kDiscoveryPort = 9888;
constexpr uint16_t kDiscoveryReplyPort = 9889;
constexpr const char* kDiscoveryGroup = "232.2.2.2";

std::string hex(const Bytes& b) {
    std::string s;
    char buf[4];
    for (size_t i = 0; i < b.size(); ++i) {
        std::snprintf(buf, sizeof buf, i ? " %02X" : "%02X", b[i]);
        s += buf;
    }
    return s;
}

void closeFd(int& fd) {
    if (fd >= 0) ::close(fd);
    fd = -1;
}

std::runtime_error sysError(const std::string& what) {
    return std::runtime_error(what + ": " + std::strerror(errno));
}

} // namespace

// ---- the in-process pair -------------------------------------------------------------------

// Shared between the simulated module and every host stream made from it, so that either
// may go first.
struct SimulatedModule::Pipe {
    std::mutex m;
    std::condition_variable cv;
    std::deque<uint8_t> toHost;
    bool down = false;
    bool busy = false;
    bool closed = false; // the simulated module is gone
    int writers = 0;     // host writes inside the module right now
    SimulatedModule* owner = nullptr;
};

namespace {

struct StreamRef {
    std::shared_ptr<SimulatedModule::Pipe> pipe;
};

aErr pipeGet(uint8_t* byte, void* ref) {
    auto& p = *static_cast<StreamRef*>(ref)->pipe;
    std::unique_lock lock(p.m);
    p.cv.wait_for(lock, std::chrono::milliseconds(kInProcessWaitMs),
                  [&] { return !p.toHost.empty() || p.down || p.closed || p.busy; });
    // Bytes sent before the link dropped are still delivered, as a wire would.
    if (!p.toHost.empty() && !p.busy) {
        *byte = p.toHost.front();
        p.toHost.pop_front();
        return aErrNone;
    }
    if (p.closed || p.down) return aErrIO;
    if (p.busy) return aErrBusy;
    return aErrNotReady;
}

aErr pipeWrite(const uint8_t* data, size_t length, void* ref) {
    auto& p = *static_cast<StreamRef*>(ref)->pipe;
    SimulatedModule* owner;
    {
        std::lock_guard lock(p.m);
        if (p.closed || p.down) return aErrIO;
        if (p.busy) return aErrBusy;
        owner = p.owner;
        ++p.writers;
    }
    bool ok = owner->hostWrite(data, length);
    {
        std::lock_guard lock(p.m);
        --p.writers;
    }
    p.cv.notify_all();
    return ok ? aErrNone : aErrIO;
}

aErr pipePut(const uint8_t* byte, void* ref) {
    return pipeWrite(byte, 1, ref);
}

aErr pipeDelete(void* ref) {
    delete static_cast<StreamRef*>(ref);
    return aErrNone;
}

} // namespace

// ---- life ----------------------------------------------------------------------------------

SimulatedModule::SimulatedModule(Description description)
    : core_(std::move(description), Clock::now()), pipe_(std::make_shared<Pipe>()) {
    address_ = core_.address();
    pipe_->owner = this;
    pipe_->busy = core_.busy();
    if (::pipe2(wakeFd_, O_CLOEXEC | O_NONBLOCK) != 0) throw sysError("pipe");
    worker_ = std::thread([this] { run(); });
}

SimulatedModule::~SimulatedModule() {
    {
        std::unique_lock lock(pipe_->m);
        pipe_->closed = true;
        pipe_->cv.wait(lock, [&] { return pipe_->writers == 0; });
        pipe_->owner = nullptr;
    }
    pipe_->cv.notify_all();
    {
        std::lock_guard lock(mu_);
        stopping_ = true;
    }
    changed_.notify_all();
    uint8_t b = 1;
    if (::write(wakeFd_[1], &b, 1) < 0) { /* the threads also poll with a time-out */
    }
    for (auto* t : {&worker_, &tcpThread_, &ptyThread_, &discoveryThread_})
        if (t->joinable()) t->join();
    closeFd(listenFd_);
    closeFd(clientFd_);
    closeFd(ptyFd_);
    closeFd(ptySlaveFd_);
    closeFd(discoveryFd_);
    closeFd(wakeFd_[0]);
    closeFd(wakeFd_[1]);
}

void SimulatedModule::log(const std::string& line) {
    if (log_) log_(line);
}

void SimulatedModule::setLog(std::function<void(const std::string&)> log) {
    std::lock_guard lock(mu_);
    log_ = std::move(log);
}

void SimulatedModule::run() {
    std::unique_lock lock(mu_);
    while (!stopping_) {
        auto now = Clock::now();
        core_.tick(now);
        flushLocked(lock);
        auto deadline = std::min(core_.nextDeadline(), now + std::chrono::seconds(1));
        changed_.wait_until(lock, deadline);
    }
}

// Called with mu_ held after every change of the core.
void SimulatedModule::flushLocked(std::unique_lock<std::mutex>&) {
    if (log_) {
        for (size_t i = loggedRx_; i < core_.received().size(); ++i)
            log("rx " + hex(core_.received()[i]));
    }
    loggedRx_ = core_.received().size();
    auto out = core_.takeOutput();
    bool linkChange = false;
    for (auto& o : out) {
        switch (o.kind) {
        case Output::Frame:
        case Output::Raw: {
            log((o.kind == Output::Raw ? "tx noise " : "tx ") + hex(o.bytes));
            {
                std::lock_guard pl(pipe_->m);
                pipe_->toHost.insert(pipe_->toHost.end(), o.bytes.begin(), o.bytes.end());
            }
            pipe_->cv.notify_all();
            if (clientFd_ >= 0) {
                size_t off = 0;
                while (off < o.bytes.size()) {
                    ssize_t n =
                        ::send(clientFd_, o.bytes.data() + off, o.bytes.size() - off, MSG_NOSIGNAL);
                    if (n <= 0) break; // the host is gone or stuck: the bytes are lost
                    off += size_t(n);
                }
            }
            if (ptyFd_ >= 0) {
                Bytes wire;
                if (o.kind == Output::Frame) {
                    Bytes body = o.bytes;
                    body.push_back(crc8_create(o.bytes.data(), o.bytes.size()));
                    wire.resize(COBS_ENCODED_MAX(body.size()) + 1);
                    size_t n = cobs_encode(body.data(), body.size(), wire.data());
                    wire.resize(n);
                    wire.push_back(0);
                } else {
                    wire = o.bytes;
                }
                // Nobody reading the line loses the bytes instead of stalling the device.
                if (::write(ptyFd_, wire.data(), wire.size()) < 0) { /* lost */
                }
            }
            break;
        }
        case Output::LinkDown:
        case Output::LinkUp: {
            bool down = o.kind == Output::LinkDown;
            log(down ? "link down" : "link up");
            {
                std::lock_guard pl(pipe_->m);
                pipe_->down = down;
            }
            pipe_->cv.notify_all();
            linkChange = true;
            break;
        }
        }
    }
    if (linkChange) {
        uint8_t b = 1;
        if (::write(wakeFd_[1], &b, 1) < 0) { /* already awake */
        }
    }
    changed_.notify_all();
}

void SimulatedModule::feed(const uint8_t* data, size_t length) {
    std::unique_lock lock(mu_);
    if (stopping_) return;
    core_.receive(data, length, Clock::now());
    flushLocked(lock);
}

bool SimulatedModule::hostWrite(const uint8_t* data, size_t length) {
    std::unique_lock lock(mu_);
    if (stopping_ || !core_.linkUp() || core_.busy()) return false;
    core_.receive(data, length, Clock::now());
    flushLocked(lock);
    return true;
}

size_t SimulatedModule::hostRead(uint8_t* buffer, size_t capacity,
                                 std::chrono::milliseconds timeout) {
    auto& p = *pipe_;
    std::unique_lock lock(p.m);
    p.cv.wait_for(lock, timeout, [&] { return !p.toHost.empty() || p.closed; });
    size_t n = 0;
    while (n < capacity && !p.toHost.empty()) {
        buffer[n++] = p.toHost.front();
        p.toHost.pop_front();
    }
    return n;
}

aStream* SimulatedModule::openInProcess() {
    {
        std::lock_guard lock(pipe_->m);
        pipe_->toHost.clear(); // a new host starts from a quiet line
    }
    auto* ref = new StreamRef{pipe_};
    aStream* s = aStream_Create(pipeGet, pipePut, pipeWrite, pipeDelete, ref);
    if (!s) delete ref;
    return s;
}

// ---- control and observation ---------------------------------------------------------------

void SimulatedModule::addFault(const Fault& fault) {
    std::unique_lock lock(mu_);
    core_.addFault(fault);
    if (fault.kind == FaultKind::Busy) {
        std::lock_guard pl(pipe_->m);
        pipe_->busy = true;
    }
    flushLocked(lock);
}

void SimulatedModule::setBusy(bool busy) {
    std::unique_lock lock(mu_);
    core_.setBusy(busy);
    {
        std::lock_guard pl(pipe_->m);
        pipe_->busy = busy;
    }
    pipe_->cv.notify_all();
    flushLocked(lock);
}

void SimulatedModule::setNextFirmware(uint32_t version, uint32_t build) {
    std::lock_guard lock(mu_);
    core_.setNextFirmware(version, build);
}

bool SimulatedModule::waitFor(const std::function<bool(const View&)>& predicate,
                              std::chrono::milliseconds timeout) {
    std::unique_lock lock(mu_);
    auto deadline = Clock::now() + timeout;
    for (;;) {
        View v{core_.received(), core_.sent(), core_.stats(), core_.linkUp(), core_};
        if (predicate(v)) return true;
        if (changed_.wait_until(lock, deadline) == std::cv_status::timeout) {
            View last{core_.received(), core_.sent(), core_.stats(), core_.linkUp(), core_};
            return predicate(last);
        }
    }
}

void SimulatedModule::inspect(const std::function<void(const View&)>& f) {
    std::lock_guard lock(mu_);
    View v{core_.received(), core_.sent(), core_.stats(), core_.linkUp(), core_};
    f(v);
}

std::vector<Bytes> SimulatedModule::received() {
    std::lock_guard lock(mu_);
    return core_.received();
}

std::vector<Bytes> SimulatedModule::sent() {
    std::lock_guard lock(mu_);
    return core_.sent();
}

LinkStats SimulatedModule::stats() {
    std::lock_guard lock(mu_);
    return core_.stats();
}

bool SimulatedModule::linkUp() {
    std::lock_guard lock(mu_);
    return core_.linkUp();
}

ModuleState SimulatedModule::module(uint8_t address) {
    std::lock_guard lock(mu_);
    const ModuleState* m = core_.module(address ? address : address_);
    if (!m) throw std::out_of_range("no simulated module at that address");
    return *m;
}

bool SimulatedModule::dumpFlash(const std::string& path, uint32_t from, uint32_t length,
                                uint8_t address) {
    ModuleState m = module(address);
    Bytes image(length, 0xFF);
    for (auto& [a, b] : m.flash.segments()) {
        uint64_t lo = std::max<uint64_t>(a, from),
                 hi = std::min<uint64_t>(uint64_t(a) + b.size(), uint64_t(from) + length);
        for (uint64_t x = lo; x < hi; ++x)
            image[x - from] = b[x - a];
    }
    std::ofstream f(path, std::ios::binary | std::ios::trunc);
    f.write(reinterpret_cast<const char*>(image.data()), std::streamsize(image.size()));
    return bool(f);
}

std::vector<std::string> SimulatedModule::dumpFlashSegments(const std::string& prefix,
                                                            uint8_t address) {
    ModuleState m = module(address);
    std::vector<std::string> files;
    for (auto& [a, b] : m.flash.segments()) {
        char name[16];
        std::snprintf(name, sizeof name, "-%08X.bin", a);
        std::string path = prefix + name;
        std::ofstream f(path, std::ios::binary | std::ios::trunc);
        f.write(reinterpret_cast<const char*>(b.data()), std::streamsize(b.size()));
        if (f) files.push_back(path);
    }
    return files;
}

// ---- TCP -----------------------------------------------------------------------------------

namespace {

int openListener(const std::string& address, uint16_t port, uint16_t* bound) {
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_port = htons(port);
    if (::inet_pton(AF_INET, address.c_str(), &sa.sin_addr) != 1)
        throw std::runtime_error("not an IPv4 address: " + address);
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) throw sysError("socket");
    int one = 1;
    ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    if (::bind(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0 || ::listen(fd, 4) != 0) {
        int e = errno;
        ::close(fd);
        errno = e;
        throw sysError("cannot listen on " + address + ":" + std::to_string(port));
    }
    socklen_t len = sizeof sa;
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&sa), &len);
    if (bound) *bound = ntohs(sa.sin_port);
    return fd;
}

} // namespace

uint16_t SimulatedModule::listenTcp(const std::string& address, uint16_t port) {
    std::lock_guard lock(mu_);
    if (listenFd_ >= 0 || tcpThread_.joinable()) throw std::runtime_error("already listening");
    listenFd_ = openListener(address, port, &tcpPort_);
    tcpAddress_ = address;
    tcpThread_ = std::thread([this] { tcpLoop(); });
    return tcpPort_;
}

// Owns the listening and client sockets: only this thread opens or closes them, under mu_.
void SimulatedModule::tcpLoop() {
    Bytes buf(4096);
    for (;;) {
        int lfd, cfd;
        {
            std::lock_guard lock(mu_);
            if (stopping_) return;
            // Across a restart the module is off the network: no connection, no listener.
            if (!core_.linkUp()) {
                if (clientFd_ >= 0) log("tcp: connection closed (link down)");
                closeFd(clientFd_);
                closeFd(listenFd_);
            } else if (listenFd_ < 0) {
                try {
                    listenFd_ = openListener(tcpAddress_, tcpPort_, nullptr);
                } catch (const std::exception& e) {
                    log(std::string("tcp: ") + e.what());
                }
            }
            lfd = listenFd_;
            cfd = clientFd_;
        }
        pollfd fds[3] = {{wakeFd_[0], POLLIN, 0}, {lfd, POLLIN, 0}, {cfd, POLLIN, 0}};
        int r = ::poll(fds, 3, 200);
        if (r < 0 && errno != EINTR) return;
        if (fds[0].revents & POLLIN) {
            uint8_t drain[64];
            while (::read(wakeFd_[0], drain, sizeof drain) > 0) {
            }
        }
        if (lfd >= 0 && (fds[1].revents & POLLIN)) {
            int nfd = ::accept4(lfd, nullptr, nullptr, SOCK_CLOEXEC);
            if (nfd >= 0) {
                std::lock_guard lock(mu_);
                if (core_.busy()) {
                    log("tcp: refused a host (busy)");
                    ::close(nfd);
                } else {
                    int one = 1;
                    ::setsockopt(nfd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
                    timeval tv{1, 0};
                    ::setsockopt(nfd, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
                    // The newest host wins: a reconnecting host replaces a dead connection.
                    if (clientFd_ >= 0) log("tcp: replaced by a new connection");
                    closeFd(clientFd_);
                    clientFd_ = nfd;
                    log("tcp: host connected");
                }
            }
        }
        if (cfd >= 0 && (fds[2].revents & (POLLIN | POLLHUP | POLLERR))) {
            ssize_t n = ::recv(cfd, buf.data(), buf.size(), 0);
            if (n > 0) {
                feed(buf.data(), size_t(n));
            } else if (n == 0 || (errno != EINTR && errno != EAGAIN)) {
                std::lock_guard lock(mu_);
                if (clientFd_ == cfd) {
                    log("tcp: host disconnected");
                    closeFd(clientFd_);
                }
            }
        }
    }
}

// ---- pseudo-terminal -----------------------------------------------------------------------

std::string SimulatedModule::openPty() {
    std::lock_guard lock(mu_);
    if (ptyFd_ >= 0) throw std::runtime_error("pseudo-terminal already open");
    int master, slave;
    char name[256];
    if (::openpty(&master, &slave, name, nullptr, nullptr) != 0) throw sysError("openpty");
    termios t{};
    ::tcgetattr(slave, &t);
    ::cfmakeraw(&t);
    ::tcsetattr(slave, TCSANOW, &t);
    // Keeping our own slave descriptor open keeps the master readable while no host has the
    // line open (the master would otherwise report a hang-up on every read).
    ptySlaveFd_ = slave;
    ::fcntl(master, F_SETFL, ::fcntl(master, F_GETFL) | O_NONBLOCK);
    ::fcntl(master, F_SETFD, FD_CLOEXEC);
    ::fcntl(slave, F_SETFD, FD_CLOEXEC);
    ptyFd_ = master;
    ptyThread_ = std::thread([this] { ptyLoop(); });
    return name;
}

// Frames on the line: COBS of (address, length, data, CRC-8), then a 0x00 delimiter.
void SimulatedModule::ptyLoop() {
    Bytes encoded;
    bool overflow = false;
    uint8_t buf[512];
    for (;;) {
        {
            std::lock_guard lock(mu_);
            if (stopping_) return;
        }
        pollfd fds[2] = {{wakeFd_[0], POLLIN, 0}, {ptyFd_, POLLIN, 0}};
        int r = ::poll(fds, 2, 200);
        if (r < 0 && errno != EINTR) return;
        if (!(fds[1].revents & POLLIN)) continue;
        ssize_t n = ::read(ptyFd_, buf, sizeof buf);
        if (n <= 0) continue;
        for (ssize_t i = 0; i < n; ++i) {
            if (buf[i] != 0) {
                if (encoded.size() < 32)
                    encoded.push_back(buf[i]);
                else
                    overflow = true;
                continue;
            }
            if (encoded.empty()) continue;
            Bytes frame(encoded.size());
            size_t m = overflow ? 0 : cobs_decode(encoded.data(), encoded.size(), frame.data());
            encoded.clear();
            overflow = false;
            if (m > 2 && m == size_t(frame[1]) + 3 &&
                crc8_check(frame.data(), m - 1, frame[m - 1])) {
                std::unique_lock lock(mu_);
                if (core_.busy()) continue;
                core_.receive(frame.data(), m - 1, Clock::now());
                flushLocked(lock);
            } else {
                std::lock_guard lock(mu_);
                log("pty: corrupt frame dropped");
            }
        }
    }
}

// ---- discovery -----------------------------------------------------------------------------

namespace {

// True only inside a namespace made by scripts/netns-run: nothing else may see our replies.
bool inPrivateNamespace(std::string* seen) {
    ifaddrs* list = nullptr;
    if (::getifaddrs(&list) != 0) return false;
    std::set<std::string> names;
    for (auto* a = list; a; a = a->ifa_next)
        names.insert(a->ifa_name);
    ::freeifaddrs(list);
    bool ok = true;
    for (auto& n : names) {
        *seen += n + " ";
        if (n != "lo" && n != "v0" && n != "v1") ok = false;
    }
    return ok;
}

} // namespace

void SimulatedModule::startDiscoveryResponder(const std::string& interfaceAddress) {
    std::string seen;
    if (!inPrivateNamespace(&seen))
        throw std::runtime_error("discovery answers only inside a private network namespace "
                                 "(scripts/netns-run); interfaces here: " +
                                 seen);
    std::lock_guard lock(mu_);
    if (tcpPort_ == 0) throw std::runtime_error("discovery needs the TCP service first");
    if (discoveryFd_ >= 0) throw std::runtime_error("discovery already answering");
    in_addr ifa{};
    if (::inet_pton(AF_INET, interfaceAddress.c_str(), &ifa) != 1)
        throw std::runtime_error("not an IPv4 address: " + interfaceAddress);
    int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0) throw sysError("socket");
    int one = 1;
    ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_port = htons(kDiscoveryPort);
    sa.sin_addr.s_addr = htonl(INADDR_ANY);
    ip_mreq mreq{};
    ::inet_pton(AF_INET, kDiscoveryGroup, &mreq.imr_multiaddr);
    mreq.imr_interface = ifa;
    if (::bind(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0 ||
        ::setsockopt(fd, IPPROTO_IP, IP_ADD_MEMBERSHIP, &mreq, sizeof mreq) != 0) {
        int e = errno;
        ::close(fd);
        errno = e;
        throw sysError("cannot join the discovery group");
    }
    discoveryFd_ = fd;
    discoveryThread_ = std::thread([this] { discoveryLoop(); });
}

void SimulatedModule::discoveryLoop() {
    for (;;) {
        {
            std::lock_guard lock(mu_);
            if (stopping_) return;
        }
        pollfd fds[2] = {{wakeFd_[0], POLLIN, 0}, {discoveryFd_, POLLIN, 0}};
        int r = ::poll(fds, 2, 200);
        if (r < 0 && errno != EINTR) return;
        if (!(fds[1].revents & POLLIN)) continue;
        uint8_t req[64];
        sockaddr_in from{};
        socklen_t len = sizeof from;
        ssize_t n =
            ::recvfrom(discoveryFd_, req, sizeof req, 0, reinterpret_cast<sockaddr*>(&from), &len);
        bool valid = n == 16 && req[0] == 0x01;
        for (ssize_t i = 1; valid && i < n; ++i)
            valid = req[i] == 0;
        if (!valid) continue;
        uint8_t reply[16] = {};
        {
            std::lock_guard lock(mu_);
            if (!core_.linkUp() || core_.busy()) continue;
            const ModuleState* m = core_.module(address_);
            reply[1] = address_;
            reply[2] = uint8_t(tcpPort_);
            reply[3] = uint8_t(tcpPort_ >> 8);
            uint32_t sn = m->identity.serial;
            for (int i = 0; i < 4; ++i)
                reply[4 + i] = uint8_t(sn >> (8 * i));
            reply[12] = m->identity.model;
            log("discovery: answered " + std::string(inet_ntoa(from.sin_addr)));
        }
        sockaddr_in to = from;
        to.sin_port = htons(kDiscoveryReplyPort);
        ::sendto(discoveryFd_, reply, sizeof reply, 0, reinterpret_cast<sockaddr*>(&to), sizeof to);
    }
}

} // namespace sim
