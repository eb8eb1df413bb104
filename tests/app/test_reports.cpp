#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "aDefs.h"
#include "app/CLI_Display.h"
#include "app/Reports.h"
#include "capture.h"

namespace {

// What a printer writes to standard output through the console display.
std::string printed(const std::function<void(UpdaterDisplayInterface&)>& print) {
    CLI_Display display;
    Capture out(STDOUT_FILENO, Capture::File);
    print(display);
    return out.Take();
}

DeviceInfo device(linkType type, uint32_t serial, uint32_t module, uint32_t router, uint32_t model,
                  uint8_t major, uint8_t minor, uint32_t patch, uint32_t build, const char* name,
                  aErr error = aErrNone) {
    DeviceInfo info;
    info.spec.type = type;
    info.spec.serial_num = serial;
    info.spec.module = module;
    info.spec.router = router;
    info.spec.model = model;
    info.major = major;
    info.minor = minor;
    info.patch = patch;
    info.build = build;
    info.name = name;
    info.error = error;
    return info;
}

const char* const kUsbHeader = "    Device    Module   Router  Model          Firmware Version "
                               "(Build)    Device Name\n";
const char* const kIpHeader = "    Device    Module   Router  Model          Firmware Version "
                              "(Build)   [IP address]       Device Name\n";

TEST(Reports, VersionLine) {
    EXPECT_EQ(printed(_display_app_version), "Updater (Version: 2.12.2 Mar 13 2026)\n");
    std::string notice = printed(_display_copyright);
    ASSERT_FALSE(notice.empty());
    EXPECT_EQ(notice.find('\n'), notice.size() - 1); // one line
}

TEST(Reports, EmptyDeviceListNamesTheLinkType) {
    struct Case {
        linkType type;
        const char* name;
    } cases[] = {{USB, "USB"}, {TCPIP, "TCPIP"}, {INVALID, "Unknown"}, {SERIAL, "Unknown"}};
    for (const Case& c : cases) {
        std::string out = printed([&](auto& d) { _display_device_list(d, {}, c.type); });
        EXPECT_EQ(out,
                  std::string("Discovered Devices: (") + c.name + ")\n    No devices found.\n");
    }
}

TEST(Reports, DeviceListLines) {
    DeviceInfo hub = device(USB, 0x40F5849A, 2, 2, aMODEL_HUB4, 2, 12, 3, 1234, "bench hub");
    DeviceInfo busy = device(USB, 0x2181F0EE, 6, 6, aMODEL_HUB8, 0, 0, 0, 0, "", aErrBusy);
    DeviceInfo fresh = device(USB, 0x2181F0EE, 0xAE, 4, 0, 10, 0, 0, 0, "");
    // TCP/IP entries always show their fields, even with an error recorded.
    DeviceInfo bridge = device(TCPIP, 0x0012AB34, 0x10, 0x10, aMODEL_ETHERNET, 2, 9, 12,
                               4294967295u, "lab bridge", aErrTimeout);
    const unsigned char ip[4] = {10, 77, 0, 2};
    memcpy(&bridge.spec.ip_address, ip, 4);
    // The printer names the model from the code, not from the stored name.
    hub.model_name = "stale";

    const std::string hub_line = "    40F5849A  02       02      VX-Hub4        2.12.3 (      1234)"
                                 "         bench hub\n";
    const std::string busy_line = "    2181F0EE  [Error (" + std::to_string(aErrBusy) +
                                  "): Is someone else connected to this device?]\n";
    const std::string fresh_line =
        "    2181F0EE  AE       04      Unknown       10.0.0 (         0)         \n";
    const std::string bridge_line = "    0012AB34  10       10      VX-NetBridge   2.9.12 "
                                    "(4294967295)        [10.77.0.2]        lab bridge\n";

    EXPECT_EQ(printed([&](auto& d) {
                  _display_device_list(d, {hub, busy, fresh}, USB);
              }),
              std::string("Discovered Devices: (USB)\n") + kUsbHeader + hub_line + busy_line +
                  fresh_line);
    // A router scan without -t: type 0, so the header has the address column.
    EXPECT_EQ(printed([&](auto& d) {
                  _display_device_list(d, {bridge, hub}, INVALID);
              }),
              std::string("Discovered Devices: (Unknown)\n") + kIpHeader + bridge_line + hub_line);
}

TEST(Reports, BuildListNewestFirst) {
    EXPECT_EQ(printed([](auto& d) { _display_builds(d, {}, 0x40F5849A); }),
              "No builds found for device [40F5849A]\n");
    BuildMap builds = {{"1200", "2.10.3"},
                       {"1201", "2.10.4"},
                       {"1100", "2.9.12"},
                       {"12345678901234567890", "2.8.0-and-more-text"}};
    EXPECT_EQ(printed([&](auto& d) { _display_builds(d, builds, 0x0000000A); }),
              "Build List for device [0000000A]:\n\n"
              "Build          \tVersion        \n"
              "1201           \t2.10.4         \n"
              "1200           \t2.10.3         \n"
              "1100           \t2.9.12         \n"
              "123456789012345\t2.8.0-and-more-\n");
}

TEST(Reports, FingerprintAndToken) {
    Fingerprint fp;
    fp.words = {1, 0xABCDEF01, 0, 0xFFFFFFFF};
    EXPECT_EQ(printed([&](auto& d) { _display_fingerprint(d, fp); }),
              "[ 00000001 ABCDEF01 00000000 FFFFFFFF ]\n");
    EXPECT_EQ(printed([](auto& d) { _display_jwt(d, "aa.%s%d.cc"); }), "aa.%s%d.cc\n");
    EXPECT_EQ(printed([](auto& d) { _display_jwt(d, ""); }), "\n");
}

} // namespace
