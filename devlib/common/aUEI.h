/*
 * UEI messages: get/set/call requests addressing one value of one entity on a
 * module, and the byte layout they take inside a packet:
 *   data[0] command (entity class)
 *   data[1] option: bits 0-5 option code, bits 6-7 operation
 *   data[2] specifier: bits 0-4 entity index, 0x20 request, 0x40 stream, 0x80 error
 *   data[3..] value, most significant byte first
 */
#ifndef VORLIXANE_AUEI_H
#define VORLIXANE_AUEI_H

#include <stdbool.h>
#include <stddef.h>
#include <stdint.h>

#include "aPacket.h"

#ifdef __cplusplus
extern "C" {
#endif

#define ueiOPTION_MASK 0x3F
#define ueiOPTION_GET 0x40
#define ueiOPTION_SET 0x80
#define ueiOPTION_ACK 0xC0
#define ueiOPTION_OPERATION_MASK 0xC0

#define ueiSPECIFIER_INDEX_MASK 0x1F
#define ueiSPECIFIER_REQUEST 0x20
#define ueiSPECIFIER_STREAM 0x40
#define ueiSPECIFIER_ERROR 0x80

/* Byte transfers: command, option, specifier, up to 24 buffer bytes, sequence byte. */
#define ueiBYTES_CHUNK_MAX 24
#define ueiBYTES_CONTINUE 0x80
#define ueiBYTES_SEQUENCE_MASK 0x7F

typedef enum ueiType {
    UEI_TYPE_VOID = 0,
    UEI_TYPE_BYTE = 1,
    UEI_TYPE_SHORT = 2,
    UEI_TYPE_INT = 4,
    UEI_TYPE_BYTES = 5,
} ueiType;

typedef struct uei {
    uint8_t module;
    uint8_t command;
    uint8_t option;
    uint8_t specifier;
    union {
        uint8_t byteVal;
        uint16_t shortVal;
        uint32_t intVal;
        uint8_t* bytesVal;
        uint64_t _width; /* keeps the union 64 bits wide on every host */
    } value;
    uint8_t bytesSequence; /* receiving bytes: sequence number expected next */
    uint8_t bytesContinue; /* receiving bytes: continue flag of the last packet */
    uint64_t bytesSize;    /* bytes to send, or capacity of the receiving buffer */
    uint64_t* bytesCount;  /* receiving bytes: running count stored */
    ueiType type;
} uei;

/* Big-endian wire values. */
int16_t aUEI_RetrieveShort(const uint8_t* bytes);
void aUEI_StoreShort(uint8_t* buffer, uint16_t value);
uint32_t aUEI_RetrieveInt(const uint8_t* bytes);
void aUEI_StoreInt(uint8_t* buffer, uint32_t value);

/* Converts count words in place from big-endian wire order to host integers. */
void aUEI_ModifyIntBuffer(uint32_t* words, size_t count);

/* Sequence number / continue flag of a byte-transfer packet (its last data
 * byte); 0 for a NULL or empty packet. */
uint8_t aUEI_getBytesSequence(const aPacket* packet);
uint8_t aUEI_getBytesContinue(const aPacket* packet);

/* dataSize is 27 or 28. */
bool aUEI_getBytesFullPacket(const aPacket* packet);

/* Data byte 0 is one of the commands carrying other layouts
 * (0 1 2 4 8 9 23 24 73 94 95 173 175); false for NULL. */
bool aUEI_isNotUEIPayload(const aPacket* packet);

/* !aUEI_isNotUEIPayload (true for NULL). */
bool aUEI_isUEIPayload(const aPacket* packet);

/* An unsolicited stream sample: more than 4 data bytes, UEI, no operation
 * bits, specifier stream bit set. */
bool aUEI_isStreamPacket(const aPacket* packet);

#ifdef __cplusplus
}
#endif

#endif
