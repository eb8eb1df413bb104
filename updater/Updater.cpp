// The Updater object and the update of a device that answers on its normal link.
#include "updater/Updater.h"

#include <cstring>

DeviceInfo::DeviceInfo() {
    memset(&spec, 0, sizeof spec);
}

Updater::Updater(const char* server_url, const char* store_folder, UpdaterDisplayInterface& display)
    : server_url(server_url != nullptr ? server_url : ""),
      store_folder(store_folder != nullptr ? store_folder : ""), display(display) {}

Updater::~Updater() = default;

void Updater::not_available(const char* operation) {
    display.message(UpdaterDisplayInterface::ERROR, "%s: this operation is not available yet",
                    operation);
}

bool Updater::Update_Firmware(uint32_t, uint32_t, std::string, uint8_t, uint32_t, bool) {
    not_available("Update_Firmware");
    return false;
}

BirdFile Updater::load_bird(const char*, const std::string&, uint32_t, uint32_t, bool) {
    not_available("load_bird");
    return BirdFile{};
}
