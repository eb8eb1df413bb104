#include "aDefs.h"

#include <iterator>

namespace {

constexpr aModelName kModels[] = {
    {aMODEL_HUB4, "VX-Hub4"},          {aMODEL_HUB8, "VX-Hub8"},       {aMODEL_HUB4P, "VX-Hub4P"},
    {aMODEL_SWITCH2, "VX-Switch2"},    {aMODEL_SWITCH4, "VX-Switch4"}, {aMODEL_DAQ8, "VX-DAQ8"},
    {aMODEL_DAQ16, "VX-DAQ16"},        {aMODEL_IO24, "VX-IO24"},       {aMODEL_IO48, "VX-IO48"},
    {aMODEL_RELAY8, "VX-Relay8"},      {aMODEL_POWER2, "VX-Power2"},   {aMODEL_POWER6, "VX-Power6"},
    {aMODEL_LOAD1, "VX-Load1"},        {aMODEL_THERMO4, "VX-Thermo4"}, {aMODEL_ROUTER, "VX-Router"},
    {aMODEL_ETHERNET, "VX-NetBridge"}, {aMODEL_DEVKIT, "VX-DevKit"},
};

constexpr bool sTableIsSound() {
    for (size_t i = 0; i < std::size(kModels); ++i) {
        if (kModels[i].code < 4 || kModels[i].code > 27) return false;
        if (i && kModels[i - 1].code >= kModels[i].code) return false;
    }
    return true;
}
static_assert(std::size(kModels) == 17);
static_assert(sTableIsSound(), "model codes must be 4..27, ascending and unique");

} // namespace

extern "C" {

const char* aDefs_GetModelName(uint32_t model) {
    for (const aModelName& entry : kModels)
        if (entry.code == model) return entry.name;
    return aMODEL_UNKNOWN_NAME;
}

const aModelName* aDefs_GetModelTable(size_t* count) {
    if (count) *count = std::size(kModels);
    return kModels;
}

} // extern "C"
