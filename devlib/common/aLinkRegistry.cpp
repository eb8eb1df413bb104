/*
 * The link registry: the process-wide table of links, shared by use count, and the creators
 * that make a link around each kind of transport.
 *
 * The registry lock covers the list and the use counts only; it is never held while a link is
 * started, stopped or destroyed.
 */
#include <cstdio>
#include <new>

#include "aLinkPrivate.h"
#include "aTime.h"

namespace {

constexpr uint32_t kDebugLink = 0x01;
constexpr int kResetAttempts = 20;
constexpr uint64_t kResetPauseMs = 100;

struct Registry {
    aLinkEntry* head = nullptr;
    uint32_t nextId = 1;
    aMutexHandle lock = aMutex_Create("aLink_Managed");
};

Registry& sRegistry() {
    static Registry registry; // made by whichever registry function runs first
    return registry;
}

class RegistryLock {
public:
    RegistryLock() : mLock(sRegistry().lock) { aMutex_Lock(mLock); }
    ~RegistryLock() { aMutex_Unlock(mLock); }
    RegistryLock(const RegistryLock&) = delete;
    RegistryLock& operator=(const RegistryLock&) = delete;

private:
    aMutexHandle mLock;
};

aLinkEntry* sFindLocked(uint32_t id) {
    for (aLinkEntry* e = sRegistry().head; e != nullptr; e = e->next)
        if (e->id == id) return e;
    return nullptr;
}

/* Finds a live link of this identity and counts one more use of it, in one step, so that a
 * concurrent last destroy cannot free the entry between the lookup and the count. */
enum class Share { None, Shared, Served };
Share sShareExisting(uint32_t ident0, linkType type, bool refuseServed, aLinkEntry** found) {
    RegistryLock lock;
    for (aLinkEntry* e = sRegistry().head; e != nullptr; e = e->next) {
        if (e->ident0 != ident0 || e->type != type || e->useCount <= 0) continue;
        *found = e;
        if (refuseServed && e->server != nullptr) return Share::Served;
        ++e->useCount;
        LINK_DEBUG(kDebugLink, " sChangeUseCount(%d, %+d) ==> %d\n", e->id, 1, e->useCount);
        return Share::Shared;
    }
    return Share::None;
}

/* The common tail of the creators: the link is initialised around the stream (or without one
 * when it could not be made) and started; any failure destroys the half-made link. */
uint32_t sFinishCreate(aLinkEntry* entry, aStream* stream, aErr err) {
    uint32_t id = entry->id;
    if (aLink_Init(id, stream) != id) {
        aStream_Destroy(&stream);
        if (err == aErrNone) err = aErrConnection;
    }
    // A creator that reports success without a stream has still made no connection.
    if (err == aErrNone && stream == nullptr) err = aErrConnection;
    if (err == aErrNone) {
        sChangeUseCount(entry, 1);
        err = aLink_Start(id);
    }
    if (err != aErrNone) {
        aLink_Destroy(&id);
        return 0;
    }
    return id;
}

bool sBaudIndex(uint32_t baudRate, uint32_t* index) {
    static const uint32_t kRates[] = {2400, 4800, 9600, 19200, 38400, 57600, 115200, 230400};
    for (uint32_t i = 0; i < sizeof kRates / sizeof kRates[0]; ++i) {
        if (kRates[i] == baudRate) {
            *index = i;
            return true;
        }
    }
    return false;
}

const char* const kServedMessage =
    "This device is already being used as a \"SERVER\". \nYou must connect by \"CLIENT\" ";

/* A new stream for a link that is being reset, by the entry's transport. */
aErr sRecreateStream(const aLinkEntry* entry, aStream** stream) {
    switch (entry->type) {
    case USB:
        LINK_DEBUG(kDebugLink, " recreate USB stream");
        return aStream_CreateUSB(entry->ident0, stream);
    case TCPIP:
        LINK_DEBUG(kDebugLink, " recreate TCPIP stream");
        return aStream_CreateSocket(entry->ident1, static_cast<uint16_t>(entry->ident2), stream);
    case LANWIRE:
    case LANWIRE_USB:
    case LANWIRE_TCPIP:
    case LANWIRE_SERIAL:
        LINK_DEBUG(kDebugLink, " recreate Lanwire stream");
        return aStream_CreateClient(entry->ident0, static_cast<uint16_t>(entry->ident1), stream);
    default:
        LINK_DEBUG(kDebugLink, " recreate invalid stream type");
        return aErrParam;
    }
}

bool sCanRecreate(linkType type) {
    return type != INVALID && type != SERIAL;
}

} // namespace

