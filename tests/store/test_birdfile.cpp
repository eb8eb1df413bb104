// BIRD files: loading, scanning, the info accessors, patching and decoding, made with the
// BIRD-file maker.
#include "sim/birdfile/BirdFileBuilder.h"
#include "store/BirdFile.h"
#include "store/UpdaterStore.h"
#include "store_testing.h"

#include <gtest/gtest.h>

#include <zlib.h>

#include <cstring>
#include <functional>
#include <stdexcept>

using birdfile::BirdFileBuilder;
using store_test::LogCapture;
using Bytes = std::vector<uint8_t>;

namespace {

Bytes be32(uint32_t v) {
    return {uint8_t(v >> 24), uint8_t(v >> 16), uint8_t(v >> 8), uint8_t(v)};
}

// Contents laid out by hand: count, then (type byte, data) blocks, then the checksum.
Bytes contents(uint32_t count, const std::vector<std::pair<uint8_t, Bytes>>& blocks,
               uint32_t checksum = 0xC0FFEE00) {
    Bytes out = be32(count);
    for (const auto& [type, data] : blocks) {
        out.push_back(type);
        Bytes len = be32(static_cast<uint32_t>(data.size()));
        out.insert(out.end(), len.begin(), len.end());
        out.insert(out.end(), data.begin(), data.end());
    }
    Bytes sum = be32(checksum);
    out.insert(out.end(), sum.begin(), sum.end());
    return out;
}

Bytes file_around(const Bytes& inflated) {
    return BirdFileBuilder::wrap(BirdFileBuilder::compress(inflated));
}

// The image bytes of a loaded block.
Bytes image_of(const BirdBlock& b) {
    return Bytes(b.image(), b.image() + b.imageLength());
}

class BirdFileTest : public store_test::ScratchDir {
protected:
    std::string Write(const Bytes& bytes, const std::string& name = "f.bird") {
        const std::string path = Path(name);
        store_test::WriteBytes(path, bytes);
        return path;
    }
    BirdFile LoadOk(const Bytes& bytes) {
        BirdFile f;
        f.path = Write(bytes);
        EXPECT_TRUE(f.Load());
        return f;
    }
};

// ---- loading and scanning -------------------------------------------------------------

struct LoadCase {
    const char* name;
    std::function<Bytes()> make;
    bool loads;
    bool verifies;
    uint32_t blocks;                 // blockCount after the load
    std::vector<std::string> logged; // lines the load must log
};

const Bytes kImage = birdfile::pattern_image(64, 7);

const LoadCase kLoadCases[] = {
    {"well_formed",
     [] {
         return BirdFileBuilder()
             .add_loader(0x20000000, kImage)
             .add_firmware(0, kImage, 3)
             .add_info(1234, "2.10.3", 0x40F5849A, "VX-Hub8")
             .bytes();
     },
     true,
     true,
     3,
     {"BIRDFILE:\t\t File reports 3 blocks\n", "BIRDFILE:\t\t 01   03   68\n",
      "BIRDFILE:\t\t \t[1234            ]\n", "BIRDFILE:\t\t \t[VX-Hub8         ]\n"}},
    {"other_signature",
     [] { return BirdFileBuilder().set_signature("BIRD").add_firmware(0, kImage).bytes(); },
     true,
     false,
     1,
     {}},
    {"version_1_0",
     [] { return BirdFileBuilder().set_version(1, 0).add_firmware(0, kImage).bytes(); },
     true,
     false,
     1,
     {}},
    {"version_0_1",
     [] { return BirdFileBuilder().set_version(0, 1).add_firmware(0, kImage).bytes(); },
     true,
     false,
     1,
     {}},
    {"byte_after_checksum",
     [] {
         const Bytes one{0};
         // A fixed checksum keeps the stray 5 bytes from reading as a block that fits.
         return BirdFileBuilder()
             .add_firmware(0, kImage)
             .set_checksum(0x12345678)
             .append_trailing(one)
             .bytes();
     },
     true,
     true,
     1,
     {"BIRDFILE:\t\t File checksum 12345678\n",
      "BIRDFILE: Block parsing mismatch in data size. (1 bytes remaining)\n"}},
    {"count_3_with_2_blocks",
     [] {
         return BirdFileBuilder()
             .add_firmware(0, kImage)
             .add_loader_start(0x20000400)
             .set_announced_count(3)
             .bytes();
     },
     true,
     true,
     2,
     {"BIRDFILE: Block parsing mismatch in number of blocks. (2 != 3)\n"}},
    {"block_past_the_end",
     [] {
         Bytes c = contents(2, {{1, be32(0)}, {1, Bytes(8, 0xAA)}});
         c[4 + 9 + 1 + 3] = 200; // the second block claims 200 bytes
         return file_around(c);
     },
     true,
     true,
     1,
     {"runs past the end of the data\n"}},
    {"header_only_6_bytes",
     [] { return BirdFileBuilder::wrap({}); },
     false,
     true,
     0,
     {"BIRDFILE: Error (-3) decompressing bird file.\n"}},
    {"five_bytes",
     [] {
         return Bytes{'b', 'i', 'r', 'd', 1};
     },
     false,
     false,
     0,
     {}},
    {"not_zlib",
     [] { return BirdFileBuilder::wrap(Bytes(40, 0x55)); },
     false,
     true,
     0,
     {"decompressing bird file.\n"}},
    {"truncated_stream",
     [] {
         Bytes b = BirdFileBuilder().add_firmware(0, birdfile::pattern_image(500)).bytes();
         b.resize(b.size() - 20);
         return b;
     },
     false,
     true,
     0,
     {"BIRDFILE: Error (-3) decompressing bird file.\n"}},
    {"empty_contents",
     [] { return file_around({}); },
     true,
     true,
     0,
     {"BIRDFILE: Block parsing mismatch in data size. (0 bytes remaining)\n"}},
    {"no_checksum",
     [] {
         return file_around(Bytes{0, 0, 0, 0});
     },
     true,
     true,
     0,
     {"BIRDFILE: Error - file checksum missing\n"}},
};

// Keeps test listings (and so CTest's test names) to the case name.
void PrintTo(const LoadCase& c, std::ostream* os) { *os << c.name; }

class LoadTable : public BirdFileTest, public ::testing::WithParamInterface<LoadCase> {};

TEST_P(LoadTable, LoadsVerifiesAndLogs) {
    const LoadCase& c = GetParam();
    const std::string path = Write(c.make());
    LogCapture log(DEBUG_BirdFile);
    BirdFile f;
    f.path = path;
    EXPECT_EQ(f.Load(), c.loads);
    EXPECT_EQ(BirdFile::VerifyFile(path), c.verifies);
    EXPECT_EQ(f.blockCount, c.blocks);
    EXPECT_EQ(f.blocks.size(), c.blocks);
    EXPECT_TRUE(log.Has("BIRDFILE: Loading File [" + path + "]\n"));
    for (const std::string& line : c.logged)
        EXPECT_TRUE(log.Has(line)) << line << "\nin\n" << log.Text();
    if (c.loads) {
        EXPECT_NO_THROW(BirdFile{path});
    } else {
        EXPECT_THROW(BirdFile{path}, std::runtime_error);
    }
}

INSTANTIATE_TEST_SUITE_P(Files, LoadTable, ::testing::ValuesIn(kLoadCases),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(BirdFileTest, BlocksPointIntoTheInflatedContentsWithTypeFlagsAndAddress) {
    const Bytes loader = birdfile::pattern_image(30, 2);
    const Bytes firmware = birdfile::pattern_image(70, 3);
    const Bytes odd{9, 8, 7};
    BirdFileBuilder b;
    b.add_loader(0x20001000, loader, 7)
        .add_firmware(0x00004000, firmware, 5)
        .add_raw_block(0x63, odd) // type 3, flags 3: no meaning, kept
        .add_loader_start(0x20000400);
    BirdFile f = LoadOk(b.bytes());

    EXPECT_EQ(f.signature, 0x62697264u);
    EXPECT_EQ(f.version, 0x0101);
    EXPECT_EQ(f.checksum, b.checksum());
    EXPECT_EQ(f.dataSize, b.contents().size());
    EXPECT_EQ(0, std::memcmp(f.Data(), b.contents().data(), f.dataSize));
    ASSERT_EQ(f.blocks.size(), 4u);
    struct Want {
        uint8_t type, flags;
        uint32_t length, address;
    };
    const Want want[] = {{0, 7, 34, 0x20001000}, {1, 5, 74, 0x4000}, {3, 3, 3, 0}, {5, 0, 4, 0}};
    for (size_t i = 0; i < 4; ++i) {
        SCOPED_TRACE(i);
        EXPECT_EQ(f.blocks[i].type, want[i].type);
        EXPECT_EQ(f.blocks[i].flags, want[i].flags);
        EXPECT_EQ(f.blocks[i].length, want[i].length);
        EXPECT_EQ(f.blocks[i].address, want[i].address);
        EXPECT_GE(f.blocks[i].data, f.Data());
        EXPECT_LE(f.blocks[i].data + f.blocks[i].length, f.Data() + f.dataSize);
    }
    EXPECT_EQ(image_of(f.blocks[0]), loader);
    EXPECT_EQ(image_of(f.blocks[1]), firmware);
    EXPECT_EQ(Bytes(f.blocks[2].data, f.blocks[2].data + 3), odd);
    EXPECT_EQ(GetInt(f.FindBlocks(BirdFile::BLOCK_LOADER_START).at(0).data), 0x20000400u);
    EXPECT_EQ(f.FindBlocks(BirdFile::BLOCK_FIRMWARE).size(), 1u);
    EXPECT_TRUE(f.FindBlocks(BirdFile::BLOCK_INFO).empty());
    EXPECT_FALSE(f.hasSerialOffsets);
}

TEST_F(BirdFileTest, MissingFileFailsWithItsLogLine) {
    LogCapture log(DEBUG_BirdFile);
    BirdFile f;
    f.path = Path("absent.bird");
    EXPECT_FALSE(f.Load());
    EXPECT_TRUE(log.Has("BIRDFILE: BIRD file not found [" + f.path + "]\n"));
    EXPECT_FALSE(BirdFile::VerifyFile(f.path));
    EXPECT_TRUE(log.Has("BIRDFILE: Error - cannot open bird file: '" + f.path + "'\n"));
    try {
        BirdFile g(f.path);
        FAIL() << "no throw";
    } catch (const std::runtime_error& e) {
        EXPECT_STREQ(e.what(), "Failed to load bird data");
    }
}

TEST_F(BirdFileTest, LoadingAgainReplacesTheEarlierContents) {
    BirdFile f = LoadOk(BirdFileBuilder().add_serial_offsets(8, 0).add_firmware(0, kImage).bytes());
    EXPECT_TRUE(f.hasSerialOffsets);
    store_test::WriteBytes(f.path, BirdFileBuilder().add_firmware(0, kImage).bytes());
    ASSERT_TRUE(f.Load());
    EXPECT_EQ(f.blockCount, 1u);
    EXPECT_FALSE(f.hasSerialOffsets);
    EXPECT_EQ(f.serialNumberAddress, 0u);
}

// ---- decompression ----------------------------------------------------------------------

TEST_F(BirdFileTest, ImageOfErasedFlashCompressingFarBeyond8To1Loads) {
    Bytes image = birdfile::filled_image(4 << 20, 0xFF); // 4 MiB, mostly erased
    const Bytes code = birdfile::pattern_image(4096, 11);
    std::copy(code.begin(), code.end(), image.begin());
    BirdFileBuilder b;
    b.add_firmware(0, image).add_info(77, "1.0.0", 0x1234, "VX-Hub8");
    const Bytes file = b.bytes();
    ASSERT_GT(b.contents().size() / (file.size() - 6), 100u) << "fixture must compress 100:1";
    BirdFile f = LoadOk(file);
    ASSERT_EQ(f.FindBlocks(BirdFile::BLOCK_FIRMWARE).size(), 1u);
    EXPECT_EQ(image_of(f.FindBlocks(BirdFile::BLOCK_FIRMWARE)[0]), image);
    EXPECT_EQ(f.GetBuild(), 77u);
}

// A zlib stream of n zero bytes, made in slices so the test never holds n bytes.
Bytes zero_stream(size_t n) {
    z_stream zs{};
    EXPECT_EQ(deflateInit(&zs, 9), Z_OK);
    const Bytes chunk(1 << 20, 0);
    Bytes out(1 << 16);
    Bytes result;
    size_t left = n;
    int rc = Z_OK;
    do {
        const size_t take = std::min(left, chunk.size());
        zs.next_in = const_cast<Bytef*>(chunk.data());
        zs.avail_in = static_cast<uInt>(take);
        left -= take;
        const int flush = left == 0 ? Z_FINISH : Z_NO_FLUSH;
        do {
            zs.next_out = out.data();
            zs.avail_out = static_cast<uInt>(out.size());
            rc = deflate(&zs, flush);
            result.insert(result.end(), out.data(), out.data() + (out.size() - zs.avail_out));
        } while (zs.avail_out == 0);
    } while (left > 0);
    EXPECT_EQ(rc, Z_STREAM_END);
    deflateEnd(&zs);
    return result;
}

TEST_F(BirdFileTest, DecompressionBombIsRefusedWithAClearLine) {
    const Bytes file = BirdFileBuilder::wrap(zero_stream(size_t{BirdFile::MAX_DATA_SIZE} + 1));
    ASSERT_LT(file.size(), 200u * 1024);
    const std::string path = Write(file);
    LogCapture log(DEBUG_BirdFile);
    BirdFile f;
    f.path = path;
    EXPECT_FALSE(f.Load());
    EXPECT_TRUE(
        log.Has("BIRDFILE: Error - bird file inflates to more than 67108864 bytes, refused.\n"))
        << log.Text();
    EXPECT_EQ(f.dataSize, 0u);
    EXPECT_TRUE(f.blocks.empty());
}

TEST_F(BirdFileTest, ContentsOfExactlyTheLimitLoad) {
    // count + one raw block header + checksum = 13 bytes around the block's data.
    const Bytes data(size_t{BirdFile::MAX_DATA_SIZE} - 13, 0);
    BirdFileBuilder b;
    b.add_raw_block(7, data).set_compression_level(1);
    BirdFile f = LoadOk(b.bytes());
    EXPECT_EQ(f.dataSize, BirdFile::MAX_DATA_SIZE);
    EXPECT_EQ(f.blockCount, 1u);
}

// ---- info block -------------------------------------------------------------------------

struct InfoCase {
    const char* name;
    std::function<void(BirdFileBuilder&)> add;
    uint32_t build;
    std::string version;
    uint32_t serial;
};

const InfoCase kInfoCases[] = {
    {"numeric", [](BirdFileBuilder& b) { b.add_info(1234, "2.10.3", 0x40F5849A, "VX-Hub8"); }, 1234,
     "2.10.3", 0x40F5849A},
    {"version_cut_at_space",
     [](BirdFileBuilder& b) {
         b.add_info({"  42", "1.2 beta", "0012ab34", "M"});
     },
     42, "1.2", 0x0012AB34},
    {"build_stops_at_non_digit",
     [](BirdFileBuilder& b) {
         b.add_info({"99x1", "v", "1A2B3C4DFFFF", "M"});
     },
     99, "v", 0x1A2B3C4D},
    {"fifteen_characters_of_build_only",
     [](BirdFileBuilder& b) {
         b.add_info({"1234567890123459", "123456789012345678", "", ""});
     },
     0, "123456789012345", 0}, // 123456789012345 overflows 32 bits
    {"no_info_block", [](BirdFileBuilder& b) { b.add_firmware(0, kImage); }, 0, "", 0},
    {"short_info_block",
     [](BirdFileBuilder& b) {
         b.add_raw_block(4, Bytes{'7', '1', ' ', ' ', ' ', ' ', ' ', ' ', ' ', ' ', ' ', ' ', ' ',
                                  ' ', ' ', ' ', '3', '.', '1'});
     },
     71, "3.1", 0},
    {"terminator_inside_field",
     [](BirdFileBuilder& b) {
         b.add_info({std::string("5\0"
                                 "9",
                                 3),
                     "2.0", "0000000F", "M"});
     },
     5, "2.0", 15},
};

// Keeps test listings (and so CTest's test names) to the case name.
void PrintTo(const InfoCase& c, std::ostream* os) { *os << c.name; }

class InfoTable : public BirdFileTest, public ::testing::WithParamInterface<InfoCase> {};

TEST_P(InfoTable, Accessors) {
    BirdFileBuilder b;
    GetParam().add(b);
    BirdFile f = LoadOk(b.bytes());
    EXPECT_EQ(f.GetBuild(), GetParam().build);
    EXPECT_EQ(f.GetVersion(), GetParam().version);
    EXPECT_EQ(f.GetSerialNumber(), GetParam().serial);
    EXPECT_TRUE(f.ValidateSerialNumber(GetParam().serial));
    EXPECT_FALSE(f.ValidateSerialNumber(GetParam().serial + 1));
}

INSTANTIATE_TEST_SUITE_P(Fields, InfoTable, ::testing::ValuesIn(kInfoCases),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(BirdFileTest, ValidateModelIsAPrefixTestOnTheTrimmedField) {
    struct Case {
        std::string field, name;
        bool match;
    };
    const Case cases[] = {
        {"VX-Hub8", "VX-Hub8", true},       // padded with spaces to 16
        {"VX-Hub8 Rev B", "VX-Hub8", true}, // field continues after the name
        {"VX-Hub8", "VX-Hub8X", false},     // name longer than the field's text
        {"VX-Hub8", "VX-Hub8 ", false},     // trailing spaces are not part of the field
        {"VX-Hub2", "VX-Hub8", false},
        {"ABCDEFGHIJKLMNOPQ", "ABCDEFGHIJKLMNOP", true}, // cut to 16 by the maker
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.field + " / " + c.name);
        BirdFile f = LoadOk(BirdFileBuilder().add_info({"1", "1", "00000001", c.field}).bytes());
        LogCapture log(DEBUG_BirdFile);
        EXPECT_EQ(f.ValidateModel(c.name), c.match);
        EXPECT_EQ(log.Has("Model matches model number (["), c.match);
    }
    BirdFile none = LoadOk(BirdFileBuilder().add_firmware(0, kImage).bytes());
    EXPECT_FALSE(none.ValidateModel(""));
    BirdFile f = LoadOk(BirdFileBuilder().add_info({"1", "1", "1", "VX-Hub8 Rev B"}).bytes());
    LogCapture log(DEBUG_BirdFile);
    f.ValidateModel("VX-Hub8");
    EXPECT_EQ(log.Text(), "Model matches model number ([VX-Hub8 Rev B] == [VX-Hub8])\n");
}

// ---- serial number patching -------------------------------------------------------------

struct PatchCase {
    const char* name;
    uint32_t serial_address, descriptor_address;
    bool with_offsets;
    bool result;
    // expected changes: block index (among all blocks), image offset, bytes
    std::vector<std::tuple<size_t, size_t, Bytes>> changes;
};

// Two firmware blocks: 0x1000..0x1040 and 0x2000..0x2040, and a loader at 0x1000 too.
const PatchCase kPatchCases[] = {
    {"serial_in_second_block", 0x2010, 0, true, true, {{2, 0x10, {0x4D, 0x3C, 0x2B, 0x1A}}}},
    {"serial_in_first_block", 0x103C, 0, true, true, {{1, 0x3C, {0x4D, 0x3C, 0x2B, 0x1A}}}},
    {"serial_straddles_block_end", 0x103E, 0, true, true, {}},
    {"serial_before_block", 0x0FFE, 0, true, true, {}},
    {"serial_outside_all_blocks", 0x9000, 0, true, true, {}},
    {"descriptor_low_bytes",
     0,
     0x2020,
     true,
     true,
     {{2, 0x20, {'1'}},
      {2, 0x22, {'A'}},
      {2, 0x24, {'2'}},
      {2, 0x26, {'B'}},
      {2, 0x28, {'3'}},
      {2, 0x2A, {'C'}},
      {2, 0x2C, {'4'}},
      {2, 0x2E, {'D'}}}},
    {"descriptor_straddles_block_end", 0, 0x1032, true, true, {}},
    {"both",
     0x1000,
     0x2030,
     true,
     true,
     {{1, 0, {0x4D, 0x3C, 0x2B, 0x1A}},
      {2, 0x30, {'1'}},
      {2, 0x32, {'A'}},
      {2, 0x34, {'2'}},
      {2, 0x36, {'B'}},
      {2, 0x38, {'3'}},
      {2, 0x3A, {'C'}},
      {2, 0x3C, {'4'}},
      {2, 0x3E, {'D'}}}},
    {"offsets_both_zero", 0, 0, true, false, {}},
    {"no_offsets_block", 0, 0, false, false, {}},
};

// Keeps test listings (and so CTest's test names) to the case name.
void PrintTo(const PatchCase& c, std::ostream* os) { *os << c.name; }

class PatchTable : public BirdFileTest, public ::testing::WithParamInterface<PatchCase> {};

TEST_P(PatchTable, PatchesOnlyInsideFirmwareBlocks) {
    const PatchCase& c = GetParam();
    const Bytes a = birdfile::pattern_image(0x40, 21), b = birdfile::pattern_image(0x40, 22);
    BirdFileBuilder builder;
    builder.add_loader(0x1000, a).add_firmware(0x1000, a).add_firmware(0x2000, b);
    if (c.with_offsets) builder.add_serial_offsets(c.serial_address, c.descriptor_address);
    BirdFile f = LoadOk(builder.bytes());
    const Bytes before(f.Data(), f.Data() + f.dataSize);

    EXPECT_EQ(f.hasSerialOffsets, c.with_offsets);
    EXPECT_EQ(f.serialNumberAddress, c.serial_address);
    EXPECT_EQ(f.descriptorAddress, c.descriptor_address);
    EXPECT_EQ(f.ReplaceSerialNumber(0x1A2B3C4D), c.result);

    Bytes expected = before;
    for (const auto& [block, offset, bytes] : c.changes) {
        const size_t at = static_cast<size_t>(f.blocks[block].image() - f.Data()) + offset;
        std::copy(bytes.begin(), bytes.end(), expected.begin() + static_cast<long>(at));
    }
    EXPECT_EQ(Bytes(f.Data(), f.Data() + f.dataSize), expected);
}

INSTANTIATE_TEST_SUITE_P(Offsets, PatchTable, ::testing::ValuesIn(kPatchCases),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(BirdFileTest, PatchLogsOldAndNewSerial) {
    Bytes image = birdfile::filled_image(32, 0);
    birdfile::put_le32(image, 8, 0xCAFEF00D);
    BirdFile f =
        LoadOk(BirdFileBuilder().add_serial_offsets(0x108, 0).add_firmware(0x100, image).bytes());
    LogCapture log(DEBUG_BirdFile);
    EXPECT_TRUE(f.ReplaceSerialNumber(0x0012AB34));
    EXPECT_EQ(log.Text(), "BIRDFILE: updating serial number from CAFEF00D ==> 0012AB34\n");
}

TEST_F(BirdFileTest, BlocksTooShortForTheirAddressAreNeverReadOrWrittenBeyond) {
    // Firmware blocks of 0 to 3 bytes, one right before the checksum, then offsets that
    // would fall into them if their missing address read as 0.
    const Bytes guard = birdfile::pattern_image(16, 5);
    BirdFileBuilder b;
    b.add_serial_offsets(0x1, 0x2)
        .add_raw_block(1, Bytes{})
        .add_raw_block(0x21, Bytes{0xAB})
        .add_raw_block(1, Bytes{1, 2, 3})
        .add_firmware(0x1000, guard)
        .add_raw_block(0, Bytes{9, 9});
    BirdFile f;
    f.path = Write(b.bytes());
    LogCapture log(DEBUG_BirdFile);
    ASSERT_TRUE(f.Load());
    EXPECT_TRUE(log.Has("is too short for its load address\n"));
    ASSERT_EQ(f.blockCount, 6u);
    const Bytes before(f.Data(), f.Data() + f.dataSize);
    for (size_t i : {1, 2, 3, 5}) {
        EXPECT_EQ(f.blocks[i].address, 0u);
        EXPECT_EQ(f.blocks[i].imageLength(), 0u);
    }
    EXPECT_EQ(f.blocks[2].flags, 1);
    EXPECT_TRUE(f.ReplaceSerialNumber(0x11223344));
    EXPECT_TRUE(f.ReplaceVectorChecksum());
    const uint32_t key[4] = {0xFFFFFFFF, 1, 2, 3};
    EXPECT_TRUE(f.DecodeFirmwareBlocks(key));
    const Bytes after(f.Data(), f.Data() + f.dataSize);
    // Only the one real firmware block's image may have changed (by decoding).
    const size_t start = static_cast<size_t>(f.blocks[4].image() - f.Data());
    for (size_t i = 0; i < after.size(); ++i)
        if (i < start || i >= start + guard.size()) {
            ASSERT_EQ(after[i], before[i]) << "byte " << i;
        }
    // The search stays inside each block too: the one-byte block holds the pattern.
    const uint8_t pattern[] = {0xAB};
    EXPECT_TRUE(f.ValidateData(pattern, 1));
    const uint8_t four[] = {1, 2, 3, 1}; // the next block's type byte follows {1, 2, 3}
    EXPECT_FALSE(f.ValidateData(four, 4));
}

TEST_F(BirdFileTest, AddressesNearTheTopOfTheAddressSpaceDoNotWrap) {
    const Bytes image = birdfile::pattern_image(16, 9);
    BirdFile f = LoadOk(BirdFileBuilder()
                            .add_serial_offsets(0xFFFFFFFE, 0xFFFFFFF8)
                            .add_firmware(0xFFFFFFF0, image)
                            .bytes());
    const Bytes before(f.Data(), f.Data() + f.dataSize);
    EXPECT_TRUE(f.ReplaceSerialNumber(0xDEADBEEF));
    EXPECT_EQ(Bytes(f.Data(), f.Data() + f.dataSize), before);
}

TEST_F(BirdFileTest, ShortSerialOffsetsBlockGivesOnlyWhatItHolds) {
    BirdFile f =
        LoadOk(BirdFileBuilder().add_raw_block(2, be32(0x100)).add_firmware(0x100, kImage).bytes());
    EXPECT_TRUE(f.hasSerialOffsets);
    EXPECT_EQ(f.serialNumberAddress, 0x100u);
    EXPECT_EQ(f.descriptorAddress, 0u);
    BirdFile g =
        LoadOk(BirdFileBuilder().add_raw_block(2, Bytes{1, 2}).add_firmware(0, kImage).bytes());
    EXPECT_EQ(g.serialNumberAddress, 0u);
    EXPECT_FALSE(g.ReplaceSerialNumber(5));
}

// ---- vector checksum and decoding -------------------------------------------------------

TEST_F(BirdFileTest, VectorChecksumMakesTheTableSumToZeroInFirmwareAtAddressZero) {
    Bytes table = birdfile::pattern_image(64, 4);
    const Bytes elsewhere = table;
    BirdFile f = LoadOk(BirdFileBuilder()
                            .add_firmware(0, table)
                            .add_firmware(0x8000, elsewhere)
                            .add_loader(0, table)
                            .add_firmware(0, birdfile::pattern_image(31, 5)) // too short
                            .bytes());
    const Bytes before(f.Data(), f.Data() + f.dataSize);
    EXPECT_TRUE(f.ReplaceVectorChecksum());
    auto le = [](const uint8_t* p) {
        return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
    };
    const uint8_t* v = f.blocks[0].image();
    uint32_t sum = 0;
    for (int e : {0, 1, 2, 3, 4, 6, 7})
        sum += le(v + 4 * e);
    EXPECT_EQ(sum, 0u);
    Bytes expected = before;
    const size_t entry7 = static_cast<size_t>(v - f.Data()) + 28;
    std::copy(v + 28, v + 32, expected.begin() + static_cast<long>(entry7));
    EXPECT_EQ(Bytes(f.Data(), f.Data() + f.dataSize), expected); // nothing else changed
}

TEST_F(BirdFileTest, DecodingChainsEachBlockWithTheKeyAndThePreviousByte) {
    const Bytes plain1 = birdfile::pattern_image(40, 12), plain2 = birdfile::pattern_image(17, 13);
    struct Case {
        std::array<uint32_t, 4> key;
    };
    const Case cases[] = {{{0, 0, 0, 0}}, {{0x01020304, 0xA0B0C0D0, 0xFFFFFFFF, 0x00000080}}};
    for (const Case& c : cases) {
        uint8_t k[16];
        for (int w = 0; w < 4; ++w)
            for (int i = 0; i < 4; ++i)
                k[4 * w + i] = uint8_t(c.key[w] >> (24 - 8 * i));
        auto encode = [&](const Bytes& plain) {
            Bytes out(plain.size());
            uint8_t previous = 0;
            for (size_t i = 0; i < plain.size(); ++i) {
                out[i] = plain[i] ^ k[i % 16] ^ previous;
                previous = plain[i];
            }
            return out;
        };
        const Bytes loader = birdfile::pattern_image(10, 3);
        BirdFile f = LoadOk(BirdFileBuilder()
                                .add_firmware(0x1000, encode(plain1))
                                .add_loader(0x2000, loader)
                                .add_firmware(0x3000, encode(plain2))
                                .bytes());
        EXPECT_TRUE(f.DecodeFirmwareBlocks(c.key));
        EXPECT_EQ(image_of(f.blocks[0]), plain1);
        EXPECT_EQ(image_of(f.blocks[1]), loader);
        EXPECT_EQ(image_of(f.blocks[2]), plain2);
        EXPECT_EQ(GetInt(f.blocks[0].data), 0x1000u);
        EXPECT_EQ(GetInt(f.blocks[2].data), 0x3000u);
    }
    // With a zero key each byte is XORed with the previous decoded byte only.
    BirdFile z = LoadOk(BirdFileBuilder().add_firmware(0, Bytes{0x01, 0x03, 0x07, 0x00}).bytes());
    const uint32_t zero[4] = {0, 0, 0, 0};
    z.DecodeFirmwareBlocks(zero);
    EXPECT_EQ(image_of(z.blocks[0]), (Bytes{0x01, 0x02, 0x05, 0x05}));
}

// ---- pattern search and dump ------------------------------------------------------------

TEST_F(BirdFileTest, ValidateDataFindsPatternsInFirmwareBlocksOnly) {
    Bytes image = birdfile::filled_image(20, 0);
    image[3] = 0xAA;
    image[4] = 0xBB;
    image[18] = 0xAA;
    image[19] = 0xBB;
    BirdFile f =
        LoadOk(BirdFileBuilder().add_loader(0, Bytes{0xCC, 0xDD}).add_firmware(0, image).bytes());
    const uint8_t hit[] = {0xAA, 0xBB}, loaderOnly[] = {0xCC, 0xDD}, address[] = {0, 0, 0, 0, 0};
    LogCapture log(DEBUG_BirdFile);
    EXPECT_TRUE(f.ValidateData(hit, 2));
    EXPECT_EQ(log.Text(), "BIRDFILE: looking for data pattern in [" + f.path +
                              "]\nFound data at 7\nFound data at 22\n\n");
    EXPECT_FALSE(f.ValidateData(loaderOnly, 2));
    EXPECT_TRUE(f.ValidateData(address, 5)); // the address bytes count
    const Bytes longer(30, 0);
    EXPECT_FALSE(f.ValidateData(longer.data(), longer.size()));
}

TEST_F(BirdFileTest, DumpBlocksPrintsRowsOfFiftyWithTheirCharacters) {
    Bytes image(47, 'x');
    image[0] = 0x01;
    BirdFile f =
        LoadOk(BirdFileBuilder().add_firmware(0x41424344, image).add_loader(0, {}).bytes());
    const std::string out = Path("dump.txt");
    std::fflush(stdout);
    const int saved = dup(1);
    FILE* sink = std::fopen(out.c_str(), "w");
    dup2(fileno(sink), 1);
    EXPECT_TRUE(f.DumpBlocks(BirdFile::BLOCK_FIRMWARE));
    std::fflush(stdout);
    dup2(saved, 1);
    close(saved);
    std::fclose(sink);
    std::string row1 = "41 42 43 44 01 ";
    for (int i = 0; i < 45; ++i)
        row1 += "78 ";
    const std::string want = "BIRDFILE: BLOCK DUMP [" + f.path + "]\n \r\n000000: " + row1 +
                             " ABCD " + std::string(45, 'x') + "\r\n000050: 78  x\n\n";
    EXPECT_EQ(store_test::ReadText(out), want);
}

// ---- moves ------------------------------------------------------------------------------

TEST_F(BirdFileTest, MovesKeepBlocksValidAndEmptyTheSource) {
    const Bytes image = birdfile::pattern_image(300, 8);
    BirdFile a =
        LoadOk(BirdFileBuilder().add_serial_offsets(0x10, 0).add_firmware(0, image).bytes());
    const uint8_t* data = a.Data();

    BirdFile b(std::move(a));
    EXPECT_EQ(b.Data(), data);
    EXPECT_EQ(a.blocks.size(), 0u);
    EXPECT_EQ(a.dataSize, 0u);
    EXPECT_FALSE(a.hasSerialOffsets);

    std::vector<BirdFile> files;
    files.push_back(std::move(b));
    files.emplace_back();
    files.push_back(LoadOk(BirdFileBuilder().add_firmware(0, kImage).bytes())); // reallocates
    BirdFile c;
    c = std::move(files[0]);
    ASSERT_EQ(c.blocks.size(), 2u);
    EXPECT_EQ(image_of(c.blocks[1]), image);
    EXPECT_TRUE(c.hasSerialOffsets);
    EXPECT_EQ(c.serialNumberAddress, 0x10u);
    EXPECT_TRUE(c.ReplaceSerialNumber(0xA1B2C3D4));
    EXPECT_EQ(c.blocks[1].image()[0x10], 0xD4);
}

// ---- reading through the store ----------------------------------------------------------

TEST_F(BirdFileTest, ReadBirdFileRejectsNonBirdFilesByPath) {
    UpdaterStore store(Path("root"));
    UpdaterStoreItem item = store.AddDevice(0x12AB);
    const std::string folder = Path("root/000012AB/");
    store_test::WriteBytes(folder + "1.bird", BirdFileBuilder().set_signature("BIRX").bytes());
    store_test::WriteBytes(folder + "2.bird", BirdFileBuilder::wrap(Bytes(10, 1)));
    store_test::WriteBytes(folder + "3.bird",
                           BirdFileBuilder().add_info(3, "3.0", 0x12AB, "M").bytes());
    struct Case {
        const char* file;
        const char* error;
    };
    const Case cases[] = {{"1.bird", "Invalid bird "},
                          {"2.bird", "Failed to load bird data"},
                          {"none.bird", "Invalid bird "}};
    for (const Case& c : cases) {
        try {
            item.ReadBirdFile(c.file);
            ADD_FAILURE() << c.file << " loaded";
        } catch (const std::runtime_error& e) {
            const std::string want =
                std::string(c.error) + (c.error[0] == 'I' ? folder + c.file : std::string());
            EXPECT_EQ(e.what(), want);
        }
    }
    BirdFile f = item.ReadBirdFile("3.bird");
    EXPECT_EQ(f.GetBuild(), 3u);
    EXPECT_EQ(f.path, folder + "3.bird");
}

} // namespace
