// The link engine against a scripted far end over loopback TCP and over COBS frames on a
// pseudo-terminal: synchronisation, framing violations, heartbeats, pooled writing, stopping,
// filtered waits and the packet log.
#include <gtest/gtest.h>

#include <algorithm>
#include <future>

#include "link_test_peer.h"

using namespace linktest;

namespace {

uint8_t acceptAll(const aPacket*, void*) {
    return 1;
}

uint8_t matchData(const aPacket* p, void* ref) {
    const Bytes& want = *static_cast<const Bytes*>(ref);
    return wire(p) == want;
}

struct PacketDeleter {
    void operator()(aPacket* p) const { aPacket_Destroy(&p); }
};
using PacketPtr = std::unique_ptr<aPacket, PacketDeleter>;

// A started link around a stream onto the peer; destroyed with the fixture.
class LinkOverPeer : public ::testing::TestWithParam<std::string> {
protected:
    void SetUp() override {
        peer = makePeer(GetParam());
        id = aLink_Create(peer->openHostStream());
        ASSERT_NE(id, 0u);
        ASSERT_TRUE(peer->waitCount(kRouteOn, 1));
        ASSERT_EQ(aLink_GetStatus(id), static_cast<uint32_t>(kLinkStatusRunning));
    }
    void TearDown() override {
        if (id != 0) {
            EXPECT_EQ(aLink_Destroy(&id), aErrNone);
        }
    }

    // Answers every new series of sync requests with one module's two replies until the link
    // runs; a series sent again while the replies are under way is answered as well.
    void answerSyncUntilRunning(uint8_t address = 0x02) {
        size_t answered = 0;
        ASSERT_TRUE(eventually([&] {
            if (aLink_GetStatus(id) == kLinkStatusRunning) return true;
            const size_t seen = peer->count(kSyncRequest);
            if (seen >= answered + 6) {
                answered = seen;
                peer->send({address, 0x00});
                peer->send({address, 0x00});
            }
            return false;
        }));
    }

    // Every packet the link delivered so far.
    std::vector<Bytes> delivered() {
        std::vector<Bytes> all;
        while (PacketPtr p{aLink_GetPacket(id)})
            all.push_back(wire(p.get()));
        return all;
    }

    // Waits until the peer has received a marker put after everything queued before it.
    void flushHostQueue(uint8_t marker) {
        const Bytes frame{0x02, 0x01, marker};
        PacketPtr p{makePacket(frame)};
        ASSERT_EQ(aLink_PutPacket(id, p.get()), aErrNone);
        ASSERT_TRUE(peer->waitCount(frame, 1));
    }

    std::unique_ptr<Peer> peer;
    uint32_t id = 0;
};

std::string transportName(const ::testing::TestParamInfo<std::string>& info) {
    return info.param == "tcp" ? "Tcp" : "CobsPty";
}

} // namespace

TEST_P(LinkOverPeer, MatchingSyncRepliesRunAndMismatchedOnesStartAgain) {
    // A framing violation starts synchronisation.
    peer->send({0x01, 0x00});
    ASSERT_TRUE(peer->waitCount(kSyncRequest, 6));
    ASSERT_TRUE(eventually([&] { return aLink_GetStatus(id) == kLinkStatusSyncing; }));

    // Replies of two different addresses: still synchronising, and six more requests go out.
    const size_t before = peer->count(kSyncRequest);
    peer->send({0x02, 0x00});
    peer->send({0x04, 0x00});
    ASSERT_TRUE(peer->waitCount(kSyncRequest, before + 6));
    EXPECT_EQ(aLink_GetStatus(id), static_cast<uint32_t>(kLinkStatusSyncing));

    answerSyncUntilRunning();
    for (const Bytes& p : delivered())
        EXPECT_EQ(p, (Bytes{0x02, 0x00})) << "only sync replies";
}

struct Violation {
    const char* name;
    Bytes frame;
};

class FramingViolation : public LinkOverPeer {};

