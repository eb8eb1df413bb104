// Round trips per second of a UEI get and its reply through the whole link engine (put, then
// await the reply with a filter) against the simulated module, printed beside a raw ping-pong
// of the same bytes on the same transport, so that the ratio shows what the engine costs.
// Then the CPU one idle open link uses per second of wall time.
#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>
#include <thread>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <termios.h>
#include <unistd.h>

#include "aLink.h"
#include "aStream.h"
#include "sim/module/SimulatedModule.h"

namespace {

using Clock = std::chrono::steady_clock;
constexpr uint8_t kAddress = 2;
constexpr uint8_t kGet[5] = {kAddress, 3, 3, 0x48, 0x20}; // model, by UEI get
constexpr size_t kReplySize = 6;                          // address, 4, 3, option, index, model
constexpr auto kRun = std::chrono::seconds(3);

uint8_t isReply(const aPacket* p, void*) {
    return p->dataSize == 4 && p->data[0] == 3;
}

double engineRate(uint32_t id) {
    aPacket* q = aPacket_CreateWithData(kAddress, 3, kGet + 2);
    uint64_t n = 0;
    const auto start = Clock::now();
    while (Clock::now() - start < kRun) {
        aLink_PutPacket(id, q);
        aPacket* r = aLink_AwaitFirst(id, isReply, nullptr, 2000);
        if (r == nullptr) break;
        aPacket_Destroy(&r);
        ++n;
    }
    aPacket_Destroy(&q);
    return n / std::chrono::duration<double>(Clock::now() - start).count();
}

bool readExactly(int fd, uint8_t* buffer, size_t length) {
    size_t got = 0;
    while (got < length) {
        pollfd p{fd, POLLIN, 0};
        if (::poll(&p, 1, 2000) != 1) return false;
        const ssize_t n = ::read(fd, buffer + got, length - got);
        if (n <= 0) return false;
        got += static_cast<size_t>(n);
    }
    return true;
}

double rawTcpRate(uint16_t port) {
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(port);
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) return 0;
    int one = 1;
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    uint64_t n = 0;
    uint8_t reply[kReplySize];
    const auto start = Clock::now();
    while (Clock::now() - start < kRun) {
        if (::write(fd, kGet, sizeof kGet) != sizeof kGet || !readExactly(fd, reply, sizeof reply))
            break;
        ++n;
    }
    const double rate = n / std::chrono::duration<double>(Clock::now() - start).count();
    ::close(fd);
    return rate;
}

// The same exchange as COBS frames with CRC-8 on the pseudo-terminal.
double rawPtyRate(const std::string& tty) {
    const int fd = ::open(tty.c_str(), O_RDWR | O_NOCTTY);
    if (fd < 0) return 0;
    termios t{};
    ::tcgetattr(fd, &t);
    ::cfmakeraw(&t);
    ::tcsetattr(fd, TCSANOW, &t);
    uint8_t body[sizeof kGet + 1];
    std::memcpy(body, kGet, sizeof kGet);
    body[sizeof kGet] = crc8_create(kGet, sizeof kGet);
    uint8_t frame[COBS_ENCODED_MAX(sizeof body) + 1];
    size_t length = cobs_encode(body, sizeof body, frame);
    frame[length++] = 0;
    uint64_t n = 0;
    const auto start = Clock::now();
    while (Clock::now() - start < kRun) {
        if (::write(fd, frame, length) != static_cast<ssize_t>(length)) break;
        uint8_t b = 1;
        bool ok = true;
        while (ok && b != 0)
            ok = readExactly(fd, &b, 1);
        if (!ok) break;
        ++n;
    }
    const double rate = n / std::chrono::duration<double>(Clock::now() - start).count();
    ::close(fd);
    return rate;
}

double processCpuSeconds() {
    rusage u{};
    ::getrusage(RUSAGE_SELF, &u);
    return u.ru_utime.tv_sec + u.ru_stime.tv_sec + (u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

// CPU seconds per wall second of this process over the interval.
double cpuPerSecond(std::chrono::seconds wall) {
    const double before = processCpuSeconds();
    const auto start = Clock::now();
    std::this_thread::sleep_for(wall);
    const double elapsed = std::chrono::duration<double>(Clock::now() - start).count();
    return (processCpuSeconds() - before) / elapsed;
}

sim::Description description() {
    sim::Description d;
    d.module.serial = 0x40F5849A;
    d.module.address = kAddress;
    return d;
}

void report(const char* transport, double engine, double raw) {
    std::printf("%-10s engine %9.0f round trips/s   raw %9.0f round trips/s   engine/raw %.2f\n",
                transport, engine, raw, raw > 0 ? engine / raw : 0.0);
}

} // namespace

int main() {
    {
        sim::SimulatedModule dev(description());
        const uint16_t port = dev.listenTcp();
        const double raw = rawTcpRate(port);
        // The module serves one host at a time; the raw client has gone.
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        uint32_t id = aLink_CreateTCPIP(0x40F5849A, htonl(INADDR_LOOPBACK), port);
        const double engine = id != 0 ? engineRate(id) : 0;
        aLink_Destroy(&id);
        report("tcp", engine, raw);
    }
    {
        sim::SimulatedModule dev(description());
        const std::string tty = dev.openPty();
        const double raw = rawPtyRate(tty);
        uint32_t id = aLink_CreateSerial(0x40F5849A, tty.c_str(), 230400);
        const double engine = id != 0 ? engineRate(id) : 0;
        aLink_Destroy(&id);
        report("cobs-pty", engine, raw);
    }
    {
        sim::SimulatedModule dev(description());
        const uint16_t port = dev.listenTcp();
        const double simAlone = cpuPerSecond(std::chrono::seconds(2));
        uint32_t id = aLink_CreateTCPIP(0x40F5849A, htonl(INADDR_LOOPBACK), port);
        const double withLink = cpuPerSecond(std::chrono::seconds(3));
        aLink_Destroy(&id);
        std::printf("idle link  %.4f CPU s per s (process %.4f, simulated module alone %.4f)\n",
                    withLink - simAlone > 0 ? withLink - simAlone : 0.0, withLink, simAlone);
    }
    return 0;
}
