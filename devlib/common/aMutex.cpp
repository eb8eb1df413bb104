#include "aMutex.h"

#include <cerrno>
#include <cstring>
#include <new>

#include <pthread.h>

namespace {
constexpr uint32_t kMutexCheck = 0xFADE;
} // namespace

struct aMutex {
    pthread_mutex_t mutex;
    char name[aMUTEX_MAX_NAME + 1];
    uint32_t check;
};

namespace {
bool sValid(const aMutex* m) {
    return m && m->check == kMutexCheck;
}
} // namespace

extern "C" {

aMutexHandle aMutex_Create(const char* name) {
    size_t length = name ? strnlen(name, aMUTEX_MAX_NAME + 1) : 0;
    if (length > aMUTEX_MAX_NAME) return nullptr;
    aMutex* m = new (std::nothrow) aMutex;
    if (!m) return nullptr;
    if (pthread_mutex_init(&m->mutex, nullptr) != 0) {
        delete m;
        return nullptr;
    }
    std::memcpy(m->name, name ? name : "", length);
    m->name[length] = '\0';
    m->check = kMutexCheck;
    return m;
}

const char* aMutex_Identifier(aMutexHandle mutex) {
    return sValid(mutex) ? mutex->name : "";
}

aErr aMutex_Destroy(aMutexHandle* mutex) {
    if (!mutex) return aErrParam;
    aMutex* m = *mutex;
    if (!sValid(m)) {
        *mutex = nullptr;
        return aErrParam;
    }
    int rc = pthread_mutex_destroy(&m->mutex);
    // Freeing a mutex someone holds would let the holder unlock freed memory: keep it, and
    // the caller's handle, so that the caller can unlock and destroy again.
    if (rc == EBUSY) return aErrBusy;
    m->check = 0;
    delete m;
    *mutex = nullptr;
    switch (rc) {
    case 0:
        return aErrNone;
    case EINVAL:
        return aErrParam;
    case EAGAIN:
    case ENOMEM:
        return aErrResource;
    default:
        return aErrUnknown;
    }
}

aErr aMutex_Lock(aMutexHandle mutex) {
    if (!sValid(mutex)) return aErrParam;
    switch (pthread_mutex_lock(&mutex->mutex)) {
    case 0:
        return aErrNone;
    case EINVAL:
        return aErrParam;
    case EDEADLK:
        return aErrDuplicate;
    default:
        return aErrUnknown;
    }
}

aErr aMutex_TryLock(aMutexHandle mutex) {
    if (!sValid(mutex)) return aErrParam;
    switch (pthread_mutex_trylock(&mutex->mutex)) {
    case 0:
        return aErrNone;
    case EBUSY:
        return aErrBusy;
    case EINVAL:
        return aErrParam;
    default:
        return aErrUnknown;
    }
}

aErr aMutex_Unlock(aMutexHandle mutex) {
    if (!sValid(mutex)) return aErrParam;
    switch (pthread_mutex_unlock(&mutex->mutex)) {
    case 0:
        return aErrNone;
    case EPERM:
        return aErrPermission;
    case EINVAL:
        return aErrParam;
    default:
        return aErrUnknown;
    }
}

} // extern "C"
