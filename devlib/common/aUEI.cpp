#include "aUEI.h"

#include <cstring>

namespace {

// The last data byte of a byte-transfer packet, or none for a packet that has
// no data or a length the assembler refused.
bool sLastDataByte(const aPacket* packet, uint8_t* byte) {
    if (!aVALIDPACKET(packet) || packet->dataSize == 0 || packet->dataSize > aPACKET_MAX_DATA)
        return false;
    *byte = packet->data[packet->dataSize - 1];
    return true;
}

bool sIsNotUEICommand(uint8_t command) {
    switch (command) {
    case 0:
    case 1:
    case 2:
    case 4:
    case 8:
    case 9:
    case 23:
    case 24:
    case 73:
    case 94:
    case 95:
    case 173:
    case 175:
        return true;
    default:
        return false;
    }
}

} // namespace

extern "C" {

int16_t aUEI_RetrieveShort(const uint8_t* bytes) {
    return static_cast<int16_t>(static_cast<uint16_t>(bytes[0] << 8 | bytes[1]));
}

void aUEI_StoreShort(uint8_t* buffer, uint16_t value) {
    buffer[0] = static_cast<uint8_t>(value >> 8);
    buffer[1] = static_cast<uint8_t>(value);
}

uint32_t aUEI_RetrieveInt(const uint8_t* bytes) {
    return uint32_t{bytes[0]} << 24 | uint32_t{bytes[1]} << 16 | uint32_t{bytes[2]} << 8 |
           uint32_t{bytes[3]};
}

void aUEI_StoreInt(uint8_t* buffer, uint32_t value) {
    buffer[0] = static_cast<uint8_t>(value >> 24);
    buffer[1] = static_cast<uint8_t>(value >> 16);
    buffer[2] = static_cast<uint8_t>(value >> 8);
    buffer[3] = static_cast<uint8_t>(value);
}

void aUEI_ModifyIntBuffer(uint32_t* words, size_t count) {
    if (!words) return;
    for (size_t i = 0; i < count; ++i) {
        uint8_t bytes[4];
        std::memcpy(bytes, &words[i], sizeof bytes);
        words[i] = aUEI_RetrieveInt(bytes);
    }
}

uint8_t aUEI_getBytesSequence(const aPacket* packet) {
    uint8_t last = 0;
    return sLastDataByte(packet, &last) ? last & ueiBYTES_SEQUENCE_MASK : 0;
}

uint8_t aUEI_getBytesContinue(const aPacket* packet) {
    uint8_t last = 0;
    return sLastDataByte(packet, &last) ? last >> 7 : 0;
}

bool aUEI_getBytesFullPacket(const aPacket* packet) {
    return aVALIDPACKET(packet) && (packet->dataSize == 28 || packet->dataSize == 27);
}

bool aUEI_isNotUEIPayload(const aPacket* packet) {
    return aVALIDPACKET(packet) && sIsNotUEICommand(packet->data[0]);
}

bool aUEI_isUEIPayload(const aPacket* packet) {
    return !aUEI_isNotUEIPayload(packet);
}

bool aUEI_isStreamPacket(const aPacket* packet) {
    return aVALIDPACKET(packet) && packet->dataSize > 4 && aUEI_isUEIPayload(packet) &&
           (packet->data[1] & ueiOPTION_OPERATION_MASK) == 0 &&
           (packet->data[2] & ueiSPECIFIER_STREAM) != 0;
}

} // extern "C"
