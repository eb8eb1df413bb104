/*
 * Byte streams: the library's one handle on every transport.
 *
 * A stream holds four operations supplied by its transport (get one byte, put one byte,
 * write a block, delete) and an opaque owner reference passed as the last argument of each.
 * Reads that run out of input give their bytes back to a pushback ring, so a multi-byte read
 * is never torn by a transport that had nothing ready.
 *
 * Also here: the serial, socket and COBS-framing transports, COBS coding and CRC-8.
 */
#ifndef VORLIXANE_ASTREAM_H
#define VORLIXANE_ASTREAM_H

#include <stdbool.h>
#include <stddef.h>
#include <stdint.h>

#include "aError.h"

#ifdef __cplusplus
extern "C" {
#endif

typedef struct aStream aStream;

/* Delivers one byte: aErrNone with the byte stored, aErrNotReady when nothing is waiting
 * (try again), aErrEOF at the end of the input, anything else is a failure. */
typedef aErr (*aStreamGetProc)(uint8_t* byte, void* ref);
/* Sends one byte. */
typedef aErr (*aStreamPutProc)(const uint8_t* byte, void* ref);
/* Sends a run of bytes in one transport call. */
typedef aErr (*aStreamWriteProc)(const uint8_t* data, size_t length, void* ref);
/* Closes the transport and frees the owner object. */
typedef aErr (*aStreamDeleteProc)(void* ref);

/* ---- the stream object ---------------------------------------------------------------- */

/* A new stream over the operations (any may be null); null when memory is exhausted.
 * The owner object belongs to the stream from here on and is released by its delete. */
aStream* aStream_Create(aStreamGetProc get, aStreamPutProc put, aStreamWriteProc write,
                        aStreamDeleteProc del, void* ownerReference);

/* Runs the delete operation once, frees the stream and clears *streamHandleAddress
 * (also when the handle is invalid, which gives aErrParam). */
aErr aStream_Destroy(aStream** streamHandleAddress);

/* Gives one byte back; the next read sees the given-back bytes first, in order. */
aErr aStreamBufferChar(aStream* stream, uint8_t byte);

/* Exactly `length` bytes. On aErrNotReady the bytes obtained return to the pushback ring
 * and the buffer is untouched; on aErrEOF the part that arrived is stored. */
aErr aStream_Read(aStream* stream, uint8_t* buffer, size_t length);
/* One block call for more than one byte, else the put-byte operation. */
aErr aStream_Write(aStream* stream, const uint8_t* data, size_t length);

/* One record ending with the terminator (consumed, not stored), or a full buffer of
 * bufferSize bytes. lengthOut may be null; bufferSize must be at least 1. */
aErr aStream_ReadRecord(aStream* stream, uint8_t* buffer, size_t* lengthOut, size_t bufferSize,
                        const uint8_t* terminator, size_t terminatorLength);
aErr aStream_WriteRecord(aStream* stream, const uint8_t* data, size_t dataLength,
                         const uint8_t* terminator, size_t terminatorLength);

/* A zero-terminated string; bufferSize must be at least 2. */
aErr aStream_ReadCString(aStream* stream, char* buffer, size_t bufferSize);
/* The string and its terminating zero byte. */
aErr aStream_WriteCString(aStream* stream, const char* string);
/* Text up to the terminator string, stored zero-terminated; bufferSize at least 2. */
aErr aStream_ReadCStringRecord(aStream* stream, char* buffer, size_t bufferSize,
                               const char* terminatorString);
/* The string, then the terminator string with its zero byte. */
aErr aStream_WriteCStringRecord(aStream* stream, const char* string, const char* terminatorString);

/* Copies bytes from inStream to outStream until the input ends (aErrNone). */
aErr aStream_Flush(aStream* inStream, aStream* outStream);

/* ---- file streams --------------------------------------------------------------------- */

aErr aStream_CreateFileInput(const char* path, aStream** streamOut);
/* Creates or truncates the file. */
aErr aStream_CreateFileOutput(const char* path, aStream** streamOut);

/* ---- serial, socket and COBS streams -------------------------------------------------- */

/* Rate index 0..7: 2400, 4800, 9600, 19200, 38400, 57600, 115200, 230400; any other
 * index hangs the line up (speed 0). parity non-zero: even parity. dataBits 0: 8 bits,
 * 1: 7 bits. stopBits 0: one stop bit, 1: two. */
aErr aStream_CreateSerial(const char* devicePath, uint32_t rateIndex, uint8_t parity,
                          uint8_t dataBits, uint8_t stopBits, aStream** streamAddress);
/* The serial port wrapped in a COBS framing stream. */
aErr aStream_CreateSerial_Packetized(const char* devicePath, uint32_t rateIndex, uint8_t parity,
                                     uint8_t dataBits, uint8_t stopBits, aStream** streamAddress);

#define aSOCKET_MAX_SEND_RETRY 10
#define aSOCKET_RETRY_DELAY_MS 60
/* Longest wait for a connect, so that a peer that has gone away cannot hold a writer for the
 * system's own time-out of minutes. */
#define aSOCKET_CONNECT_TIMEOUT_MS 5000

/* TCP to ipAddress (IPv4, network byte order) and port (host order). */
aErr aStream_CreateSocket(uint32_t ipAddress, uint16_t port, aStream** streamAddress);

/* Frames each packet of a written block as one COBS frame with CRC-8 and a 0x00 delimiter;
 * hands the packets of received frames out byte by byte. Owns the inner transport. */
aErr aStream_CreateCobsEncoding(aStreamGetProc innerGet, aStreamPutProc innerPut,
                                aStreamWriteProc innerWrite, aStreamDeleteProc innerDelete,
                                void* innerReference, aStream** streamAddress);

/* How long the serial and socket get-byte operations wait for input before answering
 * aErrNotReady, so that an idle link's input thread sleeps instead of spinning. */
#define aSTREAM_INPUT_WAIT_MS 20

/* ---- COBS coding and CRC-8 ------------------------------------------------------------ */

/* Longest encoding of `length` bytes: one code byte per started run of 254. */
#define COBS_ENCODED_MAX(length) ((length) + (length) / 254 + 1)

/* Encodes into destination (room for COBS_ENCODED_MAX(length) bytes); returns the
 * encoded length. The output holds no zero byte. */
size_t cobs_encode(const uint8_t* source, size_t length, uint8_t* destination);
/* Same bytes as cobs_encode; buffer must have room for COBS_ENCODED_MAX(length) bytes. */
size_t cobs_encode_inplace(uint8_t* buffer, size_t length);
/* Decodes into destination (room for `length` bytes suffices); returns the decoded length,
 * or 0 for malformed input (a zero byte, or a code byte that points past the end). */
size_t cobs_decode(const uint8_t* source, size_t length, uint8_t* destination);
size_t cobs_decode_inplace(uint8_t* buffer, size_t length);

/* CRC-8 of the one-wire bus: polynomial x^8+x^5+x^4+1, reflected, initial 0, no final xor. */
uint8_t crc8_update(uint8_t crc, uint8_t byte);
uint8_t crc8_create(const uint8_t* data, size_t length);
bool crc8_check(const uint8_t* data, size_t length, uint8_t crc);

#ifdef __cplusplus
}
#endif

#endif
