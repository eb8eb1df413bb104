// The application's single service object: one per run, one operation per command. Every
// operation reports its own failures on the display it was built with.
#pragma once

#include <array>
#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "aError.h"
#include "aLinkSpec.h"
#include "app/UpdaterDisplayInterface.h"
#include "store/BirdFile.h"

// One discovered device.
struct DeviceInfo {
    DeviceInfo();

    // How the device is reached; module and router are what the device reports about itself,
    // model is its model code.
    linkSpec spec;
    uint16_t scanned_address = 0; // I2C address found by a router scan; 0 when direct
    uint32_t build = 0;
    uint8_t major = 0;
    uint8_t minor = 0;
    uint32_t patch = 0;
    std::string model_name;
    std::string name;      // read only from firmware 2.10.4 on
    aErr error = aErrNone; // first error met while querying the device
};

// Four 32-bit words identifying a chip, word 0 first.
struct Fingerprint {
    std::array<uint32_t, 4> words{};
};

// Serial number of the store folder that holds the default i.MX RT loader image.
constexpr uint32_t DEFAULT_RECOVERY_SERIAL = 0xCAEBECEB;

// Chip families recorded by Get_Fingerprint.
constexpr uint8_t CHIP_FAMILY_IMX = 1;
constexpr uint8_t CHIP_FAMILY_LPC = 2;

using BuildMap = std::map<std::string, std::string>; // build number text -> version text

class Updater {
public:
    Updater(const char* server_url, const char* store_folder, UpdaterDisplayInterface& display);
    ~Updater();

    Updater(const Updater&) = delete;
    Updater& operator=(const Updater&) = delete;

    void Set_UEIBytes_Load(bool load) { uei_bytes_load = load; }

    // Updating a connected device. build 0: choose one; empty bird_file: take it from the
    // store; module_address 0: find it by a scan (router only); router_serial 0: direct link;
    // override skips the file's model and serial checks.
    bool Update_Firmware(uint32_t serial, uint32_t build, std::string bird_file,
                         uint8_t module_address, uint32_t router_serial, bool override);

    // The file to install: the one named, else the build's file in the device's store folder,
    // downloaded first when missing and download_missing is set. Throws a runtime error when
    // no file can be loaded.
    BirdFile load_bird(const char* action, const std::string& bird_file, uint32_t serial,
                       uint32_t build, bool download_missing);

    // Firmware acquisition. Download_Firmware returns the build stored, 0 on failure; an empty
    // build means the newest one.
    uint32_t Download_Firmware(uint32_t serial, const std::string& build, bool override,
                               bool no_cal);
    BuildMap Get_BuildList(uint32_t serial);
    BuildMap Get_BuildListLocal(uint32_t serial);
    std::string Get_JWT(uint32_t serial);

    // Discovery. type 0 searches USB, then TCP/IP; for the network scan it means that the
    // router's link type is to be found first.
    std::vector<DeviceInfo> Discover_Devices(linkType type);
    std::vector<DeviceInfo> Discover_VXNetwork_Devices(uint32_t router_serial, linkType type);

    // Recovery and fingerprinting.
    bool Get_Fingerprint(Fingerprint& out, const std::string& port, uint32_t serial,
                         const std::string& bird_file, uint32_t baud, bool reset_after);
    bool Recover_Firmware(const std::string& port, uint32_t build, uint32_t baud, uint32_t serial,
                          const std::string& bird_file, bool override);

    const std::string& ServerUrl() const { return server_url; }
    const std::string& StoreFolder() const { return store_folder; }
    UpdaterDisplayInterface& Display() { return display; }
    uint8_t ChipFamily() const { return chip_family; }

private:
    // Shown by operations whose implementation has not landed yet.
    void not_available(const char* operation);

    std::string server_url;
    std::string store_folder;
    UpdaterDisplayInterface& display;
    uint8_t chip_family = 0;
    bool uei_bytes_load = false;
};
