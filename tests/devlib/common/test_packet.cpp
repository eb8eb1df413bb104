// Packets and their byte assembler.
#include "aPacket.h"
#include "packet_testing.h"

#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <vector>

namespace {

using packet_testing::makePacket;
using packet_testing::Packet;
using packet_testing::samePacket;

std::vector<uint8_t> range(uint8_t first, size_t n) {
    std::vector<uint8_t> v(n);
    for (size_t i = 0; i < n; ++i)
        v[i] = static_cast<uint8_t>(first + i);
    return v;
}

template <class T> std::vector<T> concat(std::vector<T> a, const std::vector<T>& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

struct AssemblerCase {
    const char* name;
    std::vector<uint8_t> bytes;
    std::vector<aErr> results; // one per byte
    bool complete;
    uint8_t address;
    uint8_t dataSize;
    std::vector<uint8_t> data; // expected leading data bytes
};

std::vector<AssemblerCase> assemblerCases() {
    const std::vector<aErr> ok30(30, aErrNone);
    const auto full = concat<uint8_t>({0x06, 28}, range(0x40, 28));
    return {
        {"empty packet", {0x04, 0x00}, {aErrNone, aErrNone}, true, 4, 0, {}},
        {"length 29 refused but kept", {0x04, 0x1D}, {aErrNone, aErrPacket}, false, 4, 29, {}},
        {"address 0 refused", {0x00}, {aErrPacket}, false, 0, 0, {}},
        // A refused byte still counts: the packet is unusable until reset.
        {"no recovery without reset",
         {0x00, 0x08, 0x01, 0x55},
         {aErrPacket, aErrNone, aErrNone, aErrPacket},
         false,
         8,
         1,
         {}},
        {"three data bytes",
         {0x02, 0x03, 0xAA, 0xBB, 0xCC},
         {aErrNone, aErrNone, aErrNone, aErrNone, aErrNone},
         true,
         2,
         3,
         {0xAA, 0xBB, 0xCC}},
        {"surplus data byte",
         {0x02, 0x02, 0xAA, 0xBB, 0xCC},
         {aErrNone, aErrNone, aErrNone, aErrNone, aErrPacket},
         false,
         2,
         2,
         {0xAA, 0xBB}},
        {"30 bytes complete", full, ok30, true, 6, 28, range(0x40, 28)},
        {"31st byte overruns", concat<uint8_t>(full, {0x99}), concat<aErr>(ok30, {aErrOverrun}),
         false, 6, 28, range(0x40, 28)},
        // Overrun is sticky, and stays so long after the 8-bit count could have wrapped;
        // the stored data is never touched again.
        {"overrun persists", concat<uint8_t>(full, std::vector<uint8_t>(600, 0xEE)),
         concat<aErr>(ok30, std::vector<aErr>(600, aErrOverrun)), false, 6, 28, range(0x40, 28)},
    };
}

TEST(PacketAssembler, FeedsBytesAsTheFramingDelivers) {
    for (const auto& c : assemblerCases()) {
        SCOPED_TRACE(c.name);
        ASSERT_EQ(c.bytes.size(), c.results.size());
        Packet p(aPacket_Create());
        ASSERT_TRUE(p);
        for (size_t i = 0; i < c.bytes.size(); ++i)
            ASSERT_EQ(aPacket_AddByte(p.get(), c.bytes[i]), c.results[i]) << "byte " << i;
        EXPECT_EQ(aPacket_IsComplete(p.get()), c.complete);
        EXPECT_EQ(p->address, c.address);
        EXPECT_EQ(p->dataSize, c.dataSize);
        for (size_t i = 0; i < c.data.size(); ++i)
            EXPECT_EQ(p->data[i], c.data[i]) << i;
        for (size_t i = c.data.size(); i < aPACKET_MAX_DATA; ++i)
            EXPECT_EQ(p->data[i], 0) << i;

        // Reset makes the same record usable again, whatever state it was left in.
        ASSERT_EQ(aPacket_Reset(p.get()), aErrNone);
        EXPECT_EQ(p->count, 0);
        EXPECT_EQ(p->address, 0);
        EXPECT_EQ(p->dataSize, 0);
        EXPECT_FALSE(aPacket_IsComplete(p.get()));
        for (uint8_t b : {0x0A, 0x01, 0x7F})
            ASSERT_EQ(aPacket_AddByte(p.get(), b), aErrNone);
        EXPECT_TRUE(aPacket_IsComplete(p.get()));
        EXPECT_EQ(p->data[0], 0x7F);
        for (size_t i = 1; i < aPACKET_MAX_DATA; ++i)
            EXPECT_EQ(p->data[i], 0);
    }
}

TEST(PacketAssembler, RefusesInvalidPackets) {
    EXPECT_EQ(aPacket_AddByte(nullptr, 4), aErrParam);
    aPacket forged{};
    forged.check = 0xDEAD;
    EXPECT_EQ(aPacket_AddByte(&forged, 4), aErrParam);
    EXPECT_EQ(forged.count, 0);
    EXPECT_EQ(aPacket_Reset(&forged), aErrParam);
    EXPECT_EQ(aPacket_Reset(nullptr), aErrParam);
    EXPECT_FALSE(aPacket_IsComplete(&forged));
    EXPECT_FALSE(aPacket_IsComplete(nullptr));
}

TEST(Packet, CreateCopyDestroy) {
    Packet empty(aPacket_Create());
    ASSERT_TRUE(empty);
    EXPECT_TRUE(aVALIDPACKET(empty.get()));
    EXPECT_EQ(empty->check, 0xBEEF);
    EXPECT_EQ(empty->count + empty->address + empty->dataSize, 0);
    EXPECT_FALSE(aPacket_IsComplete(empty.get())); // count 0 != 0 + 2

    const auto bytes28 = range(1, 28);
    Packet full = makePacket(0x10, bytes28);
    ASSERT_TRUE(full);
    EXPECT_EQ(full->count, 30);
    EXPECT_TRUE(aPacket_IsComplete(full.get()));
    EXPECT_EQ(std::memcmp(full->data, bytes28.data(), 28), 0);

    const auto bytes29 = range(1, 29);
    EXPECT_EQ(aPacket_CreateWithData(0x10, 29, bytes29.data()), nullptr);
    EXPECT_EQ(aPacket_CreateWithData(0x10, 0, nullptr), nullptr);
    Packet none(aPacket_CreateWithData(0x10, 0, bytes28.data()));
    ASSERT_TRUE(none);
    EXPECT_TRUE(aPacket_IsComplete(none.get()));

    Packet part = makePacket(0x12, {9, 8, 7});
    for (size_t i = 3; i < aPACKET_MAX_DATA; ++i)
        EXPECT_EQ(part->data[i], 0);

    Packet copy(aPacket_Copy(part.get()));
    ASSERT_TRUE(copy);
    EXPECT_NE(copy.get(), part.get());
    EXPECT_TRUE(samePacket(*copy, *part));
    EXPECT_EQ(aPacket_Copy(nullptr), nullptr);
    aPacket forged{};
    EXPECT_EQ(aPacket_Copy(&forged), nullptr);

    aPacket* raw = aPacket_Create();
    EXPECT_EQ(aPacket_Destroy(&raw), aErrNone);
    EXPECT_EQ(raw, nullptr);
    EXPECT_EQ(aPacket_Destroy(&raw), aErrParam);
    EXPECT_EQ(aPacket_Destroy(nullptr), aErrParam);
    aPacket* stack = &forged; // not a live packet: must not be freed
    EXPECT_EQ(aPacket_Destroy(&stack), aErrParam);
}

TEST(Packet, GetBytesSerializesAndRoundTrips) {
    for (size_t n : {0, 1, 5, 27, 28}) {
        SCOPED_TRACE(n);
        Packet p = makePacket(0x22, range(0xA0, n));
        std::vector<uint8_t> buffer(n + 2, 0xCC);
        uint64_t length = 0;
        ASSERT_EQ(aPacket_GetBytes(p.get(), buffer.data(), buffer.size(), &length), aErrNone);
        EXPECT_EQ(length, n + 2);
        EXPECT_EQ(buffer, concat<uint8_t>({0x22, static_cast<uint8_t>(n)}, range(0xA0, n)));
        EXPECT_EQ(aPacket_GetBytes(p.get(), buffer.data(), buffer.size(), nullptr), aErrNone);
        EXPECT_EQ(aPacket_GetBytes(p.get(), buffer.data(), buffer.size() - 1, &length),
                  aErrOverrun);

        // What the assembler rebuilds from the serialized form is the same packet.
        Packet rebuilt(aPacket_Create());
        for (uint8_t b : buffer)
            ASSERT_EQ(aPacket_AddByte(rebuilt.get(), b), aErrNone);
        EXPECT_TRUE(aPacket_IsComplete(rebuilt.get()));
        EXPECT_TRUE(samePacket(*rebuilt, *p));
    }
    uint8_t buffer[32];
    Packet p = makePacket(0x22, {1});
    EXPECT_EQ(aPacket_GetBytes(p.get(), nullptr, 32, nullptr), aErrParam);
    EXPECT_EQ(aPacket_GetBytes(nullptr, buffer, sizeof buffer, nullptr), aErrParam);

    // A packet left with a refused length byte cannot be serialized: it would
    // read past its data.
    Packet bad(aPacket_Create());
    aPacket_AddByte(bad.get(), 0x04);
    EXPECT_EQ(aPacket_AddByte(bad.get(), 0xFF), aErrPacket);
    uint8_t big[512];
    EXPECT_EQ(aPacket_GetBytes(bad.get(), big, sizeof big, nullptr), aErrPacket);
}

TEST(Packet, CommandOptionAndIndexGetters) {
    using Getter = aErr (*)(const aPacket*, uint8_t*);
    struct Case {
        const char* name;
        Getter get;
        std::vector<uint8_t> data;
        aErr result;
        uint8_t value;
    } cases[] = {
        {"cmd", aPacket_GetCmd, {0x5A}, aErrNone, 0x5A},
        {"cmd of empty", aPacket_GetCmd, {}, aErrPacket, 0},
        {"option masked", aPacket_GetOption, {1, 0xC5}, aErrNone, 5},
        {"option too short", aPacket_GetOption, {1}, aErrPacket, 0},
        {"index masked", aPacket_GetIndex, {1, 2, 0xA3}, aErrNone, 3},
        {"index too short", aPacket_GetIndex, {1, 2}, aErrPacket, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Packet p = makePacket(2, c.data);
        uint8_t out = 0xEE;
        EXPECT_EQ(c.get(p.get(), &out), c.result);
        EXPECT_EQ(out, c.result == aErrNone ? c.value : 0xEE);
        EXPECT_EQ(c.get(nullptr, &out), aErrPacket);
        if (c.result == aErrNone) {
            EXPECT_EQ(c.get(p.get(), nullptr), aErrParam);
        }
    }
}

} // namespace
