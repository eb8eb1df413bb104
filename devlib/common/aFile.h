/*
 * Files of the device library's platform layer: an opaque handle over a stdio stream.
 */
#ifndef VORLIXANE_AFILE_H
#define VORLIXANE_AFILE_H

#include <stdbool.h>
#include <stddef.h>
#include <stdint.h>

#include "aError.h"

#ifdef __cplusplus
extern "C" {
#endif

/* Paths longer than this are refused. */
#define aFILE_MAX_PATH 4096

typedef struct aFile* aFileHandle;

typedef uint32_t aFileMode;
enum {
    aFileModeRead = 0,    /* "rb" */
    aFileModeWrite = 1,   /* "wb": created or truncated */
    aFileModeAppend = 2,  /* "ab+": read and append, created when missing, opened at the end */
    aFileModeUnknown = 3, /* refused */
};

typedef uint32_t aFileSeekOrigin;
enum {
    aSeekStart = 0, /* any value other than the two below counts as the start */
    aSeekCurrent = 1,
    aSeekEnd = 2,
};

/* True when path exists, is at most aFILE_MAX_PATH characters and is not a directory. */
bool aFile_Exists(const char* path);

/* A new handle, or null for a null, empty or too long path, a refused mode, or a stream that
 * cannot be opened. */
aFileHandle aFile_Open(const char* path, aFileMode mode);

/* Closes and frees the handle and nulls *file (even when the handle was invalid).
 * aErrParam for a null pointer, a null or invalid handle. */
aErr aFile_Close(aFileHandle* file);

/* Reads up to length bytes; *count (when given) gets the number read. A short read is
 * success; aErrEOF when nothing was read although length was not 0. */
aErr aFile_Read(aFileHandle file, void* buffer, size_t length, uint64_t* count);

/* Writes length bytes; *count (when given) gets the number written. aErrIO when nothing was
 * written although length was not 0. */
aErr aFile_Write(aFileHandle file, const void* data, size_t length, uint64_t* count);

/* Moves to base + offset (base 0, the position or the size by origin). aErrRange when the
 * target is negative or beyond the end (the end itself is allowed); the position is then
 * unchanged. aErrIO when the position or size cannot be read or the move fails. */
aErr aFile_Seek(aFileHandle file, int64_t offset, aFileSeekOrigin origin);

/* The size in bytes; the position is unchanged. *size is 0 when it cannot be found. */
aErr aFile_GetSize(aFileHandle file, uint64_t* size);

/* Removes a file: aErrParam, aErrFileNameLength, aErrNotFound, aErrPermission or aErrIO. */
aErr aFile_Delete(const char* path);

/* Reads one line, newline kept and text terminated; *length gets the characters read.
 * aErrEOF at the end of the file, aErrIO on another failure, aErrOverrun when the line did
 * not fit (the next call returns its rest). */
aErr aFile_ReadLine(aFileHandle file, char* buffer, size_t size, uint64_t* length);

/* Turns buffering off; aErrMode unless the file was opened for writing or appending. */
aErr aFile_SetUnbuffered(aFileHandle file);

/* The current byte position (stored when position is given); aErrIO when unknown. */
aErr aFile_GetPosition(aFileHandle file, int64_t* position);

/* Formatted write with printf rules; aErrIO when formatting or writing fails. */
aErr aFile_Printf(aFileHandle file, const char* format, ...)
#if defined(__GNUC__)
    __attribute__((format(printf, 2, 3)))
#endif
    ;

#ifdef __cplusplus
}
#endif

#endif
