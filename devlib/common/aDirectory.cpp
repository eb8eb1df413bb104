#include "aDirectory.h"

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include <dirent.h>
#include <pwd.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>

namespace {

constexpr char kSep = aDIR_PATH_SEP[0];

bool sIsDirectory(const char* path) {
    struct stat st;
    return stat(path, &st) == 0 && S_ISDIR(st.st_mode);
}

// The listing's join: the separator goes in unless one already stands at the seam.
std::string sJoin(const char* dir, const char* name) {
    std::string out(dir);
    if (!out.empty() && out.back() != kSep && name[0] != kSep) out += kSep;
    out += name;
    return out;
}

bool sInside(const char* p, const char* begin, size_t size) {
    std::less_equal<const char*> le;
    std::less<const char*> lt;
    return le(begin, p) && lt(p, begin + size);
}

// mkdir, counting "already exists" as success.
bool sMakeDir(const std::string& path, uint32_t mode) {
    return mkdir(path.c_str(), static_cast<mode_t>(mode)) == 0 || errno == EEXIST;
}

void sCopyTruncated(char* buffer, size_t size, const char* text) {
    size_t n = std::strlen(text);
    if (n > size - 1) n = size - 1;
    std::memcpy(buffer, text, n);
    buffer[n] = '\0';
}

aErr sBuildPath(char* buffer, size_t size, const char* first, va_list args) {
    if (!buffer) return aErrParam;
    const char* more[aDIR_MAX_BUILD_PARTS - 1];
    size_t count = 0;
    bool tooMany = false;
    for (const char* part = va_arg(args, const char*); part; part = va_arg(args, const char*)) {
        if (count == aDIR_MAX_BUILD_PARTS - 1) {
            tooMany = true;
            break;
        }
        more[count++] = part;
    }
    // Building into one of the parts would overwrite what is being read: leave it untouched.
    if (first && sInside(first, buffer, size)) return aErrParam;
    for (size_t i = 0; i < count; ++i)
        if (sInside(more[i], buffer, size)) return aErrParam;
    if (size > 0) buffer[0] = '\0';
    if (!first || tooMany) return aErrParam;

    size_t length = std::strlen(first);
    if (length + 1 >= size) return aErrOverrun;
    std::memcpy(buffer, first, length + 1);

    for (size_t i = 0; i < count; ++i) {
        const char* part = more[i];
        size_t room = size - length - 1;
        // An empty text so far takes no separator: "" and "b" stay the relative "b".
        if (room > 1 && length > 0 && buffer[length - 1] != kSep && part[0] != kSep) {
            buffer[length++] = kSep;
            buffer[length] = '\0';
            room -= 1;
        }
        size_t partLength = std::strlen(part);
        if (partLength >= room) return aErrOverrun;
        std::memcpy(buffer + length, part, partLength + 1);
        length += partLength;
    }
    return aErrNone;
}

} // namespace

