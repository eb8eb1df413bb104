// Internal state of one simulated module, shared by the link and entity code of the core.
#pragma once

#include <array>
#include <map>
#include <optional>
#include <set>

#include "sim/module/SimModuleCore.h"

namespace sim {

// Wire constants of the device's protocol.
namespace wire {
inline constexpr uint8_t kSyncAddress = 0xAD;
inline constexpr uint8_t kRouteAddress = 0xAF;
inline constexpr uint8_t kMaxData = 28;

inline constexpr uint8_t kCmdHeartbeat = 0;
inline constexpr uint8_t kCmdSlot = 4;
inline constexpr uint8_t kCmdI2C = 8;
inline constexpr uint8_t kCmdEcho = 23;
inline constexpr uint8_t kCmdInfo = 73;
inline constexpr uint8_t kCmdFactory = 94;
inline constexpr uint8_t kCmdUpgrade = 95;

inline constexpr uint8_t kClassSystem = 3;
inline constexpr uint8_t kClassStore = 92;
inline constexpr uint8_t kClassStream = 93;

inline constexpr uint8_t kUpInit = 0, kUpData = 1, kUpLoad = 2, kUpPrepare = 3, kUpSum = 4,
                         kUpWrite = 5, kUpReboot = 6, kUpStatus = 7, kUpDataUEI = 10;

inline constexpr uint8_t kGet = 0x40, kSet = 0x80, kAck = 0xC0, kOpMask = 0xC0;
inline constexpr uint8_t kOptionMask = 0x3F;
inline constexpr uint8_t kIndexMask = 0x1F, kRequest = 0x20, kStream = 0x40, kError = 0x80;
inline constexpr uint8_t kBytesChunk = 24, kContinue = 0x80;

inline uint32_t be32(const uint8_t* p) {
    return uint32_t(p[0]) << 24 | uint32_t(p[1]) << 16 | uint32_t(p[2]) << 8 | p[3];
}
inline void putBe32(Bytes& b, uint32_t v) {
    b.push_back(uint8_t(v >> 24));
    b.push_back(uint8_t(v >> 16));
    b.push_back(uint8_t(v >> 8));
    b.push_back(uint8_t(v));
}
inline void putBe16(Bytes& b, uint16_t v) {
    b.push_back(uint8_t(v >> 8));
    b.push_back(uint8_t(v));
}
} // namespace wire

// Value kinds of the system entity's options.
enum class Width { U8, U16, U32, Bytes, Call };

struct OptionDef {
    uint8_t option;
    Width width;
    bool get;
    bool set;
};

// A byte buffer being received in a run of set packets.
struct BytesRun {
    uint8_t cmd = 0, option = 0, index = 0;
    Bytes data;
    uint8_t nextSequence = 0;
    bool failed = false; // an error was answered; the rest of the run is swallowed
};

struct OpenSlot {
    uint8_t store, slot;
    bool writing;
    size_t position = 0;
};

struct FactoryTransfer {
    uint8_t block = 0;
    bool writing = false;
    Bytes staged;        // a write lands only when its end packet confirms the count
    size_t position = 0; // bytes handed out by a read
    size_t transferred = 0;
};

struct ModuleCore::Node {
    ModuleState state;
    uint32_t ownSerial = 0; // the serial it has outside its loader
    Clock::time_point booted;
    std::optional<Clock::time_point> offlineUntil; // behind modules restarting
    bool neverBack = false;

    std::map<uint8_t, uint32_t> values;   // scalar system options
    std::map<uint8_t, uint32_t> saved;    // the last save
    std::map<uint8_t, uint32_t> defaults; // factory defaults
    Bytes name;
    Bytes defaultName;
    Bytes powerConfig; // option 31
    std::optional<BytesRun> run;

    // Upgrade.
    bool blockActive = false;
    uint32_t blockAddress = 0;
    uint8_t blockFlags = 0;
    uint32_t committed = 0; // bytes of the block committed so far
    Bytes pending;          // taken since the last prepare or commit
    uint32_t sum = 0;
    bool newFirmware = false; // a firmware chunk was written since the loader started

    // Store slots and factory data.
    std::map<std::pair<uint8_t, uint8_t>, SlotSpec> slots;
    std::map<uint8_t, OpenSlot> openSlots; // by handle
    uint8_t nextHandle = 1;
    std::map<uint8_t, FactoryBlockSpec> factory;
    std::optional<FactoryTransfer> factoryTransfer;

    // Streams: registered (command, option, index) patterns, 255 = any.
    std::set<std::array<uint8_t, 3>> subscriptions;

    std::map<uint8_t, Bytes> i2cData; // what was last written to each bus address
};

} // namespace sim
