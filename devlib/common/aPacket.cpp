#include "aPacket.h"

#include <cstdlib>
#include <cstring>

namespace {

constexpr aPacket kEmptyPacket = {aPACKET_CHECK, 0, 0, 0, {}};

// Once count has passed the largest serialized packet it stops rising, so a
// flood of bytes cannot wrap it back into the range where data is stored.
constexpr uint8_t kOverrunCount = aPACKET_MAX_SERIALIZED + 1;

} // namespace

extern "C" {

aPacket* aPacket_Create(void) {
    // calloc clears the padding too, so a packet copied whole carries no stale bytes.
    auto* packet = static_cast<aPacket*>(std::calloc(1, sizeof(aPacket)));
    if (packet) packet->check = aPACKET_CHECK;
    return packet;
}

aPacket* aPacket_CreateWithData(uint8_t address, uint8_t length, const uint8_t* data) {
    if (!data || length > aPACKET_MAX_DATA) return nullptr;
    aPacket* packet = aPacket_Create();
    if (!packet) return nullptr;
    packet->address = address;
    packet->dataSize = length;
    packet->count = static_cast<uint8_t>(length + 2);
    std::memcpy(packet->data, data, length);
    return packet;
}

aPacket* aPacket_Copy(const aPacket* packet) {
    if (!aVALIDPACKET(packet)) return nullptr;
    return aPacket_CreateWithData(packet->address, packet->dataSize, packet->data);
}

aErr aPacket_GetCmd(const aPacket* packet, uint8_t* command) {
    if (!aVALIDPACKET(packet) || packet->dataSize < 1) return aErrPacket;
    if (!command) return aErrParam;
    *command = packet->data[0];
    return aErrNone;
}

aErr aPacket_GetOption(const aPacket* packet, uint8_t* option) {
    if (!aVALIDPACKET(packet) || packet->dataSize < 2) return aErrPacket;
    if (!option) return aErrParam;
    *option = packet->data[1] & 0x3F;
    return aErrNone;
}

aErr aPacket_GetIndex(const aPacket* packet, uint8_t* index) {
    if (!aVALIDPACKET(packet) || packet->dataSize < 3) return aErrPacket;
    if (!index) return aErrParam;
    *index = packet->data[2] & 0x1F;
    return aErrNone;
}

aErr aPacket_Reset(aPacket* packet) {
    if (!aVALIDPACKET(packet)) return aErrParam;
    *packet = kEmptyPacket;
    return aErrNone;
}

aErr aPacket_AddByte(aPacket* packet, uint8_t byte) {
    if (!aVALIDPACKET(packet)) return aErrParam;
    if (packet->count >= kOverrunCount) return aErrOverrun;
    if (++packet->count > aPACKET_MAX_SERIALIZED) return aErrOverrun;

    if (packet->address == 0) {
        if (byte == 0) return aErrPacket;
        packet->address = byte;
        return aErrNone;
    }
    if (packet->dataSize == 0) {
        packet->dataSize = byte;
        return byte > aPACKET_MAX_DATA ? aErrPacket : aErrNone;
    }
    if (packet->count > packet->dataSize + 2) return aErrPacket;
    // count is 3..30 here, so the index stays inside data.
    packet->data[packet->count - 3] = byte;
    return aErrNone;
}

bool aPacket_IsComplete(const aPacket* packet) {
    return aVALIDPACKET(packet) && packet->count == packet->dataSize + 2;
}

aErr aPacket_GetBytes(const aPacket* packet, uint8_t* buffer, size_t size, uint64_t* length) {
    if (!aVALIDPACKET(packet) || !buffer) return aErrParam;
    // A packet whose length byte was refused by the assembler keeps that length;
    // serializing it would read past data.
    if (packet->dataSize > aPACKET_MAX_DATA) return aErrPacket;
    const size_t needed = size_t{packet->dataSize} + 2;
    if (length) *length = needed;
    if (size < needed) return aErrOverrun;
    buffer[0] = packet->address;
    buffer[1] = packet->dataSize;
    std::memcpy(buffer + 2, packet->data, packet->dataSize);
    return aErrNone;
}

aErr aPacket_Destroy(aPacket** packet) {
    if (!packet || !*packet) return aErrParam;
    if (!aVALIDPACKET(*packet)) return aErrParam;
    (*packet)->check = 0;
    std::free(*packet);
    *packet = nullptr;
    return aErrNone;
}

} // extern "C"
