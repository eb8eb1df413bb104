// Small probes of a running link against the simulated module (module address 2): wait for a
// link status, and ask the module its serial number through a UEI get.
#pragma once

#include <chrono>
#include <cstdint>
#include <thread>

#include "aLink.h"
#include "aPacket.h"

namespace linkprobe {

inline constexpr auto kStatusWait = std::chrono::seconds(10);

inline bool waitStatus(uint32_t id, uint32_t status) {
    const auto deadline = std::chrono::steady_clock::now() + kStatusWait;
    while (std::chrono::steady_clock::now() < deadline) {
        if (aLink_GetStatus(id) == status) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return false;
}

// The reply to the system entity's serial-number get from module 2.
inline uint8_t isSerialReply(const aPacket* p, void*) {
    return p->address == 2 && p->dataSize == 7 && p->data[0] == 3 && p->data[1] == 9;
}

// The module's serial number, or 0 when no reply came within 5 s.
inline uint32_t askSerial(uint32_t id) {
    const uint8_t get[] = {0x03, 0x49, 0x20};
    aPacket* req = aPacket_CreateWithData(2, sizeof get, get);
    aLink_PutPacket(id, req);
    aPacket_Destroy(&req);
    aPacket* reply = aLink_AwaitFirst(id, isSerialReply, nullptr, 5000);
    if (!reply) return 0;
    const uint32_t sn = uint32_t(reply->data[3]) << 24 | reply->data[4] << 16 |
                        reply->data[5] << 8 | reply->data[6];
    aPacket_Destroy(&reply);
    return sn;
}

} // namespace linkprobe