extern "C" {

bool aDirectory_Exists(const char* path) {
    return path && sIsDirectory(path);
}

aErr aDirectory_Ensure(const char* path, uint32_t mode) {
    if (!path || !*path) return aErrParam;
    if (sIsDirectory(path)) return aErrNone;

    std::string copy(path);
    // The deepest ancestor that exists; the walk below starts after it.
    size_t start = 0;
    for (size_t cut = copy.rfind(kSep); cut != std::string::npos && cut > 0;
         cut = copy.rfind(kSep, cut - 1)) {
        if (sIsDirectory(copy.substr(0, cut).c_str())) {
            start = cut + 1;
            break;
        }
    }

    aErr result = aErrNone;
    for (size_t sep = copy.find(kSep, start); sep != std::string::npos;
         sep = copy.find(kSep, sep + 1)) {
        if (sep == 0 || copy[sep - 1] == kSep) continue; // empty component
        std::string prefix = copy.substr(0, sep);
        if (!sIsDirectory(prefix.c_str()) && !sMakeDir(prefix, mode)) {
            result = aErrPermission;
            break;
        }
    }
    if (!sIsDirectory(path)) {
        sMakeDir(copy, mode);
        // "Already exists" is only success when what exists is a directory.
        if (!sIsDirectory(path)) return aErrPermission;
    }
    return result;
}

aErr aDirectory_List(const char* path, aDirectoryListProc proc, void* ref) {
    if (!path || !proc) return aErrParam;
    DIR* dir = opendir(path);
    if (!dir) return aErrNotFound;
    while (const dirent* entry = readdir(dir)) {
        std::string full = sJoin(path, entry->d_name);
        struct stat st;
        if (stat(full.c_str(), &st) != 0) continue;
        aDirectoryListData data{full.c_str(), static_cast<uint32_t>(st.st_size),
                                S_ISDIR(st.st_mode) ? 1u : 0u};
        if (!proc(&data, ref)) break;
    }
    closedir(dir);
    return aErrNone;
}

aErr aDirectory_Delete(const char* path) {
    return path && rmdir(path) == 0 ? aErrNone : aErrUnknown;
}

aErr aDirectory_DeleteTree(const char* path) {
    if (!path) return aErrParam;
    DIR* dir = opendir(path);
    if (!dir) return aErrNotFound;
    while (const dirent* entry = readdir(dir)) {
        if (!std::strcmp(entry->d_name, ".") || !std::strcmp(entry->d_name, "..")) continue;
        std::string full = sJoin(path, entry->d_name);
        struct stat st;
        // lstat: a link to a directory elsewhere is removed, not emptied.
        if (lstat(full.c_str(), &st) != 0) continue;
        if (S_ISDIR(st.st_mode)) {
            if (aDirectory_DeleteTree(full.c_str()) != aErrNone) break;
        } else if (unlink(full.c_str()) != 0) {
            std::perror("aDirectory_DeleteTree");
            std::printf("---error unlink-ing file [%s]\n", full.c_str());
            break;
        }
    }
    closedir(dir);
    return aDirectory_Delete(path);
}

aErr aDirectory_CWD(char* buffer, size_t size) {
    if (!buffer || size == 0) return aErrParam;
    return getcwd(buffer, size) ? aErrNone : aErrParam;
}

aErr aDirectory_ExecutableFilePath(char* buffer, size_t size) {
    if (!buffer || size == 0) return aErrParam;
    ssize_t n = readlink("/proc/self/exe", buffer, size - 1);
    if (n < 0) {
        buffer[0] = '\0';
        return aErrRead;
    }
    buffer[n] = '\0';
    return aErrNone;
}

aErr aDirectory_GetHomeDirectory(char* buffer, size_t size) {
    if (!buffer || size == 0) return aErrParam;
    buffer[0] = '\0';
    long hint = sysconf(_SC_GETPW_R_SIZE_MAX);
    std::vector<char> scratch(hint > 0 ? static_cast<size_t>(hint) : 16384);
    struct passwd entry;
    struct passwd* found = nullptr;
    int rc;
    while ((rc = getpwuid_r(getuid(), &entry, scratch.data(), scratch.size(), &found)) == ERANGE &&
           scratch.size() < (1u << 20))
        scratch.resize(scratch.size() * 2);
    const char* home = nullptr;
    if (rc == 0 && found && found->pw_dir && *found->pw_dir) home = found->pw_dir;
    if (!home) {
        const char* env = std::getenv("HOME");
        if (env && *env) home = env;
    }
    if (!home) return aErrNotFound;
    sCopyTruncated(buffer, size, home);
    return aErrNone;
}

aErr aDirectory_JoinPath(char* buffer, size_t size, const char* first, const char* second) {
    return aDirectory_BuildPath(buffer, size, first, second, static_cast<const char*>(nullptr));
}

aErr aDirectory_BuildPath(char* buffer, size_t size, const char* first, ...) {
    va_list args;
    va_start(args, first);
    aErr result = sBuildPath(buffer, size, first, args);
    va_end(args);
    return result;
}

} // extern "C"