/* ---- registry functions ----------------------------------------------------------------- */

aLinkEntry* sCreate2(uint32_t ident0, uint32_t ident1, uint32_t ident2, linkType type) {
    auto* entry = new (std::nothrow) aLinkEntry{};
    if (entry == nullptr) return nullptr;
    entry->link = new (std::nothrow) aLink{};
    if (entry->link == nullptr) {
        delete entry;
        return nullptr;
    }
    entry->ident0 = ident0;
    entry->ident1 = ident1;
    entry->ident2 = ident2;
    entry->type = type;
    RegistryLock lock;
    Registry& r = sRegistry();
    entry->id = r.nextId;
    entry->link->id = r.nextId;
    ++r.nextId;
    entry->next = r.head;
    r.head = entry;
    LINK_DEBUG(kDebugLink, " sCreate2: ident0: %d, ident1: %d, ident2: %d, type: %d, new id: %d\n",
               ident0, ident1, ident2, type, entry->id);
    return entry;
}

aLinkEntry* sCreate(uint32_t ident0, uint32_t ident1, linkType type) {
    return sCreate2(ident0, ident1, 0, type);
}

aLinkEntry* sLookupEntryByID(uint32_t id) {
    if (id == 0) return nullptr;
    RegistryLock lock;
    return sFindLocked(id);
}

aLinkEntry* sLookupEntryByIdentifier(uint32_t ident0, linkType type) {
    RegistryLock lock;
    for (aLinkEntry* e = sRegistry().head; e != nullptr; e = e->next)
        if (e->ident0 == ident0 && e->type == type) return e;
    return nullptr;
}

aLinkEntry* sLookupEntryByTrident(uint32_t ident0, uint32_t ident1, uint32_t ident2) {
    RegistryLock lock;
    for (aLinkEntry* e = sRegistry().head; e != nullptr; e = e->next)
        if (e->ident0 == ident0 && e->ident1 == ident1 && e->ident2 == ident2) return e;
    return nullptr;
}

aLinkEntry* sExtractEntry(uint32_t id) {
    RegistryLock lock;
    Registry& r = sRegistry();
    LINK_DEBUG(kDebugLink, "sExtractEntry() Links: head=%p, nextID=%d", static_cast<void*>(r.head),
               r.nextId);
    for (aLinkEntry** at = &r.head; *at != nullptr; at = &(*at)->next) {
        if ((*at)->id != id) continue;
        aLinkEntry* entry = *at;
        *at = entry->next;
        entry->next = nullptr;
        int remaining = 0;
        for (aLinkEntry* e = r.head; e != nullptr; e = e->next)
            ++remaining;
        LINK_DEBUG(kDebugLink, "  sExtractEntry(%d) -  %d remaining\n", id, remaining);
        if (remaining == 0) LINK_DEBUG(kDebugLink, "NO MORE LINKS");
        return entry;
    }
    return nullptr;
}

int16_t sChangeUseCount(aLinkEntry* entry, int delta) {
    RegistryLock lock;
    entry->useCount = static_cast<int16_t>(entry->useCount + delta);
    LINK_DEBUG(kDebugLink, " sChangeUseCount(%d, %+d) ==> %d\n", entry->id, delta, entry->useCount);
    return entry->useCount;
}

aLink* sGetLink(uint32_t id) {
    aLinkEntry* entry = sLookupEntryByID(id);
    return entry != nullptr ? entry->link : nullptr;
}

/* ---- creators and destroy --------------------------------------------------------------- */

