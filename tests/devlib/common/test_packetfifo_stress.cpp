// Producers, takers of every kind, drains and destruction racing on shared
// FIFOs: every packet put is taken or drained exactly once, and destroy frees
// every waiter.
#include "packet_testing.h"
#include "packetfifo.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <future>
#include <memory>
#include <thread>
#include <vector>

namespace {

using namespace std::chrono_literals;

constexpr int kProducers = 4;
constexpr int kPerProducer = 3000;
constexpr int kTotal = kProducers * kPerProducer;
// Producers keep the FIFO well below its capacity: an overflow would drop packets.
constexpr size_t kHighWater = 400;

// data[0] producer, data[1..2] sequence number (big-endian).
int packetIndex(const aPacket* p) {
    return p->data[0] * kPerProducer + (p->data[1] << 8 | p->data[2]);
}

struct Ledger {
    std::vector<std::atomic<int>> seen = std::vector<std::atomic<int>>(kTotal);
    std::atomic<int> accounted{0};
    void record(const aPacket* p) {
        seen[packetIndex(p)]++;
        accounted++;
    }
    bool done() const { return accounted.load() >= kTotal; }
};

struct FilterRef {
    int producer;
    int offers = 0; // written by the filter under the FIFO's lock only
};

uint8_t fromProducer(const aPacket* p, void* ref) {
    auto* r = static_cast<FilterRef*>(ref);
    ++r->offers;
    return p->data[0] == r->producer;
}

struct DrainRef {
    Ledger* ledger;
};

// Drains every third packet of producer 3; records what it removes.
uint8_t drainSome(const aPacket* p, void* ref) {
    const bool take = p->data[0] == 3 && p->data[2] % 3 == 0;
    if (take) static_cast<DrainRef*>(ref)->ledger->record(p);
    return take;
}

uint8_t rejectAll(const aPacket*, void*) {
    return 0;
}

using packet_testing::Packet;

TEST(PacketFifoStress, EveryPacketTakenExactlyOnce) {
    aPacketFifo fifo = aPacketFifo_Create();
    ASSERT_NE(fifo, 0u);
    Ledger ledger;
    std::vector<std::thread> threads;

    for (int producer = 0; producer < kProducers; ++producer)
        threads.emplace_back([&, producer] {
            for (int seq = 0; seq < kPerProducer; ++seq) {
                while (aPacketFifo_GetLength(fifo) > kHighWater)
                    std::this_thread::yield();
                const uint8_t data[] = {static_cast<uint8_t>(producer),
                                        static_cast<uint8_t>(seq >> 8), static_cast<uint8_t>(seq),
                                        0x11};
                Packet p(aPacket_CreateWithData(0x02, sizeof data, data));
                ASSERT_EQ(aPacketFifo_Put(fifo, p.get()), aErrNone);
            }
        });

    auto taker = [&](std::function<aPacket*()> take) {
        return [&, take] {
            while (!ledger.done())
                if (Packet p{take()}) ledger.record(p.get());
        };
    };
    // Reply waiters of producers 0 and 1, as a link's callers wait.
    FilterRef ref0{0}, ref1{1}, ref2{2};
    threads.emplace_back(
        taker([&] { return aPacketFifo_AwaitFirst(fifo, fromProducer, &ref0, 5); }));
    threads.emplace_back(
        taker([&] { return aPacketFifo_AwaitFirst(fifo, fromProducer, &ref1, 5); }));
    threads.emplace_back(taker([&] { return aPacketFifo_GetFirst(fifo, fromProducer, &ref2); }));
    // Takes whatever is oldest, so it competes with the filtered takers.
    threads.emplace_back(taker([&] { return aPacketFifo_Await(fifo, 5); }));
    threads.emplace_back([&] {
        DrainRef ref{&ledger};
        while (!ledger.done()) {
            aPacketFifo_DrainPackets(fifo, drainSome, &ref);
            std::this_thread::yield();
        }
    });
    for (auto& t : threads)
        t.join();

    EXPECT_EQ(ledger.accounted.load(), kTotal);
    for (int i = 0; i < kTotal; ++i)
        ASSERT_EQ(ledger.seen[i].load(), 1) << "packet " << i;
    EXPECT_EQ(aPacketFifo_GetLength(fifo), 0u);
    EXPECT_EQ(aPacketFifo_Destroy(&fifo), aErrNone);
}

// Destroy racing waiters, putters and takers on FIFOs created and dropped in a
// loop: no waiter is left behind and nothing is touched after it is freed.
TEST(PacketFifoStress, DestroyRacesEveryOperation) {
    constexpr int kRounds = 100;
    for (int round = 0; round < kRounds; ++round) {
        aPacketFifo fifo = aPacketFifo_Create();
        ASSERT_NE(fifo, 0u);
        const aPacketFifo handle = fifo;
        std::atomic<bool> stop{false};
        std::atomic<int> puts{0};
        std::vector<std::future<void>> workers;
        for (int w = 0; w < 2; ++w)
            workers.push_back(std::async(std::launch::async, [handle] {
                // Long waits: only the destroy can end them.
                Packet p{aPacketFifo_AwaitFirst(handle, rejectAll, nullptr, 600'000)};
                EXPECT_FALSE(p);
            }));
        workers.push_back(std::async(std::launch::async, [handle, &stop, &puts] {
            const uint8_t data[] = {9, 9, 9};
            Packet p(aPacket_CreateWithData(0x02, sizeof data, data));
            while (!stop) {
                const aErr err = aPacketFifo_Put(handle, p.get());
                if (err != aErrNone) {
                    EXPECT_EQ(err, aErrParam); // only once the FIFO is gone
                    return;
                }
                ++puts;
                Packet taken{aPacketFifo_Await(handle, 1)};
                aPacketFifo_GetLength(handle);
            }
        }));
        workers.push_back(std::async(std::launch::async, [handle, &stop] {
            FilterRef ref{9};
            while (!stop) {
                Packet p{aPacketFifo_AwaitFirst(handle, fromProducer, &ref, 1)};
                aPacketFifo_DrainPackets(handle, rejectAll, nullptr);
                Packet q{aPacketFifo_Get(handle)};
            }
        }));
        // Some rounds destroy at once, others after the workers got going.
        if (round % 2)
            while (puts < 10)
                std::this_thread::yield();
        ASSERT_EQ(aPacketFifo_Destroy(&fifo), aErrNone);
        EXPECT_EQ(fifo, 0u);
        aPacketFifo again = handle;
        EXPECT_EQ(aPacketFifo_Destroy(&again), aErrNotFound);
        stop = true;
        for (auto& w : workers)
            ASSERT_EQ(w.wait_for(30s), std::future_status::ready);
        for (auto& w : workers)
            w.get();
    }
}

} // namespace
