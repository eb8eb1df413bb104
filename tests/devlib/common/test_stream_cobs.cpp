// COBS coding and CRC-8 vectors.
#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <string>
#include <vector>

#include "aStream.h"

namespace {

using Bytes = std::vector<uint8_t>;

Bytes run(uint8_t first, size_t n) {
    Bytes v;
    for (size_t i = 0; i < n; ++i)
        v.push_back(static_cast<uint8_t>(first + i));
    return v;
}
Bytes cat(std::initializer_list<Bytes> parts) {
    Bytes v;
    for (const Bytes& p : parts)
        v.insert(v.end(), p.begin(), p.end());
    return v;
}

Bytes encode(const Bytes& in) {
    Bytes out(COBS_ENCODED_MAX(in.size()));
    out.resize(cobs_encode(in.data(), in.size(), out.data()));
    return out;
}
Bytes encodeInPlace(const Bytes& in) {
    Bytes buf = in;
    buf.resize(COBS_ENCODED_MAX(in.size()), 0xEE);
    buf.resize(cobs_encode_inplace(buf.data(), in.size()));
    return buf;
}
Bytes decode(const Bytes& in) {
    Bytes out(in.size());
    out.resize(cobs_decode(in.data(), in.size(), out.data()));
    return out;
}
Bytes decodeInPlace(Bytes buf) {
    buf.resize(cobs_decode_inplace(buf.data(), buf.size()));
    return buf;
}

struct CobsCase {
    const char* name;
    Bytes plain;
    Bytes encoded;
};

const CobsCase kCobsCases[] = {
    {"Empty", {}, {0x01}},
    {"OneZero", {0x00}, {0x01, 0x01}},
    {"TwoZeros", {0x00, 0x00}, {0x01, 0x01, 0x01}},
    {"RunOfOne", {0x05}, {0x02, 0x05}},
    {"ZeroInside", {0x11, 0x22, 0x00, 0x33}, {0x03, 0x11, 0x22, 0x02, 0x33}},
    {"NoZero", {0x11, 0x22, 0x33, 0x44}, {0x05, 0x11, 0x22, 0x33, 0x44}},
    {"TrailingZeros", {0x11, 0x00, 0x00, 0x00}, {0x02, 0x11, 0x01, 0x01, 0x01}},
    {"Packet", {0x02, 0x01, 0x00, 0x8B}, {0x03, 0x02, 0x01, 0x02, 0x8B}},
    {"AllZeros300", Bytes(300, 0x00), Bytes(301, 0x01)},
    {"Run253", run(1, 253), cat({{0xFE}, run(1, 253)})},
    // A run reaching 254 bytes closes with 0xFF and opens a new, here empty, run.
    {"Run254", run(1, 254), cat({{0xFF}, run(1, 254), {0x01}})},
    {"Run255", cat({run(1, 254), {0xFF}}), cat({{0xFF}, run(1, 254), {0x02, 0xFF}})},
    {"ZeroThenRun254", cat({{0x00}, run(1, 254)}), cat({{0x01, 0xFF}, run(1, 254), {0x01}})},
    {"Run254ThenZero", cat({run(1, 254), {0x00}}), cat({{0xFF}, run(1, 254), {0x01, 0x01}})},
    {"Run508", cat({run(1, 254), run(1, 254)}),
     cat({{0xFF}, run(1, 254), {0xFF}, run(1, 254), {0x01}})},
};

// Keeps test listings (and so CTest's test names) to the case name.
void PrintTo(const CobsCase& c, std::ostream* os) { *os << c.name; }

class CobsVectors : public ::testing::TestWithParam<CobsCase> {};

TEST_P(CobsVectors, EncodeAndDecodeBothWays) {
    const CobsCase& c = GetParam();
    EXPECT_EQ(encode(c.plain), c.encoded);
    EXPECT_EQ(encodeInPlace(c.plain), c.encoded);
    EXPECT_LE(c.encoded.size(), COBS_ENCODED_MAX(c.plain.size()));
    EXPECT_EQ(decode(c.encoded), c.plain);
    EXPECT_EQ(decodeInPlace(c.encoded), c.plain);
}

INSTANTIATE_TEST_SUITE_P(Cases, CobsVectors, ::testing::ValuesIn(kCobsCases),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(Cobs, MalformedInputDecodesToNothing) {
    const Bytes cases[] = {
        {0x05, 0x11, 0x22},       // code points past the end
        {0x02},                   // likewise, by one byte
        {0x00},                   // a zero code byte
        {0x03, 0x11, 0x00},       // a zero inside a run
        {0x02, 0x11, 0x03, 0x22}, // second group runs past the end
        cat({{0xFF}, run(1, 253)}),
    };
    for (const Bytes& c : cases) {
        SCOPED_TRACE(::testing::PrintToString(c));
        Bytes out(c.size() + 8, 0xEE);
        EXPECT_EQ(cobs_decode(c.data(), c.size(), out.data()), 0u);
        Bytes copy = c;
        EXPECT_EQ(cobs_decode_inplace(copy.data(), copy.size()), 0u);
    }
    // A full run at the end of input needs no closing code byte to decode.
    EXPECT_EQ(decode(cat({{0xFF}, run(1, 254)})), run(1, 254));
}

// Random inputs with many zeros and long runs: round trip, no zero in the encoding, the
// in-place coders agree with the two-buffer ones and stay inside the stated sizes.
TEST(Cobs, RandomRoundTrips) {
    std::mt19937 rng(20261211);
    for (int i = 0; i < 2000; ++i) {
        const size_t n = rng() % 1100;
        const unsigned zeroOneIn = 1 + rng() % 400;
        Bytes plain(n);
        for (auto& b : plain)
            b = rng() % zeroOneIn == 0 ? 0 : static_cast<uint8_t>(1 + rng() % 255);
        const Bytes enc = encode(plain);
        ASSERT_LE(enc.size(), COBS_ENCODED_MAX(n));
        ASSERT_EQ(std::count(enc.begin(), enc.end(), 0), 0);
        if (n < 254) {
            ASSERT_EQ(enc.size(), n + 1);
        }
        ASSERT_EQ(encodeInPlace(plain), enc);
        ASSERT_EQ(decode(enc), plain);
        ASSERT_EQ(decodeInPlace(enc), plain);
    }
}

TEST(Crc8, Vectors) {
    struct Case {
        std::string data;
        uint8_t crc;
    };
    const Case cases[] = {
        {"123456789", 0xA1},
        {"abc", 0x42},
        {std::string("\x02\x01\x00", 3), 0x8B},
        {"", 0x00},
        {std::string(1, '\0'), 0x00},
        {std::string(1, '\x01'), 0x5E},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.data);
        const auto* p = reinterpret_cast<const uint8_t*>(c.data.data());
        EXPECT_EQ(crc8_create(p, c.data.size()), c.crc);
        uint8_t chained = 0;
        for (uint8_t b : c.data)
            chained = crc8_update(chained, b);
        EXPECT_EQ(chained, c.crc);
        EXPECT_TRUE(crc8_check(p, c.data.size(), c.crc));
        EXPECT_FALSE(crc8_check(p, c.data.size(), static_cast<uint8_t>(c.crc ^ 0x01)));
    }
    // Appending the CRC of a message makes the CRC of the whole zero.
    const uint8_t framed[] = {'1', '2', '3', '4', '5', '6', '7', '8', '9', 0xA1};
    EXPECT_EQ(crc8_create(framed, sizeof framed), 0x00);
}

} // namespace