TEST_P(FramingViolation, RestartsSynchronisationAndDeliversNothing) {
    const Violation cases[] = {
        {"address 0", {0x00, 0x01, 0x55}},
        {"odd address", {0x03, 0x01, 0x55}},
        {"length 29",
         [] {
             Bytes f{0x02, 29};
             f.resize(31, 0x55);
             return f;
         }()},
        {"length 255", {0x02, 0xFF, 0x55, 0x55}},
    };
    for (const Violation& v : cases) {
        SCOPED_TRACE(v.name);
        const size_t before = peer->count(kSyncRequest);
        peer->send(v.frame);
        ASSERT_TRUE(peer->waitCount(kSyncRequest, before + 6));
        EXPECT_NE(aLink_GetStatus(id), static_cast<uint32_t>(kLinkStatusRunning));
        answerSyncUntilRunning();

        // Framing is whole again: a zero-length frame and a data frame arrive intact.
        const Bytes empty{0x04, 0x00}, data{0x02, 0x02, 0x11, 0x22};
        peer->send(empty);
        peer->send(data);
        PacketPtr got{aLink_AwaitFirst(id, matchData, const_cast<Bytes*>(&data), 10000)};
        ASSERT_TRUE(got);
        bool sawEmpty = false;
        for (const Bytes& p : delivered()) {
            if (p == empty)
                sawEmpty = true;
            else
                EXPECT_EQ(p, (Bytes{0x02, 0x00})) << "nothing of the violation is delivered";
        }
        EXPECT_TRUE(sawEmpty);
    }
}

TEST_P(LinkOverPeer, HeartbeatsAreAnsweredWithVPlusTwoAndNeverDelivered) {
    const struct {
        uint8_t v, reply;
    } cases[] = {{0x00, 0x02}, {0x01, 0x03}, {0xFE, 0x00}, {0xFF, 0x01}};
    for (const auto& c : cases) {
        SCOPED_TRACE(static_cast<int>(c.v));
        const Bytes reply{0x06, 0x02, 0x00, c.reply};
        const size_t before = peer->count(reply);
        peer->send({0x06, 0x02, 0x00, c.v});
        ASSERT_TRUE(peer->waitCount(reply, before + 1));
    }
    // Two data bytes whose first is not 0 are no heartbeat.
    const Bytes notHeartbeat{0x06, 0x02, 0x01, 0x00};
    peer->send(notHeartbeat);
    PacketPtr got{aLink_AwaitPacket(id, 10000)};
    ASSERT_TRUE(got);
    EXPECT_EQ(wire(got.get()), notHeartbeat) << "the heartbeats before it were not delivered";
}

namespace {
std::atomic<int> gConsumed{0};
uint8_t consumeHeartbeats(const aPacket* p, void*) {
    if (p->dataSize != 2 || p->data[0] != 0) return 0;
    ++gConsumed;
    return 1;
}
} // namespace

TEST_P(LinkOverPeer, UserFilterSeesPacketsFirstAndCanTakeHeartbeats) {
    gConsumed = 0;
    ASSERT_EQ(aLink_InstallUserPacketFilter(id, consumeHeartbeats, nullptr), aErrNone);
    const Bytes marker{0x02, 0x01, 0x78};
    peer->send({0x06, 0x02, 0x00, 0x00});
    peer->send(marker);
    PacketPtr got{aLink_AwaitPacket(id, 10000)};
    ASSERT_TRUE(got);
    EXPECT_EQ(wire(got.get()), marker);
    EXPECT_EQ(gConsumed.load(), 1);
    flushHostQueue(0x99);
    EXPECT_EQ(peer->count({0x06, 0x02, 0x00, 0x02}), 0u) << "a consumed heartbeat is not answered";

    // Removed, the engine answers again.
    ASSERT_EQ(aLink_InstallUserPacketFilter(id, nullptr, nullptr), aErrNone);
    peer->send({0x06, 0x02, 0x00, 0x00});
    EXPECT_TRUE(peer->waitCount({0x06, 0x02, 0x00, 0x02}, 1));
    EXPECT_EQ(gConsumed.load(), 1);
}

TEST_P(LinkOverPeer, StartOnARunningLinkDoesNothing) {
    EXPECT_EQ(aLink_Start(id), aErrNone);
    flushHostQueue(0x31);
    EXPECT_EQ(peer->count(kRouteOn), 1u);
}

