// Helpers shared by the packet and packet FIFO tests.
#pragma once

#include "aPacket.h"

#include <cstring>
#include <memory>
#include <vector>

namespace packet_testing {

struct PacketDeleter {
    void operator()(aPacket* p) const { aPacket_Destroy(&p); }
};
using Packet = std::unique_ptr<aPacket, PacketDeleter>;

inline Packet makePacket(uint8_t address, const std::vector<uint8_t>& data) {
    static const uint8_t none = 0; // a real pointer even for no data
    return Packet(aPacket_CreateWithData(address, static_cast<uint8_t>(data.size()),
                                         data.empty() ? &none : data.data()));
}

// Field by field: the record's padding is no part of a packet.
inline bool samePacket(const aPacket& a, const aPacket& b) {
    return a.check == b.check && a.count == b.count && a.address == b.address &&
           a.dataSize == b.dataSize && std::memcmp(a.data, b.data, sizeof a.data) == 0;
}

} // namespace packet_testing
