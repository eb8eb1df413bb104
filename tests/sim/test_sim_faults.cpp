// Faults injected into one run, as the failure tests of the library and the tool use them.
#include <gtest/gtest.h>

#include "sim_host.h"

using simtest::Bytes;
using simtest::hex;
using simtest::Host;

namespace {

sim::Description plain(std::initializer_list<const char*> faults) {
    sim::Description d;
    d.module.serial = 0x0000ABCD;
    d.restartMs = 50;
    for (auto f : faults)
        d.faults.push_back(sim::parseFault(f));
    return d;
}

Bytes echo(uint8_t tag) {
    return {0x02, 0x02, 0x17, tag};
}

TEST(SimFaults, DropLateAndGarbageApplyToTheNthMatchingReply) {
    sim::SimulatedModule dev(
        plain({"drop,cmd=23,nth=2", "late,cmd=23,nth=3,ms=300", "garbage,cmd=23,nth=5,bytes=3"}));
    Host host(dev.openInProcess());
    EXPECT_EQ(hex(host.ask(echo(1))), "02 02 17 01");
    host.write(echo(2)); // dropped
    host.write(echo(3)); // late: overtaken by 4
    EXPECT_EQ(hex(host.ask(echo(4))), "02 02 17 04");
    EXPECT_EQ(hex(host.frame()), "02 02 17 03");
    host.write(echo(5));
    EXPECT_EQ(hex(host.read(3)), "00 41 43"); // noise that breaks the host's framing
    EXPECT_EQ(hex(host.frame()), "02 02 17 05");
    EXPECT_EQ(hex(host.ask(echo(6))), "02 02 17 06");
    // Sync replies are never subject to reply faults.
    EXPECT_EQ(hex(host.ask({0xAD, 0x00})), "02 00");
}

TEST(SimFaults, WrongSumWrongCountAndPrepareStatus) {
    sim::SimulatedModule dev(
        plain({"wrong-sum", "wrong-count,nth=2", "prepare-status,nth=2,status=9"}));
    Host host(dev.openInProcess());
    host.ask({0x02, 0x02, 0x5F, 0x00});
    EXPECT_EQ(hex(host.ask({0x02, 0x07, 0x5F, 0x03, 0, 0, 0, 0, 0})), "02 05 5F 07 00 08 00");
    EXPECT_EQ(hex(host.ask({0x02, 0x04, 0x5F, 0x01, 0x10, 0x20})), "02 03 5F 01 02");
    EXPECT_EQ(hex(host.ask({0x02, 0x04, 0x5F, 0x01, 0x01, 0x02})), "02 03 5F 01 01"); // not taken
    EXPECT_EQ(hex(host.ask({0x02, 0x02, 0x5F, 0x04})), "02 07 5F 07 00 00 00 00 31"); // 0x30 + 1
    EXPECT_EQ(hex(host.ask({0x02, 0x02, 0x5F, 0x04})), "02 07 5F 07 00 00 00 00 30"); // only once
    EXPECT_EQ(hex(host.ask({0x02, 0x07, 0x5F, 0x03, 0, 0, 0, 0, 0})), "02 05 5F 07 09 00 00");
}

TEST(SimFaults, DisconnectInTheMiddleOfATransferAndComingBack) {
    sim::SimulatedModule dev(plain({"disconnect,cmd=95,sub=1,nth=2,ms=100"}));
    Host host(dev.openInProcess());
    host.ask({0x02, 0x02, 0x5F, 0x00});
    host.ask({0x02, 0x07, 0x5F, 0x03, 0, 0, 0, 0, 0});
    EXPECT_EQ(hex(host.ask({0x02, 0x03, 0x5F, 0x01, 0x10})), "02 03 5F 01 01");
    host.write({0x02, 0x03, 0x5F, 0x01, 0x11});
    EXPECT_EQ(host.readUntilError(), aErrIO);
    EXPECT_EQ(host.write({0xAD, 0x00}), aErrIO); // nobody on the line
    ASSERT_TRUE(simtest::waitBack(dev, 1));
    Host again(dev.openInProcess());
    EXPECT_EQ(hex(again.ask({0xAD, 0x00})), "02 00");
}

TEST(SimFaults, NeverComingBackAfterReboot) {
    sim::SimulatedModule dev(plain({"no-return,cmd=95,sub=6"}));
    Host host(dev.openInProcess());
    host.write({0x02, 0x02, 0x5F, 0x06});
    EXPECT_EQ(host.readUntilError(), aErrIO);
    // Nothing is scheduled that would bring it back.
    dev.inspect([](auto& v) {
        EXPECT_FALSE(v.linkUp);
        EXPECT_EQ(v.core.nextDeadline(), sim::Clock::time_point::max());
    });
}

TEST(SimFaults, BusyRefusesTheHostUntilReleased) {
    sim::SimulatedModule dev(plain({"busy"}));
    Host host(dev.openInProcess());
    EXPECT_EQ(host.write({0xAD, 0x00}), aErrBusy);
    EXPECT_EQ(host.readUntilError(), aErrBusy);
    dev.setBusy(false);
    EXPECT_EQ(hex(host.ask({0xAD, 0x00})), "02 00");
    EXPECT_TRUE(dev.received().size() == 1);
}

} // namespace