extern "C" {

uint32_t aLink_CreateUSB(uint32_t serialNumber) {
    LINK_DEBUG(kDebugLink, " aLink_CreateUSB(%08X)\n", serialNumber);
    aLinkEntry* existing = nullptr;
    switch (sShareExisting(serialNumber, USB, true, &existing)) {
    case Share::Shared:
        LINK_DEBUG(kDebugLink, "Using already created object:(0x%08X, running:%d, state=%d)",
                   existing->id, existing->link->running.load(), existing->link->status.load());
        LINK_DEBUG(kDebugLink, " leaving aLink_CreateUSB(bad)(%08X)\n", serialNumber);
        return existing->id;
    case Share::Served:
        LINK_DEBUG(kDebugLink, "%s", kServedMessage);
        return 0;
    case Share::None:
        break;
    }
    aLinkEntry* entry = sCreate(serialNumber, 0, USB);
    if (entry == nullptr) return 0;
    LINK_DEBUG(kDebugLink, "USB sCreate(%08X)==>%d\n", serialNumber, entry->id);
    aStream* stream = nullptr;
    const aErr err = aStream_CreateUSB(serialNumber, &stream);
    if (err != aErrNone)
        LINK_DEBUG(kDebugLink, " aLink_CreateUSB() error creating stream %d\n", err);
    uint32_t id = sFinishCreate(entry, stream, err);
    // A USB module is synchronised at once; one that does not answer is no link.
    if (id != 0 && aLink_Sync(id) != aErrNone) aLink_Destroy(&id);
    return id;
}

uint32_t aLink_CreateTCPIP(uint32_t serialNumber, uint32_t ipAddress, uint16_t port) {
    LINK_DEBUG(kDebugLink, "aLink_CreateTCPIP: SN: %d, address: %d, port: %d\n)", serialNumber,
               ipAddress, port);
    aLinkEntry* existing = nullptr;
    switch (sShareExisting(serialNumber, TCPIP, true, &existing)) {
    case Share::Shared:
        LINK_DEBUG(kDebugLink, " leaving aLink_CreateTCPIP(bad)(%08X)\n", serialNumber);
        return existing->id;
    case Share::Served:
        LINK_DEBUG(kDebugLink, "%s", kServedMessage);
        return 0;
    case Share::None:
        break;
    }
    aLinkEntry* entry = sCreate2(serialNumber, ipAddress, port, TCPIP);
    if (entry == nullptr) return 0;
    LINK_DEBUG(kDebugLink, "TCPIP sCreate2 SN: %d, address: %d, port: %d, type: %d, id: %d\n)",
               serialNumber, ipAddress, port, TCPIP, entry->id);
    aStream* stream = nullptr;
    const aErr err = aStream_CreateSocket(ipAddress, port, &stream);
    if (err != aErrNone)
        LINK_DEBUG(kDebugLink, " aLink_CreateTCPIP() error creating stream %d\n", err);
    const uint32_t id = sFinishCreate(entry, stream, err);
    if (id == 0) LINK_DEBUG(kDebugLink, " aLink_CreateTCPIP() BAD BAD Error: %d\n", err);
    return id;
}

uint32_t aLink_CreateSerial(uint32_t serialNumber, const char* portName, uint32_t baudRate) {
    LINK_DEBUG(kDebugLink, " aLink_CreateSerial(%s)\n", portName != nullptr ? portName : "");
    aLinkEntry* existing = nullptr;
    if (sShareExisting(serialNumber, SERIAL, false, &existing) == Share::Shared) {
        LINK_DEBUG(kDebugLink, " leaving aLink_CreateSerial(%08X)\n", serialNumber);
        return existing->id;
    }
    uint32_t rateIndex = 0;
    if (portName == nullptr || !sBaudIndex(baudRate, &rateIndex)) return 0;
    aLinkEntry* entry = sCreate(serialNumber, 0, SERIAL);
    if (entry == nullptr) return 0;
    LINK_DEBUG(kDebugLink, "\nSerial sCreate(%08X)==>%d\n", serialNumber, entry->id);
    aStream* stream = nullptr;
    const aErr err = aStream_CreateSerial_Packetized(portName, rateIndex, 0, 0, 0, &stream);
    if (err != aErrNone)
        LINK_DEBUG(kDebugLink, " aLink_CreateSerial() error creating stream %d\n", err);
    const uint32_t id = sFinishCreate(entry, stream, err);
    if (id == 0)
        LINK_DEBUG(kDebugLink, " error creating USB Link, destroying the id (%d)\n", entry->id);
    LINK_DEBUG(kDebugLink, " leaving aLink_CreateSerial(%08X) ==> %d\n", serialNumber, id);
    return id;
}

uint32_t aLink_Create(aStream* stream) {
    aLinkEntry* entry = sCreate(0xFFFFFFFFu, 0, INVALID);
    if (entry == nullptr) {
        aStream_Destroy(&stream);
        return 0;
    }
    LINK_DEBUG(kDebugLink, "aLink_Create(%08X) OLD VERSION", entry->id);
    LINK_DEBUG(kDebugLink, "\n sCreate(%08X)==>%d\n", 0xFFFFFFFFu, entry->id);
    return sFinishCreate(entry, stream, stream != nullptr ? aErrNone : aErrParam);
}

aErr aLink_Destroy(uint32_t* linkIdAddress) {
    if (linkIdAddress == nullptr) return aErrParam;
    const uint32_t id = *linkIdAddress;
    *linkIdAddress = 0;
    LINK_DEBUG(kDebugLink, "aLink_Destroy(%d)\n", id);
    aLinkEntry* entry = nullptr;
    {
        // The last use and the unlinking are one step: nobody can share an entry on its way out.
        RegistryLock lock;
        entry = sFindLocked(id);
        if (entry == nullptr) return aErrParam;
        entry->useCount = static_cast<int16_t>(entry->useCount - 1);
        LINK_DEBUG(kDebugLink, " sChangeUseCount(%d, %+d) ==> %d\n", id, -1, entry->useCount);
        if (entry->useCount > 0) {
            LINK_DEBUG(kDebugLink, "aLink_Destroy use_count: %d\n", entry->useCount);
            return aErrNone;
        }
    }
    aLink_InstallUserPacketFilter(id, nullptr, nullptr);
    sExtractEntry(id);
    LINK_DEBUG(kDebugLink, "aLink_Destroy(%d) destroy link item\n", id);
    aErr err = aErrUnknown;
    if (aLink* link = entry->link; link != nullptr) {
        aLink_Stop(link);
        if (entry->server != nullptr && entry->serverDestroy != nullptr)
            entry->serverDestroy(entry->server);
        entry->server = nullptr;
        if (entry->linkedId != 0) {
            uint32_t linked = entry->linkedId;
            aLink_Destroy(&linked);
        }
        err =
            link->check == aLINK_CHECK ? aLink_ReleaseResources(link) : static_cast<aErr>(aErrNone);
        LINK_DEBUG(kDebugLink, " Destroy stream");
        if (link->stream != nullptr) aStream_Destroy(&link->stream);
        link->check = 0;
        delete link;
        entry->link = nullptr;
    }
    delete entry;
    return err;
}

aErr aLink_Reset(uint32_t linkId) {
    LINK_DEBUG(kDebugLink, "aLink_Reset(%d)\n", linkId);
    aLinkEntry* entry = sLookupEntryByID(linkId);
    if (entry == nullptr || entry->link == nullptr || entry->link->check != aLINK_CHECK)
        return aErrParam;
    // Leaves a link whose stream cannot be made again alone instead of killing it.
    if (!sCanRecreate(entry->type)) {
        LINK_DEBUG(kDebugLink, " recreate invalid stream type");
        return aErrParam;
    }
    aLink* link = entry->link;
    aLink_Stop(link);
    aLink_ReleaseResources(link);
    aStream_Destroy(&link->stream);

    aStream* stream = nullptr;
    aErr err = aErrNone;
    for (int attempt = 0; attempt < kResetAttempts; ++attempt) {
        if (attempt > 0) aTime_MSSleep(kResetPauseMs);
        err = sRecreateStream(entry, &stream);
        if (err == aErrNone && stream != nullptr) break;
        aStream_Destroy(&stream);
    }
    // Fresh FIFOs, no user filter, no packet log, pooled writing off.
    aLink_Init(linkId, stream);
    if (stream == nullptr) {
        LINK_DEBUG(kDebugLink, " ERROR - could not recreate stream: %d\n", err);
        link->status = kLinkStatusIOError;
        return aErrConnection;
    }
    return aLink_Start(linkId);
}

} // extern "C"
