#include "aFile.h"

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <new>

#include <sys/stat.h>
#include <unistd.h>

namespace {

constexpr uint32_t kFileCheck = 0xFEED;

// The stream's last transfer; stdio needs a seek between a write and a read on one stream.
enum class LastOp : uint8_t { None, Read, Write };

} // namespace

struct aFile {
    FILE* stream;
    uint32_t mode;
    uint32_t check;
    LastOp last;
};

namespace {

bool sValid(const aFile* f) {
    return f && f->check == kFileCheck;
}
bool sCanRead(const aFile* f) {
    return f->mode == aFileModeRead || f->mode == aFileModeAppend;
}
bool sCanWrite(const aFile* f) {
    return f->mode == aFileModeWrite || f->mode == aFileModeAppend;
}

bool sPathOk(const char* path) {
    return path && *path && strnlen(path, aFILE_MAX_PATH + 1) <= aFILE_MAX_PATH;
}

void sTurn(aFile* f, LastOp next) {
    if (f->last != LastOp::None && f->last != next) fseeko(f->stream, 0, SEEK_CUR);
    f->last = next;
}

aErr sSize(aFile* f, off_t* size) {
    off_t here = ftello(f->stream);
    if (here < 0 || fseeko(f->stream, 0, SEEK_END) != 0) return aErrIO;
    off_t end = ftello(f->stream);
    if (fseeko(f->stream, here, SEEK_SET) != 0 || end < 0) return aErrIO;
    f->last = LastOp::None;
    *size = end;
    return aErrNone;
}

} // namespace

