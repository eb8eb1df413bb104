// Feeds arbitrary bytes to the packet assembler the way a link's input thread does: a refused
// byte or a complete packet starts a fresh one. Every complete packet must serialise back to
// exactly the bytes that built it, and the UEI readers must stay inside the packet.
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "aPacket.h"
#include "aUEI.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    aPacket* packet = aPacket_Create();
    if (packet == nullptr) return 0;
    size_t start = 0;
    for (size_t i = 0; i < size; ++i) {
        if (aPacket_AddByte(packet, data[i]) != aErrNone) {
            aPacket_Reset(packet);
            start = i + 1;
            continue;
        }
        if (packet->dataSize > aPACKET_MAX_DATA) abort();
        if (!aPacket_IsComplete(packet)) continue;

        uint8_t wire[2 + aPACKET_MAX_DATA];
        uint64_t length = 0;
        if (aPacket_GetBytes(packet, wire, sizeof wire, &length) != aErrNone) abort();
        if (length != i + 1 - start || std::memcmp(wire, data + start, length) != 0) abort();
        (void)aUEI_getBytesSequence(packet);
        (void)aUEI_getBytesContinue(packet);
        (void)aUEI_isStreamPacket(packet);
        aPacket* copy = aPacket_Copy(packet);
        if (copy == nullptr || copy->dataSize != packet->dataSize) abort();
        aPacket_Destroy(&copy);
        aPacket_Reset(packet);
        start = i + 1;
    }
    aPacket_Destroy(&packet);
    return 0;
}
