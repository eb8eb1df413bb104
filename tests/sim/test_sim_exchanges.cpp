// The simulated module's behaviour pinned byte for byte over the in-process stream pair.
#include <gtest/gtest.h>

#include <numeric>

#include "sim_host.h"

using simtest::Bytes;
using simtest::hex;
using simtest::Host;

namespace {

sim::Description hub() {
    sim::Description d;
    d.module.serial = 0x40F5849A;
    d.module.model = 5;
    d.module.version = 0x2A000003; // 2.10.3
    d.module.build = 1234;
    d.module.address = 2;
    d.restartMs = 50;
    return d;
}

Bytes seq(size_t n, uint8_t first) {
    Bytes b(n);
    std::iota(b.begin(), b.end(), first);
    return b;
}

Bytes cat(Bytes a, const Bytes& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

// Sum of the bytes as the boot loader keeps it, big-endian.
Bytes sum32(const Bytes& b) {
    uint32_t s = 0;
    for (uint8_t x : b)
        s += x;
    return {uint8_t(s >> 24), uint8_t(s >> 16), uint8_t(s >> 8), uint8_t(s)};
}

// A raw packet to address 2: address, length, data.
Bytes pkt(Bytes data, uint8_t address = 2) {
    Bytes f{address, uint8_t(data.size())};
    return cat(f, data);
}

TEST(SimExchanges, SyncHandshakeAnswersEveryRequestAndResumesAfterBrokenFraming) {
    sim::SimulatedModule dev(hub());
    Host host(dev.openInProcess());
    const Bytes six{0xAD, 0x00, 0xAD, 0x00, 0xAD, 0x00, 0xAD, 0x00, 0xAD, 0x00, 0xAD, 0x00};
    ASSERT_EQ(host.write(six), aErrNone);
    EXPECT_EQ(hex(host.read(12)), "02 00 02 00 02 00 02 00 02 00 02 00");

    // Broken framing (an odd address, an address 0, a length of 29) makes the device skip
    // everything up to the host's next sync request; the request inside the noise is not
    // mistaken for a frame.
    for (const Bytes& noise : {Bytes{0x03, 0x00}, Bytes{0x00}, Bytes{0x02, 0x1D, 0x03, 0x49}}) {
        ASSERT_EQ(host.write(cat(noise, {0x02, 0x03, 0x03, 0x49, 0x20, 0xAD, 0x00})), aErrNone);
        EXPECT_EQ(hex(host.frame()), "02 00") << hex(noise);
    }
    // Back in step: the next request is answered.
    EXPECT_EQ(hex(host.ask(pkt({0x03, 0x49, 0x20}))), "02 07 03 09 00 40 F5 84 9A");
    auto st = dev.stats();
    EXPECT_EQ(st.syncRequests, 9u);
    EXPECT_EQ(st.framingErrors, 3u);
}

TEST(SimExchanges, HeartbeatAlternatesAndChecksTheHostsReply) {
    auto d = hub();
    d.heartbeatMs = 300;
    sim::SimulatedModule dev(d);
    Host host(dev.openInProcess());
    EXPECT_EQ(hex(host.frame()), "02 02 00 00");
    host.write({0x02, 0x02, 0x00, 0x02});
    EXPECT_TRUE(dev.waitFor([](auto& v) { return v.stats.heartbeatReplies == 1; }, simtest::kWait));
    EXPECT_EQ(hex(host.frame()), "02 02 00 01");
    host.write({0x02, 0x02, 0x00, 0x01}); // not V + 2
    EXPECT_TRUE(
        dev.waitFor([](auto& v) { return v.stats.heartbeatBadReplies == 1; }, simtest::kWait));
    // Heartbeat replies are answered by nothing.
    for (auto& f : dev.sent())
        EXPECT_EQ(hex(f).substr(0, 9), "02 02 00 ") << hex(f);
}

TEST(SimExchanges, SystemEntityGetsSetsAndErrors) {
    sim::SimulatedModule dev(hub());
    Host host(dev.openInProcess());
    struct Case {
        Bytes request;
        const char* reply;
    } cases[] = {
        {{0x03, 0x49, 0x20}, "02 07 03 09 00 40 F5 84 9A"},                // serial
        {{0x03, 0x47, 0x20}, "02 07 03 07 00 2A 00 00 03"},                // version word
        {{0x03, 0x6B, 0x20}, "02 07 03 2B 00 00 00 04 D2"},                // build 1234
        {{0x03, 0x48, 0x20}, "02 04 03 08 00 05"},                         // model
        {{0x03, 0x41, 0x20}, "02 04 03 01 00 02"},                         // module address
        {{0x03, 0x6D, 0x20}, "02 07 03 2D 00 80 00 00 00"},                // features: pooled
        {{0x03, 0x84, 0x20, 0x07}, "02 03 03 C4 00"},                      // LED := 7
        {{0x03, 0x44, 0x20}, "02 04 03 04 00 07"},                         // ... reads back
        {{0x03, 0x89, 0x20, 0, 0, 0, 1}, "02 04 03 C9 80 15"},             // serial is read-only
        {{0x03, 0x54, 0x20}, "02 04 03 14 80 15"},                         // routeToMe is set-only
        {{0x03, 0x84, 0x20, 0x00, 0x07}, "02 04 03 C4 80 0E"},             // set of the wrong width
        {{0x03, 0x49, 0x20, 0x00}, "02 04 03 09 80 0E"},                   // get with a subindex
        {{0x03, 0x7F, 0x20}, "02 04 03 3F 80 1D"},                         // unknown option
        {{0x32, 0x41, 0x20}, "02 04 32 01 80 1C"},                         // unknown entity class
        {{0x03, 0x49, 0x21}, "02 04 03 09 81 1C"},                         // no system entity 1
        {{0x03, 0x49, 0x00}, "02 04 03 09 80 18"},                         // request bit missing
        {{0x03, 0x94, 0x20, 0x02}, "02 04 03 D4 80 02"},                   // routeToMe 2
        {{0x5C, 0x80, 0x20, 0x00, 0x00, 0x03, 0x00}, "02 03 5C C0 00"},    // store: save system
        {{0x5C, 0x80, 0x20, 0x00, 0x00, 0x33, 0x00}, "02 04 5C C0 80 1C"}, // no class 51
    };
    for (auto& c : cases)
        EXPECT_EQ(hex(host.ask(pkt(c.request))), c.reply) << hex(c.request);
}

TEST(SimExchanges, NameOfSixtyBytesTravelsAsByteTransfersBothWays) {
    sim::SimulatedModule dev(hub());
    Host host(dev.openInProcess());
    Bytes name = seq(60, 'A');
    Bytes run = cat(
        cat(pkt(cat(cat({0x03, 0xA0, 0x20}, Bytes(name.begin(), name.begin() + 24)), {0x80})),
            pkt(cat(cat({0x03, 0xA0, 0x20}, Bytes(name.begin() + 24, name.begin() + 48)), {0x81}))),
        pkt(cat(cat({0x03, 0xA0, 0x20}, Bytes(name.begin() + 48, name.end())), {0x02})));
    ASSERT_EQ(run.size(), 30u + 30 + 18);
    EXPECT_EQ(hex(host.ask(run)), "02 03 03 E0 00");

    host.write(pkt({0x03, 0x60, 0x20}));
    EXPECT_EQ(
        hex(host.frame()),
        hex(pkt(cat(cat({0x03, 0x20, 0x00}, Bytes(name.begin(), name.begin() + 24)), {0x80}))));
    EXPECT_EQ(hex(host.frame()),
              hex(pkt(cat(cat({0x03, 0x20, 0x00}, Bytes(name.begin() + 24, name.begin() + 48)),
                          {0x81}))));
    EXPECT_EQ(hex(host.frame()),
              hex(pkt(cat(cat({0x03, 0x20, 0x00}, Bytes(name.begin() + 48, name.end())), {0x02}))));

    // A run whose sequence skips a number is refused once and leaves the name alone.
    Bytes bad = cat(pkt(cat(cat({0x03, 0xA0, 0x20}, Bytes(24, 'x')), {0x80})),
                    pkt(cat(cat({0x03, 0xA0, 0x20}, Bytes(4, 'y')), {0x02})));
    EXPECT_EQ(hex(host.ask(bad)), "02 04 03 E0 80 18");
    // Longer than the name's capacity (64): refused, the rest of the run swallowed.
    Bytes tooLong;
    for (uint8_t i = 0; i < 3; ++i)
        tooLong =
            cat(tooLong,
                pkt(cat(cat({0x03, 0xA0, 0x20}, Bytes(24, 'z')), {uint8_t(i < 2 ? 0x80 | i : i)})));
    EXPECT_EQ(hex(host.ask(tooLong)), "02 04 03 E0 80 0E");
    // Neither refused run touched the name.
    host.write(pkt({0x03, 0x60, 0x20}));
    EXPECT_EQ(
        hex(host.frame()),
        hex(pkt(cat(cat({0x03, 0x20, 0x00}, Bytes(name.begin(), name.begin() + 24)), {0x80}))));
}

TEST(SimExchanges, RouterAcknowledgesOnlyItsModulesAndRoutesOnRequest) {
    auto d = hub();
    d.module.model = 23;
    sim::ModuleIdentity behind;
    behind.serial = 0x11223344;
    behind.address = 4;
    behind.router = 2;
    d.behind.push_back(behind);
    sim::SimulatedModule dev(d);
    Host host(dev.openInProcess());
    // I2C write of two zero bytes at speed 3: acknowledged for 4, refused (0x99) for 6.
    EXPECT_EQ(hex(host.ask(pkt({0x08, 0x00, 0x04, 0x02, 0x03, 0x00, 0x00}))),
              "02 05 08 00 04 00 00");
    EXPECT_EQ(hex(host.ask(pkt({0x08, 0x00, 0x06, 0x02, 0x03, 0x00, 0x00}))),
              "02 05 08 00 06 00 99");
    EXPECT_EQ(hex(host.ask(pkt({0x08, 0x00, 0x04, 0x03, 0x03, 0x00, 0x00}))),
              "02 05 08 00 04 00 8E");
    EXPECT_EQ(hex(host.ask(pkt({0x08, 0x00, 0x05, 0x02, 0x03}))), "02 07 08 00 05 02 00 00 00");

    // Not routed yet: the packet for 4 gets no answer (the echo behind it is the next reply).
    host.write(pkt({0x03, 0x49, 0x20}, 4));
    EXPECT_EQ(hex(host.ask(pkt({0x17, 0x01}))), "02 02 17 01");
    EXPECT_EQ(hex(host.ask(pkt({0x03, 0x94, 0x20, 0x01}))), "02 03 03 D4 00"); // routeToMe(1)
    EXPECT_EQ(hex(host.ask(pkt({0x03, 0x49, 0x20}, 4))), "04 07 03 09 00 11 22 33 44");
    EXPECT_EQ(hex(host.ask(pkt({0x03, 0x42, 0x20}, 4))), "04 04 03 02 00 02"); // its router
    EXPECT_EQ(hex(host.ask(pkt({0x03, 0x94, 0x20, 0x00}))), "02 03 03 D4 00");
    // The route frame every link sends at start routes as well.
    host.write({0xAF, 0x01, 0x01});
    EXPECT_EQ(hex(host.ask(pkt({0x49, 0xFF}, 4))), "04 06 49 FF 00 00 03 E8");
}

TEST(SimExchanges, ModuleInformationAndEcho) {
    auto d = hub();
    d.ueiData = false;
    sim::SimulatedModule dev(d);
    Host host(dev.openInProcess());
    struct Case {
        Bytes request;
        const char* reply;
    } cases[] = {
        {{0x49, 0xFF}, "02 06 49 FF 00 00 04 D2"},
        {{0x49, 0x01, 0x03, 0x09, 0x00, 0x40}, "02 06 49 01 03 09 00 00"},
        {{0x49, 0x01, 0x03, 0x09, 0x00, 0x80}, "02 06 49 01 03 09 00 15"},
        {{0x49, 0x01, 0x5F, 0x0A, 0x00, 0x80}, "02 06 49 01 5F 0A 00 1D"}, // no UEI data
        {{0x49, 0x01, 0x03, 0x09, 0x00, 0xC0}, "02 06 49 01 03 09 00 02"},
        {{0x49, 0x04, 0x03}, "02 04 49 04 03 01"},
        {{0x49, 0x04, 0x40}, "02 04 49 04 40 00"},
        {{0x49, 0x05, 0x03, 0x00}, "02 05 49 05 03 00 00"},
        {{0x17, 'h', 'e', 'l', 'l', 'o'}, "02 06 17 68 65 6C 6C 6F"},
    };
    for (auto& c : cases)
        EXPECT_EQ(hex(host.ask(pkt(c.request))), c.reply) << hex(c.request);
}

// One loader block, load (the loader comes back as another serial number), one firmware
// block in two chunks with sums and commits, and a reboot into the new firmware.
TEST(SimExchanges, UpgradeLoaderAndFirmwareBlocksThenReboot) {
    auto d = hub();
    d.blockSize = 32;
    d.loaderSerial = 0xCAEBECEB;
    d.nextVersion = 0x2B000000; // 2.11.0
    d.nextBuild = 1300;
    d.serialAddress = 0x1008;
    sim::SimulatedModule dev(d);
    auto host = std::make_unique<Host>(dev.openInProcess());

    EXPECT_EQ(hex(host->ask(pkt({0x5F, 0x00}))), "02 06 5F 00 20 00 00 00");
    EXPECT_EQ(hex(host->ask(pkt({0x5F, 0x03, 0x00, 0x20, 0x00, 0x00, 0x00}))),
              "02 05 5F 07 00 00 20");
    Bytes loader = seq(30, 0x80);
    EXPECT_EQ(hex(host->ask(pkt(cat({0x5F, 0x01}, Bytes(loader.begin(), loader.begin() + 26))))),
              "02 03 5F 01 1A");
    EXPECT_EQ(hex(host->ask(pkt(cat({0x5F, 0x01}, Bytes(loader.begin() + 26, loader.end()))))),
              "02 03 5F 01 04");
    EXPECT_EQ(hex(host->ask(pkt({0x5F, 0x04}))), "02 07 5F 07 00 " + hex(sum32(loader)));
    EXPECT_EQ(hex(host->ask(pkt({0x5F, 0x02}))), "02 02 5F 02");
    EXPECT_EQ(host->readUntilError(), aErrIO); // off the link while the loader starts
    ASSERT_TRUE(simtest::waitBack(dev, 1));
    host = std::make_unique<Host>(dev.openInProcess());
    EXPECT_EQ(hex(host->ask(pkt({0x03, 0x49, 0x20}))), "02 07 03 09 00 CA EB EC EB");

    // Firmware: 40 bytes at 0x1000 with the serial word patched in at 0x1008.
    Bytes fw = seq(40, 1);
    for (int i = 0; i < 4; ++i)
        fw[8 + i] = uint8_t(0x40F5849A >> (8 * i));
    EXPECT_EQ(hex(host->ask(pkt({0x5F, 0x03, 0x01, 0x00, 0x00, 0x10, 0x00}))),
              "02 05 5F 07 00 00 20");
    Bytes chunk1(fw.begin(), fw.begin() + 32), chunk2(fw.begin() + 32, fw.end());
    EXPECT_EQ(hex(host->ask(pkt(cat({0x5F, 0x01}, Bytes(chunk1.begin(), chunk1.begin() + 26))))),
              "02 03 5F 01 1A");
    // The chunk buffer holds the block size: 7 more bytes do not fit and none are taken.
    EXPECT_EQ(hex(host->ask(pkt(cat({0x5F, 0x01}, Bytes(7, 0xEE))))), "02 03 5F 01 00");
    EXPECT_EQ(hex(host->ask(pkt(cat({0x5F, 0x01}, Bytes(chunk1.begin() + 26, chunk1.end()))))),
              "02 03 5F 01 06");
    EXPECT_EQ(hex(host->ask(pkt({0x5F, 0x04}))), "02 07 5F 07 00 " + hex(sum32(chunk1)));
    EXPECT_EQ(hex(host->ask(pkt({0x5F, 0x05, 0x00, 0x1F}))), "02 03 5F 07 0E"); // wrong count
    // The refused write dropped the chunk: send it again, then commit it.
    for (size_t off = 0; off < 32; off += 26) {
        size_t n = std::min<size_t>(26, 32 - off);
        host->ask(pkt(cat({0x5F, 0x01}, Bytes(chunk1.begin() + off, chunk1.begin() + off + n))));
    }
    EXPECT_EQ(hex(host->ask(pkt({0x5F, 0x05, 0x00, 0x20}))), "02 03 5F 07 00");
    // The sum starts again after the commit.
    EXPECT_EQ(hex(host->ask(pkt({0x5F, 0x04}))), "02 07 5F 07 00 00 00 00 00");
    EXPECT_EQ(hex(host->ask(pkt(cat({0x5F, 0x01}, chunk2)))), "02 03 5F 01 08");
    EXPECT_EQ(hex(host->ask(pkt({0x5F, 0x04}))), "02 07 5F 07 00 " + hex(sum32(chunk2)));
    EXPECT_EQ(hex(host->ask(pkt({0x5F, 0x05, 0x00, 0x08}))), "02 03 5F 07 00");

    host->write(pkt({0x5F, 0x06})); // reboot: no reply, the link drops
    EXPECT_EQ(host->readUntilError(), aErrIO);
    ASSERT_TRUE(simtest::waitBack(dev, 2));
    host = std::make_unique<Host>(dev.openInProcess());
    EXPECT_EQ(hex(host->ask(pkt({0x03, 0x47, 0x20}))), "02 07 03 07 00 2B 00 00 00");
    EXPECT_EQ(hex(host->ask(pkt({0x49, 0xFF}))), "02 06 49 FF 00 00 05 14");
    EXPECT_EQ(hex(host->ask(pkt({0x03, 0x49, 0x20}))), "02 07 03 09 00 40 F5 84 9A");

    auto m = dev.module();
    Bytes back(30);
    ASSERT_TRUE(m.flash.read(0x20000000, back.data(), back.size()));
    EXPECT_EQ(back, loader);
    back.resize(40);
    ASSERT_TRUE(m.flash.read(0x1000, back.data(), back.size()));
    EXPECT_EQ(back, fw);
    EXPECT_EQ(m.committedWrites, 2u);
    EXPECT_EQ(m.mode, sim::UpgradeMode::Firmware);
}

TEST(SimExchanges, UpgradeRefusesWhatTheLoaderCannotTake) {
    auto d = hub();
    d.blockSize = 64;
    sim::SimulatedModule dev(d);
    Host host(dev.openInProcess());
    struct Case {
        Bytes request;
        const char* reply;
    } cases[] = {
        {{0x5F, 0x03, 0x00, 0, 0, 0, 0}, "02 05 5F 07 07 00 00"}, // prepare before init
        {{0x5F, 0x01, 0xAA}, "02 03 5F 01 00"},                   // data before prepare
        {{0x5F, 0x04}, "02 07 5F 07 07 00 00 00 00"},             // sum before prepare
        {{0x5F, 0x00}, "02 06 5F 00 20 00 00 00"},
        {{0x5F, 0x03, 0x08, 0, 0, 0, 0}, "02 05 5F 07 02 00 00"}, // flags above 7
        {{0x5F, 0x03, 0x00, 0, 0, 0}, "02 05 5F 07 0E 00 00"},    // prepare too short
        {{0x5F, 0x05, 0x00}, "02 03 5F 07 0E"},                   // write too short
    };
    for (auto& c : cases)
        EXPECT_EQ(hex(host.ask(pkt(c.request))), c.reply) << hex(c.request);
}

// The loader's UEI option 10 takes a whole chunk as one byte transfer; it counts in the sum.
TEST(SimExchanges, UpgradeChunkAsByteTransfer) {
    auto d = hub();
    d.blockSize = 64;
    sim::SimulatedModule dev(d);
    {
        // The boot loader takes firmware chunks once it runs.
        Host first(dev.openInProcess());
        first.ask(pkt({0x5F, 0x00}));
        first.ask(pkt({0x5F, 0x02}));
        ASSERT_TRUE(simtest::waitBack(dev, 1));
    }
    Host host(dev.openInProcess());
    EXPECT_EQ(hex(host.ask(pkt({0x5F, 0x03, 0x00, 0x00, 0x00, 0x40, 0x00}))),
              "02 05 5F 07 00 00 40");
    Bytes chunk = seq(50, 7);
    Bytes run =
        cat(cat(pkt(cat(cat({0x5F, 0x8A, 0x20}, Bytes(chunk.begin(), chunk.begin() + 24)), {0x80})),
                pkt(cat(cat({0x5F, 0x8A, 0x20}, Bytes(chunk.begin() + 24, chunk.begin() + 48)),
                        {0x81}))),
            pkt(cat(cat({0x5F, 0x8A, 0x20}, Bytes(chunk.begin() + 48, chunk.end())), {0x02})));
    EXPECT_EQ(hex(host.ask(run)), "02 03 5F CA 00");
    EXPECT_EQ(hex(host.ask(pkt({0x5F, 0x04}))), "02 07 5F 07 00 " + hex(sum32(chunk)));
    // A second chunk that would overflow the 64-byte buffer is refused whole.
    EXPECT_EQ(hex(host.ask(run)), "02 04 5F CA 80 0F");
}

TEST(SimExchanges, StoreSlotsAndFactoryData) {
    sim::SimulatedModule dev(hub());
    Host host(dev.openInProcess());
    EXPECT_EQ(hex(host.ask(pkt({0x04, 0x01, 0x01, 0x00}))), "02 06 04 01 01 00 01 00"); // 256
    EXPECT_EQ(hex(host.ask(pkt({0x04, 0x01, 0x07, 0x00}))), "02 05 04 81 07 00 1A");    // none
    Bytes open = host.ask(pkt({0x04, 0x04, 0x00, 0x01}));
    ASSERT_EQ(open.size(), 7u);
    uint8_t h = open[6];
    Bytes data = seq(30, 200);
    uint8_t s = 0;
    for (int i = 0; i < 25; ++i)
        s = uint8_t(s + data[i]);
    EXPECT_EQ(hex(host.ask(pkt(cat({0x04, 0x07, h}, Bytes(data.begin(), data.begin() + 25))))),
              hex(pkt({0x04, 0x07, h, s})));
    host.ask(pkt(cat({0x04, 0x07, h}, Bytes(data.begin() + 25, data.end()))));
    EXPECT_EQ(hex(host.ask(pkt({0x04, 0x08, h}))), hex(pkt({0x04, 0x08, h, 0x00})));
    EXPECT_EQ(hex(host.ask(pkt({0x04, 0x08, h}))), hex(pkt({0x04, 0x88, h, 0x03}))); // closed
    EXPECT_EQ(hex(host.ask(pkt({0x04, 0x02, 0x00, 0x01}))), "02 06 04 02 00 01 00 1E");
    Bytes ro = host.ask(pkt({0x04, 0x03, 0x00, 0x01}));
    ASSERT_EQ(ro.size(), 7u);
    uint8_t r = ro[6];
    EXPECT_EQ(hex(host.ask(pkt({0x04, 0x06, r}))),
              hex(pkt(cat({0x04, 0x06, r}, Bytes(data.begin(), data.begin() + 25)))));
    EXPECT_EQ(hex(host.ask(pkt({0x04, 0x06, r}))),
              hex(pkt(cat({0x04, 0x06, r}, Bytes(data.begin() + 25, data.end())))));
    host.ask(pkt({0x04, 0x08, r}));

    // Factory block 0 (capacity 64): 27 bytes in 26 + 1, confirmed by the end packet.
    Bytes f = seq(27, 0x30);
    EXPECT_EQ(hex(host.ask(pkt(cat({0x5E, 0x50}, Bytes(f.begin(), f.begin() + 26))))),
              "02 02 5E 00");
    EXPECT_EQ(hex(host.ask(pkt({0x5E, 0x10, f[26]}))), "02 02 5E 00");
    EXPECT_EQ(hex(host.ask(pkt({0x5E, 0x20, 0x00, 0x1B}))), "02 02 5E 00");
    EXPECT_EQ(hex(host.ask(pkt({0x5E, 0x40}))),
              hex(pkt(cat({0x5E, 0x00}, Bytes(f.begin(), f.begin() + 26)))));
    EXPECT_EQ(hex(host.ask(pkt({0x5E, 0x00}))), hex(pkt({0x5E, 0x00, f[26]})));
    EXPECT_EQ(hex(host.ask(pkt({0x5E, 0x20, 0x00, 0x1B}))), "02 02 5E 00");
    // A write whose end packet counts wrongly is refused and changes nothing.
    host.ask(pkt({0x5E, 0x50, 0x01, 0x02}));
    EXPECT_EQ(hex(host.ask(pkt({0x5E, 0x20, 0x00, 0x05}))), "02 03 5E 80 0E");
    EXPECT_EQ(hex(host.ask(pkt({0x5E, 0x40}))),
              hex(pkt(cat({0x5E, 0x00}, Bytes(f.begin(), f.begin() + 26)))));
}

TEST(SimExchanges, StreamSubscriptionSendsSamples) {
    auto d = hub();
    d.streamPeriodMs = 20;
    sim::SimulatedModule dev(d);
    Host host(dev.openInProcess());
    // Subscribe to system option 22 (uptime) of module 2, index 0.
    EXPECT_EQ(hex(host.ask(pkt({0x5D, 0x81, 0x20, 0x02, 0x03, 0x16, 0x00}))), "02 03 5D C1 00");
    EXPECT_EQ(hex(host.ask(pkt({0x5D, 0x41, 0x20}))).substr(0, 8), "02 04 5D");
    // Samples: type 3 (32-bit), eight timestamp bytes, the value, sequence byte 0.
    for (int i = 0; i < 2; ++i) {
        Bytes s = host.frame();
        ASSERT_EQ(s.size(), 19u) << hex(s);
        EXPECT_EQ(hex(Bytes(s.begin(), s.begin() + 6)), "02 11 03 16 40 03");
        EXPECT_EQ(s.back(), 0);
    }
    // Unsubscribing: samples already on the way come first, then the acknowledgement, and
    // nothing after it.
    host.write(pkt({0x5D, 0x82, 0x20, 0x02, 0x03, 0x16, 0x00}));
    std::string ack;
    for (int i = 0; i < 100 && ack != "02 03 5D C2 00"; ++i)
        ack = hex(host.frame());
    EXPECT_EQ(ack, "02 03 5D C2 00");
    EXPECT_EQ(hex(host.ask(pkt({0x17, 0x09}))), "02 02 17 09");
    // A subscription for another module's key is refused.
    EXPECT_EQ(hex(host.ask(pkt({0x5D, 0x81, 0x20, 0x04, 0x03, 0x16, 0x00}))), "02 04 5D C1 80 02");
}

} // namespace
