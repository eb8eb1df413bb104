// The library's link engine driving the simulated module over the in-process stream pair:
// synchronisation, heartbeats answered by the engine, a UEI exchange, and the link dropping
// and recovering across a reboot.
#include <gtest/gtest.h>

#include <thread>

#include "aLink.h"
#include "sim_host.h"
#include "support/link_probe.h"

namespace {

using linkprobe::askSerial;
using linkprobe::waitStatus;

TEST(SimLink, EngineSyncsAnswersHeartbeatsAndRecoversAfterReboot) {
    sim::Description d;
    d.module.serial = 0x40F5849A;
    d.heartbeatMs = 200;
    d.restartMs = 100;
    sim::SimulatedModule dev(d);
    uint32_t id = aLink_Create(dev.openInProcess());
    ASSERT_NE(id, 0u);
    ASSERT_EQ(aLink_Sync(id), aErrNone);
    EXPECT_EQ(askSerial(id), 0x40F5849Au);
    // The engine answers heartbeats with V + 2 and the device counts them.
    EXPECT_TRUE(dev.waitFor([](auto& v) { return v.stats.heartbeatReplies >= 2; }, simtest::kWait));
    EXPECT_EQ(dev.stats().heartbeatBadReplies, 0u);
    EXPECT_TRUE(dev.stats().forceRoute); // the route frame of the link's start

    // Reboot: the stream fails while the device is away, then the engine resynchronises.
    const uint8_t reboot[] = {0x5F, 0x06};
    aPacket* p = aPacket_CreateWithData(2, sizeof reboot, reboot);
    aLink_PutPacket(id, p);
    aPacket_Destroy(&p);
    ASSERT_TRUE(simtest::waitBack(dev, 1));
    EXPECT_TRUE(waitStatus(id, kLinkStatusRunning));
    EXPECT_EQ(askSerial(id), 0x40F5849Au);
    EXPECT_EQ(aLink_Destroy(&id), aErrNone);
}

} // namespace
