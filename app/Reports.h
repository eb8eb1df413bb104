// Console reports of the command results, the version line and the usage texts.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "aLinkSpec.h"
#include "app/UpdaterDisplayInterface.h"
#include "updater/Updater.h"

extern const char* const APP_NAME;    // "Updater"
extern const char* const APP_VERSION; // "Version: ..." with the release date

void _display_app_version(UpdaterDisplayInterface& display);
void _display_copyright(UpdaterDisplayInterface& display);
void _display_device_list(UpdaterDisplayInterface& display, const std::vector<DeviceInfo>& list,
                          linkType type);
void _display_builds(UpdaterDisplayInterface& display, const BuildMap& builds, uint32_t serial);
void _display_fingerprint(UpdaterDisplayInterface& display, const Fingerprint& fingerprint);
void _display_jwt(UpdaterDisplayInterface& display, const std::string& token);

// Writes to standard error: the short block always; with full the parameters and the samples
// blocks, and between them the extended block when extended too.
void _display_usage(bool extended, bool full);
