/*
 * A polling logger thread: calls its callback with its file, again and again, while running.
 */
#ifndef VORLIXANE_ALOGGER_H
#define VORLIXANE_ALOGGER_H

#include <stdint.h>

#include "aError.h"
#include "aFile.h"

#ifdef __cplusplus
extern "C" {
#endif

typedef struct aLogger* aLoggerHandle;

/* One round of logging; it decides itself how long to wait when it has nothing to write. */
typedef void (*aLoggerProc)(aFileHandle file, uint32_t context);

/* A stopped logger writing to path (opened for appending, unbuffered); null on failure. */
aLoggerHandle aLogger_Create(uint32_t context, aLoggerProc proc, const char* path);

/* Starts the thread. aErrNone when started or already running, aErrParam for an invalid
 * logger, aErrResource when the thread cannot be started. */
aErr aLogger_Enable(aLoggerHandle logger);

/* Stops the thread and waits for it. aErrNone when stopped or not running, and when called
 * from the logger thread itself (then nothing is done); aErrParam for an invalid logger;
 * aErrUnknown when waiting fails. */
aErr aLogger_Disable(aLoggerHandle logger);

/* Stops the logger, closes its file, frees it and nulls *logger. An invalid logger is left
 * alone with aErrNone. Called from the logger thread it does nothing and answers aErrBusy.
 * When stopping fails the file is closed, the record kept and the error returned. */
aErr aLogger_Destroy(aLoggerHandle* logger);

#ifdef __cplusplus
}
#endif

#endif