extern "C" {

bool aFile_Exists(const char* path) {
    if (!sPathOk(path)) return false;
    struct stat st;
    return stat(path, &st) == 0 && !S_ISDIR(st.st_mode);
}

aFileHandle aFile_Open(const char* path, aFileMode mode) {
    static const char* const kModes[] = {"rb", "wb", "ab+"};
    if (!sPathOk(path) || mode >= aFileModeUnknown) return nullptr;
    aFile* f = new (std::nothrow) aFile{nullptr, mode, kFileCheck, LastOp::None};
    if (!f) return nullptr;
    f->stream = fopen(path, kModes[mode]);
    if (f->stream && mode == aFileModeAppend && fseeko(f->stream, 0, SEEK_END) != 0) {
        fclose(f->stream);
        f->stream = nullptr;
    }
    if (!f->stream) {
        delete f;
        return nullptr;
    }
    return f;
}

aErr aFile_Close(aFileHandle* file) {
    if (!file) return aErrParam;
    aFile* f = *file;
    *file = nullptr;
    if (!sValid(f)) return aErrParam;
    // A failing close means buffered data never reached the file: say so.
    bool closed = fclose(f->stream) == 0;
    f->check = 0;
    delete f;
    return closed ? aErrNone : aErrIO;
}

aErr aFile_Read(aFileHandle file, void* buffer, size_t length, uint64_t* count) {
    if (count) *count = 0;
    if (!sValid(file) || !buffer) return aErrParam;
    if (!sCanRead(file)) return aErrMode;
    if (length == 0) return aErrNone;
    sTurn(file, LastOp::Read);
    // Forget an earlier end of file: the file may have grown since.
    clearerr(file->stream);
    size_t n = fread(buffer, 1, length, file->stream);
    if (count) *count = n;
    if (n > 0) return aErrNone;
    return ferror(file->stream) ? aErrIO : aErrEOF;
}

aErr aFile_Write(aFileHandle file, const void* data, size_t length, uint64_t* count) {
    if (count) *count = 0;
    if (!sValid(file) || !data) return aErrParam;
    if (!sCanWrite(file)) return aErrMode;
    if (length == 0) return aErrNone;
    sTurn(file, LastOp::Write);
    size_t n = fwrite(data, 1, length, file->stream);
    if (count) *count = n;
    // stdio only writes short on an error: a partial write lost data too.
    return n == length ? aErrNone : aErrIO;
}

aErr aFile_Seek(aFileHandle file, int64_t offset, aFileSeekOrigin origin) {
    if (!sValid(file)) return aErrParam;
    off_t size;
    if (sSize(file, &size) != aErrNone) return aErrIO;
    int64_t base = 0;
    if (origin == aSeekCurrent) {
        off_t here = ftello(file->stream);
        if (here < 0) return aErrIO;
        base = here;
    } else if (origin == aSeekEnd) {
        base = size;
    }
    int64_t target;
    if (__builtin_add_overflow(base, offset, &target) || target < 0 || target > size)
        return aErrRange;
    if (fseeko(file->stream, static_cast<off_t>(target), SEEK_SET) != 0) return aErrIO;
    file->last = LastOp::None;
    return aErrNone;
}

aErr aFile_GetSize(aFileHandle file, uint64_t* size) {
    if (size) *size = 0;
    if (!sValid(file) || !size) return aErrParam;
    off_t found;
    if (sSize(file, &found) != aErrNone) return aErrIO;
    *size = static_cast<uint64_t>(found);
    return aErrNone;
}

aErr aFile_Delete(const char* path) {
    if (!path) return aErrParam;
    if (strnlen(path, aFILE_MAX_PATH + 1) > aFILE_MAX_PATH) return aErrFileNameLength;
    if (unlink(path) == 0) return aErrNone;
    switch (errno) {
    case ENOENT:
        return aErrNotFound;
    case EACCES:
    case EPERM:
        return aErrPermission;
    default:
        return aErrIO;
    }
}

aErr aFile_ReadLine(aFileHandle file, char* buffer, size_t size, uint64_t* length) {
    if (length) *length = 0;
    if (!sValid(file) || !buffer || size == 0) return aErrParam;
    buffer[0] = '\0';
    if (!sCanRead(file)) return aErrMode;
    sTurn(file, LastOp::Read);
    FILE* s = file->stream;
    clearerr(s);
    size_t n = 0;
    bool newline = false;
    flockfile(s);
    while (n + 1 < size) {
        int c = getc_unlocked(s);
        if (c == EOF) break;
        buffer[n++] = static_cast<char>(c);
        if (c == '\n') {
            newline = true;
            break;
        }
    }
    // A full buffer is only an overrun when the line goes on; a last line that fits exactly
    // is complete.
    bool more = false;
    if (!newline && n + 1 == size && !ferror_unlocked(s)) {
        int c = getc_unlocked(s);
        if (c != EOF) {
            ungetc(c, s);
            more = true;
        }
    }
    bool failed = ferror_unlocked(s);
    funlockfile(s);
    buffer[n] = '\0';
    if (length) *length = n;
    if (failed) return aErrIO;
    if (more) return aErrOverrun;
    return n == 0 ? aErrEOF : aErrNone;
}

aErr aFile_SetUnbuffered(aFileHandle file) {
    if (!sValid(file)) return aErrParam;
    if (!sCanWrite(file)) return aErrMode;
    fflush(file->stream);
    return setvbuf(file->stream, nullptr, _IONBF, 0) == 0 ? aErrNone : aErrMode;
}

aErr aFile_GetPosition(aFileHandle file, int64_t* position) {
    if (!sValid(file)) return aErrParam;
    off_t here = ftello(file->stream);
    if (here < 0) return aErrIO;
    if (position) *position = here;
    return aErrNone;
}

aErr aFile_Printf(aFileHandle file, const char* format, ...) {
    if (!sValid(file) || !format) return aErrParam;
    if (!sCanWrite(file)) return aErrMode;
    sTurn(file, LastOp::Write);
    va_list args;
    va_start(args, format);
    int n = vfprintf(file->stream, format, args);
    va_end(args);
    return n < 0 ? aErrIO : aErrNone;
}

} // extern "C"
