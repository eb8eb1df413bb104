// Hand-over cost of the packet FIFO as a link uses it: one thread puts, another
// waits in aPacketFifo_AwaitFirst with a filter, while 0, 1, 10 or 100 packets
// the filter rejects stay held. Prints figures; passes or fails on nothing.
#include "packetfifo.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <thread>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

constexpr uint8_t kReject = 1;
constexpr uint8_t kAccept = 2;
constexpr int kLatencyRounds = 20000;
constexpr int kStreamPackets = 200000;
constexpr size_t kStreamWindow = 256; // kept far below the FIFO's capacity

struct FilterStats {
    uint64_t calls = 0;
};

uint8_t acceptTagged(const aPacket* packet, void* ref) {
    ++static_cast<FilterStats*>(ref)->calls;
    return packet->data[0] == kAccept;
}

int64_t nowNs() {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now().time_since_epoch())
        .count();
}

void putStamped(aPacketFifo fifo, aPacket* packet) {
    const int64_t stamp = nowNs();
    std::memcpy(packet->data + 1, &stamp, sizeof stamp);
    aPacketFifo_Put(fifo, packet);
}

aPacketFifo makeFifo(int held) {
    aPacketFifo fifo = aPacketFifo_Create();
    const uint8_t data[12] = {kReject};
    aPacket* packet = aPacket_CreateWithData(0x04, sizeof data, data);
    for (int i = 0; i < held; ++i)
        aPacketFifo_Put(fifo, packet);
    aPacket_Destroy(&packet);
    return fifo;
}

// One packet in flight at a time: the figure is the wake-up latency of a
// waiter, from just before the put to the moment AwaitFirst returns it.
void pingPong(int held) {
    aPacketFifo fifo = makeFifo(held);
    std::vector<int64_t> latencies;
    latencies.reserve(kLatencyRounds);
    std::atomic<int> taken{0};
    FilterStats stats;

    std::thread consumer([&] {
        for (int i = 0; i < kLatencyRounds; ++i) {
            aPacket* p = aPacketFifo_AwaitFirst(fifo, acceptTagged, &stats, 10000);
            const int64_t end = nowNs();
            if (!p) break;
            int64_t stamp;
            std::memcpy(&stamp, p->data + 1, sizeof stamp);
            latencies.push_back(end - stamp);
            aPacket_Destroy(&p);
            taken.store(i + 1, std::memory_order_release);
        }
    });
    const uint8_t data[12] = {kAccept};
    aPacket* packet = aPacket_CreateWithData(0x04, sizeof data, data);
    const auto start = Clock::now();
    for (int i = 0; i < kLatencyRounds; ++i) {
        putStamped(fifo, packet);
        while (taken.load(std::memory_order_acquire) <= i)
            std::this_thread::yield();
    }
    const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    consumer.join();
    aPacket_Destroy(&packet);
    aPacketFifo_Destroy(&fifo);

    std::sort(latencies.begin(), latencies.end());
    auto pct = [&](double q) {
        return latencies[static_cast<size_t>(q * static_cast<double>(latencies.size() - 1))] /
               1000.0;
    };
    std::printf("  ping-pong  held %3d: %9.0f hand-overs/s  wake-up median %7.2f us  p90 %7.2f us"
                "  p99 %8.2f us  filter calls/take %6.1f\n",
                held, kLatencyRounds / seconds, pct(0.5), pct(0.9), pct(0.99),
                static_cast<double>(stats.calls) / kLatencyRounds);
}

// The reader thread of a busy link: puts as fast as the taker keeps up.
void stream(int held) {
    aPacketFifo fifo = makeFifo(held);
    std::atomic<int> taken{0};
    FilterStats stats;
    std::thread consumer([&] {
        for (int i = 0; i < kStreamPackets; ++i) {
            aPacket* p = aPacketFifo_AwaitFirst(fifo, acceptTagged, &stats, 10000);
            if (!p) break;
            aPacket_Destroy(&p);
            taken.store(i + 1, std::memory_order_release);
        }
    });
    const uint8_t data[12] = {kAccept};
    aPacket* packet = aPacket_CreateWithData(0x04, sizeof data, data);
    const auto start = Clock::now();
    for (int i = 0; i < kStreamPackets; ++i) {
        while (i - taken.load(std::memory_order_acquire) >= static_cast<int>(kStreamWindow))
            std::this_thread::yield();
        aPacketFifo_Put(fifo, packet);
    }
    consumer.join();
    const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    aPacket_Destroy(&packet);
    aPacketFifo_Destroy(&fifo);
    std::printf("  streaming  held %3d: %9.0f packets/s    filter calls/take %6.1f\n", held,
                taken.load() / seconds, static_cast<double>(stats.calls) / kStreamPackets);
}

} // namespace

int main() {
    std::printf(
        "packet FIFO hand-over (put -> AwaitFirst with a filter), rejected packets held:\n");
    std::printf("  (warm-up)\n");
    stream(0); // threads, allocator and clocks settle before the figures count
    for (int held : {0, 1, 10, 100})
        pingPong(held);
    for (int held : {0, 1, 10, 100})
        stream(held);
    return 0;
}
