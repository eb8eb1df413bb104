// What a simulated module is: its identity, the modules behind it on its I2C bus, its boot
// loader's parameters, its stores and the faults to inject into one run.
//
// A description is plain data. It is read from a small text file of "key = value" lines (see
// parseDescription) or built in code by tests.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace sim {

// One module on the device network.
struct ModuleIdentity {
    uint32_t serial = 0x5A5A0001;
    uint8_t model = 5;             // model code (aDefs.h)
    uint32_t version = 0x2A000003; // packed version word: 2.10.3 in the legacy format
    uint32_t build = 1000;
    std::string name = "Simulated module";
    uint8_t address = 2; // module address: even and not 0
    uint8_t router = 2;  // router address it reports (option 2)
};

// A store slot of command 4.
struct SlotSpec {
    uint8_t store = 0;
    uint8_t slot = 0;
    uint16_t capacity = 1024;
    std::vector<uint8_t> content;
};

// A factory-data block of command 94.
struct FactoryBlockSpec {
    uint8_t block = 0;
    uint16_t capacity = 64;
    std::vector<uint8_t> content;
};

enum class FaultKind {
    DropReply,     // the matching reply is never sent
    LateReply,     // the matching reply is sent `value` ms late
    WrongSum,      // the matching upgrade sum reply reports the sum + 1
    WrongCount,    // the matching upgrade data reply reports one byte fewer; nothing is taken
    PrepareStatus, // the matching prepare reply carries status `value` (default 1)
    Disconnect,    // the link drops on the matching request, back after `value` ms (0: never)
    NoReturn,      // after the matching load or reboot the device never comes back
    Garbage,       // `value` bytes (default 7) of noise go out before the matching reply
    Busy,          // another client holds the device: transports refuse the host
};

// One fault of a run. Drop, late and garbage apply to replies, the others to requests: the
// packets whose first data byte is `command` and whose second is `sub` (255 and -1 match
// anything). `nth` counts matching packets from 1; 0 applies the fault to every one. Wrong
// sum, wrong count and prepare status are preset to the upgrade request they alter.
struct Fault {
    FaultKind kind = FaultKind::DropReply;
    uint8_t command = 255;
    int sub = -1;
    unsigned nth = 1;
    uint32_t value = 0;
};

struct Description {
    ModuleIdentity module;
    std::vector<ModuleIdentity> behind; // modules on the I2C bus of a router

    uint32_t heartbeatMs = 0;               // 0: no heartbeats
    uint32_t streamPeriodMs = 100;          // interval of stream samples
    uint32_t protocolFeatures = 0x80000000; // bit 31: pooled packets accepted
    bool ueiData = true;                    // the boot loader takes whole chunks by UEI (option 10)

    // Boot loader.
    uint32_t loadBase = 0x20000000;
    uint16_t blockSize = 2048;
    uint32_t restartMs = 300;            // how long the link stays down across load and reboot
    uint32_t loaderSerial = 0;           // serial the loader reports after load (0: unchanged)
    std::optional<uint32_t> nextVersion; // reported after a reboot into new firmware
    std::optional<uint32_t> nextBuild;
    uint32_t serialAddress = 0; // flash address of the serial word read after a reboot

    uint16_t nameCapacity = 64;
    std::vector<SlotSpec> slots = {{0, 0, 1024, {}}, {0, 1, 1024, {}}, {1, 0, 256, {}}};
    std::vector<FactoryBlockSpec> factory = {{0, 64, {}}, {1, 128, {}}};

    std::vector<Fault> faults;
};

// Reads a description file: "key = value" lines, '#' comments, and "[behind]" sections that
// start one module behind the router each. Throws std::runtime_error naming the line.
Description loadDescription(const std::string& path);
Description parseDescription(std::string_view text);

// Applies one "key=value" setting (the same keys as the file) to the description, or to the
// last behind module when `behind` is set. Throws std::invalid_argument.
void applySetting(Description& d, std::string_view key, std::string_view value, bool behind);

// "drop,cmd=95,sub=1,nth=3" or "late,cmd=95,sub=7,value=1500": kind, then key=value fields
// (cmd, sub, nth, value; ms, status and bytes are other names of value).
Fault parseFault(std::string_view text);
const char* faultKindName(FaultKind kind);

// A version word from "2.10.3" (packed) or a number ("0x2F020F00").
uint32_t parseVersion(std::string_view text);
// Decimal or 0x-prefixed hexadecimal; throws std::invalid_argument.
uint64_t parseNumber(std::string_view text);

} // namespace sim
