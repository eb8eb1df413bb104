#include "app/Reports.h"

#include <cstdio>

#include "aDefs.h"
#include "server/UpdateServerRequest.h"

const char* const APP_NAME = "Updater";
const char* const APP_VERSION = "Version: 2.12.2 Mar 13 2026";

using Level = UpdaterDisplayInterface::Level;

void _display_app_version(UpdaterDisplayInterface& display) {
    display.message(Level::INFO, "%s (%s)", APP_NAME, APP_VERSION);
}

void _display_copyright(UpdaterDisplayInterface& display) {
    display.message(Level::INFO, "Copyright (c) 2026 Quenlo. All rights reserved.");
}

void _display_device_list(UpdaterDisplayInterface& display, const std::vector<DeviceInfo>& list,
                          linkType type) {
    const char* type_name = type == USB ? "USB" : type == TCPIP ? "TCPIP" : "Unknown";
    display.message(Level::INFO, "Discovered Devices: (%s)", type_name);
    if (list.empty()) {
        display.message(Level::INFO, "    No devices found.");
        return;
    }
    if (type == USB)
        display.message(Level::INFO, "    Device    Module   Router  Model          Firmware "
                                     "Version (Build)    Device Name");
    else
        display.message(Level::INFO, "    Device    Module   Router  Model          Firmware "
                                     "Version (Build)   [IP address]       Device Name");
    for (const DeviceInfo& info : list) {
        const linkSpec& spec = info.spec;
        const char* model = aDefs_GetModelName(spec.model);
        if (spec.type == TCPIP) {
            const auto* ip = reinterpret_cast<const unsigned char*>(&spec.ip_address);
            char address[20];
            snprintf(address, sizeof address, "[%d.%d.%d.%d]", ip[0], ip[1], ip[2], ip[3]);
            display.message(
                Level::INFO,
                "    %08X  %02X       %02X      %-12s %3d.%d.%d (%10u)        %-17s  %s",
                spec.serial_num, spec.module, spec.router, model, info.major, info.minor,
                static_cast<int>(info.patch), info.build, address, info.name.c_str());
        } else if (info.error != aErrNone) {
            display.message(Level::INFO,
                            "    %08X  [Error (%d): Is someone else connected to this device?]",
                            spec.serial_num, static_cast<int>(info.error));
        } else {
            display.message(
                Level::INFO, "    %08X  %02X       %02X      %-12s %3d.%d.%d (%10u)         %s",
                spec.serial_num, spec.module, spec.router, model, info.major, info.minor,
                static_cast<int>(info.patch), info.build, info.name.c_str());
        }
    }
}

void _display_builds(UpdaterDisplayInterface& display, const BuildMap& builds, uint32_t serial) {
    if (builds.empty()) {
        display.message(Level::INFO, "No builds found for device [%08X]", serial);
        return;
    }
    display.message(Level::INFO, "Build List for device [%08X]:\n", serial);
    display.message(Level::INFO, "%-15.15s\t%-15.15s", "Build", "Version");
    for (const auto& [build, version] : UpdateServerRequest::SortBuildsByVersion(builds))
        display.message(Level::INFO, "%-15.15s\t%-15.15s", build.c_str(), version.c_str());
}

void _display_fingerprint(UpdaterDisplayInterface& display, const Fingerprint& fingerprint) {
    const auto& w = fingerprint.words;
    display.message(Level::INFO, "[ %08X %08X %08X %08X ]", w[0], w[1], w[2], w[3]);
}

void _display_jwt(UpdaterDisplayInterface& display, const std::string& token) {
    display.message(Level::INFO, "%s", token.c_str());
}
