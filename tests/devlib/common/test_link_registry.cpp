// The link registry and the engine against the simulated module, over loopback TCP and COBS
// serial on a pseudo-terminal: sharing by serial number, ids, failed creations, reset after the
// module restarted, heartbeats and pooled traffic as a module sees them.
#include <gtest/gtest.h>

#include <future>

#include "link_test_peer.h"
#include "sim/module/SimulatedModule.h"

using namespace linktest;

namespace {

constexpr uint32_t kSerial = 0x40F5849A;
constexpr uint8_t kAddress = 0x02;
constexpr uint8_t kModel = 5;

struct PacketDeleter {
    void operator()(aPacket* p) const { aPacket_Destroy(&p); }
};
using PacketPtr = std::unique_ptr<aPacket, PacketDeleter>;

sim::Description description(uint32_t serial = kSerial) {
    sim::Description d;
    d.module.serial = serial;
    d.module.address = kAddress;
    d.module.model = kModel;
    return d;
}

uint8_t isModelReply(const aPacket* p, void*) {
    return p->address == kAddress && p->dataSize == 4 && p->data[0] == 3;
}

// One request/reply exchange through the whole engine: the module's model, by UEI get.
bool askModel(uint32_t id) {
    const uint8_t get[3] = {3, 0x48, 0x20};
    PacketPtr q{aPacket_CreateWithData(kAddress, 3, get)};
    if (aLink_PutPacket(id, q.get()) != aErrNone) return false;
    PacketPtr r{aLink_AwaitFirst(id, isModelReply, nullptr, 5000)};
    return r && r->data[3] == kModel;
}

size_t countFrames(sim::SimulatedModule& dev, const Bytes& frame) {
    size_t n = 0;
    for (const Bytes& f : dev.received())
        n += f == frame;
    return n;
}

bool waitFrames(sim::SimulatedModule& dev, const Bytes& frame, size_t atLeast) {
    return dev.waitFor(
        [&](const sim::SimulatedModule::View& v) {
            size_t n = 0;
            for (const Bytes& f : v.received)
                n += f == frame;
            return n >= atLeast;
        },
        kWait);
}

// A transport with nothing on the other side, for links whose traffic does not matter.
aErr idleGet(uint8_t*, void*) {
    std::this_thread::sleep_for(std::chrono::milliseconds(aSTREAM_INPUT_WAIT_MS));
    return aErrNotReady;
}
aErr idleWrite(const uint8_t*, size_t, void*) {
    return aErrNone;
}
aErr idlePut(const uint8_t*, void*) {
    return aErrNone;
}
aStream* idleStream() {
    return aStream_Create(idleGet, idlePut, idleWrite, nullptr, nullptr);
}

} // namespace

TEST(LinkRegistry, TheFirstLinkOfAProcessHasIdOne) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(
        {
            uint32_t id = aLink_Create(idleStream());
            const bool one = id == 1;
            aLink_Destroy(&id);
            std::_Exit(one ? 0 : 1);
        },
        ::testing::ExitedWithCode(0), "");
}

