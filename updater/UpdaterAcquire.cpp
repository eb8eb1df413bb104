// Firmware acquisition from the update server and the store, and build listing.
#include "updater/Updater.h"

uint32_t Updater::Download_Firmware(uint32_t, const std::string&, bool, bool) {
    not_available("Download_Firmware");
    return 0;
}

BuildMap Updater::Get_BuildList(uint32_t) {
    not_available("Get_BuildList");
    return {};
}

BuildMap Updater::Get_BuildListLocal(uint32_t) {
    not_available("Get_BuildListLocal");
    return {};
}

std::string Updater::Get_JWT(uint32_t) {
    not_available("Get_JWT");
    return {};
}
