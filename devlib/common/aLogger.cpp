#include "aLogger.h"

#include <atomic>
#include <new>

#include <pthread.h>

namespace {

constexpr uint16_t kLoggerCheck = 0xDEED;

// The logger whose thread this is, so that a callback stopping its own logger is recognised
// without reading the thread field while it is being written.
thread_local const aLogger* tOwnLogger = nullptr;

} // namespace

struct aLogger {
    uint32_t context;
    aLoggerProc proc;
    aFileHandle file;
    pthread_t thread; // the creating thread whenever no logger thread runs
    std::atomic<bool> running;
    uint16_t check;
    pthread_t creator;
};

namespace {

bool sValid(const aLogger* l) {
    return l && l->check == kLoggerCheck;
}

void* sLoggerThread(void* arg) {
    aLogger* logger = static_cast<aLogger*>(arg);
    tOwnLogger = logger;
    while (logger->running.load(std::memory_order_acquire))
        logger->proc(logger->file, logger->context);
    tOwnLogger = nullptr;
    return nullptr;
}

} // namespace

extern "C" {

aLoggerHandle aLogger_Create(uint32_t context, aLoggerProc proc, const char* path) {
    if (!proc) return nullptr;
    aFileHandle file = aFile_Open(path, aFileModeAppend);
    if (!file) return nullptr;
    if (aFile_SetUnbuffered(file) != aErrNone) {
        aFile_Close(&file);
        return nullptr;
    }
    aLogger* logger = new (std::nothrow) aLogger;
    if (!logger) {
        aFile_Close(&file);
        return nullptr;
    }
    logger->context = context;
    logger->proc = proc;
    logger->file = file;
    logger->creator = logger->thread = pthread_self();
    logger->running.store(false);
    logger->check = kLoggerCheck;
    return logger;
}

aErr aLogger_Enable(aLoggerHandle logger) {
    if (!sValid(logger)) return aErrParam;
    if (logger->running.load()) return aErrNone;
    logger->running.store(true, std::memory_order_release);
    if (pthread_create(&logger->thread, nullptr, sLoggerThread, logger) != 0) {
        logger->running.store(false);
        logger->thread = logger->creator;
        return aErrResource;
    }
    return aErrNone;
}

aErr aLogger_Disable(aLoggerHandle logger) {
    if (!sValid(logger)) return aErrParam;
    // Joining itself would never return.
    if (tOwnLogger == logger) return aErrNone;
    if (!logger->running.load()) return aErrNone;
    logger->running.store(false, std::memory_order_release);
    int rc = pthread_join(logger->thread, nullptr);
    logger->thread = logger->creator;
    return rc == 0 ? aErrNone : aErrUnknown;
}

aErr aLogger_Destroy(aLoggerHandle* logger) {
    if (!logger) return aErrParam;
    aLogger* l = *logger;
    if (!sValid(l)) return aErrNone;
    // Freeing the record under the running thread would pull it from under its own feet.
    if (tOwnLogger == l) return aErrBusy;
    aErr stopped = aLogger_Disable(l);
    aFile_Close(&l->file);
    if (stopped != aErrNone) return stopped;
    l->check = 0;
    delete l;
    *logger = nullptr;
    return aErrNone;
}

} // extern "C"
