// Throughput of COBS+CRC framing through the framing stream, and the CPU an idle serial and
// socket read loop costs per second of wall time.
#include <arpa/inet.h>
#include <chrono>
#include <cstdio>
#include <ctime>
#include <netinet/in.h>
#include <pty.h>
#include <sys/socket.h>
#include <unistd.h>
#include <vector>

#include "aStream.h"

namespace {

using Clock = std::chrono::steady_clock;

struct Memory {
    std::vector<uint8_t> wire;
    size_t pos = 0;
    size_t frames = 0;
};

aErr sCount(const uint8_t*, size_t, void* ref) {
    ++static_cast<Memory*>(ref)->frames;
    return aErrNone;
}
aErr sCollect(const uint8_t* data, size_t length, void* ref) {
    auto* m = static_cast<Memory*>(ref);
    m->wire.insert(m->wire.end(), data, data + length);
    return aErrNone;
}
aErr sReplay(uint8_t* byte, void* ref) {
    auto* m = static_cast<Memory*>(ref);
    if (m->pos == m->wire.size()) m->pos = 0;
    *byte = m->wire[m->pos++];
    return aErrNone;
}

double seconds(Clock::time_point a, Clock::time_point b) {
    return std::chrono::duration<double>(b - a).count();
}

double threadCpu() {
    timespec t;
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
    return t.tv_sec + t.tv_nsec * 1e-9;
}

void benchEncode(const std::vector<uint8_t>& packet, const char* name) {
    Memory sink;
    aStream* s = nullptr;
    aStream_CreateCobsEncoding(nullptr, nullptr, sCount, nullptr, &sink, &s);
    const size_t n = 2000000;
    const auto t0 = Clock::now();
    for (size_t i = 0; i < n; ++i)
        aStream_Write(s, packet.data(), packet.size());
    const double dt = seconds(t0, Clock::now());
    std::printf("cobs+crc encode %-9s %10.0f frames/s\n", name, sink.frames / dt);
    aStream_Destroy(&s);
}

void benchDecode(const std::vector<uint8_t>& packet, const char* name) {
    Memory m;
    aStream* enc = nullptr;
    aStream_CreateCobsEncoding(nullptr, nullptr, sCollect, nullptr, &m, &enc);
    aStream_Write(enc, packet.data(), packet.size());
    aStream_Destroy(&enc);
    aStream* s = nullptr;
    aStream_CreateCobsEncoding(sReplay, nullptr, nullptr, nullptr, &m, &s);
    const size_t frames = 1000000;
    size_t got = 0;
    const auto t0 = Clock::now();
    while (got < frames * packet.size()) {
        uint8_t b;
        if (aStream_Read(s, &b, 1) == aErrNone) ++got;
    }
    const double dt = seconds(t0, Clock::now());
    std::printf("cobs+crc decode %-9s %10.0f frames/s\n", name, frames / dt);
    aStream_Destroy(&s);
}

// CPU seconds per wall second of a loop that reads an idle stream for `wall` seconds.
void benchIdle(aStream* s, const char* name, double wall) {
    const double c0 = threadCpu();
    const auto t0 = Clock::now();
    size_t calls = 0;
    while (seconds(t0, Clock::now()) < wall) {
        uint8_t b;
        aStream_Read(s, &b, 1);
        ++calls;
    }
    const double cpu = threadCpu() - c0;
    const double dt = seconds(t0, Clock::now());
    std::printf("idle read loop  %-9s %10.4f cpu s per wall s (%zu reads/s)\n", name, cpu / dt,
                static_cast<size_t>(calls / dt));
}

} // namespace

int main() {
    std::vector<uint8_t> small{0x02, 0x01, 0x00};
    std::vector<uint8_t> full{0x04, 28};
    for (int i = 0; i < 28; ++i)
        full.push_back(static_cast<uint8_t>(i * 9));
    benchEncode(small, "3 bytes");
    benchEncode(full, "30 bytes");
    benchDecode(small, "3 bytes");
    benchDecode(full, "30 bytes");

    int master, slave;
    char name[256];
    if (openpty(&master, &slave, name, nullptr, nullptr) == 0) {
        aStream* raw = nullptr;
        aStream* framed = nullptr;
        if (aStream_CreateSerial(name, 6, 0, 0, 0, &raw) == aErrNone) {
            benchIdle(raw, "serial", 2.0);
            aStream_Destroy(&raw);
        }
        if (aStream_CreateSerial_Packetized(name, 6, 0, 0, 0, &framed) == aErrNone) {
            benchIdle(framed, "cobs", 2.0);
            aStream_Destroy(&framed);
        }
        close(master);
        close(slave);
    }

    const int listener = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof a;
    if (bind(listener, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0 &&
        listen(listener, 1) == 0 &&
        getsockname(listener, reinterpret_cast<sockaddr*>(&a), &len) == 0) {
        aStream* sock = nullptr;
        if (aStream_CreateSocket(htonl(INADDR_LOOPBACK), ntohs(a.sin_port), &sock) == aErrNone) {
            const int peer = accept(listener, nullptr, nullptr);
            benchIdle(sock, "socket", 2.0);
            aStream_Destroy(&sock);
            close(peer);
        }
    }
    close(listener);
    return 0;
}
