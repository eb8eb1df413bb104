// The BIRD-file maker: the builder's layout and checksum, and the birdfile-make program, read
// back with the store's reader.
#include "sim/birdfile/BirdFileBuilder.h"
#include "store/BirdFile.h"
#include "store_testing.h"

#include <gtest/gtest.h>

#include <zlib.h>

#include <sys/wait.h>

using birdfile::BirdFileBuilder;
using Bytes = std::vector<uint8_t>;

namespace {

class MakerTest : public store_test::ScratchDir {
protected:
    // Runs the program with the arguments; its exit status.
    int Run(const std::string& args) {
        const std::string cmd = std::string(BIRDFILE_MAKE) + " " + args + " 2>" + Path("err");
        const int status = std::system(cmd.c_str());
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }
};

TEST_F(MakerTest, ContentsLayoutAndCrcChecksum) {
    BirdFileBuilder b;
    b.add_firmware(0x01020304, Bytes{0xAA, 0xBB}, 6).add_loader_start(0x20000400);
    const Bytes c = b.contents();
    const Bytes want{0,    0, 0, 2,                                       // count
                     0xC1, 0, 0, 0, 6, 1,    2,    3,    4,   0xAA, 0xBB, // flags 6, type 1
                     0x05, 0, 0, 0, 4, 0x20, 0x00, 0x04, 0x00};           // loader start
    ASSERT_EQ(c.size(), want.size() + 4);
    EXPECT_EQ(Bytes(c.begin(), c.end() - 4), want);
    const uint32_t crc =
        static_cast<uint32_t>(crc32(0, want.data(), static_cast<uInt>(want.size())));
    EXPECT_EQ(b.checksum(), crc);
    EXPECT_EQ(GetInt(c.data() + want.size()), crc);

    const Bytes file = b.bytes();
    EXPECT_EQ(Bytes(file.begin(), file.begin() + 6), (Bytes{'b', 'i', 'r', 'd', 1, 1}));
    Bytes inflated(c.size());
    uLongf n = inflated.size();
    ASSERT_EQ(uncompress(inflated.data(), &n, file.data() + 6, static_cast<uLong>(file.size() - 6)),
              Z_OK);
    EXPECT_EQ(inflated, c);

    EXPECT_THROW(b.add_firmware(0, Bytes{}, 8), std::invalid_argument);
    EXPECT_THROW(b.set_signature("bir"), std::invalid_argument);
    Bytes small(3);
    EXPECT_THROW(birdfile::put_le32(small, 0, 1), std::out_of_range);
}

TEST_F(MakerTest, ProgramWritesWhatTheBuilderWrites) {
    const Bytes loaderImage = birdfile::pattern_image(100, 3);
    store_test::WriteBytes(Path("loader.bin"), loaderImage);
    Bytes firmware = birdfile::filled_image(64, 0xFF);
    birdfile::put_le32(firmware, 8, 0xAABBCCDD);
    struct Case {
        const char* name;
        std::string args;
        BirdFileBuilder builder;
    };
    std::vector<Case> cases;
    cases.push_back({"generic_image",
                     "--loader 0x20000000," + Path("loader.bin") +
                         ",2 --put32 8,0xAABBCCDD "
                         "--firmware 0x1000,ff:64,1 --serial-offsets 0x1008,0 "
                         "--info 1234,2.10.3,40F5849A,VX-Hub8 --loader-start 0x20000400",
                     BirdFileBuilder()});
    cases.back()
        .builder.add_loader(0x20000000, loaderImage, 2)
        .add_firmware(0x1000, firmware, 1)
        .add_serial_offsets(0x1008, 0)
        .add_info({"1234", "2.10.3", "40F5849A", "VX-Hub8"})
        .add_loader_start(0x20000400);
    cases.push_back({"malformed_on_purpose",
                     "--signature BIRX --format-version 1.0 --raw 0x63,zero:5 --count 4 "
                     "--checksum 1 --trailing 2 --level 0",
                     BirdFileBuilder()});
    const Bytes two(2, 0);
    cases.back()
        .builder.set_signature("BIRX")
        .set_version(1, 0)
        .add_raw_block(0x63, Bytes(5, 0))
        .set_announced_count(4)
        .set_checksum(1)
        .append_trailing(two)
        .set_compression_level(0);
    cases.push_back({"pattern_with_seed", "--firmware 0,pattern:33:9", BirdFileBuilder()});
    cases.back().builder.add_firmware(0, birdfile::pattern_image(33, 9));

    for (Case& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string out = Path(std::string(c.name) + ".bird");
        ASSERT_EQ(Run(c.args + " " + out), 0) << store_test::ReadText(Path("err"));
        EXPECT_EQ(store_test::ReadBytes(out), c.builder.bytes());
    }

    BirdFile f(Path("generic_image.bird"));
    EXPECT_EQ(f.blockCount, 5u);
    EXPECT_TRUE(f.hasSerialOffsets);
    EXPECT_EQ(f.GetBuild(), 1234u);
    EXPECT_EQ(f.GetSerialNumber(), 0x40F5849Au);
    EXPECT_TRUE(f.ValidateModel("VX-Hub8"));
    EXPECT_TRUE(f.ReplaceSerialNumber(0x0012AB34));
    const BirdBlock fw = f.FindBlocks(BirdFile::BLOCK_FIRMWARE).at(0);
    EXPECT_EQ(fw.flags, 1);
    EXPECT_EQ(fw.image()[8], 0x34);
    EXPECT_EQ(fw.image()[11], 0x00);
}

TEST_F(MakerTest, ProgramWritesToStandardOutput) {
    ASSERT_EQ(Run("--firmware 0,zero:4 - >" + Path("o.bird")), 0);
    EXPECT_EQ(store_test::ReadBytes(Path("o.bird")),
              BirdFileBuilder().add_firmware(0, Bytes(4, 0)).bytes());
}

TEST_F(MakerTest, ProgramRefusesBadArgumentsAndWritesNothing) {
    const char* bad[] = {
        "--firmware 0x1000",              // no source
        "--firmware 0,ff:10,8",           // flags above 7
        "--firmware zz,ff:10",            // not a number
        "--firmware -1,ff:10",            // negative
        "--firmware 0x100000000,ff:10",   // beyond 32 bits
        "--put32 8,1 --firmware 0,ff:10", // outside the image
        "--put32 0,1",                    // no block to patch
        "--firmware 0,/nonexistent/image.bin",
        "--signature ABC",
        "--info 1,2,3",
        "--format-version 1",
        "--level 10",
        "--nonsense",
    };
    for (const char* args : bad) {
        SCOPED_TRACE(args);
        const std::string out = Path("bad.bird");
        EXPECT_EQ(Run(std::string(args) + " " + out), 1);
        EXPECT_FALSE(std::filesystem::exists(out));
    }
    EXPECT_EQ(Run("--firmware 0,ff:1"), 1); // no output named
    EXPECT_EQ(Run("--help >/dev/null"), 0);
}

} // namespace