TEST(LinkRegistry, IdsKeepIncreasingAndUnknownIdsAreRefused) {
    uint32_t a = aLink_Create(idleStream());
    uint32_t b = aLink_Create(idleStream());
    ASSERT_NE(a, 0u);
    EXPECT_EQ(b, a + 1);
    const uint32_t oldA = a;
    ASSERT_EQ(aLink_Destroy(&a), aErrNone);
    EXPECT_EQ(a, 0u);
    EXPECT_EQ(aLink_GetStatus(oldA), static_cast<uint32_t>(kLinkStatusInvalidStream));
    uint32_t c = aLink_Create(idleStream());
    EXPECT_EQ(c, b + 1) << "a freed id is not handed out again";

    uint32_t stale = oldA;
    EXPECT_EQ(aLink_Destroy(&stale), aErrParam);
    EXPECT_EQ(stale, 0u) << "the caller's id is cleared even so";
    EXPECT_EQ(aLink_Destroy(nullptr), aErrParam);
    EXPECT_EQ(aLink_Reset(oldA), aErrParam);
    EXPECT_EQ(aLink_Create(nullptr), 0u);
    const uint8_t one = 1;
    PacketPtr p{aPacket_CreateWithData(2, 1, &one)};
    EXPECT_EQ(aLink_PutPacket(oldA, p.get()), aErrParam);
    EXPECT_EQ(aLink_GetPacket(oldA), nullptr);
    EXPECT_EQ(aLink_AwaitPacket(oldA, 10), nullptr);
    EXPECT_EQ(aLink_DrainPackets(oldA, nullptr, nullptr), 0u);
    EXPECT_EQ(aLink_InstallUserPacketFilter(oldA, nullptr, nullptr), aErrParam);
    EXPECT_EQ(aLink_EnablePooledPackets(oldA, true), aErrParam);
    EXPECT_EQ(aLink_ForceRoute(oldA, 1), aErrNotFound);
    EXPECT_EQ(aLink_Start(oldA), aErrParam);
    EXPECT_EQ(aLink_Stop(nullptr), aErrParam);
    EXPECT_EQ(aLink_Init(oldA, nullptr), 0u);

    // The old creator never shares.
    EXPECT_EQ(aLink_Destroy(&b), aErrNone);
    EXPECT_EQ(aLink_Destroy(&c), aErrNone);
}

TEST(LinkRegistry, TcpLinksOfOneSerialNumberShareOneEngineUntilTheLastDestroy) {
    sim::SimulatedModule dev(description());
    const uint16_t port = dev.listenTcp();
    uint32_t first = aLink_CreateTCPIP(kSerial, loopback(), port);
    ASSERT_NE(first, 0u);
    uint32_t second = aLink_CreateTCPIP(kSerial, loopback(), port);
    EXPECT_EQ(second, first);
    ASSERT_TRUE(askModel(first));
    EXPECT_EQ(countFrames(dev, kRouteOn), 1u) << "one engine, started once";

    const uint32_t id = first;
    ASSERT_EQ(aLink_Destroy(&first), aErrNone);
    EXPECT_EQ(aLink_GetStatus(id), static_cast<uint32_t>(kLinkStatusRunning));
    EXPECT_TRUE(askModel(id)) << "still served after the first destroy";
    EXPECT_EQ(countFrames(dev, kRouteOff), 0u);

    ASSERT_EQ(aLink_Destroy(&second), aErrNone);
    EXPECT_EQ(aLink_GetStatus(id), static_cast<uint32_t>(kLinkStatusInvalidStream));
    ASSERT_TRUE(waitFrames(dev, kRouteOff, 1));
    EXPECT_EQ(dev.received().back(), kRouteOff);
    uint32_t again = id;
    EXPECT_EQ(aLink_Destroy(&again), aErrParam);
}

TEST(LinkRegistry, SerialLinksOverCobsRejectUnknownRatesAndLeaveNothingBehind) {
    sim::SimulatedModule dev(description());
    const std::string tty = dev.openPty();

    uint32_t before = aLink_Create(idleStream());
    ASSERT_NE(before, 0u);
    for (uint32_t rate : {1200u, 0u, 115201u, 460800u})
        EXPECT_EQ(aLink_CreateSerial(kSerial, tty.c_str(), rate), 0u) << rate;
    EXPECT_EQ(aLink_CreateSerial(kSerial, nullptr, 115200), 0u);
    uint32_t id = aLink_CreateSerial(kSerial, tty.c_str(), 115200);
    ASSERT_NE(id, 0u);
    EXPECT_EQ(id, before + 1) << "the refused rates made no entry";
    EXPECT_TRUE(askModel(id));

    // Synchronisation over COBS frames, where every framing byte reads as not ready.
    EXPECT_EQ(aLink_Sync(id), aErrNone);
    EXPECT_EQ(aLink_GetStatus(id), static_cast<uint32_t>(kLinkStatusRunning));
    EXPECT_TRUE(askModel(id));

    // One serial number, another transport: another link.
    uint32_t shared = aLink_CreateSerial(kSerial, tty.c_str(), 9600);
    EXPECT_EQ(shared, id);
    EXPECT_EQ(aLink_Destroy(&shared), aErrNone);

    // A serial link cannot be made again from what the registry knows: reset leaves it be.
    EXPECT_EQ(aLink_Reset(id), aErrParam);
    EXPECT_EQ(aLink_GetStatus(id), static_cast<uint32_t>(kLinkStatusRunning));
    EXPECT_TRUE(askModel(id));

    // A port that does not exist: nothing is left under the id it took.
    const uint32_t missing =
        aLink_CreateSerial(0x1234, "/dev/nonexistent-tty-for-link-test", 115200);
    EXPECT_EQ(missing, 0u);
    EXPECT_EQ(aLink_GetStatus(id + 1), static_cast<uint32_t>(kLinkStatusInvalidStream));

    EXPECT_EQ(aLink_Destroy(&id), aErrNone);
    ASSERT_TRUE(waitFrames(dev, kRouteOff, 1));
    EXPECT_EQ(aLink_Destroy(&before), aErrNone);
}

