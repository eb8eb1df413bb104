/*
 * Link engine and link registry.
 *
 * A link turns a byte stream into a packet channel to the modules behind it. Every link lives in
 * the process-wide registry and is known by a numeric link id (1 for the first link of the
 * process, never reused; 0 means none). Callers put packets on the link and take or await the
 * packets it received, optionally by filter; two threads per link do the framing, keep the two
 * ends synchronised and answer the modules' heartbeats.
 *
 * Frames on every stream: module address (even, not 0), data length 0..28, the data bytes.
 */
#ifndef VORLIXANE_ALINK_H
#define VORLIXANE_ALINK_H

#include <stdbool.h>
#include <stdint.h>

#include "aError.h"
#include "aPacket.h"
#include "aStream.h"
#include "packetfifo.h"

#ifdef __cplusplus
extern "C" {
#endif

#define aLINK_CHECK 0xCEED

/* Link status values. */
enum {
    kLinkStatusStopped = 0,
    kLinkStatusStarting = 1,
    kLinkStatusRunning = 2,
    kLinkStatusStopping = 3,
    kLinkStatusSyncing = 4,
    kLinkStatusInvalidStream = 5, /* also the status of an unregistered id */
    kLinkStatusIOError = 6,
    kLinkStatusError = 8, /* a received packet could not be delivered */
};

/* Synchronisation states of the input thread. */
enum {
    kSyncStateSynced = 0,
    kSyncStateStart = 1,
    kSyncStateByte1 = 2,
    kSyncStateByte2 = 3,
    kSyncStateByte3 = 4,
    kSyncStateByte4 = 5,
};

/* Control frames. */
#define aLINK_SYNC_ADDRESS 0xAD  /* 0xAD 0x00: sync request */
#define aLINK_ROUTE_ADDRESS 0xAF /* 0xAF 0x01 F: cmdFORCEROUTE */
#define aLINK_SYNC_REQUESTS 6    /* sync requests sent to start synchronisation */
#define aLINK_POOL_SIZE 4096     /* largest pooled write */
#define aLINK_LOG_MAX_SIZE 67108864
#define aLINK_LOG_DEFAULT_SIZE 65536

/* Packet log record directions. */
enum {
    kPacketLogHostToModule = 1,
    kPacketLogModuleToHost = 2,
    kPacketLogAnnotation = 3,
};

typedef struct aLink aLink;

/* Nonzero when the packet is the one sought; same contract as the packet FIFO's filters. The
 * user filter runs on the link's input thread under the user filter lock: it must not install
 * or remove its own link's user filter. */
typedef aPacketFifoFilter aLinkPacketFilter;

/* ---- packets ------------------------------------------------------------------------------ */

/* kLinkStatusInvalidStream for an unregistered id. */
uint32_t aLink_GetStatus(uint32_t linkId);

/* The oldest received packet (the caller destroys it); null when none or unregistered. */
aPacket* aLink_GetPacket(uint32_t linkId);
aPacket* aLink_AwaitPacket(uint32_t linkId, uint64_t timeoutMs);

/* The oldest received packet the filter accepts. AwaitFirst waits while the link is running
 * and synchronised; a link that is not returns null at once. */
aPacket* aLink_GetFirst(uint32_t linkId, aLinkPacketFilter filter, void* ref);
aPacket* aLink_AwaitFirst(uint32_t linkId, aLinkPacketFilter filter, void* ref, uint64_t timeoutMs);

/* Removes every received packet the filter accepts; returns how many (0 when unregistered). */
uint32_t aLink_DrainPackets(uint32_t linkId, aLinkPacketFilter filter, void* ref);

/* Queues a copy of the packet for sending; the caller keeps its packet. */
aErr aLink_PutPacket(uint32_t linkId, const aPacket* packet);

/* Installs, or with a null filter removes, the filter that sees every received packet first;
 * a nonzero result consumes the packet. */
aErr aLink_InstallUserPacketFilter(uint32_t linkId, aLinkPacketFilter filter, void* ref);

/* Pooled writing batches queued frames into writes of at most 4096 bytes. */
aErr aLink_EnablePooledPackets(uint32_t linkId, bool enable);

/* ---- packet log --------------------------------------------------------------------------- */

/* Capacity of the log to be created: at most 64 MiB (aErrParam), aErrBusy once the log exists,
 * a negative size counts as 0 (which means 65536 at creation). */
aErr aLink_PacketDebug_SetLogSize(uint32_t linkId, int64_t size);
/* Creates the log on first use; aErrResource when it cannot be made. */
aErr aLink_PacketDebug_Enable(uint32_t linkId);
/* aErrNotReady without a log; the log and its records stay. */
aErr aLink_PacketDebug_Disable(uint32_t linkId);
/* Takes the oldest record: its direction and length are reported; aErrNotFound when empty,
 * aErrOverrun (record kept) when it is longer than *sizeInOut. */
aErr aLink_PacketDebug_Read(uint32_t linkId, uint8_t* directionOut, uint32_t* sizeInOut,
                            uint8_t* buffer);
/* Adds a record, dropping the oldest ones to make room; aErrOverrun for a record that can never
 * fit, aErrParam for one longer than 255 bytes. */
aErr aLink_PacketDebug_Write(uint32_t linkId, uint8_t direction, uint32_t length,
                             const uint8_t* bytes);

/* ---- engine control (registry and local server) ------------------------------------------- */

/* Initialises the registry's link record for linkId around the stream (which may be null and
 * then belongs to the link); returns linkId, or 0 when the registry has no such link. */
uint32_t aLink_Init(uint32_t linkId, aStream* stream);
/* Starts both threads and queues the route-on frame; aErrNone when already running,
 * aErrResource when a thread cannot be made, aErrIndexRange when the link does not come up. */
aErr aLink_Start(uint32_t linkId);
/* Queues the route-off frame after everything queued, stops and joins both threads. */
aErr aLink_Stop(aLink* link);
/* Forces a resynchronisation (aErrNotReady when it does not finish in 2 s) and clears both
 * FIFOs. */
aErr aLink_Sync(uint32_t linkId);
/* Queues the frame 0xAF 0x01 flag. */
aErr aLink_ForceRoute(uint32_t linkId, uint8_t flag);

/* ---- link creation ------------------------------------------------------------------------ */

/* Each returns the link id, or 0 on any failure (leaving nothing behind). A second creation for
 * the same serial number and transport shares the existing link and counts one more use. */
uint32_t aLink_CreateUSB(uint32_t serialNumber);
/* ipAddress in network byte order, port in host order. */
uint32_t aLink_CreateTCPIP(uint32_t serialNumber, uint32_t ipAddress, uint16_t port);
/* COBS-framed serial port; baud rate one of 2400, 4800, 9600, 19200, 38400, 57600, 115200,
 * 230400. */
uint32_t aLink_CreateSerial(uint32_t serialNumber, const char* portName, uint32_t baudRate);
/* A started, unsynchronised, never shared link around a stream the caller made (the stream
 * belongs to the link from here on, also when creation fails). */
uint32_t aLink_Create(aStream* stream);

/* Drops one use of the link; the last use stops and frees it. Clears *linkIdAddress in every
 * case; aErrParam for an unregistered id. */
aErr aLink_Destroy(uint32_t* linkIdAddress);

/* Stops the link, recreates its stream (up to 20 attempts, 100 ms apart) and starts it again.
 * aErrParam for an id without a link or a link whose stream cannot be recreated (serial and
 * caller-made streams; those links are left running untouched), aErrConnection when no new
 * stream could be made (the link then stays in kLinkStatusIOError until the next reset). */
aErr aLink_Reset(uint32_t linkId);

/* Stream creators the registry reaches; the USB and local server transports define them. */
aErr aStream_CreateUSB(uint32_t serialNumber, aStream** streamOut);
aErr aStream_CreateClient(uint32_t ipAddress, uint16_t port, aStream** streamAddress);

#ifdef __cplusplus
}
#endif

#endif
