/*
 * Inside the link engine and the link registry: the link record, the registry entry and the
 * registry's lookups. Private to the library (the local packet server attaches itself here).
 */
#ifndef VORLIXANE_ALINKPRIVATE_H
#define VORLIXANE_ALINKPRIVATE_H

#ifndef __cplusplus
#error "aLinkPrivate.h is C++ only"
#endif

#include <atomic>
#include <chrono>
#include <cstdint>

#include "aLink.h"
#include "aLinkSpec.h"
#include "aMutex.h"
#include "aThread.h"

/* The packet log ring: records of direction, length n and n bytes, wrapping at capacity. */
struct aPacketLog {
    uint8_t enabled;
    uint8_t* ring;
    uint32_t capacity;
    uint32_t readPos;
    uint32_t writePos;
};

struct aLink {
    uint16_t check;
    uint32_t id;
    /* Single words shared between the link's threads and its callers. */
    std::atomic<uint8_t> running;
    std::atomic<uint32_t> status;
    aPacketFifo inbound;
    aPacket* current; /* input thread only while running */
    aPacketFifo outbound;
    aThreadHandle inThread;
    aThreadHandle outThread;
    aThreadProc inProc;
    aThreadProc outProc;
    std::atomic<uint8_t> inStarted;
    std::atomic<uint8_t> outStarted;
    aStream* stream;
    uint32_t syncState; /* input thread only */
    uint8_t syncAddress;
    std::atomic<aPacketLog*> log; /* published once made; changed only while stopped */
    std::atomic<uint32_t> logSize;
    aMutexHandle logLock;
    aLinkPacketFilter userFilter; /* under userFilterLock */
    void* userFilterRef;
    aMutexHandle userFilterLock;
    std::atomic<uint8_t> pooled;
    /* Set at the beginning of a stop: nothing more is queued by the link itself, and the output
     * thread stops waiting long for packets, so the stop returns quickly. */
    std::atomic<uint8_t> stopping;
    /* Input thread only: when a byte last arrived or synchronisation last began. */
    std::chrono::steady_clock::time_point lastInput;
};

/* Destroys a local server attached to a device link. */
typedef void (*aLinkServerDestroyProc)(void* server);

struct aLinkEntry {
    uint32_t id;
    uint32_t linkedId; /* device link held by a server pairing's client link, else 0 */
    void* server;      /* local packet server sharing this device link, or null */
    aLinkServerDestroyProc serverDestroy;
    uint32_t ident0;
    uint32_t ident1;
    uint32_t ident2;
    linkType type;
    int16_t useCount;
    aLink* link;
    aLinkEntry* next;
};

/* Registry functions; each takes the registry lock around its own work only. */
aLinkEntry* sCreate2(uint32_t ident0, uint32_t ident1, uint32_t ident2, linkType type);
aLinkEntry* sCreate(uint32_t ident0, uint32_t ident1, linkType type);
aLinkEntry* sLookupEntryByID(uint32_t id);
aLinkEntry* sLookupEntryByIdentifier(uint32_t ident0, linkType type);
aLinkEntry* sLookupEntryByTrident(uint32_t ident0, uint32_t ident1, uint32_t ident2);
aLinkEntry* sExtractEntry(uint32_t id);
int16_t sChangeUseCount(aLinkEntry* entry, int delta);
aLink* sGetLink(uint32_t id);

/* Releases what aLink_Init made except the stream (which the caller deals with); the result is
 * that of destroying the outbound FIFO. The link must be stopped. */
aErr aLink_ReleaseResources(aLink* link);

/* Library debug switches: output on standard output when enabled and the level bit is set. */
extern "C" {
extern int aVorlixaneDebuggingEnable;
extern uint32_t aVorlixaneDebuggingLevel;
}
void aLink_DebugPrintf(uint32_t levelBit, const char* format, ...)
    __attribute__((format(printf, 2, 3)));
#define LINK_DEBUG(bit, ...)                                                                       \
    do {                                                                                           \
        if (aVorlixaneDebuggingEnable && (aVorlixaneDebuggingLevel & (bit)))                       \
            aLink_DebugPrintf((bit), __VA_ARGS__);                                                 \
    } while (0)

#endif
