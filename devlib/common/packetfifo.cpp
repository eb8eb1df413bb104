#include "packetfifo.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

struct aPacketDeleter {
    void operator()(aPacket* packet) const noexcept { aPacket_Destroy(&packet); }
};
using PacketPtr = std::unique_ptr<aPacket, aPacketDeleter>;

class SerialPacket {
public:
    SerialPacket(int64_t id, PacketPtr packet) : mId(id), mPacket(std::move(packet)) {}
    SerialPacket(SerialPacket&&) noexcept = default;
    SerialPacket& operator=(SerialPacket&&) noexcept = default;
    SerialPacket(const SerialPacket&) = delete;
    SerialPacket& operator=(const SerialPacket&) = delete;

    int64_t getId() const { return mId; }
    const aPacket* getPacket() const { return mPacket.get(); }
    aPacket* releasePacket() { return mPacket.release(); }

private:
    int64_t mId;
    PacketPtr mPacket;
};

struct packetFifo {
    using Entries = std::deque<SerialPacket>;

    Entries packets; // oldest first; ids strictly increase front to back
    std::condition_variable signal;
    std::mutex mutex;
    std::atomic<bool> active{true};
    // Ids held lie in [windowStart, nextId); both change only under mutex.
    std::atomic<int64_t> windowStart{0};
    std::atomic<int64_t> nextId{0};

    void syncWindow() { windowStart = packets.empty() ? nextId.load() : packets.front().getId(); }

    void clearAndSyncWindow() {
        packets.clear();
        syncWindow();
    }

    void eraseAndSyncWindow(Entries::iterator first, Entries::iterator last) {
        packets.erase(first, last);
        syncWindow();
    }

    void eraseAndSyncWindow(Entries::iterator entry) { eraseAndSyncWindow(entry, entry + 1); }
};

using FifoRef = std::shared_ptr<packetFifo>;

std::atomic<uint64_t> gpSequentialId{1};
std::mutex gpPacketFifoDictionaryMutex;

// Never destroyed: link threads may still reach it while the process exits.
std::map<aPacketFifo, FifoRef>& gpPacketFifoDictionary() {
    static auto* dictionary = new std::map<aPacketFifo, FifoRef>();
    return *dictionary;
}

FifoRef sGetFifo(aPacketFifo handle) {
    std::lock_guard lock(gpPacketFifoDictionaryMutex);
    auto& dictionary = gpPacketFifoDictionary();
    auto found = dictionary.find(handle);
    return found == dictionary.end() ? nullptr : found->second;
}

FifoRef sExtractFifo(aPacketFifo handle) {
    std::lock_guard lock(gpPacketFifoDictionaryMutex);
    auto& dictionary = gpPacketFifoDictionary();
    auto found = dictionary.find(handle);
    if (found == dictionary.end()) return nullptr;
    FifoRef fifo = std::move(found->second);
    dictionary.erase(found);
    return fifo;
}

// A deadline far beyond any real wait, so that a caller's "forever"
// (UINT64_MAX) cannot overflow the clock arithmetic into the past.
Clock::time_point sDeadline(uint64_t timeoutMs) {
    constexpr uint64_t kLongestWaitMs = 100ull * 365 * 24 * 3600 * 1000;
    return Clock::now() + std::chrono::milliseconds(std::min(timeoutMs, kLongestWaitMs));
}

// Hands the entry's packet to the caller and drops the entry. The record was
// copied in by the put, so nobody else holds it.
aPacket* _stealPacketFromFifo(packetFifo& fifo, packetFifo::Entries::iterator entry) {
    aPacket* packet = entry->releasePacket();
    fifo.eraseAndSyncWindow(entry);
    return packet;
}

bool _waitUntilNotEmpty(packetFifo& fifo, std::unique_lock<std::mutex>& lock,
                        Clock::time_point deadline) {
    return fifo.signal.wait_until(lock, deadline,
                                  [&] { return !fifo.packets.empty() || !fifo.active; });
}

// Offers each entry newer than lastOffered to the filter, oldest first, until
// one is accepted. Entries already offered are passed over by a binary search
// on their ids, so a waiter woken by every put only looks at what is new, however
// many rejected packets are held. On success *accepted is the accepted entry,
// valid while the lock stays held; false on timeout or once the FIFO is destroyed.
bool _waitUntilProcIsSatisfied(packetFifo& fifo, std::unique_lock<std::mutex>& lock,
                               Clock::time_point deadline, aPacketFifoFilter filter, void* ref,
                               packetFifo::Entries::iterator* accepted) {
    int64_t lastOffered = fifo.windowStart - 1;
    bool found = false;
    fifo.signal.wait_until(lock, deadline, [&] {
        if (!fifo.active) return true;
        auto entry =
            std::partition_point(fifo.packets.begin(), fifo.packets.end(),
                                 [&](const SerialPacket& p) { return p.getId() <= lastOffered; });
        for (; entry != fifo.packets.end(); ++entry) {
            lastOffered = entry->getId();
            if (filter(entry->getPacket(), ref)) {
                *accepted = entry;
                return found = true;
            }
        }
        return false;
    });
    return found;
}

} // namespace

