// The attribute file reader on arbitrary text, then the typed getters and a save. Files live on
// a memory file system when there is one, so that each run's flush to disk costs nothing.
#include "store/KeyValueStore.h"

#include <cstdint>
#include <cstdio>
#include <map>
#include <string>
#include <unistd.h>

namespace {

std::string scratch(const char* name) {
    const char* folder = access("/dev/shm", W_OK) == 0 ? "/dev/shm" : "/tmp";
    return std::string(folder) + "/fuzz-attributes-" + std::to_string(getpid()) + name;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const std::string in = scratch(".in"), out = scratch(".out");
    FILE* f = std::fopen(in.c_str(), "wb");
    if (f == nullptr) return 0;
    std::fwrite(data, 1, size, f);
    std::fclose(f);

    KeyValueStore kv(in.c_str());
    // The getters insert keys: walk a copy of the entries.
    const std::map<std::string, std::string> loaded = kv.Entries();
    for (const auto& [key, value] : loaded) {
        kv.GetInt(key);
        kv.GetHex(key);
        kv.GetBOOL(key);
        kv.GetDouble(key);
        kv.GetString(key);
        (void)kv[key];
    }
    kv.GetInt("ABSENT", 1);
    kv.Add("LATEST_DOWNLOAD", "1234.bird");
    kv.Save(out.c_str());
    // What was saved reads back, unless a line grew past the reader's 2047 characters (a key
    // read without "=" is written with one), which ends the reading there.
    bool fits = true;
    for (const auto& [key, value] : kv.Entries())
        fits = fits && key.size() + value.size() + 2 <= 2047;
    KeyValueStore again(out.c_str());
    if (fits && again.GetString("LATEST_DOWNLOAD") != "1234.bird") __builtin_trap();
    return 0;
}
