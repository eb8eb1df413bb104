// Device discovery, direct and behind a router.
#include "updater/Updater.h"

std::vector<DeviceInfo> Updater::Discover_Devices(linkType) {
    not_available("Discover_Devices");
    return {};
}

std::vector<DeviceInfo> Updater::Discover_VXNetwork_Devices(uint32_t, linkType) {
    not_available("Discover_VXNetwork_Devices");
    return {};
}
