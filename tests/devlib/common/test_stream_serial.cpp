// Serial streams, raw and COBS-framed, on pseudo-terminal pairs: the test holds the master
// end and plays the module.
#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <poll.h>
#include <pty.h>
#include <string>
#include <termios.h>
#include <unistd.h>
#include <vector>

#include "aStream.h"

namespace {

using Bytes = std::vector<uint8_t>;
using Clock = std::chrono::steady_clock;
constexpr auto kPatience = std::chrono::seconds(10);

Bytes frameOf(const Bytes& packet) {
    Bytes body = packet;
    body.push_back(crc8_create(packet.data(), packet.size()));
    Bytes out(COBS_ENCODED_MAX(body.size()) + 1);
    out.resize(cobs_encode(body.data(), body.size(), out.data()));
    out.push_back(0x00);
    return out;
}
Bytes cat(std::initializer_list<Bytes> parts) {
    Bytes v;
    for (const Bytes& p : parts)
        v.insert(v.end(), p.begin(), p.end());
    return v;
}
Bytes packet28(uint8_t address) {
    Bytes p{address, 28};
    for (uint8_t i = 0; i < 28; ++i)
        p.push_back(static_cast<uint8_t>(i * 9)); // zeros included
    return p;
}

class Pty : public ::testing::Test {
protected:
    void SetUp() override {
        char name[256];
        ASSERT_EQ(openpty(&master, &slave, name, nullptr, nullptr), 0);
        path = name;
        // The test's own slave descriptor keeps the pair alive when a stream closes, and
        // the master end must not translate what it passes.
        struct termios raw;
        ASSERT_EQ(tcgetattr(slave, &raw), 0);
        cfmakeraw(&raw);
        ASSERT_EQ(tcsetattr(slave, TCSANOW, &raw), 0);
        ASSERT_EQ(tcgetattr(slave, &before), 0);
    }
    void TearDown() override {
        if (stream != nullptr) aStream_Destroy(&stream);
        if (master >= 0) close(master);
        close(slave);
    }

    void toStream(const Bytes& b) {
        ASSERT_EQ(write(master, b.data(), b.size()), static_cast<ssize_t>(b.size()));
    }
    // What the stream sent, waiting for exactly n bytes.
    Bytes fromStream(size_t n) {
        Bytes got;
        const auto end = Clock::now() + kPatience;
        while (got.size() < n && Clock::now() < end) {
            pollfd p{master, POLLIN, 0};
            if (poll(&p, 1, 100) <= 0) continue;
            uint8_t buf[256];
            const ssize_t r = read(master, buf, std::min(sizeof buf, n - got.size()));
            if (r > 0) got.insert(got.end(), buf, buf + r);
        }
        return got;
    }
    bool masterIdle() {
        pollfd p{master, POLLIN, 0};
        return poll(&p, 1, 50) == 0;
    }
    // n bytes read one at a time; counts the corrupt frames met on the way.
    Bytes readStream(size_t n, int* corrupt = nullptr) {
        Bytes got;
        const auto end = Clock::now() + kPatience;
        while (got.size() < n && Clock::now() < end) {
            uint8_t b;
            const aErr err = aStream_Read(stream, &b, 1);
            if (err == aErrNone)
                got.push_back(b);
            else if (err == aErrPacket && corrupt != nullptr)
                ++*corrupt;
            else if (err != aErrNotReady)
                ADD_FAILURE() << "read error " << err;
        }
        return got;
    }
    // Reads until nothing more arrives for a while; true when no byte was handed out.
    bool nothingToRead(int* corrupt) {
        for (int i = 0; i < 3; ++i) {
            uint8_t b;
            const aErr err = aStream_Read(stream, &b, 1);
            if (err == aErrNone) return false;
            if (err == aErrPacket) ++*corrupt;
        }
        return true;
    }