TEST_P(LinkOverPeer, StopSendsRouteOffAfterEverythingQueued) {
    std::vector<Bytes> queued;
    for (int i = 0; i < 50; ++i) {
        queued.push_back({0x02, 0x03, 0x40, static_cast<uint8_t>(i), 0x00});
        PacketPtr p{makePacket(queued.back())};
        ASSERT_EQ(aLink_PutPacket(id, p.get()), aErrNone);
    }
    ASSERT_EQ(aLink_Destroy(&id), aErrNone);
    EXPECT_EQ(id, 0u);
    ASSERT_TRUE(peer->waitCount(kRouteOff, 1));
    const std::vector<Bytes> seen = peer->frames();
    ASSERT_GE(seen.size(), 52u);
    EXPECT_EQ(seen.back(), kRouteOff) << "nothing follows the route-off frame";
    EXPECT_EQ(seen.front(), kRouteOn);
    EXPECT_EQ(std::vector<Bytes>(seen.end() - 51, seen.end() - 1), queued);
    EXPECT_EQ(aLink_GetStatus(1000000), static_cast<uint32_t>(kLinkStatusInvalidStream));
}

TEST_P(LinkOverPeer, AwaitFirstWaitsForItsPacketOnlyWhileTheLinkRuns) {
    // Running: the wait ends with the matching packet, which may arrive during the wait.
    const Bytes wanted{0x02, 0x01, 0x5A};
    auto waiting = std::async(std::launch::async, [&] {
        return PacketPtr{aLink_AwaitFirst(id, matchData, const_cast<Bytes*>(&wanted), 20000)};
    });
    peer->send({0x02, 0x01, 0x11});
    peer->send(wanted);
    ASSERT_EQ(waiting.wait_for(kWait), std::future_status::ready);
    PacketPtr got = waiting.get();
    ASSERT_TRUE(got);
    EXPECT_EQ(wire(got.get()), wanted);
    PacketPtr other{aLink_GetFirst(id, acceptAll, nullptr)};
    ASSERT_TRUE(other) << "the packet the filter refused stays queued";
    EXPECT_EQ(wire(other.get()), (Bytes{0x02, 0x01, 0x11}));

    // Synchronising: null at once, whatever the time-out.
    peer->send({0x00, 0x00});
    ASSERT_TRUE(eventually([&] { return aLink_GetStatus(id) == kLinkStatusSyncing; }));
    auto refused = std::async(std::launch::async, [&] {
        return PacketPtr{aLink_AwaitFirst(id, acceptAll, nullptr, 600000)};
    });
    ASSERT_EQ(refused.wait_for(kWait), std::future_status::ready);
    EXPECT_FALSE(refused.get());

    EXPECT_EQ(aLink_AwaitFirst(0, acceptAll, nullptr, 600000), nullptr);
    EXPECT_EQ(aLink_AwaitFirst(id + 1000, acceptAll, nullptr, 600000), nullptr);
}

TEST_P(LinkOverPeer, SyncOnDemandFinishesWhenTheModuleAnswersAndDropsTheSurplus) {
    auto sync = std::async(std::launch::async, [&] { return aLink_Sync(id); });
    // A module answers every request: six replies for six requests.
    ASSERT_TRUE(peer->waitCount(kSyncRequest, 6));
    for (int i = 0; i < 6; ++i)
        peer->send({0x02, 0x00});
    ASSERT_EQ(sync.wait_for(kWait), std::future_status::ready);
    EXPECT_EQ(sync.get(), aErrNone);
    EXPECT_EQ(aLink_GetStatus(id), static_cast<uint32_t>(kLinkStatusRunning));

    // Nobody answering: not ready after the sync time.
    EXPECT_EQ(aLink_Sync(id), aErrNotReady);
    EXPECT_EQ(aLink_Sync(0), aErrParam);
}

namespace {

// Passes every operation to a real stream and records the size of each block written; a
// closed gate holds writers back.
struct WriteTap {
    aStream* inner = nullptr;
    std::mutex mu;
    std::condition_variable cv;
    std::vector<size_t> writes;
    bool open = true;

