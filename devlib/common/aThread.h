/*
 * Joinable threads of the device library's platform layer.
 */
#ifndef VORLIXANE_ATHREAD_H
#define VORLIXANE_ATHREAD_H

#ifdef __cplusplus
extern "C" {
#endif

typedef struct aThread* aThreadHandle;

typedef void* (*aThreadProc)(void* arg);

/* Starts proc(arg) on a joinable thread; null when it cannot be started. */
aThreadHandle aThread_Create(aThreadProc proc, void* arg);

/* Joins the thread, frees the handle and nulls *thread. Returns the join's error number
 * (0 on success; EINVAL for a null pointer or handle), not an aErr. */
int aThread_Destroy(aThreadHandle* thread);

/* Gives the processor away for a moment (5 microseconds). */
void aThread_Yield(void);

#ifdef __cplusplus
}
#endif

#endif