    int master = -1, slave = -1;
    std::string path;
    struct termios before;
    aStream* stream = nullptr;
};

struct LineCase {
    uint32_t rate;
    uint8_t parity, dataBits, stopBits;
    speed_t speed;
    tcflag_t cflag; // beyond CREAD | CLOCAL
};

TEST_F(Pty, TerminalSettingsAppliedAndRestored) {
    const LineCase cases[] = {
        {0, 0, 0, 0, B2400, CS8},
        {1, 0, 0, 0, B4800, CS8},
        {2, 1, 0, 0, B9600, CS8 | PARENB},
        {3, 0, 1, 0, B19200, CS7},
        {4, 0, 0, 1, B38400, CS8 | CSTOPB},
        {5, 1, 1, 1, B57600, CS7 | PARENB | CSTOPB},
        {6, 0, 0, 0, B115200, CS8},
        {7, 0, 0, 0, B230400, CS8},
        {8, 0, 0, 0, B0, CS8},
    };
    // Settings unlike the stream's own, to see them come back.
    struct termios cooked = before;
    cooked.c_iflag = ICRNL | IXON;
    cooked.c_oflag = OPOST | ONLCR;
    cooked.c_lflag = ICANON | ECHO | ISIG;
    cooked.c_cflag = (cooked.c_cflag & ~(CSIZE | PARENB | CSTOPB)) | CS7 | PARENB | CREAD;
    cooked.c_cc[VMIN] = 1;
    cooked.c_cc[VTIME] = 5;
    cfsetspeed(&cooked, B1200);
    ASSERT_EQ(tcsetattr(slave, TCSANOW, &cooked), 0);
    ASSERT_EQ(tcgetattr(slave, &before), 0);
    for (const LineCase& c : cases) {
        for (bool framed : {false, true}) {
            SCOPED_TRACE("rate " + std::to_string(c.rate) + (framed ? " framed" : " raw"));
            const auto create = framed ? aStream_CreateSerial_Packetized : aStream_CreateSerial;
            ASSERT_EQ(create(path.c_str(), c.rate, c.parity, c.dataBits, c.stopBits, &stream),
                      aErrNone);
            struct termios t;
            ASSERT_EQ(tcgetattr(slave, &t), 0);
            EXPECT_EQ(cfgetospeed(&t), c.speed);
            EXPECT_EQ(cfgetispeed(&t), c.speed);
            // A pseudo-terminal keeps neither parity nor 7-bit characters in its control
            // flags; IGNPAR below shows the parity request.
            const tcflag_t kept = CSTOPB | CREAD | CLOCAL;
            EXPECT_EQ(t.c_cflag & kept, (c.cflag | CREAD | CLOCAL) & kept);
            EXPECT_EQ(t.c_iflag, static_cast<tcflag_t>(IGNBRK | (c.parity ? IGNPAR : 0)));
            EXPECT_EQ(t.c_oflag, 0u);
            EXPECT_EQ(t.c_lflag, 0u);
            EXPECT_EQ(t.c_cc[VMIN], 0);
            EXPECT_EQ(t.c_cc[VTIME], 0);
            ASSERT_EQ(aStream_Destroy(&stream), aErrNone);
            ASSERT_EQ(tcgetattr(slave, &t), 0);
            EXPECT_EQ(t.c_cflag, before.c_cflag);
            EXPECT_EQ(t.c_iflag, before.c_iflag);
            EXPECT_EQ(t.c_oflag, before.c_oflag);
            EXPECT_EQ(t.c_lflag, before.c_lflag);
            EXPECT_EQ(cfgetospeed(&t), cfgetospeed(&before));
            EXPECT_EQ(std::memcmp(t.c_cc, before.c_cc, sizeof t.c_cc), 0);
        }
    }
}

TEST_F(Pty, CreateFailures) {
    const std::string missing = path + "-missing";
    char tmpl[] = "/tmp/test_stream_serial_XXXXXX";
    const int fileFd = mkstemp(tmpl);
    ASSERT_GE(fileFd, 0);
    close(fileFd);
    struct Case {
        const char* device;
        uint8_t dataBits, stopBits;
        aErr expect;
    };
    const Case cases[] = {
        {path.c_str(), 2, 0, aErrResource},
        {path.c_str(), 0, 2, aErrResource},
        {nullptr, 0, 0, aErrResource},
        {missing.c_str(), 0, 0, aErrNotFound},
        {tmpl, 0, 0, aErrIO}, // not a terminal
    };
    for (const Case& c : cases) {
        for (bool framed : {false, true}) {
            SCOPED_TRACE(std::string(c.device ? c.device : "(null)") + (framed ? " framed" : ""));
            aStream* s = reinterpret_cast<aStream*>(0x1);
            const auto create = framed ? aStream_CreateSerial_Packetized : aStream_CreateSerial;
            EXPECT_EQ(create(c.device, 6, 0, c.dataBits, c.stopBits, &s), c.expect);
            EXPECT_EQ(s, nullptr);
        }
    }
    std::filesystem::remove(tmpl);
    EXPECT_EQ(aStream_CreateSerial(path.c_str(), 6, 0, 0, 0, nullptr), aErrResource);
    EXPECT_EQ(aStream_CreateSerial(std::string(5000, 'x').c_str(), 6, 0, 0, 0, &stream),
              aErrResource);
}

TEST_F(Pty, RawBytesBothWays) {
    ASSERT_EQ(aStream_CreateSerial(path.c_str(), 6, 0, 0, 0, &stream), aErrNone);
    uint8_t b;
    EXPECT_EQ(aStream_Read(stream, &b, 1), aErrNotReady); // nothing waiting

    const Bytes out{'h', 'e', 0x00, 'l', 0xFF, 'o'};
    ASSERT_EQ(aStream_Write(stream, out.data(), out.size()), aErrNone);
    EXPECT_EQ(fromStream(out.size()), out);
    ASSERT_EQ(aStream_Write(stream, out.data(), 1), aErrNone); // put-byte
    EXPECT_EQ(fromStream(1), Bytes{'h'});

    const Bytes in{0x00, 0x0D, 0x0A, 0x11, 0x13, 0x7F};
    toStream(in);
    EXPECT_EQ(readStream(in.size()), in);
}

TEST_F(Pty, FramedPacketsBothWays) {
    ASSERT_EQ(aStream_CreateSerial_Packetized(path.c_str(), 6, 0, 0, 0, &stream), aErrNone);

    const Bytes small{0x02, 0x01, 0x00};
    const Bytes wire{0x03, 0x02, 0x01, 0x02, 0x8B, 0x00};
    ASSERT_EQ(aStream_Write(stream, small.data(), small.size()), aErrNone);
    EXPECT_EQ(fromStream(wire.size()), wire);
    toStream(wire);
    EXPECT_EQ(readStream(small.size()), small);

    const Bytes big = packet28(0x04);
    ASSERT_EQ(aStream_Write(stream, big.data(), big.size()), aErrNone);
    const Bytes sent = fromStream(33);
    EXPECT_EQ(sent, frameOf(big));
    toStream(frameOf(big));
    EXPECT_EQ(readStream(big.size()), big);
    EXPECT_TRUE(masterIdle());
}

TEST_F(Pty, BlockOfSeveralPacketsBecomesOneFrameEach) {
    ASSERT_EQ(aStream_CreateSerial_Packetized(path.c_str(), 6, 0, 0, 0, &stream), aErrNone);
    struct Case {
        const char* name;
        Bytes block;
        std::vector<Bytes> packets;
    };
    const Case cases[] = {
        {"ThreeBackToBack",
         cat({{0x02, 0x01, 0x00}, {0xAD, 0x00}, packet28(0x06)}),
         {{0x02, 0x01, 0x00}, {0xAD, 0x00}, packet28(0x06)}},
        // Bytes the packet assembler refuses are skipped, and the packets after them
        // still go out whole.
        {"LeadingZeroSkipped",
         {0x00, 0x02, 0x01, 0x05, 0x06, 0x00},
         {{0x02, 0x01, 0x05}, {0x06, 0x00}}},
        {"OversizedLengthSkipped",
         {0x02, 0x1D, 0x04, 0x00, 0x08, 0x01, 0x07},
         {{0x04, 0x00}, {0x08, 0x01, 0x07}}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ASSERT_EQ(aStream_Write(stream, c.block.data(), c.block.size()), aErrNone);
        for (const Bytes& p : c.packets) {
            const Bytes expect = frameOf(p);
            EXPECT_EQ(fromStream(expect.size()), expect);
        }
        EXPECT_TRUE(masterIdle());
    }
}

TEST_F(Pty, CorruptFramesReportedOnceThenReceptionGoesOn) {
    ASSERT_EQ(aStream_CreateSerial_Packetized(path.c_str(), 6, 0, 0, 0, &stream), aErrNone);
    const Bytes good{0x02, 0x03, 0x10, 0x00, 0x20};
    Bytes badCrc = frameOf(good);
    badCrc[badCrc.size() - 2] ^= 0x40;
    Bytes badLength = frameOf({0x02, 0x05, 0x10}); // length byte says 5, 1 data byte follows
    // A valid 28-byte frame with stray bytes before its delimiter: the body is too long even
    // though its first 32 bytes would decode to a good packet.
    Bytes tooLong = frameOf(packet28(0x04));
    tooLong.insert(tooLong.end() - 1, {0x01, 0x01, 0x01});
    struct Case {
        const char* name;
        Bytes wire;
        int corrupt;
    };
    const Case cases[] = {
        {"BadCrc", badCrc, 1},
        {"BadLength", badLength, 1},
        {"TooLong", tooLong, 1},
        {"Garbage40", cat({Bytes(40, 0x55), {0x00}}), 1},
        {"MalformedCobs", {0x09, 0x02, 0x00}, 1},
        {"TwoDelimiters", {0x00, 0x00}, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        toStream(cat({c.wire, frameOf(good)}));
        int corrupt = 0;
        EXPECT_EQ(readStream(good.size(), &corrupt), good);
        EXPECT_EQ(corrupt, c.corrupt);
        corrupt = 0;
        EXPECT_TRUE(nothingToRead(&corrupt));
        EXPECT_EQ(corrupt, 0);
    }
}

TEST_F(Pty, HungUpLineFailsRawButReadsIdleWhenFramed) {
    aStream* framed = nullptr;
    ASSERT_EQ(aStream_CreateSerial(path.c_str(), 6, 0, 0, 0, &stream), aErrNone);
    ASSERT_EQ(aStream_CreateSerial_Packetized(path.c_str(), 6, 0, 0, 0, &framed), aErrNone);
    close(master);
    master = -1;
    uint8_t b;
    EXPECT_EQ(aStream_Read(stream, &b, 1), aErrIO);
    EXPECT_EQ(aStream_Read(framed, &b, 1), aErrNotReady);
    EXPECT_EQ(aStream_Destroy(&framed), aErrNone);
}

} // namespace