    void setOpen(bool o) {
        std::lock_guard<std::mutex> lock(mu);
        open = o;
        cv.notify_all();
    }
    std::vector<size_t> sizes() {
        std::lock_guard<std::mutex> lock(mu);
        return writes;
    }
    bool waitWrites(size_t n) {
        std::unique_lock<std::mutex> lock(mu);
        return cv.wait_for(lock, kWait, [&] { return writes.size() >= n; });
    }
};

aErr tapGet(uint8_t* byte, void* ref) {
    return aStream_Read(static_cast<std::shared_ptr<WriteTap>*>(ref)->get()->inner, byte, 1);
}
aErr tapWrite(const uint8_t* data, size_t length, void* ref) {
    WriteTap& tap = **static_cast<std::shared_ptr<WriteTap>*>(ref);
    {
        std::unique_lock<std::mutex> lock(tap.mu);
        tap.writes.push_back(length);
        tap.cv.notify_all();
        tap.cv.wait(lock, [&] { return tap.open; });
    }
    return aStream_Write(tap.inner, data, length);
}
aErr tapPut(const uint8_t* byte, void* ref) {
    return tapWrite(byte, 1, ref);
}
aErr tapDelete(void* ref) {
    auto* holder = static_cast<std::shared_ptr<WriteTap>*>(ref);
    const aErr err = aStream_Destroy(&(*holder)->inner);
    delete holder;
    return err;
}

class PooledWriting : public ::testing::TestWithParam<std::string> {};

} // namespace

TEST_P(PooledWriting, BatchesFillUpTo4096BytesWithoutSplittingAFrame) {
    auto peer = makePeer(GetParam());
    auto tap = std::make_shared<WriteTap>();
    tap->inner = peer->openHostStream();
    ASSERT_NE(tap->inner, nullptr);
    uint32_t id = aLink_Create(
        aStream_Create(tapGet, tapPut, tapWrite, tapDelete, new std::shared_ptr<WriteTap>(tap)));
    ASSERT_NE(id, 0u);
    ASSERT_TRUE(tap->waitWrites(1)); // the route-on frame
    ASSERT_EQ(aLink_EnablePooledPackets(id, true), aErrNone);

    // Holds the output thread in a write while the 200 frames queue up behind it.
    tap->setOpen(false);
    const Bytes blocker{0x02, 0x01, 0xEE};
    PacketPtr b{makePacket(blocker)};
    ASSERT_EQ(aLink_PutPacket(id, b.get()), aErrNone);
    ASSERT_TRUE(tap->waitWrites(2));
    std::vector<Bytes> frames;
    for (int i = 0; i < 200; ++i) {
        Bytes f{0x10, 28};
        for (int k = 0; k < 28; ++k)
            f.push_back(static_cast<uint8_t>(i + k + 1));
        frames.push_back(f);
        PacketPtr p{makePacket(f)};
        ASSERT_EQ(aLink_PutPacket(id, p.get()), aErrNone);
    }
    tap->setOpen(true);
    ASSERT_TRUE(tap->waitWrites(4));
    EXPECT_EQ(tap->sizes(), (std::vector<size_t>{3, 3, 136 * 30, 64 * 30}));

    ASSERT_TRUE(peer->waitFor([](const std::vector<Bytes>& fs) { return fs.size() >= 202; }));
    std::vector<Bytes> seen = peer->frames();
    ASSERT_EQ(seen.size(), 202u) << "every frame once";
    EXPECT_EQ(std::vector<Bytes>(seen.begin() + 2, seen.end()), frames) << "in order";

    // Pooling off: one write per frame again.
    ASSERT_EQ(aLink_EnablePooledPackets(id, false), aErrNone);
    tap->setOpen(false);
    ASSERT_EQ(aLink_PutPacket(id, b.get()), aErrNone);
    ASSERT_TRUE(tap->waitWrites(5));
    for (int i = 0; i < 3; ++i) {
        PacketPtr p{makePacket(frames[i])};
        ASSERT_EQ(aLink_PutPacket(id, p.get()), aErrNone);
    }
    tap->setOpen(true);
    ASSERT_TRUE(tap->waitWrites(8));
    const auto sizes = tap->sizes();
    EXPECT_EQ(std::vector<size_t>(sizes.begin() + 4, sizes.end()),
              (std::vector<size_t>{3, 30, 30, 30}));
    EXPECT_EQ(aLink_Destroy(&id), aErrNone);
}

INSTANTIATE_TEST_SUITE_P(Transports, LinkOverPeer, ::testing::Values("tcp", "cobs"), transportName);
INSTANTIATE_TEST_SUITE_P(Transports, FramingViolation, ::testing::Values("tcp", "cobs"),
                         transportName);
INSTANTIATE_TEST_SUITE_P(Transports, PooledWriting, ::testing::Values("tcp", "cobs"),
                         transportName);

