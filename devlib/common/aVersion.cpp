#include "aVersion.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

constexpr uint32_t kCurrentMarker = 0x2F000000;

uint8_t sLegacyMajor(uint32_t version) {
    return static_cast<uint8_t>(version >> 28);
}
uint8_t sLegacyMinor(uint32_t version) {
    return static_cast<uint8_t>((version >> 24) & 0xF);
}

} // namespace

extern "C" {

const aFeature FEATS[NUM_FEATS] = {
    {"VERSION", "Version Query API"},
};

uint32_t aVersion_Pack(uint8_t major, uint8_t minor, uint8_t patch) {
    if (major > 2 || (major == 2 && minor > 14))
        return kCurrentMarker | uint32_t{major} << 16 | uint32_t{minor} << 8 | patch;
    return uint32_t{major} << 28 | uint32_t{minor & 0xFu} << 24 | patch;
}

bool aVersion_IsLegacyFormat(uint32_t version) {
    const uint8_t major = sLegacyMajor(version);
    return major < 2 || (major == 2 && sLegacyMinor(version) < 15);
}

uint8_t aVersion_ParseMajor(uint32_t version) {
    return aVersion_IsLegacyFormat(version) ? sLegacyMajor(version)
                                            : static_cast<uint8_t>(version >> 16);
}

uint8_t aVersion_ParseMinor(uint32_t version) {
    return aVersion_IsLegacyFormat(version) ? sLegacyMinor(version)
                                            : static_cast<uint8_t>(version >> 8);
}

uint32_t aVersion_ParsePatch(uint32_t version) {
    return aVersion_IsLegacyFormat(version) ? version & 0xFFFFFF : version & 0xFF;
}

int aVersion_ParseString(uint32_t version, char* buffer, size_t size) {
    if (!buffer) size = 0;
    return std::snprintf(buffer, size, "%d.%d.%d", int{aVersion_ParseMajor(version)},
                         int{aVersion_ParseMinor(version)},
                         static_cast<int>(aVersion_ParsePatch(version)));
}

uint8_t aVersion_GetMajor(void) {
    return aVERSION_MAJOR;
}
uint8_t aVersion_GetMinor(void) {
    return aVERSION_MINOR;
}
uint8_t aVersion_GetPatch(void) {
    return aVERSION_PATCH;
}

const char* aVersion_GetString(void) {
    // Built once; the initialisation of a local static is thread-safe, so
    // concurrent first callers never see a half-written text.
    struct Text {
        char buffer[15] = {};
        Text() {
            std::snprintf(buffer, sizeof buffer, "%d.%d%s%d", aVERSION_MAJOR, aVERSION_MINOR,
                          aVERSION_PHASE, aVERSION_PATCH);
        }
    };
    static const Text text;
    return text.buffer;
}

bool aVersion_IsAtLeastCompare(uint8_t aMajor, uint8_t aMinor, uint8_t aPatch, uint8_t bMajor,
                               uint8_t bMinor, uint8_t bPatch) {
    if (aMajor != bMajor) return aMajor > bMajor;
    if (aMinor != bMinor) return aMinor > bMinor;
    return aPatch >= bPatch;
}

bool aVersion_IsAtLeast(uint8_t major, uint8_t minor, uint8_t patch) {
    return aVersion_IsAtLeastCompare(aVERSION_MAJOR, aVERSION_MINOR, aVERSION_PATCH, major, minor,
                                     patch);
}

bool aVersion_HasFeature(const char* name) {
    if (!name) return false;
    for (const aFeature& feature : FEATS)
        if (std::strcmp(feature.name, name) == 0) return true;
    return false;
}

char* aVersion_GetFeatureList(void) {
    try {
        std::string list;
        for (size_t i = 0; i < NUM_FEATS; ++i) {
            if (i) list += '\n';
            list += FEATS[i].name;
            list += " - ";
            list += FEATS[i].description;
        }
        auto* text = static_cast<char*>(std::malloc(list.size() + 1));
        if (text) std::memcpy(text, list.c_str(), list.size() + 1);
        return text;
    } catch (...) {
        return nullptr;
    }
}

aErr aVersion_DestroyFeatureList(char** list) {
    if (!list || !*list) return aErrParam;
    std::free(*list);
    *list = nullptr;
    return aErrNone;
}

} // extern "C"
