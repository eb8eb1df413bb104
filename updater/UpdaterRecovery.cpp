// Recovery of a device whose firmware does not run, and chip fingerprints.
#include "updater/Updater.h"

bool Updater::Get_Fingerprint(Fingerprint&, const std::string&, uint32_t, const std::string&,
                              uint32_t, bool) {
    not_available("Get_Fingerprint");
    return false;
}

bool Updater::Recover_Firmware(const std::string&, uint32_t, uint32_t, uint32_t, const std::string&,
                               bool) {
    not_available("Recover_Firmware");
    return false;
}
