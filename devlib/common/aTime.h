/*
 * Millisecond time and sleeping of the device library's platform layer.
 */
#ifndef VORLIXANE_ATIME_H
#define VORLIXANE_ATIME_H

#include <stdint.h>

#include "aError.h"

#ifdef __cplusplus
extern "C" {
#endif

/* The longest single slice of a sleep, in microseconds. */
#define aTIME_MAX_SLICE_US 999999u

/* Milliseconds of the wall clock (seconds * 1000 + microseconds / 1000); 0 when the clock
 * cannot be read. Not monotonic: use it for elapsed times and polling, not for deadlines
 * that must survive a clock change. */
uint64_t aTime_GetMSTicks(void);

/* Sleeps at least ms milliseconds; always aErrNone. */
aErr aTime_MSSleep(uint64_t ms);

/* Sleeps one slice of at most aTIME_MAX_SLICE_US microseconds. */
typedef void (*aTimeSliceProc)(uint32_t microseconds, void* ref);

/* The slicing behind aTime_MSSleep: hands ms, in microseconds, to sleep in slices of at most
 * aTIME_MAX_SLICE_US each. Lets a caller (or a test) supply its own sleeper. */
void aTime_MSSleepSliced(uint64_t ms, aTimeSliceProc sleep, void* ref);

#ifdef __cplusplus
}
#endif

#endif
