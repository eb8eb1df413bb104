// UEI payload helpers, version words, link specifiers and model names.
#include "aDefs.h"
#include "aLinkSpec.h"
#include "aUEI.h"
#include "aVersion.h"
#include "packet_testing.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <set>
#include <string>
#include <vector>

namespace {

using packet_testing::Packet;

Packet makePacket(const std::vector<uint8_t>& data) {
    return packet_testing::makePacket(4, data);
}

TEST(UEI, BigEndianValues) {
    const uint8_t minusTwo[] = {0xFF, 0xFE};
    EXPECT_EQ(aUEI_RetrieveShort(minusTwo), -2);
    const uint8_t word[] = {0x12, 0x34, 0x56, 0x78};
    EXPECT_EQ(aUEI_RetrieveInt(word), 0x12345678u);

    for (uint16_t v : {0x0000, 0x0102, 0x8000, 0xFFFF}) {
        uint8_t b[2];
        aUEI_StoreShort(b, v);
        EXPECT_EQ(b[0], v >> 8);
        EXPECT_EQ(static_cast<uint16_t>(aUEI_RetrieveShort(b)), v);
    }
    for (uint32_t v : {0x00000000u, 0x01020304u, 0x80000001u, 0xFFFFFFFFu}) {
        uint8_t b[4];
        aUEI_StoreInt(b, v);
        EXPECT_EQ(b[0], v >> 24);
        EXPECT_EQ(b[3], v & 0xFF);
        EXPECT_EQ(aUEI_RetrieveInt(b), v);
    }

    const uint8_t wire[] = {0x00, 0x00, 0x00, 0x2A, 0xDE, 0xAD, 0xBE, 0xEF};
    uint32_t words[2];
    std::memcpy(words, wire, sizeof words);
    aUEI_ModifyIntBuffer(words, 2);
    EXPECT_EQ(words[0], 42u);
    EXPECT_EQ(words[1], 0xDEADBEEFu);
    aUEI_ModifyIntBuffer(nullptr, 3); // must not crash
}

TEST(UEI, ByteTransferSequenceBytes) {
    struct Case {
        std::vector<uint8_t> data;
        uint8_t sequence, more;
        bool full;
    } cases[] = {
        {{0x10, 0x41, 0x20, 0xAA, 0x00}, 0, 0, false},
        {{0x10, 0x41, 0x20, 0xAA, 0x85}, 5, 1, false},
        {{0x10, 0x41, 0x20, 0x7F}, 0x7F, 0, false},
        {std::vector<uint8_t>(26, 0xFF), 0x7F, 1, false},
        {std::vector<uint8_t>(27, 0x81), 1, 1, true},
        {std::vector<uint8_t>(28, 0x03), 3, 0, true},
        {{}, 0, 0, false}, // no last byte to read
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.data.size());
        Packet p = makePacket(c.data);
        EXPECT_EQ(aUEI_getBytesSequence(p.get()), c.sequence);
        EXPECT_EQ(aUEI_getBytesContinue(p.get()), c.more);
        EXPECT_EQ(aUEI_getBytesFullPacket(p.get()), c.full);
    }
    // A length byte the assembler refused stays stored; the last byte it names
    // lies past the data and must not be read.
    Packet refused(aPacket_Create());
    aPacket_AddByte(refused.get(), 0x04);
    ASSERT_EQ(aPacket_AddByte(refused.get(), 0x1D), aErrPacket);
    EXPECT_EQ(aUEI_getBytesSequence(refused.get()), 0);
    EXPECT_EQ(aUEI_getBytesContinue(refused.get()), 0);
    EXPECT_EQ(aUEI_getBytesSequence(nullptr), 0);
    EXPECT_EQ(aUEI_getBytesContinue(nullptr), 0);
    EXPECT_FALSE(aUEI_getBytesFullPacket(nullptr));
}

TEST(UEI, PayloadKindByCommandByte) {
    const std::set<int> notUEI = {0, 1, 2, 4, 8, 9, 23, 24, 73, 94, 95, 173, 175};
    for (int command = 0; command < 256; ++command) {
        SCOPED_TRACE(command);
        // The decision rests on the command byte alone, whatever the length.
        for (uint8_t size : {1, 0}) {
            aPacket* p = aPacket_Create();
            p->data[0] = static_cast<uint8_t>(command);
            p->dataSize = size;
            const bool expected = notUEI.count(command) != 0;
            EXPECT_EQ(aUEI_isNotUEIPayload(p), expected);
            EXPECT_EQ(aUEI_isUEIPayload(p), !expected);
            aPacket_Destroy(&p);
        }
    }
    EXPECT_FALSE(aUEI_isNotUEIPayload(nullptr));
    EXPECT_TRUE(aUEI_isUEIPayload(nullptr));
}

