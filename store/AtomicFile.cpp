#include "store/AtomicFile.h"

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace store_io {

void (*g_before_rename)(const char* temp_path) = nullptr;

namespace {

std::atomic<unsigned> g_counter{0};

std::string folder_of(const std::string& path) {
    const size_t slash = path.rfind('/');
    if (slash == std::string::npos) return ".";
    if (slash == 0) return "/";
    return path.substr(0, slash);
}

std::string temp_name_for(const std::string& path) {
    const size_t slash = path.rfind('/');
    const std::string folder = slash == std::string::npos ? "" : path.substr(0, slash + 1);
    const std::string base = slash == std::string::npos ? path : path.substr(slash + 1);
    char suffix[48];
    std::snprintf(suffix, sizeof suffix, ".tmp-%ld-%u", static_cast<long>(getpid()),
                  g_counter.fetch_add(1));
    return folder + "." + base + suffix;
}

bool write_all(int fd, const void* data, size_t length) {
    const char* p = static_cast<const char*>(data);
    while (length > 0) {
        ssize_t n = ::write(fd, p, length);
        if (n < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        if (n == 0) {
            errno = EIO;
            return false;
        }
        p += n;
        length -= static_cast<size_t>(n);
    }
    return true;
}

} // namespace

WriteResult ReplaceFile(const std::string& path, const void* data, size_t length) {
    std::string temp;
    int fd = -1;
    for (int attempt = 0; attempt < 16 && fd < 0; ++attempt) {
        temp = temp_name_for(path);
        fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
        if (fd < 0 && errno != EEXIST) break;
    }
    if (fd < 0) return {WriteStage::Create, errno};

    auto fail = [&](int error) {
        if (fd >= 0) ::close(fd);
        ::unlink(temp.c_str());
        return WriteResult{WriteStage::Write, error};
    };

    struct stat old {};
    if (::stat(path.c_str(), &old) == 0 && S_ISREG(old.st_mode))
        (void)::fchmod(fd, old.st_mode & 07777);
    if (length > 0 && !write_all(fd, data, length)) return fail(errno);
    if (::fsync(fd) != 0) return fail(errno);
    const int closed = ::close(fd);
    fd = -1;
    if (closed != 0) return fail(errno);

    if (g_before_rename) g_before_rename(temp.c_str());
    if (::rename(temp.c_str(), path.c_str()) != 0) return fail(errno);

    // Make the rename itself durable; the data is already safe, so a failure here is not one.
    const int dir = ::open(folder_of(path).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dir >= 0) {
        (void)::fsync(dir);
        ::close(dir);
    }
    return {};
}

} // namespace store_io
