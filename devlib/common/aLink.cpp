/*
 * The link engine: framing, synchronisation, heartbeats, pooled writing and the packet log.
 *
 * Each running link has an input thread that reads its stream one byte at a time and an output
 * thread that writes queued frames. Packets cross between the threads and the callers only
 * through the two packet FIFOs; the few shared words are atomics.
 */
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <thread>

#include "aLinkPrivate.h"
#include "aTime.h"

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

/* Weak so that a library-wide definition, when one exists, takes their place. */
extern "C" {
__attribute__((weak)) int aVorlixaneDebuggingEnable = 0;
__attribute__((weak)) uint32_t aVorlixaneDebuggingLevel = 0;
}

void aLink_DebugPrintf(uint32_t, const char* format, ...) {
    va_list args;
    va_start(args, format);
    std::vprintf(format, args);
    va_end(args);
    std::fflush(stdout);
}

namespace {

constexpr uint32_t kDebugLink = 0x01;
constexpr uint32_t kDebugPackets = 0x02;

/* Start and on-demand synchronisation poll for this long before giving up. */
constexpr milliseconds kComeUpTime{2000};
constexpr milliseconds kPollStep{1};
/* The output thread's wait for a packet; short once a stop has begun. */
constexpr uint64_t kOutputWaitMs = 1000;
constexpr uint64_t kOutputStopWaitMs = 5;
/* A read error pauses the input thread this long. */
constexpr milliseconds kIOErrorPause{100};
/* Synchronising: the sync requests are sent again after this long without a received byte.
 * A read that reports "not ready" does not by itself mean the line was quiet: framing streams
 * answer so for every byte they consume without yet having a packet byte to hand out. */
constexpr milliseconds kSyncQuiet{100};
/* Reads that answer "not ready" without waiting, this many in a row, make the input thread
 * pause between reads so that a stream that cannot wait does not spin a processor. No framed
 * transport produces more than about 40 in a row while data is flowing. */
constexpr int kSpinReads = 64;
constexpr milliseconds kSpinPause{aSTREAM_INPUT_WAIT_MS};
constexpr auto kFastRead = std::chrono::microseconds(500);
/* Room left in a pooled buffer so that the next frame always fits. */
constexpr size_t kPoolFill = aLINK_POOL_SIZE - aPACKET_MAX_SERIALIZED;

const char* const kSyncStateNames[] = {"kSyncStateSynced", "kSyncStateStart", "kSyncStateByte1",
                                       "kSyncStateByte2",  "kSyncStateByte3", "kSyncStateByte4"};

uint8_t sAcceptAll(const aPacket*, void*) {
    return 1;
}

inline aLink* sValid(aLink* link) {
    return link != nullptr && link->check == aLINK_CHECK ? link : nullptr;
}

inline aLink* sLink(uint32_t id) {
    return sValid(sGetLink(id));
}

size_t sFrameBytes(const aPacket* packet, uint8_t* out) {
    out[0] = packet->address;
    out[1] = packet->dataSize;
    std::memcpy(out + 2, packet->data, packet->dataSize);
    return packet->dataSize + 2u;
}

/* ---- packet log ------------------------------------------------------------------------- */

aPacketLog* sLogCreate(uint32_t capacity) {
    auto* log = static_cast<aPacketLog*>(std::calloc(1, sizeof(aPacketLog)));
    if (log == nullptr) return nullptr;
    log->ring = static_cast<uint8_t*>(std::malloc(capacity));
    if (log->ring == nullptr) {
        std::free(log);
        return nullptr;
    }
    log->capacity = capacity;
    return log;
}

void sLogDestroy(aPacketLog* log) {
    if (log == nullptr) return;
    std::free(log->ring);
    std::free(log);
}

inline uint32_t sLogUsed(const aPacketLog* log) {
    return (log->writePos + log->capacity - log->readPos) % log->capacity;
}

aErr sLogAdd(aPacketLog* log, uint8_t direction, uint8_t length, const uint8_t* bytes) {
    const uint32_t need = length + 2u;
    // Free space must stay above the record: the ring is never filled completely, so equal
    // positions always mean empty.
    while (log->capacity > need && log->capacity - sLogUsed(log) <= need) {
        const uint32_t oldest = log->ring[(log->readPos + 1) % log->capacity];
        log->readPos = (log->readPos + 2 + oldest) % log->capacity;
    }
    if (log->capacity - sLogUsed(log) <= need) return aErrOverrun;
    log->ring[log->writePos] = direction;
    log->writePos = (log->writePos + 1) % log->capacity;
    log->ring[log->writePos] = length;
    log->writePos = (log->writePos + 1) % log->capacity;
    for (uint32_t i = 0; i < length; ++i) {
        log->ring[log->writePos] = bytes[i];
        log->writePos = (log->writePos + 1) % log->capacity;
    }
    return aErrNone;
}

aErr sLogTake(aPacketLog* log, uint8_t* direction, uint32_t* size, uint8_t* buffer) {
    if (log->readPos == log->writePos) return aErrNotFound;
    const uint8_t length = log->ring[(log->readPos + 1) % log->capacity];
    if (direction != nullptr) *direction = log->ring[log->readPos];
    if (length > *size) {
        *size = length;
        return aErrOverrun;
    }
    *size = length;
    uint32_t pos = (log->readPos + 2) % log->capacity;
    for (uint32_t i = 0; i < length; ++i) {
        buffer[i] = log->ring[pos];
        pos = (pos + 1) % log->capacity;
    }
    log->readPos = pos;
    return aErrNone;
}

/* Frames are recorded while the log is enabled; a disabled log keeps what it holds. */
void sLogFrame(aLink* link, uint8_t direction, const uint8_t* frame, size_t length) {
    aPacketLog* log = link->log.load(std::memory_order_acquire);
    if (log == nullptr) return;
    aMutex_Lock(link->logLock);
    if (log->enabled) sLogAdd(log, direction, static_cast<uint8_t>(length), frame);
    aMutex_Unlock(link->logLock);
}

/* ---- sending ---------------------------------------------------------------------------- */

aErr sQueue(aLink* link, uint8_t address, uint8_t length, const uint8_t* data) {
    aPacket packet{};
    packet.check = aPACKET_CHECK;
    packet.address = address;
    packet.dataSize = length;
    packet.count = static_cast<uint8_t>(length + 2);
    if (length > 0) std::memcpy(packet.data, data, length);
    return aPacketFifo_Put(link->outbound, &packet);
}

aErr sForceRoute(aLink* link, uint8_t flag) {
    LINK_DEBUG(kDebugLink, " aLink_ForceRoute(%d)\n", link->id);
    return sQueue(link, aLINK_ROUTE_ADDRESS, 1, &flag);
}

aErr sWrite(aLink* link, const uint8_t* bytes, size_t length) {
    return aStream_Write(link->stream, bytes, length);
}

void sDebugFrame(const char* who, uint32_t id, const uint8_t* frame) {
    LINK_DEBUG(kDebugPackets, " %s(%d) ADDR:%02X, LEN:%02X, [%02X %02X %02X ...]\n", who, id,
               frame[0], frame[1], frame[2], frame[3], frame[4]);
}

/* Writes one frame by itself. */
void sWriteSingle(aLink* link, aPacket* packet) {
    uint8_t frame[aPACKET_MAX_SERIALIZED + 3] = {};
    const size_t length = sFrameBytes(packet, frame);
    sDebugFrame("sOutPipeProcess", link->id, frame);
    const aErr err = sWrite(link, frame, length);
    if (err != aErrNone) LINK_DEBUG(kDebugLink, "sOutPipeProcess error writing: %d\n", err);
    sLogFrame(link, kPacketLogHostToModule, frame, length);
}

/* Fills one buffer with the packet and whatever else is queued, never splitting a frame. */
void sWritePooled(aLink* link, aPacket* first) {
    uint8_t buffer[aLINK_POOL_SIZE];
    size_t used = 0;
    aPacket* packet = first;
    while (packet != nullptr) {
        const size_t at = used;
        used += sFrameBytes(packet, buffer + at);
        sLogFrame(link, kPacketLogHostToModule, buffer + at, used - at);
        aPacket_Destroy(&packet);
        if (used > kPoolFill) break;
        packet = aPacketFifo_Get(link->outbound);
    }
    const aErr err = sWrite(link, buffer, used);
    if (err != aErrNone) LINK_DEBUG(kDebugLink, "sOutPipeProcess error writing pooled: %d\n", err);
}

void* sOutPipeProcess(void* arg) {
    aLink* link = static_cast<aLink*>(arg);
    link->outStarted = 1;
    while (link->running.load()) {
        const uint64_t wait = link->stopping.load() ? kOutputStopWaitMs : kOutputWaitMs;
        aPacket* packet = aPacketFifo_Await(link->outbound, wait);
        if (packet == nullptr) continue;
        if (link->pooled.load()) {
            sWritePooled(link, packet);
        } else {
            sWriteSingle(link, packet);
            aPacket_Destroy(&packet);
        }
    }
    // Whatever is still queued, the route-off frame of a stop among it, goes out in order.
    while (aPacket* packet = aPacketFifo_Get(link->outbound)) {
        sWriteSingle(link, packet);
        aPacket_Destroy(&packet);
    }
    LINK_DEBUG(kDebugLink, " sOutPipeProcess(%d) terminating\n", link->id);
    return nullptr;
}

/* ---- receiving -------------------------------------------------------------------------- */

void sStartSync(aLink* link) {
    LINK_DEBUG(kDebugLink, "syncStart");
    link->lastInput = Clock::now();
    aPacket_Reset(link->current);
    if (link->stopping.load()) return;
    link->status = kLinkStatusSyncing;
    link->syncState = kSyncStateStart;
    aErr err = aErrNone;
    for (int i = 0; i < aLINK_SYNC_REQUESTS; ++i)
        err = sQueue(link, aLINK_SYNC_ADDRESS, 0, nullptr);
    if (err == aErrNone) link->syncState = kSyncStateByte1;
}

void sSyncByte(aLink* link, uint8_t byte) {
    const uint32_t state = link->syncState;
    LINK_DEBUG(kDebugLink, "sByte %d\n", byte);
    if (state <= kSyncStateByte4) LINK_DEBUG(kDebugLink, "%s", kSyncStateNames[state]);
    switch (state) {
    case kSyncStateByte1:
        if (byte != 0 && (byte & 1) == 0) {
            link->syncAddress = byte;
            link->syncState = kSyncStateByte2;
            LINK_DEBUG(kDebugLink, "sync2");
        } else {
            sStartSync(link);
        }
        break;
    case kSyncStateByte2:
        link->syncState = byte == 0 ? kSyncStateByte3 : kSyncStateStart;
        if (byte == 0) LINK_DEBUG(kDebugLink, "sync3");
        break;
    case kSyncStateByte3:
        link->syncState = byte == link->syncAddress ? kSyncStateByte4 : kSyncStateStart;
        if (byte == link->syncAddress) LINK_DEBUG(kDebugLink, "sync4");
        break;
    case kSyncStateByte4:
        if (byte == 0) {
            link->syncState = kSyncStateSynced;
            link->status = kLinkStatusRunning;
            LINK_DEBUG(kDebugLink, "synced");
        } else {
            link->syncState = kSyncStateStart;
        }
        break;
    default: // kSyncStateStart and kSyncStateSynced
        LINK_DEBUG(kDebugLink, "sync default");
        sStartSync(link);
        break;
    }
}

/* A heartbeat (two data bytes, the first 0) is answered with V + 2 and not delivered. */
bool sHandleHBBackChannel(aLink* link, const aPacket* packet) {
    if (packet->dataSize != 2 || packet->data[0] != 0) return false;
    const uint8_t v = packet->data[1];
    LINK_DEBUG(kDebugPackets,
               " sHandleHBBackChannel(%d) ==> received HB packet [data size = %d][%d,%d]\n",
               link->id, packet->dataSize, packet->data[0], v);
    if (v == 0)
        LINK_DEBUG(kDebugPackets, " sHandleHBBackChannel(%d) %s\n", link->id, "sending HB UP");
    if (v == 1)
        LINK_DEBUG(kDebugPackets, " sHandleHBBackChannel(%d) %s\n", link->id, "sending HB DOWN");
    if (!link->stopping.load()) {
        const uint8_t reply[2] = {0, static_cast<uint8_t>(v + 2)};
        sQueue(link, packet->address, 2, reply);
    }
    return true;
}

aErr sHandlePacket(aLink* link) {
    aPacket* packet = link->current;
    uint8_t frame[aPACKET_MAX_SERIALIZED + 3] = {};
    const size_t length = sFrameBytes(packet, frame);
    sDebugFrame("sHandlePacket", link->id, frame);
    sLogFrame(link, kPacketLogModuleToHost, frame, length);

    bool consumed = false;
    aMutex_Lock(link->userFilterLock);
    if (link->userFilter != nullptr) consumed = link->userFilter(packet, link->userFilterRef) != 0;
    aMutex_Unlock(link->userFilterLock);

    aErr err = aErrNone;
    if (!consumed && !sHandleHBBackChannel(link, packet))
        err = aPacketFifo_Put(link->inbound, packet);
    aPacket_Reset(packet);
    return err;
}

/* Sleeps up to the pause, returning early when the link stops. */
void sPauseWhileRunning(aLink* link, milliseconds pause) {
    const auto until = Clock::now() + pause;
    while (link->running.load() && Clock::now() < until)
        std::this_thread::sleep_for(milliseconds(5));
}

void* sInPipeProcess(void* arg) {
    aLink* link = static_cast<aLink*>(arg);
    link->inStarted = 1;
    link->syncState = kSyncStateSynced;
    link->status = kLinkStatusRunning;
    link->lastInput = Clock::now();
    int fastIdle = 0;
    while (link->running.load()) {
        uint8_t byte = 0;
        const auto before = Clock::now();
        const aErr err = aStream_Read(link->stream, &byte, 1);
        if (err == aErrNotReady) {
            const auto now = Clock::now();
            const uint32_t status = link->status.load();
            if (status == kLinkStatusIOError ||
                (status == kLinkStatusSyncing &&
                 (link->syncState == kSyncStateSynced || link->syncState == kSyncStateStart ||
                  now - link->lastInput >= kSyncQuiet))) {
                LINK_DEBUG(kDebugLink, " sInPipeProcess(%d) -- syncing\n", link->id);
                sStartSync(link);
            }
            if (now - before < kFastRead) {
                if (++fastIdle >= kSpinReads) sPauseWhileRunning(link, kSpinPause);
            } else {
                fastIdle = 0;
            }
            continue;
        }
        if (err != aErrNone) {
            LINK_DEBUG(kDebugLink, " sInPipeProcess(%d) IO_ERROR [aStream_Read()==>%d]\n", link->id,
                       err);
            link->status = kLinkStatusIOError;
            sPauseWhileRunning(link, kIOErrorPause);
            continue;
        }
        fastIdle = 0;
        link->lastInput = Clock::now();
        if (link->status.load() == kLinkStatusSyncing) {
            sSyncByte(link, byte);
            continue;
        }
        if (aPacket_AddByte(link->current, byte) != aErrNone || (link->current->address & 1)) {
            LINK_DEBUG(kDebugLink, "Out of sync");
            sStartSync(link);
            continue;
        }
        if (aPacket_IsComplete(link->current) && sHandlePacket(link) != aErrNone)
            link->status = kLinkStatusError;
    }
    LINK_DEBUG(kDebugLink, " sInPipeProcess(%d) terminating\n", link->id);
    return nullptr;
}

/* Polls until the condition holds or the come-up time has passed. */
template <class Condition> bool sPollFor(Condition condition) {
    const auto until = Clock::now() + kComeUpTime;
    while (!condition()) {
        if (Clock::now() >= until) return false;
        std::this_thread::sleep_for(kPollStep);
    }
    return true;
}

} // namespace

