/*
 * Directories and paths of the device library's platform layer.
 */
#ifndef VORLIXANE_ADIRECTORY_H
#define VORLIXANE_ADIRECTORY_H

#include <stdbool.h>
#include <stddef.h>
#include <stdint.h>

#include "aError.h"

#ifdef __cplusplus
extern "C" {
#endif

/* The path separator; path code compares and inserts its first character. */
#define aDIR_PATH_SEP "/"

/* The most parts aDirectory_BuildPath joins: the first and nine more. */
#define aDIR_MAX_BUILD_PARTS 10

/* One entry handed to a listing callback. */
typedef struct aDirectoryListData {
    const char* path;     /* directory and entry name joined; valid only during the callback */
    uint32_t size;        /* low 32 bits of the entry's size in bytes */
    uint32_t isDirectory; /* non-zero for a directory */
} aDirectoryListData;

/* Returns true to go on with the next entry, false to stop the listing. */
typedef bool (*aDirectoryListProc)(const aDirectoryListData* entry, void* ref);

/* True when path names an existing directory. */
bool aDirectory_Exists(const char* path);

/* Creates path and every missing parent with the permission bits (callers pass 0755).
 * aErrNone, or aErrPermission when a directory could not be created. */
aErr aDirectory_Ensure(const char* path, uint32_t mode);

/* Calls proc for every entry, "." and ".." included, in the system's order; entries whose
 * stat fails are skipped. aErrNotFound when the directory cannot be opened, else aErrNone
 * (also after the callback stopped the listing). */
aErr aDirectory_List(const char* path, aDirectoryListProc proc, void* ref);

/* Removes an empty directory; aErrUnknown on any failure. */
aErr aDirectory_Delete(const char* path);

/* Removes a directory and everything below it. Symbolic links are removed, never followed.
 * aErrNotFound when it cannot be opened; otherwise the result of removing the directory
 * itself. */
aErr aDirectory_DeleteTree(const char* path);

/* The current working directory; aErrParam when it cannot be obtained or does not fit. */
aErr aDirectory_CWD(char* buffer, size_t size);

/* The running executable's path, cut to size - 1 characters; aErrRead when unknown. */
aErr aDirectory_ExecutableFilePath(char* buffer, size_t size);

/* The real user's home folder from the password database, else $HOME, copied truncated.
 * When neither gives one the buffer is emptied and the answer is aErrNotFound, so that no
 * caller builds its paths from the file system root instead; aErrParam for no buffer. */
aErr aDirectory_GetHomeDirectory(char* buffer, size_t size);

/* aDirectory_BuildPath with exactly these two parts. */
aErr aDirectory_JoinPath(char* buffer, size_t size, const char* first, const char* second);

/* Joins the first part and at most nine more (the list ended by a null pointer), inserting
 * the separator between two parts unless one already stands there. The buffer must not be
 * one of the parts. aErrNone, aErrParam, or aErrOverrun when the result does not fit (the
 * buffer then keeps the parts that did). An empty first part yields a path that starts with
 * the second part as it is (no separator is put in front of it). */
aErr aDirectory_BuildPath(char* buffer, size_t size, const char* first, ...);

#ifdef __cplusplus
}
#endif

#endif
