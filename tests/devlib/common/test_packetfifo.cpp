// Packet FIFO semantics: ownership, order, filters, the id window, overflow,
// waits and destruction.
#include "packet_testing.h"
#include "packetfifo.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <future>
#include <memory>
#include <thread>
#include <vector>

namespace {

using namespace std::chrono_literals;

using packet_testing::Packet;

// Waiters in these tests use timeouts far beyond any scheduling delay; a test
// that needs one to expire uses a short one and asserts nothing about time.
constexpr uint64_t kForeverMs = 600'000;
constexpr auto kGenerous = 30s;

// data[0] is a tag the filters look at, data[1] a serial number.
Packet makePacket(uint8_t tag, uint8_t serial = 0) {
    return packet_testing::makePacket(0x04, {tag, serial, 0x5A});
}

void put(aPacketFifo fifo, uint8_t tag, uint8_t serial = 0) {
    Packet p = makePacket(tag, serial);
    ASSERT_EQ(aPacketFifo_Put(fifo, p.get()), aErrNone);
}

// Counts every offer and records the serials offered; accepts one tag.
struct Offers {
    uint8_t acceptTag = 0xFF;
    std::atomic<int> calls{0};
    std::vector<uint8_t> serials; // written under the FIFO's lock only
};

uint8_t acceptTag(const aPacket* packet, void* ref) {
    auto* offers = static_cast<Offers*>(ref);
    offers->serials.push_back(packet->data[1]);
    ++offers->calls;
    return packet->data[0] == offers->acceptTag;
}

uint8_t acceptAll(const aPacket*, void*) {
    return 1;
}

template <class Pred> bool eventually(Pred pred) {
    const auto deadline = std::chrono::steady_clock::now() + kGenerous;
    while (!pred()) {
        if (std::chrono::steady_clock::now() > deadline) return false;
        std::this_thread::yield();
    }
    return true;
}

class PacketFifo : public ::testing::Test {
protected:
    void SetUp() override {
        fifo = aPacketFifo_Create();
        ASSERT_NE(fifo, 0u);
    }
    void TearDown() override {
        if (fifo) aPacketFifo_Destroy(&fifo);
    }
    std::vector<uint8_t> drainSerials() {
        std::vector<uint8_t> serials;
        while (Packet p{aPacketFifo_Get(fifo)})
            serials.push_back(p->data[1]);
        return serials;
    }
    aPacketFifo fifo = 0;
};

TEST_F(PacketFifo, HandlesAndDestroy) {
    aPacketFifo next = aPacketFifo_Create();
    EXPECT_EQ(next, fifo + 1);
    aPacketFifo stale = next;
    EXPECT_EQ(aPacketFifo_Destroy(&next), aErrNone);
    EXPECT_EQ(next, 0u);
    EXPECT_EQ(aPacketFifo_Destroy(&stale), aErrNotFound);
    EXPECT_EQ(stale, fifo + 1); // left untouched on failure
    EXPECT_EQ(aPacketFifo_Destroy(nullptr), aErrParam);
    aPacketFifo zero = 0;
    EXPECT_EQ(aPacketFifo_Destroy(&zero), aErrNotFound);

    // A destroyed handle is unknown to every function.
    Packet p = makePacket(1);
    EXPECT_EQ(aPacketFifo_Put(stale, p.get()), aErrParam);
    EXPECT_EQ(aPacketFifo_GetLength(stale), 0u);
    EXPECT_EQ(aPacketFifo_Get(stale), nullptr);
    EXPECT_EQ(aPacketFifo_Await(stale, 0), nullptr);
    EXPECT_EQ(aPacketFifo_GetFirst(stale, acceptAll, nullptr), nullptr);
    EXPECT_EQ(aPacketFifo_AwaitFirst(stale, acceptAll, nullptr, 0), nullptr);
    EXPECT_EQ(aPacketFifo_DrainPackets(stale, acceptAll, nullptr), 0u);
    // ... and a fresh FIFO does not reuse it.
    aPacketFifo other = aPacketFifo_Create();
    EXPECT_GT(other, stale);
    aPacketFifo_Destroy(&other);
}

TEST_F(PacketFifo, PutCopiesAndTakersOwnWhatTheyGet) {
    Packet mine = makePacket(7, 1);
    ASSERT_EQ(aPacketFifo_Put(fifo, mine.get()), aErrNone);
    const aPacket original = *mine;
    mine.reset(); // the putter may free its packet at once
    put(fifo, 7, 2);
    EXPECT_EQ(aPacketFifo_GetLength(fifo), 2u);

    Packet taken{aPacketFifo_Get(fifo)};
    ASSERT_TRUE(taken);
    EXPECT_NE(taken.get(), &original);
    EXPECT_TRUE(packet_testing::samePacket(*taken, original));
    EXPECT_EQ(aPacketFifo_GetLength(fifo), 1u);
    EXPECT_EQ(drainSerials(), std::vector<uint8_t>{2});
    EXPECT_EQ(aPacketFifo_Get(fifo), nullptr);

    EXPECT_EQ(aPacketFifo_Put(fifo, nullptr), aErrParam);
    aPacket forged{};
    EXPECT_EQ(aPacketFifo_Put(fifo, &forged), aErrParam);
    EXPECT_EQ(aPacketFifo_GetLength(fifo), 0u);
}

TEST_F(PacketFifo, OverflowDropsEverythingSilently) {
    for (int i = 0; i < aPACKETFIFO_CAPACITY; ++i)
        put(fifo, 1, static_cast<uint8_t>(i));
    EXPECT_EQ(aPacketFifo_GetLength(fifo), 1000u);
    put(fifo, 1, 0xEE); // the 1001st still answers aErrNone
    EXPECT_EQ(aPacketFifo_GetLength(fifo), 0u);
    EXPECT_EQ(aPacketFifo_Await(fifo, 0), nullptr);

    // The FIFO carries on, and its window follows.
    put(fifo, 2, 1);
    put(fifo, 3, 2);
    Offers offers;
    offers.acceptTag = 3;
    Packet p{aPacketFifo_AwaitFirst(fifo, acceptTag, &offers, 0)};
    ASSERT_TRUE(p);
    EXPECT_EQ(offers.serials, (std::vector<uint8_t>{1, 2}));
    EXPECT_EQ(drainSerials(), std::vector<uint8_t>{1});
}

TEST_F(PacketFifo, AwaitPollsOrWaits) {
    EXPECT_EQ(aPacketFifo_Await(fifo, 0), nullptr);
    EXPECT_EQ(aPacketFifo_Await(fifo, 20), nullptr); // times out
    put(fifo, 1, 9);
    Packet p{aPacketFifo_Await(fifo, 0)};
    ASSERT_TRUE(p);
    EXPECT_EQ(p->data[1], 9);

    auto waiter =
        std::async(std::launch::async, [&] { return aPacketFifo_Await(fifo, kForeverMs); });
    put(fifo, 1, 10);
    ASSERT_EQ(waiter.wait_for(kGenerous), std::future_status::ready);
    Packet q{waiter.get()};
    ASSERT_TRUE(q);
    EXPECT_EQ(q->data[1], 10);
}

TEST_F(PacketFifo, GetFirstStopsAtTheFirstAccepted) {
    const uint8_t tags[] = {1, 2, 1, 2};
    for (uint8_t i = 0; i < 4; ++i)
        put(fifo, tags[i], i);
    Offers offers;
    offers.acceptTag = 2;
    Packet p{aPacketFifo_GetFirst(fifo, acceptTag, &offers)};
    ASSERT_TRUE(p);
    EXPECT_EQ(p->data[1], 1);
    EXPECT_EQ(offers.serials, (std::vector<uint8_t>{0, 1}));
    offers.acceptTag = 9;
    EXPECT_EQ(aPacketFifo_GetFirst(fifo, acceptTag, &offers), nullptr);
    EXPECT_EQ(aPacketFifo_GetFirst(fifo, nullptr, nullptr), nullptr);
    EXPECT_EQ(drainSerials(), (std::vector<uint8_t>{0, 2, 3}));
}

TEST_F(PacketFifo, AwaitFirstOffersEachHeldPacketOnce) {
    put(fifo, 1, 0xA); // rejected
    put(fifo, 2, 0xB); // accepted
    put(fifo, 2, 0xC); // behind the accepted one: never offered
    Offers offers;
    offers.acceptTag = 2;
    Packet p{aPacketFifo_AwaitFirst(fifo, acceptTag, &offers, kForeverMs)};
    ASSERT_TRUE(p);
    EXPECT_EQ(p->data[1], 0xB);
    EXPECT_EQ(offers.serials, (std::vector<uint8_t>{0xA, 0xB}));

    // A new call offers the held packets again, in order.
    offers.serials.clear();
    offers.acceptTag = 9;
    EXPECT_EQ(aPacketFifo_AwaitFirst(fifo, acceptTag, &offers, 0), nullptr);
    EXPECT_EQ(offers.serials, (std::vector<uint8_t>{0xA, 0xC}));
    EXPECT_EQ(drainSerials(), (std::vector<uint8_t>{0xA, 0xC}));
}

// Packets arriving one by one during the wait are each offered exactly once,
// however often the waiter wakes; the held rejected ones are not offered again.
TEST_F(PacketFifo, AwaitFirstOffersArrivalsOnceDuringTheWait) {
    for (uint8_t held : {0, 1, 2})
        put(fifo, 1, held);
    Offers offers;
    offers.acceptTag = 2;
    auto waiter = std::async(std::launch::async, [&] {
        return aPacketFifo_AwaitFirst(fifo, acceptTag, &offers, kForeverMs);
    });
    ASSERT_TRUE(eventually([&] { return offers.calls == 3; }));
    for (uint8_t i = 0; i < 10; ++i) {
        put(fifo, 1, static_cast<uint8_t>(10 + i));
        // Hold the next put back until this one was seen, so each arrives
        // while the waiter waits.
        ASSERT_TRUE(eventually([&] { return offers.calls == 4 + i; })) << int(i);
    }
    put(fifo, 2, 99);
    ASSERT_EQ(waiter.wait_for(kGenerous), std::future_status::ready);
    Packet p{waiter.get()};
    ASSERT_TRUE(p);
    EXPECT_EQ(p->data[1], 99);

    std::vector<uint8_t> expected = {0, 1, 2};
    for (uint8_t i = 0; i < 10; ++i)
        expected.push_back(static_cast<uint8_t>(10 + i));
    expected.push_back(99);
    EXPECT_EQ(offers.serials, expected);
    EXPECT_EQ(aPacketFifo_GetLength(fifo), 13u);
}

TEST_F(PacketFifo, AwaitFirstTimesOutAfterRejectingEverything) {
    put(fifo, 1, 1);
    Offers offers;
    EXPECT_EQ(aPacketFifo_AwaitFirst(fifo, acceptTag, &offers, 30), nullptr);
    EXPECT_EQ(offers.serials, std::vector<uint8_t>{1});
    EXPECT_EQ(aPacketFifo_AwaitFirst(fifo, nullptr, nullptr, 30), nullptr);
    EXPECT_EQ(aPacketFifo_GetLength(fifo), 1u);
}

// A caller's "wait forever" must wait, not overflow the deadline into the past.
TEST_F(PacketFifo, LargestTimeoutWaits) {
    put(fifo, 1, 1);
    for (bool filtered : {false, true}) {
        SCOPED_TRACE(filtered);
        Offers offers;
        offers.acceptTag = 2;
        std::atomic<bool> started{false};
        auto waiter = std::async(std::launch::async, [&]() -> aPacket* {
            if (!filtered) {
                Packet held{aPacketFifo_Get(fifo)}; // empty it so Await must wait
                started = true;
                return aPacketFifo_Await(fifo, UINT64_MAX);
            }
            return aPacketFifo_AwaitFirst(fifo, acceptTag, &offers, UINT64_MAX);
        });
        ASSERT_TRUE(eventually([&] { return filtered ? offers.calls == 1 : started.load(); }));
        // Give a wrongly computed deadline every chance to show.
        EXPECT_EQ(waiter.wait_for(100ms), std::future_status::timeout);
        put(fifo, 2, 2);
        ASSERT_EQ(waiter.wait_for(kGenerous), std::future_status::ready);
        Packet p{waiter.get()};
        ASSERT_TRUE(p);
        EXPECT_EQ(p->data[1], 2);
        put(fifo, 1, 1);
    }
}

TEST_F(PacketFifo, DrainRemovesAcceptedAndKeepsOrder) {
    for (uint8_t i = 0; i < 6; ++i)
        put(fifo, i % 2 ? 2 : 1, i);
    Offers offers;
    offers.acceptTag = 2;
    EXPECT_EQ(aPacketFifo_DrainPackets(fifo, acceptTag, &offers), 3u);
    EXPECT_EQ(offers.serials, (std::vector<uint8_t>{0, 1, 2, 3, 4, 5}));
    EXPECT_EQ(aPacketFifo_DrainPackets(fifo, nullptr, nullptr), 0u);

    // The window follows the removal: a waiter still sees every remaining packet.
    offers.serials.clear();
    offers.acceptTag = 9;
    EXPECT_EQ(aPacketFifo_AwaitFirst(fifo, acceptTag, &offers, 0), nullptr);
    EXPECT_EQ(offers.serials, (std::vector<uint8_t>{0, 2, 4}));
    EXPECT_EQ(aPacketFifo_DrainPackets(fifo, acceptAll, nullptr), 3u);
    EXPECT_EQ(aPacketFifo_GetLength(fifo), 0u);
}

TEST_F(PacketFifo, DestroyWakesEveryWaiter) {
    put(fifo, 1, 1);
    Offers offers;
    auto filtered = std::async(std::launch::async, [&] {
        return aPacketFifo_AwaitFirst(fifo, acceptTag, &offers, kForeverMs);
    });
    aPacketFifo second = aPacketFifo_Create();
    auto plain =
        std::async(std::launch::async, [&] { return aPacketFifo_Await(second, kForeverMs); });
    ASSERT_TRUE(eventually([&] { return offers.calls == 1; }));
    EXPECT_EQ(filtered.wait_for(50ms), std::future_status::timeout);

    ASSERT_EQ(aPacketFifo_Destroy(&fifo), aErrNone);
    ASSERT_EQ(filtered.wait_for(kGenerous), std::future_status::ready);
    EXPECT_EQ(filtered.get(), nullptr);
    EXPECT_EQ(offers.calls, 1);

    ASSERT_EQ(aPacketFifo_Destroy(&second), aErrNone);
    ASSERT_EQ(plain.wait_for(kGenerous), std::future_status::ready);
    EXPECT_EQ(plain.get(), nullptr);
}

} // namespace