extern "C" {

aPacketFifo aPacketFifo_Create(void) {
    try {
        auto fifo = std::make_shared<packetFifo>();
        std::lock_guard lock(gpPacketFifoDictionaryMutex);
        auto& dictionary = gpPacketFifoDictionary();
        // 0 is never a handle, and after a wrap-around a handle still in use is passed over.
        for (;;) {
            const aPacketFifo handle = gpSequentialId++;
            if (handle != 0 && dictionary.try_emplace(handle, fifo).second) return handle;
        }
    } catch (...) {
        return 0;
    }
}

aErr aPacketFifo_Destroy(aPacketFifo* handle) {
    if (!handle) return aErrParam;
    try {
        FifoRef fifo = sExtractFifo(*handle);
        if (!fifo) return aErrNotFound;
        {
            std::lock_guard lock(fifo->mutex);
            fifo->clearAndSyncWindow();
            fifo->active = false;
        }
        fifo->signal.notify_all();
        *handle = 0;
        return aErrNone;
    } catch (...) {
        return aErrUnknown;
    }
}

size_t aPacketFifo_GetLength(aPacketFifo handle) {
    try {
        FifoRef fifo = sGetFifo(handle);
        if (!fifo) return 0;
        std::lock_guard lock(fifo->mutex);
        return fifo->packets.size();
    } catch (...) {
        return 0;
    }
}

aErr aPacketFifo_Put(aPacketFifo handle, const aPacket* packet) {
    try {
        FifoRef fifo = sGetFifo(handle);
        if (!fifo || !aVALIDPACKET(packet)) return aErrParam;
        {
            std::lock_guard lock(fifo->mutex);
            // Destroyed since the lookup: the handle is gone, as for an unknown one.
            if (!fifo->active) return aErrParam;
            const int64_t id = fifo->nextId++;
            PacketPtr copy(aPacket_Copy(packet));
            if (!copy) return aErrParam;
            try {
                fifo->packets.emplace_back(id, std::move(copy));
            } catch (...) {
                return aErrResource;
            }
            fifo->syncWindow();
            if (fifo->packets.size() > aPACKETFIFO_CAPACITY) {
                fifo->clearAndSyncWindow();
                return aErrNone;
            }
        }
        fifo->signal.notify_all();
        return aErrNone;
    } catch (...) {
        return aErrResource;
    }
}

aPacket* aPacketFifo_Get(aPacketFifo handle) {
    try {
        FifoRef fifo = sGetFifo(handle);
        if (!fifo) return nullptr;
        std::lock_guard lock(fifo->mutex);
        if (fifo->packets.empty()) return nullptr;
        return _stealPacketFromFifo(*fifo, fifo->packets.begin());
    } catch (...) {
        return nullptr;
    }
}

aPacket* aPacketFifo_Await(aPacketFifo handle, uint64_t timeoutMs) {
    try {
        const auto deadline = sDeadline(timeoutMs);
        FifoRef fifo = sGetFifo(handle);
        if (!fifo) return nullptr;
        std::unique_lock lock(fifo->mutex);
        if (!_waitUntilNotEmpty(*fifo, lock, deadline) || fifo->packets.empty()) return nullptr;
        return _stealPacketFromFifo(*fifo, fifo->packets.begin());
    } catch (...) {
        return nullptr;
    }
}

aPacket* aPacketFifo_GetFirst(aPacketFifo handle, aPacketFifoFilter filter, void* ref) {
    try {
        if (!filter) return nullptr;
        FifoRef fifo = sGetFifo(handle);
        if (!fifo) return nullptr;
        std::lock_guard lock(fifo->mutex);
        for (auto entry = fifo->packets.begin(); entry != fifo->packets.end(); ++entry)
            if (filter(entry->getPacket(), ref)) return _stealPacketFromFifo(*fifo, entry);
        return nullptr;
    } catch (...) {
        return nullptr;
    }
}

aPacket* aPacketFifo_AwaitFirst(aPacketFifo handle, aPacketFifoFilter filter, void* ref,
                                uint64_t timeoutMs) {
    try {
        if (!filter) return nullptr;
        const auto deadline = sDeadline(timeoutMs);
        FifoRef fifo = sGetFifo(handle);
        if (!fifo) return nullptr;
        std::unique_lock lock(fifo->mutex);
        packetFifo::Entries::iterator accepted;
        if (!_waitUntilProcIsSatisfied(*fifo, lock, deadline, filter, ref, &accepted))
            return nullptr;
        return _stealPacketFromFifo(*fifo, accepted);
    } catch (...) {
        return nullptr;
    }
}

size_t aPacketFifo_DrainPackets(aPacketFifo handle, aPacketFifoFilter filter, void* ref) {
    try {
        if (!filter) return 0;
        FifoRef fifo = sGetFifo(handle);
        if (!fifo) return 0;
        std::lock_guard lock(fifo->mutex);
        auto& packets = fifo->packets;
        // Ask the filter about every entry before moving any, so a filter that
        // throws leaves the FIFO as it was.
        std::vector<bool> drop(packets.size());
        for (size_t i = 0; i < packets.size(); ++i)
            drop[i] = filter(packets[i].getPacket(), ref);
        size_t kept = 0;
        for (size_t i = 0; i < packets.size(); ++i)
            if (!drop[i]) {
                if (kept != i) packets[kept] = std::move(packets[i]);
                ++kept;
            }
        const size_t removed = packets.size() - kept;
        fifo->eraseAndSyncWindow(packets.begin() + static_cast<ptrdiff_t>(kept), packets.end());
        return removed;
    } catch (...) {
        return 0;
    }
}

} // extern "C"
