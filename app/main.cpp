// Entry point: parse the command line, make sure the store folder exists, then run the
// requested commands against one Updater in a fixed order: -N, -G, then the first of
// -D, -U, -B, -L, -J.
#include <cstdio>
#include <string>

#include "BuildPath.h"
#include "aDirectory.h"
#include "app/CLI_Display.h"
#include "app/Log.h"
#include "app/Parameters.h"
#include "app/Reports.h"
#include "updater/Updater.h"

namespace {

using Level = UpdaterDisplayInterface::Level;

constexpr size_t kHomeDirectorySize = 2048;
constexpr uint32_t kStoreFolderMode = 0755;

// The store root: <home>/.quenlo or the -i folder, followed by "updater". Empty on failure.
std::string _store_folder(CLI_Display& display, const Parameters& params) {
    std::string base = params.store_directory;
    if (base.empty()) {
        char home[kHomeDirectorySize] = "";
        aErr err = aDirectory_GetHomeDirectory(home, sizeof home);
        // An empty home would put the store under the root folder.
        if (err == aErrNone && home[0] == '\0') err = aErrNotFound;
        if (err != aErrNone) {
            Log::log(DEBUG_APP, "Updater: FailedaDirectory_GetHomeDirectory()==> %d\n", err);
            return {};
        }
        base = BuildPath(home, ".quenlo");
    }
    std::string folder = BuildPath(base, "updater");
    if (aDirectory_Ensure(folder.c_str(), kStoreFolderMode) != aErrNone) {
        display.message(Level::ERROR, "Could not find updater directory at %s", folder.c_str());
        return {};
    }
    return folder;
}

int _discover(CLI_Display& display, Updater& updater, const Parameters& params) {
    linkType type = INVALID;
    if (params.transport_given && params.transport != TRANSPORT_RECOVER)
        type = static_cast<linkType>(params.transport);
    if (params.router_serial_number != 0) {
        display.message(Level::INFO, "Searching for Vorlixane Network devices connected to %08X",
                        params.router_serial_number);
        auto list = updater.Discover_VXNetwork_Devices(params.router_serial_number, type);
        _display_device_list(display, list, type);
    } else {
        if (type == INVALID) type = USB;
        display.message(Level::INFO, "Searching for Vorlixane devices");
        auto list = updater.Discover_Devices(type);
        _display_device_list(display, list, type);
    }
    return 0;
}

int _update(CLI_Display& display, Updater& updater, const Parameters& params) {
    char* end = nullptr;
    uint32_t build = _get_int_arg(params.build.c_str(), &end);
    updater.Set_UEIBytes_Load(params.uei_bytes_load);
    bool ok;
    if (params.transport == TRANSPORT_RECOVER) {
        ok = updater.Recover_Firmware(params.serial_port, build, params.baud_rate,
                                      params.serial_number, params.bird_file,
                                      params.override_model_check);
    } else if (params.serial_number == 0) {
        display.message(Level::ERROR, "Must specify the specific device to be updated");
        return 1;
    } else {
        ok = updater.Update_Firmware(params.serial_number, build, params.bird_file,
                                     params.module_address, params.router_serial_number,
                                     params.override_model_check);
    }
    return ok ? 0 : 1;
}

// -B, -L and -J all need a device.
bool _require_serial(CLI_Display& display, const Parameters& params, const char* command) {
    if (params.serial_number != 0) return true;
    display.message(Level::ERROR, "Error must supply a serial number for the %s command", command);
    _display_usage(false, false);
    return false;
}

int _run(CLI_Display& display, Parameters& params) {
    std::string store_folder = _store_folder(display, params);
    if (store_folder.empty()) return 1;
    params.store_directory = store_folder;

    Updater updater(params.server_url.c_str(), params.store_directory.c_str(), display);
    int status = 0;

    if (params.commands.IsSet(CMD_FINGERPRINT)) {
        if (params.serial_port.empty()) {
            display.message(Level::ERROR, "Must specify the serial port used for connecting");
            return 1;
        }
        Fingerprint fingerprint;
        if (updater.Get_Fingerprint(fingerprint, params.serial_port, DEFAULT_RECOVERY_SERIAL,
                                    params.bird_file, params.baud_rate, true)) {
            _display_fingerprint(display, fingerprint);
        } else {
            display.message(Level::ERROR, "Got no response from chip");
            status = 1;
        }
    }

    if (params.commands.IsSet(CMD_GET_BUILD)) {
        if (params.serial_number == 0) {
            display.message(Level::ERROR, "-G must specify a specific device via -d");
            display.message(Level::ERROR, "--help for usage information");
            return 1;
        }
        display.message(Level::INFO, "Retrieving firmware for device with serial number %08X",
                        params.serial_number);
        if (params.build.empty()) {
            display.message(Level::INFO, "No build specified");
            display.message(Level::INFO, "Using Latest build");
        } else {
            display.message(Level::INFO, "Retrieving firmware build %s", params.build.c_str());
        }
        uint32_t got = updater.Download_Firmware(params.serial_number, params.build,
                                                 params.override_model_check, false);
        if (got != 0) {
            // A later -U of this run installs exactly the build just stored.
            params.build = std::to_string(got);
            status = 0;
        } else {
            status = 1;
        }
    }

    if (params.commands.IsSet(CMD_DISCOVER)) return _discover(display, updater, params);
    if (params.commands.IsSet(CMD_UPDATE)) return _update(display, updater, params);
    if (params.commands.IsSet(CMD_LIST_BUILDS)) {
        if (!_require_serial(display, params, "List Builds")) return 1;
        _display_builds(display, updater.Get_BuildList(params.serial_number), params.serial_number);
        return 0;
    }
    if (params.commands.IsSet(CMD_LIST_LOCAL_BUILDS)) {
        if (!_require_serial(display, params, "List Local Builds")) return 1;
        _display_builds(display, updater.Get_BuildListLocal(params.serial_number),
                        params.serial_number);
        return 0;
    }
    if (params.commands.IsSet(CMD_GET_JWT)) {
        if (!_require_serial(display, params, "Get JWT")) return 1;
        _display_jwt(display, updater.Get_JWT(params.serial_number));
        return 0;
    }
    _release_params(&params);
    return status;
}

} // namespace

int main(int argc, char** argv) {
    CLI_Display display;
    Parameters params;
    Log::SetOutput(stderr);

    if (_get_params(display, argc, argv, &params) != 0) {
        _display_app_version(display);
        _display_copyright(display);
        _display_usage(false, false);
        _release_params(&params);
        return 1;
    }
    _display_app_version(display);
    if (params.commands.IsSet(CMD_HELP) || !params.commands.IsSet(CMD_ALL)) {
        _display_copyright(display);
        _display_usage(params.debug_mask_given, params.help_requested);
        _release_params(&params);
        return 0;
    }
    return _run(display, params);
}
