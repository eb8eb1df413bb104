/*
 * Plain (non-recursive) mutexes of the device library's platform layer.
 */
#ifndef VORLIXANE_AMUTEX_H
#define VORLIXANE_AMUTEX_H

#include "aError.h"

#ifdef __cplusplus
extern "C" {
#endif

/* Longest mutex name, terminator not counted. */
#define aMUTEX_MAX_NAME 255

typedef struct aMutex* aMutexHandle;

/* A new mutex named name (null for none); null when the name is longer than
 * aMUTEX_MAX_NAME characters or the mutex cannot be made. */
aMutexHandle aMutex_Create(const char* name);

/* The mutex's name; empty when it has none or the handle is null or invalid. */
const char* aMutex_Identifier(aMutexHandle mutex);

/* Destroys and frees the mutex and nulls *mutex whatever the outcome. aErrParam for a null
 * pointer or an invalid mutex, aErrBusy when it is locked, aErrResource, or aErrUnknown. */
aErr aMutex_Destroy(aMutexHandle* mutex);

/* Blocks until locked. aErrParam, aErrDuplicate on a dead lock, or aErrUnknown. */
aErr aMutex_Lock(aMutexHandle mutex);

/* Locks without waiting. aErrBusy when it is locked, aErrParam, or aErrUnknown. */
aErr aMutex_TryLock(aMutexHandle mutex);

/* aErrPermission when the caller does not own it, aErrParam, or aErrUnknown. */
aErr aMutex_Unlock(aMutexHandle mutex);

#ifdef __cplusplus
}
#endif

#endif