TEST(LinkRegistry, FailedCreationsReturnZero) {
    // Nothing listens on the port of a listener that was closed again.
    uint16_t port = 0;
    {
        TcpPeer closed;
        port = closed.port();
    }
    EXPECT_EQ(aLink_CreateTCPIP(0x11, loopback(), port), 0u);
    EXPECT_EQ(aLink_CreateUSB(0x22), 0u) << "no USB module with this serial number";
    EXPECT_EQ(aLink_CreateUSB(0x22), 0u) << "a failed creation shares nothing";
}

TEST(LinkRegistry, TcpLinkResetAfterTheModuleRestartedWorksAgain) {
    auto dev = std::make_unique<sim::SimulatedModule>(description());
    const uint16_t port = dev->listenTcp();
    uint32_t id = aLink_CreateTCPIP(kSerial, loopback(), port);
    ASSERT_NE(id, 0u);
    ASSERT_TRUE(askModel(id));

    // The module goes away; while it is gone no new stream can be made.
    dev.reset();
    EXPECT_EQ(aLink_Reset(id), aErrConnection);
    EXPECT_EQ(aLink_GetStatus(id), static_cast<uint32_t>(kLinkStatusIOError));
    EXPECT_FALSE(askModel(id));

    // It is back on the same port: the reset link reaches it.
    dev = std::make_unique<sim::SimulatedModule>(description());
    ASSERT_EQ(dev->listenTcp("127.0.0.1", port), port);
    ASSERT_EQ(aLink_Reset(id), aErrNone);
    EXPECT_EQ(aLink_GetStatus(id), static_cast<uint32_t>(kLinkStatusRunning));
    EXPECT_TRUE(askModel(id));
    EXPECT_TRUE(waitFrames(*dev, kRouteOn, 1));

    // And once more while it runs.
    ASSERT_EQ(aLink_Reset(id), aErrNone);
    EXPECT_TRUE(askModel(id));
    EXPECT_EQ(aLink_Destroy(&id), aErrNone);
}

TEST(LinkRegistry, ConcurrentSharersKeepOneEngine) {
    sim::SimulatedModule dev(description());
    const uint16_t port = dev.listenTcp();
    uint32_t owner = aLink_CreateTCPIP(kSerial, loopback(), port);
    ASSERT_NE(owner, 0u);

    std::atomic<int> failures{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&] {
            for (int i = 0; i < 25; ++i) {
                uint32_t id = aLink_CreateTCPIP(kSerial, loopback(), port);
                if (id != owner || !askModel(id)) ++failures;
                if (aLink_Destroy(&id) != aErrNone) ++failures;
            }
        });
    }
    for (std::thread& t : threads)
        t.join();
    EXPECT_EQ(failures.load(), 0);
    EXPECT_EQ(aLink_GetStatus(owner), static_cast<uint32_t>(kLinkStatusRunning));
    EXPECT_EQ(countFrames(dev, kRouteOn), 1u);
    EXPECT_EQ(aLink_Destroy(&owner), aErrNone);
    EXPECT_TRUE(waitFrames(dev, kRouteOff, 1));
}

// ---- the engine as the module sees it ------------------------------------------------------

namespace {
std::atomic<int> gTaken{0};
uint8_t takeHeartbeats(const aPacket* p, void*) {
    if (p->dataSize != 2 || p->data[0] != 0) return 0;
    ++gTaken;
    return 1;
}
uint8_t isHeartbeat(const aPacket* p, void*) {
    return p->dataSize == 2 && p->data[0] == 0;
}
} // namespace