// ---- packet log -------------------------------------------------------------------------

class PacketLog : public ::testing::Test {
protected:
    void SetUp() override {
        id = aLink_Create(peer.openHostStream());
        ASSERT_NE(id, 0u);
        ASSERT_TRUE(peer.waitCount(kRouteOn, 1));
    }
    void TearDown() override { aLink_Destroy(&id); }

    aErr write(const Bytes& record, uint8_t direction = kPacketLogAnnotation) {
        return aLink_PacketDebug_Write(id, direction, static_cast<uint32_t>(record.size()),
                                       record.data());
    }
    // Every record left, oldest first, as direction followed by bytes.
    std::vector<Bytes> readAll() {
        std::vector<Bytes> all;
        for (;;) {
            uint8_t dir = 0;
            uint8_t buffer[256];
            uint32_t size = sizeof buffer;
            const aErr err = aLink_PacketDebug_Read(id, &dir, &size, buffer);
            if (err == aErrNotFound) return all;
            EXPECT_EQ(err, aErrNone);
            if (err != aErrNone) return all;
            Bytes r(size + 1u);
            r[0] = dir;
            std::copy(buffer, buffer + size, r.begin() + 1);
            all.push_back(r);
        }
    }
    static Bytes record(uint8_t first, size_t n) {
        Bytes r(n);
        for (size_t i = 0; i < n; ++i)
            r[i] = static_cast<uint8_t>(first + i);
        return r;
    }
    static Bytes withDirection(uint8_t dir, const Bytes& r) {
        Bytes b(r.size() + 1);
        b[0] = dir;
        std::copy(r.begin(), r.end(), b.begin() + 1);
        return b;
    }

    TcpPeer peer;
    uint32_t id = 0;
};

TEST_F(PacketLog, RingOfSixteenBytesKeepsTheNewestRecordsThatFit) {
    ASSERT_EQ(aLink_PacketDebug_SetLogSize(id, 16), aErrNone);
    ASSERT_EQ(aLink_PacketDebug_Enable(id), aErrNone);
    ASSERT_EQ(aLink_PacketDebug_SetLogSize(id, 32), aErrBusy);

    // 13 data bytes is the most a 16-byte ring takes; 14 never fits.
    EXPECT_EQ(write(record(1, 13)), aErrNone);
    EXPECT_EQ(write(record(1, 14)), aErrOverrun);
    EXPECT_EQ(readAll(), (std::vector<Bytes>{withDirection(3, record(1, 13))}));

    // Each scenario runs on the ring its predecessor emptied, so the records wrap at
    // different places; what is kept depends only on the sizes.
    const struct {
        std::vector<size_t> sizes;
        std::vector<size_t> kept; // indexes of the records left, oldest first
    } scenarios[] = {
        {{5, 5}, {0, 1}},
        {{5, 5, 5}, {1, 2}},
        {{5, 5, 2}, {1, 2}},
        {{2, 2, 2}, {0, 1, 2}},
        {{2, 2, 2, 0}, {0, 1, 2, 3}},
        {{2, 2, 2, 0, 0}, {1, 2, 3, 4}},
        {{13, 0}, {1}},
        {{0, 13}, {1}},
        {{9, 5}, {1}},
        {{1, 1, 1, 1, 1, 1, 1, 1}, {3, 4, 5, 6, 7}},
    };
    uint8_t first = 0x10;
    for (const auto& sc : scenarios) {
        SCOPED_TRACE(::testing::PrintToString(sc.sizes));
        std::vector<Bytes> written;
        for (size_t n : sc.sizes) {
            written.push_back(record(first, n));
            first = static_cast<uint8_t>(first + 0x10);
            ASSERT_EQ(write(written.back()), aErrNone);
        }
        std::vector<Bytes> want;
        for (size_t k : sc.kept)
            want.push_back(withDirection(3, written[k]));
        EXPECT_EQ(readAll(), want);
    }
}

