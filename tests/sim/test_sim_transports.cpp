// The same device over TCP on loopback and over COBS serial on a pseudo-terminal, reached
// through the library's own socket and serial streams.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <fcntl.h>
#include <unistd.h>

#include "sim_host.h"

using simtest::Bytes;
using simtest::hex;
using simtest::Host;

namespace {

sim::Description device() {
    sim::Description d;
    d.module.serial = 0x12345678;
    d.restartMs = 50;
    return d;
}

// Sends a sync request until a sync reply comes back: the first write after the device
// dropped the connection may still be lost on the old one.
bool resync(Host& host) {
    for (int i = 0; i < 40; ++i) {
        host.write({0xAD, 0x00});
        if (hex(host.frame(std::chrono::milliseconds(250))) == "02 00") return true;
    }
    return false;
}

TEST(SimTransports, TcpServesOneHostAndComesBackAfterReboot) {
    sim::SimulatedModule dev(device());
    uint16_t port = dev.listenTcp();
    aStream* s = nullptr;
    ASSERT_EQ(aStream_CreateSocket(htonl(INADDR_LOOPBACK), port, &s), aErrNone);
    Host host(s);
    EXPECT_EQ(hex(host.ask({0xAD, 0x00})), "02 00");
    EXPECT_EQ(hex(host.ask({0x02, 0x03, 0x03, 0x49, 0x20})), "02 07 03 09 00 12 34 56 78");

    host.write({0x02, 0x02, 0x5F, 0x06});
    ASSERT_TRUE(simtest::waitBack(dev, 1));
    EXPECT_TRUE(resync(host));
    EXPECT_EQ(hex(host.ask({0x02, 0x03, 0x03, 0x49, 0x20})), "02 07 03 09 00 12 34 56 78");
}

TEST(SimTransports, TcpBusyDeviceRefusesConnections) {
    auto d = device();
    d.faults.push_back(sim::parseFault("busy"));
    sim::SimulatedModule dev(d);
    uint16_t port = dev.listenTcp();
    aStream* s = nullptr;
    ASSERT_EQ(aStream_CreateSocket(htonl(INADDR_LOOPBACK), port, &s), aErrNone);
    Host host(s);
    host.write({0xAD, 0x00});
    EXPECT_TRUE(host.frame(std::chrono::milliseconds(500)).empty());
    EXPECT_TRUE(dev.received().empty());
}

TEST(SimTransports, CobsSerialOnAPseudoTerminal) {
    sim::SimulatedModule dev(device());
    std::string path = dev.openPty();
    aStream* s = nullptr;
    ASSERT_EQ(aStream_CreateSerial_Packetized(path.c_str(), 6, 0, 0, 0, &s), aErrNone);
    Host host(s);
    EXPECT_EQ(hex(host.ask({0xAD, 0x00})), "02 00");
    // A full packet both ways: echo of 27 bytes after the command byte.
    Bytes req{0x02, 28, 0x17};
    for (uint8_t i = 0; i < 27; ++i)
        req.push_back(uint8_t(i * 9));
    EXPECT_EQ(hex(host.ask(req)), hex(req));

    // A frame with a wrong CRC is dropped; the next good one is answered.
    int raw = ::open(path.c_str(), O_RDWR | O_NOCTTY);
    ASSERT_GE(raw, 0);
    const uint8_t bad[] = {0x03, 0xAD, 0x01, 0x55, 0x00}; // AD 00 with CRC 0x55
    ASSERT_EQ(::write(raw, bad, sizeof bad), ssize_t(sizeof bad));
    ::close(raw);
    EXPECT_EQ(hex(host.ask({0x02, 0x03, 0x03, 0x49, 0x20})), "02 07 03 09 00 12 34 56 78");
    dev.inspect([](auto& v) {
        EXPECT_EQ(v.stats.syncRequests, 1u);
        EXPECT_EQ(v.received.size(), 3u);
    });
}

} // namespace
