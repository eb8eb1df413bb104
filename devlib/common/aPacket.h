/*
 * Device packets: one module address and up to 28 data bytes, with the
 * byte-by-byte assembler the link engine feeds received bytes into.
 *
 * Serialized form: address, dataSize, then dataSize data bytes.
 */
#ifndef VORLIXANE_APACKET_H
#define VORLIXANE_APACKET_H

#include <stdbool.h>
#include <stddef.h>
#include <stdint.h>

#include "aError.h"

#ifdef __cplusplus
extern "C" {
#endif

#define aPACKET_MAX_DATA 28
/* address + length + data */
#define aPACKET_MAX_SERIALIZED (aPACKET_MAX_DATA + 2)
#define aPACKET_CHECK 0xBEEF

typedef struct aPacket {
    uint16_t check;   /* aPACKET_CHECK in every live packet */
    uint8_t count;    /* bytes accepted by the assembler; 2 + dataSize when built whole */
    uint8_t address;  /* module address; 0 = not yet set */
    uint8_t dataSize; /* valid bytes in data, 0..28 */
    uint8_t data[aPACKET_MAX_DATA];
} aPacket;

#define aVALIDPACKET(p) ((p) != NULL && (p)->check == aPACKET_CHECK)

/* New empty packet (all zero but the check word); NULL when memory is short. */
aPacket* aPacket_Create(void);

/* New complete packet; NULL when data is NULL (even for length 0), length > 28,
 * or memory is short. */
aPacket* aPacket_CreateWithData(uint8_t address, uint8_t length, const uint8_t* data);

/* New packet with the source's address and data; NULL for an invalid source. */
aPacket* aPacket_Copy(const aPacket* packet);

/* Data byte 0. aErrParam for a NULL out pointer, aErrPacket for an invalid
 * packet or dataSize 0. */
aErr aPacket_GetCmd(const aPacket* packet, uint8_t* command);

/* Data byte 1 & 0x3F; aErrPacket when dataSize < 2. */
aErr aPacket_GetOption(const aPacket* packet, uint8_t* option);

/* Data byte 2 & 0x1F; aErrPacket when dataSize < 3. */
aErr aPacket_GetIndex(const aPacket* packet, uint8_t* index);

/* Back to empty: count, address, dataSize and data cleared. */
aErr aPacket_Reset(aPacket* packet);

/* Feeds one received byte. aErrOverrun past 30 bytes (sticky until reset),
 * aErrPacket for a 0 address, a length above 28 or a surplus data byte. */
aErr aPacket_AddByte(aPacket* packet, uint8_t byte);

/* Valid and count == dataSize + 2. */
bool aPacket_IsComplete(const aPacket* packet);

/* Writes the serialized form (2 + dataSize bytes) and, when length is not
 * NULL, stores that size there. aErrParam for an invalid packet or NULL
 * buffer, aErrOverrun when the buffer is too small. */
aErr aPacket_GetBytes(const aPacket* packet, uint8_t* buffer, size_t size, uint64_t* length);

/* Frees *packet and sets it to NULL; aErrParam when packet or *packet is NULL. */
aErr aPacket_Destroy(aPacket** packet);

#ifdef __cplusplus
}
#endif

#endif