TEST_F(PacketLog, ReadTooSmallReportsTheLengthAndKeepsTheRecord) {
    ASSERT_EQ(aLink_PacketDebug_Enable(id), aErrNone);
    ASSERT_EQ(write({1, 2, 3, 4, 5}, kPacketLogAnnotation), aErrNone);
    uint8_t dir = 0, buffer[8] = {};
    uint32_t size = 4;
    EXPECT_EQ(aLink_PacketDebug_Read(id, &dir, &size, buffer), aErrOverrun);
    EXPECT_EQ(size, 5u);
    EXPECT_EQ(dir, kPacketLogAnnotation);
    size = 5;
    EXPECT_EQ(aLink_PacketDebug_Read(id, &dir, &size, buffer), aErrNone);
    EXPECT_EQ(Bytes(buffer, buffer + 5), (Bytes{1, 2, 3, 4, 5}));
    size = sizeof buffer;
    EXPECT_EQ(aLink_PacketDebug_Read(id, &dir, &size, buffer), aErrNotFound);
}

TEST_F(PacketLog, ErrorsBeforeTheLogExistsAndForUnknownLinks) {
    uint8_t dir = 0, buffer[4];
    uint32_t size = sizeof buffer;
    EXPECT_EQ(aLink_PacketDebug_Read(id, &dir, &size, buffer), aErrNotReady);
    EXPECT_EQ(write({1}), aErrNotReady);
    EXPECT_EQ(aLink_PacketDebug_Disable(id), aErrNotReady);
    EXPECT_EQ(aLink_PacketDebug_SetLogSize(id, 67108865), aErrParam);
    EXPECT_EQ(aLink_PacketDebug_SetLogSize(id, 67108864), aErrNone);
    EXPECT_EQ(aLink_PacketDebug_SetLogSize(id, -5), aErrNone);

    const uint32_t unknown = id + 1000;
    EXPECT_EQ(aLink_PacketDebug_SetLogSize(unknown, 16), aErrParam);
    EXPECT_EQ(aLink_PacketDebug_Enable(unknown), aErrParam);
    EXPECT_EQ(aLink_PacketDebug_Disable(unknown), aErrParam);
    EXPECT_EQ(aLink_PacketDebug_Read(unknown, &dir, &size, buffer), aErrParam);
    EXPECT_EQ(aLink_PacketDebug_Write(unknown, 3, 1, buffer), aErrParam);

    // A negative size counts as 0, which makes the default ring of 65536 bytes: 65533 bytes of
    // records fit in it (here as 255-byte records), and it keeps the newest.
    ASSERT_EQ(aLink_PacketDebug_Enable(id), aErrNone);
    EXPECT_EQ(write(Bytes(256, 7)), aErrParam) << "a record's length is one byte";
    for (int i = 0; i < 300; ++i)
        ASSERT_EQ(write(Bytes(255, static_cast<uint8_t>(i))), aErrNone);
    const std::vector<Bytes> left = readAll();
    EXPECT_EQ(left.size(), 65535u / 257u);
    EXPECT_EQ(left.back(), withDirection(3, Bytes(255, static_cast<uint8_t>(299))));
}

TEST_F(PacketLog, RecordsFramesBothWaysWhileEnabled) {
    ASSERT_EQ(aLink_PacketDebug_Enable(id), aErrNone);
    const Bytes in{0x02, 0x01, 0x42}, out{0x02, 0x02, 0x43, 0x44}, marker{0x02, 0x01, 0x45};
    peer.send(in);
    PacketPtr got{aLink_AwaitPacket(id, 10000)};
    ASSERT_TRUE(got);
    // The output thread logs each frame before it takes the next: once the marker is out,
    // the frame before it is in the log.
    for (const Bytes& f : {out, marker}) {
        PacketPtr p{makePacket(f)};
        ASSERT_EQ(aLink_PutPacket(id, p.get()), aErrNone);
    }
    ASSERT_TRUE(peer.waitCount(marker, 1));
    std::vector<Bytes> logged = readAll();
    ASSERT_GE(logged.size(), 2u);
    EXPECT_EQ(logged[0], withDirection(2, in));
    EXPECT_EQ(logged[1], withDirection(1, out));

    // Disabled, the log keeps what it has and records no more frames.
    ASSERT_EQ(aLink_PacketDebug_Disable(id), aErrNone);
    readAll();
    ASSERT_EQ(write({9}), aErrNone);
    peer.send(in);
    PacketPtr again{aLink_AwaitPacket(id, 10000)};
    ASSERT_TRUE(again);
    EXPECT_EQ(readAll(), (std::vector<Bytes>{withDirection(3, {9})}));
}
