// Description files and fault settings of the simulated module.
#include <gtest/gtest.h>

#include "sim/module/SimDescription.h"

namespace {

TEST(SimDescription, FileWithBehindModulesAndFaults) {
    auto d = sim::parseDescription(R"(# a router with two modules behind it
serial = 0x40F5849A
model = 23
version = 2.10.3
build = 1234
name = Lab router
heartbeat_ms = 1000
block_size = 1024
loader_serial = 0xCAEBECEB
next_version = 2.15.0
slots = 0.0:512 2.3:64
factory = 0:32
fault = late,cmd=95,sub=7,nth=2,ms=1500
fault = busy

[behind]
address = 4
serial = 0x11111111

[behind]
address = 6
serial = 0x22222222
version = 0x2F020F00
)");
    EXPECT_EQ(d.module.serial, 0x40F5849Au);
    EXPECT_EQ(d.module.version, 0x2A000003u);
    EXPECT_EQ(d.module.name, "Lab router");
    EXPECT_EQ(d.blockSize, 1024);
    EXPECT_EQ(d.nextVersion.value(), 0x2F020F00u);
    ASSERT_EQ(d.slots.size(), 2u);
    EXPECT_EQ(d.slots[1].store, 2);
    EXPECT_EQ(d.slots[1].slot, 3);
    EXPECT_EQ(d.slots[1].capacity, 64);
    ASSERT_EQ(d.faults.size(), 2u);
    EXPECT_EQ(d.faults[0].kind, sim::FaultKind::LateReply);
    EXPECT_EQ(d.faults[0].command, 95);
    EXPECT_EQ(d.faults[0].sub, 7);
    EXPECT_EQ(d.faults[0].nth, 2u);
    EXPECT_EQ(d.faults[0].value, 1500u);
    ASSERT_EQ(d.behind.size(), 2u);
    EXPECT_EQ(d.behind[1].address, 6);
    EXPECT_EQ(d.behind[1].router, 2);
    EXPECT_EQ(d.behind[1].version, 0x2F020F00u);
}

TEST(SimDescription, RefusesWhatNoDeviceCouldBe) {
    const char* bad[] = {
        "address = 3", // odd module address
        "address = 0",
        "serial = 0x1FFFFFFFF", // wider than 32 bits
        "block_size = 0",
        "colour = blue", // unknown key
        "build = 12x",
        "[behind]\nserial = 1",  // behind module without an address
        "[behind]\naddress = 2", // the router's own address
        "fault = explode",       "fault = drop,cmd", "version = 2.300.1",
    };
    for (auto text : bad)
        EXPECT_THROW(sim::parseDescription(text), std::runtime_error) << text;
}

TEST(SimDescription, FaultDefaults) {
    auto f = sim::parseFault("prepare-status");
    EXPECT_EQ(f.command, 95);
    EXPECT_EQ(f.sub, 3);
    EXPECT_EQ(f.value, 1u);
    EXPECT_EQ(f.nth, 1u);
    auto g = sim::parseFault("drop,nth=0");
    EXPECT_EQ(g.command, 255);
    EXPECT_EQ(g.sub, -1);
    EXPECT_EQ(g.nth, 0u);
}

} // namespace