TEST(UEI, StreamPackets) {
    struct Case {
        const char* name;
        std::vector<uint8_t> data;
        bool stream;
    } cases[] = {
        {"sample", {0x12, 0x03, 0x41, 0x00, 0x07}, true},
        {"sample with error bit", {0x12, 0x03, 0xC1, 0x00, 0x07}, true},
        {"four bytes only", {0x12, 0x03, 0x41, 0x07}, false},
        {"get reply without stream bit", {0x12, 0x03, 0x01, 0x00, 0x07}, false},
        {"get request", {0x12, 0x43, 0x41, 0x00, 0x07}, false},
        {"set request", {0x12, 0x83, 0x41, 0x00, 0x07}, false},
        {"ack", {0x12, 0xC3, 0x41, 0x00, 0x07}, false},
        {"not UEI", {73, 0x03, 0x41, 0x00, 0x07}, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Packet p = makePacket(c.data);
        EXPECT_EQ(aUEI_isStreamPacket(p.get()), c.stream);
    }
    EXPECT_FALSE(aUEI_isStreamPacket(nullptr));
}

TEST(Version, PackingParsingAndText) {
    struct Case {
        uint8_t major, minor, patch;
        uint32_t word;
        bool legacy;
        const char* text;
    } cases[] = {
        {2, 14, 9, 0x2E000009, true, "2.14.9"},
        {2, 15, 0, 0x2F020F00, false, "2.15.0"},
        {3, 0, 1, 0x2F030001, false, "3.0.1"},
        {1, 12, 44, 0x1C00002C, true, "1.12.44"},
        {0, 0, 0, 0x00000000, true, "0.0.0"},
        {2, 12, 2, 0x2C000002, true, "2.12.2"},
        {255, 255, 255, 0x2FFFFFFF, false, "255.255.255"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text);
        EXPECT_EQ(aVersion_Pack(c.major, c.minor, c.patch), c.word);
        EXPECT_EQ(aVersion_IsLegacyFormat(c.word), c.legacy);
        EXPECT_EQ(aVersion_ParseMajor(c.word), c.major);
        EXPECT_EQ(aVersion_ParseMinor(c.word), c.minor);
        EXPECT_EQ(aVersion_ParsePatch(c.word), c.patch);
        char text[32];
        EXPECT_EQ(aVersion_ParseString(c.word, text, sizeof text),
                  static_cast<int>(std::strlen(c.text)));
        EXPECT_STREQ(text, c.text);
    }

    // Legacy words carry a 24-bit patch that packing never produces.
    struct Parsed {
        uint32_t word;
        const char* text;
    } parsed[] = {
        {0x1C00012C, "1.12.300"},
        {0x2EFFFFFF, "2.14.16777215"},
        {0x2F000000, "0.0.0"}, // the marker alone reads as current format
    };
    for (const auto& p : parsed) {
        char text[32];
        aVersion_ParseString(p.word, text, sizeof text);
        EXPECT_STREQ(text, p.text);
    }

    // snprintf semantics: truncated text, full count.
    char small[4] = "xyz";
    EXPECT_EQ(aVersion_ParseString(0x2F020F00, small, sizeof small), 6);
    EXPECT_STREQ(small, "2.1");
    EXPECT_EQ(aVersion_ParseString(0x2F020F00, nullptr, 0), 6);
    EXPECT_EQ(aVersion_ParseString(0x2F020F00, nullptr, 99), 6);
}

TEST(Version, OrderingOfWordsAndComparison) {
    // Every current word sorts above every legacy word.
    EXPECT_LT(aVersion_Pack(2, 14, 255), aVersion_Pack(2, 15, 0));
    EXPECT_LT(aVersion_Pack(1, 15, 255), aVersion_Pack(2, 0, 0));

    struct Case {
        uint8_t a[3], b[3];
        bool atLeast;
    } cases[] = {
        {{2, 10, 4}, {2, 10, 4}, true},   {{2, 10, 3}, {2, 10, 4}, false},
        {{3, 0, 0}, {2, 255, 255}, true}, {{2, 11, 0}, {2, 10, 200}, true},
        {{2, 9, 255}, {2, 10, 0}, false}, {{1, 255, 255}, {2, 0, 0}, false},
        {{0, 0, 0}, {0, 0, 0}, true},     {{255, 255, 255}, {255, 255, 254}, true},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(aVersion_IsAtLeastCompare(c.a[0], c.a[1], c.a[2], c.b[0], c.b[1], c.b[2]),
                  c.atLeast)
            << +c.a[0] << '.' << +c.a[1] << '.' << +c.a[2] << " vs " << +c.b[0] << '.' << +c.b[1]
            << '.' << +c.b[2];
    }

    EXPECT_EQ(aVersion_GetMajor(), 2);
    EXPECT_EQ(aVersion_GetMinor(), 12);
    EXPECT_EQ(aVersion_GetPatch(), 2);
    EXPECT_STREQ(aVersion_GetString(), "2.12.2");
    EXPECT_EQ(aVersion_GetString(), aVersion_GetString());
    EXPECT_TRUE(aVersion_IsAtLeast(2, 12, 2));
    EXPECT_TRUE(aVersion_IsAtLeast(2, 11, 9));
    EXPECT_FALSE(aVersion_IsAtLeast(2, 12, 3));
    EXPECT_FALSE(aVersion_IsAtLeast(3, 0, 0));
}

TEST(Version, Features) {
    EXPECT_TRUE(aVersion_HasFeature("VERSION"));
    for (const char* name : {"version", "VERSION ", "VER", "", "Version Query API"})
        EXPECT_FALSE(aVersion_HasFeature(name)) << '"' << name << '"';
    EXPECT_FALSE(aVersion_HasFeature(nullptr));

    char* list = aVersion_GetFeatureList();
    ASSERT_NE(list, nullptr);
    EXPECT_STREQ(list, "VERSION - Version Query API");
    EXPECT_EQ(aVersion_DestroyFeatureList(&list), aErrNone);
    EXPECT_EQ(list, nullptr);
    EXPECT_EQ(aVersion_DestroyFeatureList(&list), aErrParam);
    EXPECT_EQ(aVersion_DestroyFeatureList(nullptr), aErrParam);
}

TEST(LinkSpec, CreateCopyDestroy) {
    for (linkType type : {INVALID, USB, TCPIP, SERIAL, LANWIRE_SERIAL}) {
        linkSpec* spec = aLinkSpec_Create(type);
        ASSERT_NE(spec, nullptr);
        auto* raw = reinterpret_cast<const uint8_t*>(spec);
        EXPECT_EQ(std::memcmp(raw, &type, 4), 0);
        for (size_t i = 4; i < sizeof(linkSpec); ++i)
            ASSERT_EQ(raw[i], 0) << i;
        aLinkSpec_Destroy(&spec);
    }

    linkSpec* serial = aLinkSpec_Create(SERIAL);
    serial->serial_num = 0x40F5849A;
    serial->baudrate = 115200;
    std::strcpy(serial->port_name, "/dev/ttyS9");
    linkSpec* copy = aLinkSpec_Copy(serial);
    ASSERT_NE(copy, nullptr);
    EXPECT_NE(copy, serial);
    EXPECT_EQ(std::memcmp(copy, serial, sizeof(linkSpec)), 0);
    EXPECT_STREQ(copy->port_name, "/dev/ttyS9");
    EXPECT_EQ(aLinkSpec_Copy(nullptr), nullptr);

    EXPECT_EQ(aLinkSpec_Destroy(&serial), aErrNone);
    EXPECT_EQ(serial, nullptr);
    EXPECT_EQ(aLinkSpec_Destroy(&serial), aErrParam);
    EXPECT_EQ(aLinkSpec_Destroy(nullptr), aErrParam);
    aLinkSpec_Destroy(&copy);
}

TEST(LinkSpec, IpAddressIsInNetworkOrder) {
    linkSpec* spec = aLinkSpec_Create(TCPIP);
    ASSERT_EQ(inet_pton(AF_INET, "127.0.0.1", &spec->ip_address), 1);
    spec->port = 9000;
    auto* raw = reinterpret_cast<const uint8_t*>(spec);
    const uint8_t loopback[] = {127, 0, 0, 1};
    EXPECT_EQ(std::memcmp(raw + 24, loopback, 4), 0);
    EXPECT_EQ(spec->ip_address, htonl(INADDR_LOOPBACK));
    EXPECT_EQ(raw[28] | raw[29] << 8, 9000); // host order
    aLinkSpec_Destroy(&spec);
}

TEST(LinkSpec, LanwireTypes) {
    for (int t = 0; t <= 8; ++t)
        EXPECT_EQ(isLANWIRE(static_cast<linkType>(t)), t >= 4 && t <= 7) << t;
    EXPECT_EQ(USB + 4, LANWIRE_USB);
    EXPECT_EQ(TCPIP + 4, LANWIRE_TCPIP);
    EXPECT_EQ(SERIAL + 4, LANWIRE_SERIAL);
}

TEST(ModelNames, TableAndLookup) {
    size_t count = 0;
    const aModelName* table = aDefs_GetModelTable(&count);
    ASSERT_EQ(count, 17u);
    std::set<uint32_t> codes;
    std::set<std::string> names;
    for (size_t i = 0; i < count; ++i) {
        EXPECT_GE(table[i].code, 4u);
        EXPECT_LE(table[i].code, 27u);
        codes.insert(table[i].code);
        names.insert(table[i].name);
        EXPECT_STRNE(table[i].name, "Unknown");
        EXPECT_STREQ(aDefs_GetModelName(table[i].code), table[i].name);
    }
    EXPECT_EQ(codes.size(), 17u);
    EXPECT_EQ(names.size(), 17u);
    EXPECT_STREQ(aDefs_GetModelName(aMODEL_HUB4), "VX-Hub4");
    for (uint32_t code : {0u, 1u, 3u, 28u, 200u, 0x104u, 0xFFFFFFFFu})
        EXPECT_STREQ(aDefs_GetModelName(code), "Unknown") << code;
    for (uint32_t code = 4; code <= 27; ++code)
        if (!codes.count(code)) {
            EXPECT_STREQ(aDefs_GetModelName(code), "Unknown") << code;
        }
}

} // namespace
