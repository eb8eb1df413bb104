// Cost of reading a BIRD file (read, inflate, scan), of patching and decoding its firmware in
// memory, and of loading and saving an attribute file. Prints figures; passes or fails on
// nothing.
#include "sim/birdfile/BirdFileBuilder.h"
#include "store/BirdFile.h"
#include "store/KeyValueStore.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>

namespace {

using Clock = std::chrono::steady_clock;

template <typename F> double per_round_ms(int rounds, F&& f) {
    const auto start = Clock::now();
    for (int i = 0; i < rounds; ++i)
        f();
    return std::chrono::duration<double, std::milli>(Clock::now() - start).count() / rounds;
}

} // namespace

int main() {
    std::string dir = (std::filesystem::temp_directory_path() / "bench-birdfile-XXXXXX").string();
    if (mkdtemp(dir.data()) == nullptr) return 1;

    // A 2 MiB image, its first quarter code-like and the rest erased flash.
    constexpr size_t kImage = 2 << 20;
    std::vector<uint8_t> image = birdfile::filled_image(kImage, 0xFF);
    const std::vector<uint8_t> code = birdfile::pattern_image(kImage / 4, 3);
    std::copy(code.begin(), code.end(), image.begin());
    const std::string path = dir + "/1234.bird";
    birdfile::BirdFileBuilder()
        .add_loader(0x20000000, birdfile::pattern_image(64 << 10, 4))
        .add_firmware(0, image)
        .add_serial_offsets(0x400, 0x800)
        .add_info(1234, "2.10.3", 0x40F5849A, "VX-Hub8")
        .write(path);
    const auto fileSize = std::filesystem::file_size(path);

    const double load = per_round_ms(50, [&] {
        BirdFile f(path);
        if (f.blockCount != 4) std::abort();
    });
    std::printf("bird load      %8.3f ms per file (%zu bytes on disk, %zu inflated: %.0f MB/s)\n",
                load, static_cast<size_t>(fileSize), kImage + (64 << 10),
                (kImage + (64 << 10)) / 1e3 / load);

    BirdFile f(path);
    const double patch = per_round_ms(2000, [&] { f.ReplaceSerialNumber(0x0012AB34); });
    std::printf("serial patch   %8.3f us per call\n", patch * 1e3);
    const uint32_t key[4] = {1, 2, 3, 4};
    const double decode = per_round_ms(50, [&] { f.DecodeFirmwareBlocks(key); });
    std::printf("decode         %8.3f ms per 2 MiB (%.0f MB/s)\n", decode, kImage / 1e3 / decode);

    const std::string settings = dir + "/.settings";
    {
        KeyValueStore kv;
        for (int i = 0; i < 50; ++i)
            kv.Add("KEY_" + std::to_string(i), "value " + std::to_string(i));
        kv.Save(settings.c_str());
    }
    const double kvLoad = per_round_ms(2000, [&] { KeyValueStore kv(settings.c_str()); });
    std::printf("attribute load %8.3f us per 50-entry file\n", kvLoad * 1e3);
    KeyValueStore kv(settings.c_str());
    const double kvSave = per_round_ms(200, [&] {
        kv.Add("COUNTER", static_cast<int>(std::rand()));
        kv.Save();
    });
    std::printf("attribute save %8.3f ms per file (flushed to disk, then renamed)\n", kvSave);

    std::filesystem::remove_all(dir);
    return 0;
}
