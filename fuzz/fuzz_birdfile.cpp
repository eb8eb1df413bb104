// BIRD file loading of arbitrary bytes. The first byte picks the path: odd values hand the rest
// to the scanner as inflated contents (random bytes seldom form a zlib stream), even values load
// the rest as a whole file. Every accessor and patch then runs on what was found.
#include "store/BirdFile.h"

#include <cstdint>
#include <cstring>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) return 0;
    BirdFile f;
    // An exact-size heap copy, so that any read past the contents is caught.
    std::vector<uint8_t> rest(data + 1, data + size);
    if (data[0] & 1) {
        if (!f.ScanBlocks(rest.data(), static_cast<uint32_t>(rest.size())) && f.blocks.empty())
            return 0;
        f.FindSerialNumberOffsets();
    } else if (!f.LoadBytes(rest.data(), rest.size())) {
        return 0;
    }
    f.GetBuild();
    f.GetVersion();
    f.GetSerialNumber();
    f.ValidateModel("VX-Hub8");
    const uint8_t pattern[] = {0xFF, 0xFF};
    f.ValidateData(pattern, sizeof pattern);
    f.ReplaceSerialNumber(0x1A2B3C4D);
    f.ReplaceVectorChecksum();
    const uint32_t key[4] = {0x01234567, 0x89ABCDEF, 0, 0xFFFFFFFF};
    f.DecodeFirmwareBlocks(key);
    BirdFile moved(std::move(f));
    moved.FindBlocks(BirdFile::BLOCK_FIRMWARE);
    return 0;
}