extern "C" {

uint32_t aLink_Init(uint32_t linkId, aStream* stream) {
    aLink* link = sGetLink(linkId);
    LINK_DEBUG(kDebugLink, "aLink_Init(%d, %p)\n", linkId, static_cast<void*>(stream));
    if (link == nullptr) return 0;
    link->check = aLINK_CHECK;
    link->id = linkId;
    link->running = 0;
    link->status = stream != nullptr ? kLinkStatusStopped : kLinkStatusInvalidStream;
    link->inThread = nullptr;
    link->outThread = nullptr;
    link->inbound = aPacketFifo_Create();
    link->outbound = aPacketFifo_Create();
    link->inProc = sInPipeProcess;
    link->outProc = sOutPipeProcess;
    link->inStarted = 0;
    link->outStarted = 0;
    link->pooled = 0;
    link->stopping = 0;
    link->userFilter = nullptr;
    link->userFilterRef = nullptr;
    link->current = aPacket_Create();
    link->stream = stream;
    link->syncState = kSyncStateSynced;
    link->syncAddress = 0;
    link->log = nullptr;
    link->logSize = 0;
    link->logLock = nullptr;
    char name[64];
    std::snprintf(name, sizeof name, "aLink(%p)->userFilterSema", static_cast<void*>(link));
    link->userFilterLock = aMutex_Create(name);
    LINK_DEBUG(kDebugLink, " leaving aLink_Init(%d, %p)", linkId, static_cast<void*>(stream));
    return linkId;
}

uint32_t aLink_GetStatus(uint32_t linkId) {
    aLink* link = sLink(linkId);
    return link != nullptr ? link->status.load() : static_cast<uint32_t>(kLinkStatusInvalidStream);
}

aPacket* aLink_GetPacket(uint32_t linkId) {
    aLink* link = sLink(linkId);
    return link != nullptr ? aPacketFifo_Get(link->inbound) : nullptr;
}

aPacket* aLink_AwaitPacket(uint32_t linkId, uint64_t timeoutMs) {
    aLink* link = sLink(linkId);
    return link != nullptr ? aPacketFifo_Await(link->inbound, timeoutMs) : nullptr;
}

aPacket* aLink_GetFirst(uint32_t linkId, aLinkPacketFilter filter, void* ref) {
    aLink* link = sLink(linkId);
    return link != nullptr ? aPacketFifo_GetFirst(link->inbound, filter, ref) : nullptr;
}

aPacket* aLink_AwaitFirst(uint32_t linkId, aLinkPacketFilter filter, void* ref,
                          uint64_t timeoutMs) {
    aLink* link = sLink(linkId);
    if (link == nullptr) return nullptr;
    const auto deadline = Clock::now() + milliseconds(timeoutMs);
    aPacket* packet = nullptr;
    while (packet == nullptr && link->running.load() && link->status.load() == kLinkStatusRunning) {
        const auto now = Clock::now();
        if (now > deadline) break;
        const auto left = std::chrono::duration_cast<milliseconds>(deadline - now).count();
        packet = aPacketFifo_AwaitFirst(link->inbound, filter, ref, static_cast<uint64_t>(left));
        if (left == 0) break;
    }
    return packet;
}

uint32_t aLink_DrainPackets(uint32_t linkId, aLinkPacketFilter filter, void* ref) {
    aLink* link = sLink(linkId);
    if (link == nullptr) return 0;
    return static_cast<uint32_t>(aPacketFifo_DrainPackets(link->inbound, filter, ref));
}

aErr aLink_PutPacket(uint32_t linkId, const aPacket* packet) {
    aLink* link = sLink(linkId);
    if (link == nullptr) return aErrParam;
    return aPacketFifo_Put(link->outbound, packet);
}

aErr aLink_InstallUserPacketFilter(uint32_t linkId, aLinkPacketFilter filter, void* ref) {
    aLink* link = sLink(linkId);
    if (link == nullptr) return aErrParam;
    aMutex_Lock(link->userFilterLock);
    link->userFilter = filter;
    link->userFilterRef = filter != nullptr ? ref : nullptr;
    aMutex_Unlock(link->userFilterLock);
    return aErrNone;
}

aErr aLink_EnablePooledPackets(uint32_t linkId, bool enable) {
    aLink* link = sLink(linkId);
    if (link == nullptr) return aErrParam;
    link->pooled = enable ? 1 : 0;
    return aErrNone;
}

aErr aLink_ForceRoute(uint32_t linkId, uint8_t flag) {
    if (sLookupEntryByID(linkId) == nullptr) return aErrNotFound;
    aLink* link = sLink(linkId);
    if (link == nullptr) return aErrParam;
    return sForceRoute(link, flag);
}

aErr aLink_Start(uint32_t linkId) {
    LINK_DEBUG(kDebugLink, " aLink_Start(%d)\n", linkId);
    aLink* link = sLink(linkId);
    if (link == nullptr) return aErrParam;
    if (link->running.load()) return aErrNone;
    link->stopping = 0;
    link->running = 1;
    link->status = kLinkStatusStarting;
    link->inStarted = 0;
    link->outStarted = 0;
    aErr err = aErrNone;
    link->inThread = aThread_Create(link->inProc, link);
    if (link->inThread != nullptr) link->outThread = aThread_Create(link->outProc, link);
    if (link->inThread == nullptr || link->outThread == nullptr) {
        // Never leave half a link running: the lone thread would outlive the record.
        link->running = 0;
        if (link->inThread != nullptr) aThread_Destroy(&link->inThread);
        link->status = kLinkStatusStopped;
        err = aErrResource;
    } else if (!sPollFor([link] {
                   return link->inStarted.load() && link->outStarted.load() &&
                          link->status.load() == kLinkStatusRunning;
               })) {
        err = aErrIndexRange;
    } else {
        err = sForceRoute(link, 1);
    }
    LINK_DEBUG(kDebugLink, " leaving aLink_Start(%d)==> error: %d\n", linkId, err);
    return err;
}

aErr aLink_Stop(aLink* link) {
    if (sValid(link) == nullptr) return aErrParam;
    LINK_DEBUG(kDebugLink, " aLink_Stop(%d)\n", link->id);
    const uint32_t status = link->status.load();
    if (status == kLinkStatusStopping || status == kLinkStatusStopped) return aErrNone;
    link->status = kLinkStatusStopping;
    aErr err = aErrNone;
    if (link->inThread != nullptr && link->outThread != nullptr) {
        link->stopping = 1;
        // Queued on the record itself: the registry may already have let go of the id.
        err = sForceRoute(link, 0);
        link->running = 0;
        if (aThread_Destroy(&link->inThread) != 0) err = aErrUnknown;
        if (aThread_Destroy(&link->outThread) != 0) err = aErrUnknown;
        link->inStarted = 0;
        link->outStarted = 0;
        aPacket_Reset(link->current);
        link->status = kLinkStatusStopped;
    }
    LINK_DEBUG(kDebugLink, " leaving aLink_Stop(%d)==>%d\n", link->id, err);
    return err;
}

aErr aLink_Sync(uint32_t linkId) {
    aLink* link = sLink(linkId);
    if (link == nullptr) return aErrParam;
    LINK_DEBUG(kDebugLink, " aLink_Sync(%d)\n", linkId);
    link->status = kLinkStatusSyncing;
    const bool synced = sPollFor([link] { return link->status.load() == kLinkStatusRunning; });
    // The surplus sync requests and their replies are of no use to anyone.
    aPacketFifo_DrainPackets(link->outbound, sAcceptAll, nullptr);
    aTime_MSSleep(100);
    aPacketFifo_DrainPackets(link->inbound, sAcceptAll, nullptr);
    return synced ? aErrNone : aErrNotReady;
}

aErr aLink_PacketDebug_SetLogSize(uint32_t linkId, int64_t size) {
    aLink* link = sLink(linkId);
    if (link == nullptr || size > aLINK_LOG_MAX_SIZE) return aErrParam;
    if (link->log.load() != nullptr) return aErrBusy;
    link->logSize = size < 0 ? 0 : static_cast<uint32_t>(size);
    return aErrNone;
}

aErr aLink_PacketDebug_Enable(uint32_t linkId) {
    aLink* link = sLink(linkId);
    if (link == nullptr) return aErrParam;
    if (link->logSize.load() == 0) link->logSize = aLINK_LOG_DEFAULT_SIZE;
    if (link->logLock == nullptr) {
        char name[64];
        std::snprintf(name, sizeof name, "LOG_SEMA_%p", static_cast<void*>(link));
        link->logLock = aMutex_Create(name);
    }
    if (link->logLock == nullptr) return aErrResource;
    aPacketLog* log = link->log.load(std::memory_order_acquire);
    if (log == nullptr) {
        // The lock exists before the log is published, so the link threads can always take it.
        log = sLogCreate(link->logSize.load());
        if (log == nullptr) return aErrResource;
        link->log.store(log, std::memory_order_release);
    }
    aMutex_Lock(link->logLock);
    log->enabled = 1;
    aMutex_Unlock(link->logLock);
    return aErrNone;
}

aErr aLink_PacketDebug_Disable(uint32_t linkId) {
    aLink* link = sLink(linkId);
    if (link == nullptr) return aErrParam;
    aPacketLog* log = link->log.load(std::memory_order_acquire);
    if (log == nullptr) return aErrNotReady;
    aMutex_Lock(link->logLock);
    log->enabled = 0;
    aMutex_Unlock(link->logLock);
    return aErrNone;
}

aErr aLink_PacketDebug_Write(uint32_t linkId, uint8_t direction, uint32_t length,
                             const uint8_t* bytes) {
    aLink* link = sLink(linkId);
    if (link == nullptr) return aErrParam;
    aPacketLog* log = link->log.load(std::memory_order_acquire);
    if (log == nullptr) return aErrNotReady;
    // The record's length is one byte.
    if (length > 255 || (length > 0 && bytes == nullptr)) return aErrParam;
    aMutex_Lock(link->logLock);
    const aErr err = sLogAdd(log, direction, static_cast<uint8_t>(length), bytes);
    aMutex_Unlock(link->logLock);
    return err;
}

aErr aLink_PacketDebug_Read(uint32_t linkId, uint8_t* directionOut, uint32_t* sizeInOut,
                            uint8_t* buffer) {
    aLink* link = sLink(linkId);
    if (link == nullptr || sizeInOut == nullptr || (buffer == nullptr && *sizeInOut > 0))
        return aErrParam;
    aPacketLog* log = link->log.load(std::memory_order_acquire);
    if (log == nullptr) return aErrNotReady;
    aMutex_Lock(link->logLock);
    const aErr err = sLogTake(log, directionOut, sizeInOut, buffer);
    aMutex_Unlock(link->logLock);
    return err;
}

} // extern "C"

/* Releases what aLink_Init made, but not the stream. For the registry's destroy and reset. */
aErr aLink_ReleaseResources(aLink* link) {
    aErr err = aPacketFifo_Destroy(&link->inbound);
    err = aPacketFifo_Destroy(&link->outbound);
    aPacket_Destroy(&link->current);
    sLogDestroy(link->log.exchange(nullptr));
    if (link->logLock != nullptr) aMutex_Destroy(&link->logLock);
    if (link->userFilterLock != nullptr) aMutex_Destroy(&link->userFilterLock);
    return err;
}
