// Scratch folders, captured debug log and file helpers for the store tests.
#pragma once

#include "app/Log.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <string>
#include <vector>

#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

namespace store_test {

inline std::string ReadText(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

inline std::vector<uint8_t> ReadBytes(const std::string& path) {
    const std::string s = ReadText(path);
    return {s.begin(), s.end()};
}

inline void WriteText(const std::string& path, const std::string& text) {
    std::ofstream(path, std::ios::binary | std::ios::trunc) << text;
}

inline void WriteBytes(const std::string& path, const std::vector<uint8_t>& bytes) {
    std::ofstream(path, std::ios::binary | std::ios::trunc)
        .write(reinterpret_cast<const char*>(bytes.data()),
               static_cast<std::streamsize>(bytes.size()));
}

// Names in a folder, sorted.
inline std::vector<std::string> Names(const std::string& folder) {
    std::vector<std::string> names;
    for (const auto& e : std::filesystem::directory_iterator(folder))
        names.push_back(e.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
}

// Everything the debug log writes while it lives, with the given packages on. Kept in memory,
// so that a file size limit set by a test does not swallow it.
class LogCapture {
public:
    explicit LogCapture(unsigned packages) : file_(open_memstream(&buffer_, &size_)) {
        saved_mask_ = Log::package_bitmask;
        saved_fh_ = Log::fh;
        Log::package_bitmask = packages;
        Log::SetOutput(file_);
    }
    ~LogCapture() {
        Log::package_bitmask = saved_mask_;
        Log::SetOutput(saved_fh_);
        std::fclose(file_);
        std::free(buffer_);
    }
    LogCapture(const LogCapture&) = delete;
    LogCapture& operator=(const LogCapture&) = delete;

    std::string Text() const {
        std::fflush(file_);
        return std::string(buffer_, size_);
    }
    bool Has(const std::string& line) const { return Text().find(line) != std::string::npos; }

private:
    char* buffer_ = nullptr;
    size_t size_ = 0;
    FILE* file_;
    uint32_t saved_mask_;
    FILE* saved_fh_;
};

class ScratchDir : public ::testing::Test {
protected:
    void SetUp() override {
        std::string pattern = std::filesystem::temp_directory_path() / "vxstore-XXXXXX";
        ASSERT_NE(mkdtemp(pattern.data()), nullptr);
        dir = pattern;
    }
    void TearDown() override {
        std::error_code ec;
        std::filesystem::remove_all(dir, ec);
    }
    std::string Path(const std::string& rel) const { return dir + "/" + rel; }

    std::string dir;
};

// While it lives, no file of this process may grow beyond limit bytes: writes past it fail
// with EFBIG, which is how a full disk looks to the writer.
class FileSizeLimit {
public:
    explicit FileSizeLimit(rlim_t limit) {
        getrlimit(RLIMIT_FSIZE, &saved_);
        old_handler_ = std::signal(SIGXFSZ, SIG_IGN);
        rlimit r = saved_;
        r.rlim_cur = limit;
        setrlimit(RLIMIT_FSIZE, &r);
    }
    ~FileSizeLimit() {
        setrlimit(RLIMIT_FSIZE, &saved_);
        std::signal(SIGXFSZ, old_handler_);
    }

private:
    rlimit saved_{};
    void (*old_handler_)(int);
};

} // namespace store_test