class LinkWithModule : public ::testing::TestWithParam<std::string> {
protected:
    void SetUp() override {
        sim::Description d = description();
        d.heartbeatMs = 30;
        dev = std::make_unique<sim::SimulatedModule>(d);
        if (GetParam() == "tcp")
            id = aLink_CreateTCPIP(kSerial, loopback(), dev->listenTcp());
        else
            id = aLink_CreateSerial(kSerial, dev->openPty().c_str(), 230400);
        ASSERT_NE(id, 0u);
    }
    void TearDown() override { aLink_Destroy(&id); }

    sim::LinkStats stats() { return dev->stats(); }

    std::unique_ptr<sim::SimulatedModule> dev;
    uint32_t id = 0;
};

TEST_P(LinkWithModule, HeartbeatsAreAnsweredUnlessTheUserFilterTakesThem) {
    ASSERT_TRUE(dev->waitFor([](const auto& v) { return v.stats.heartbeatReplies >= 3; }, kWait));
    EXPECT_EQ(stats().heartbeatBadReplies, 0u);
    EXPECT_EQ(aLink_DrainPackets(id, isHeartbeat, nullptr), 0u) << "never delivered";

    gTaken = 0;
    ASSERT_EQ(aLink_InstallUserPacketFilter(id, takeHeartbeats, nullptr), aErrNone);
    const uint64_t missedBefore = stats().heartbeatsMissed;
    ASSERT_TRUE(dev->waitFor(
        [&](const auto& v) { return v.stats.heartbeatsMissed >= missedBefore + 3; }, kWait));
    EXPECT_GE(gTaken.load(), 3);
    EXPECT_TRUE(askModel(id)) << "other traffic passes the filter";
    EXPECT_EQ(aLink_InstallUserPacketFilter(id, nullptr, nullptr), aErrNone);
}

TEST_P(LinkWithModule, PooledFramesReachTheModuleOnceEachInOrder) {
    ASSERT_EQ(aLink_EnablePooledPackets(id, true), aErrNone);
    std::vector<Bytes> frames;
    for (int i = 0; i < 200; ++i) {
        // To an address nobody has: the module records the frames and stays silent.
        Bytes f{0x7E, 28};
        for (int k = 0; k < 28; ++k)
            f.push_back(static_cast<uint8_t>(i * 3 + k + 1));
        frames.push_back(f);
        PacketPtr p{makePacket(f)};
        ASSERT_EQ(aLink_PutPacket(id, p.get()), aErrNone);
    }
    ASSERT_TRUE(dev->waitFor(
        [](const auto& v) {
            size_t n = 0;
            for (const Bytes& f : v.received)
                n += f[0] == 0x7E;
            return n >= 200;
        },
        kWait));
    std::vector<Bytes> seen;
    for (const Bytes& f : dev->received())
        if (f[0] == 0x7E) seen.push_back(f);
    EXPECT_EQ(seen, frames);
    EXPECT_TRUE(askModel(id));
}

TEST_P(LinkWithModule, StopEndsWithTheRouteOffFrame) {
    ASSERT_TRUE(askModel(id));
    for (int i = 0; i < 20; ++i) {
        const uint8_t get[3] = {3, 0x48, 0x20};
        PacketPtr q{aPacket_CreateWithData(kAddress, 3, get)};
        ASSERT_EQ(aLink_PutPacket(id, q.get()), aErrNone);
    }
    ASSERT_EQ(aLink_Destroy(&id), aErrNone);
    ASSERT_TRUE(waitFrames(*dev, kRouteOff, 1));
    const std::vector<Bytes> seen = dev->received();
    EXPECT_EQ(seen.back(), kRouteOff);
    EXPECT_EQ(countFrames(*dev, Bytes{kAddress, 3, 3, 0x48, 0x20}), 21u);
    EXPECT_FALSE(stats().forceRoute);
}

INSTANTIATE_TEST_SUITE_P(Transports, LinkWithModule, ::testing::Values("tcp", "cobs"),
                         [](const auto& info) { return info.param == "tcp" ? "Tcp" : "CobsPty"; });
