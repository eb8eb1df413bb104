#include "aThread.h"

#include <cerrno>
#include <ctime>
#include <new>

#include <pthread.h>

struct aThread {
    pthread_t thread;
};

extern "C" {

aThreadHandle aThread_Create(aThreadProc proc, void* arg) {
    if (!proc) return nullptr;
    aThread* t = new (std::nothrow) aThread;
    if (!t) return nullptr;
    if (pthread_create(&t->thread, nullptr, proc, arg) != 0) {
        delete t;
        return nullptr;
    }
    return t;
}

int aThread_Destroy(aThreadHandle* thread) {
    if (!thread || !*thread) return EINVAL;
    int rc = pthread_join((*thread)->thread, nullptr);
    delete *thread;
    *thread = nullptr;
    return rc;
}

void aThread_Yield(void) {
    timespec pause{0, 5000};
    nanosleep(&pause, nullptr);
}

} // extern "C"
