// The link engine over an emulated USB device whose bulk endpoints carry the simulated module's
// byte stream: creation synchronises and runs, requests are answered, heartbeats are answered,
// and unplugging the device leaves the link in its I/O error state.
#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <thread>

#include "aLink.h"
#include "aUSB.h"
#include "sim/module/SimulatedModule.h"
#include "sim/usb/EmulatedUsb.h"
#include "support/link_probe.h"

namespace {

constexpr auto kWait = std::chrono::seconds(10);

using linkprobe::askSerial;
using linkprobe::waitStatus;

struct Case {
    const char* name;
    bool highSpeed;
};

class UsbLink : public ::testing::TestWithParam<Case> {};

TEST_P(UsbLink, RunsAgainstTheSimulatedModuleUntilUnplugged) {
    ASSERT_TRUE(sim::UsbTestbed::available()) << "run under umockdev-wrapper";
    sim::Description d;
    d.module.serial = 0x40F5849A;
    d.heartbeatMs = 200;
    sim::SimulatedModule module(d);
    auto bed = std::make_unique<sim::UsbTestbed>();
    sim::UsbDevice& dev = bed->add({.serial = "40F5849A", .highSpeed = GetParam().highSpeed});
    dev.attach(module);
    Vorlixane_libusb_exit();

    uint32_t id = aLink_CreateUSB(0x40F5849A);
    ASSERT_NE(id, 0u);
    EXPECT_TRUE(waitStatus(id, kLinkStatusRunning));
    EXPECT_TRUE(dev.claimed());
    EXPECT_EQ(askSerial(id), 0x40F5849Au);
    EXPECT_TRUE(module.waitFor([](auto& v) { return v.stats.heartbeatReplies >= 2; },
                               std::chrono::duration_cast<std::chrono::milliseconds>(kWait)));
    EXPECT_EQ(module.stats().heartbeatBadReplies, 0u);

    // A second creation for the same serial number shares the engine.
    uint32_t again = aLink_CreateUSB(0x40F5849A);
    EXPECT_EQ(again, id);
    EXPECT_EQ(aLink_Destroy(&again), aErrNone);

    bed->remove(dev);
    EXPECT_TRUE(waitStatus(id, kLinkStatusIOError));
    EXPECT_EQ(aLink_Destroy(&id), aErrNone);
    bed.reset();
    Vorlixane_libusb_exit();
}

INSTANTIATE_TEST_SUITE_P(Speeds, UsbLink,
                         ::testing::Values(Case{"high", true}, Case{"full", false}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(UsbLinkMissing, NoDeviceGivesNoLink) {
    auto bed = std::make_unique<sim::UsbTestbed>();
    bed->add({.serial = "11111111"}); // nobody answers on it: the synchronisation fails
    Vorlixane_libusb_exit();
    EXPECT_EQ(aLink_CreateUSB(0x22222222), 0u);
    EXPECT_EQ(aLink_CreateUSB(0x11111111), 0u);
    bed.reset();
    Vorlixane_libusb_exit();
}

} // namespace
