#include "aTime.h"

#include <cerrno>
#include <cstdint>
#include <ctime>

#include <sys/time.h>

namespace {

// One slice, slept to its end even when a signal interrupts it.
void sSleepSlice(uint32_t microseconds, void*) {
    timespec left{0, static_cast<long>(microseconds) * 1000};
    while (nanosleep(&left, &left) != 0 && errno == EINTR) {
    }
}

} // namespace

extern "C" {

uint64_t aTime_GetMSTicks(void) {
    timeval now;
    if (gettimeofday(&now, nullptr) != 0) return 0;
    return static_cast<uint64_t>(now.tv_sec) * 1000u + static_cast<uint64_t>(now.tv_usec) / 1000u;
}

void aTime_MSSleepSliced(uint64_t ms, aTimeSliceProc sleep, void* ref) {
    if (!sleep) sleep = sSleepSlice;
    // Beyond this the microseconds would not fit; such a sleep never ends anyway.
    uint64_t left = ms > UINT64_MAX / 1000u ? UINT64_MAX : ms * 1000u;
    while (left > 0) {
        uint32_t slice =
            left > aTIME_MAX_SLICE_US ? aTIME_MAX_SLICE_US : static_cast<uint32_t>(left);
        sleep(slice, ref);
        left -= slice;
    }
}

aErr aTime_MSSleep(uint64_t ms) {
    aTime_MSSleepSliced(ms, sSleepSlice, nullptr);
    return aErrNone;
}

} // extern "C"
