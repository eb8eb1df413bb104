// A scratch folder per test, and a way to run code as an unprivileged user.
#pragma once

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <string>

#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace platform_test {

inline std::string ReadAll(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

inline void WriteAll(const std::string& path, const std::string& text) {
    std::ofstream(path, std::ios::binary | std::ios::trunc) << text;
}

class ScratchDir : public ::testing::Test {
protected:
    void SetUp() override {
        std::string pattern = std::filesystem::temp_directory_path() / "vxplat-XXXXXX";
        ASSERT_NE(mkdtemp(pattern.data()), nullptr);
        dir = pattern;
        // Reachable by the unprivileged user of RunUnprivileged.
        chmod(dir.c_str(), 0755);
        char cwd[4096];
        ASSERT_NE(getcwd(cwd, sizeof cwd), nullptr);
        oldCwd = cwd;
    }
    void TearDown() override {
        if (chdir(oldCwd.c_str()) != 0) ADD_FAILURE() << "cannot return to " << oldCwd;
        std::error_code ec;
        for (auto& e : std::filesystem::recursive_directory_iterator(dir, ec))
            if (e.is_directory(ec) && !e.is_symlink(ec)) chmod(e.path().c_str(), 0755);
        std::filesystem::remove_all(dir, ec);
    }
    std::string Path(const std::string& rel) const { return dir + "/" + rel; }

    std::string dir;
    std::string oldCwd;
};

struct ChildResult {
    int status = -1; // the child's exit status
    std::string out, err;
};

// Runs body in a child process without root rights (as "nobody" when we are root, so that
// permission checks apply) and returns its exit status and what it printed. Files the body
// must reach are handed to uid 65534 first with GiveAway.
inline ChildResult RunUnprivileged(const std::string& scratch, const std::function<int()>& body) {
    ChildResult r;
    std::string outPath = scratch + "/.child-out", errPath = scratch + "/.child-err";
    fflush(nullptr);
    pid_t pid = fork();
    if (pid == 0) {
        FILE* o = freopen(outPath.c_str(), "w", stdout);
        FILE* e = freopen(errPath.c_str(), "w", stderr);
        if (!o || !e) _exit(200);
        if (geteuid() == 0 && (setgid(65534) != 0 || setuid(65534) != 0)) _exit(201);
        int rc = body();
        fflush(nullptr);
        _exit(rc);
    }
    int status = 0;
    if (pid > 0 && waitpid(pid, &status, 0) == pid && WIFEXITED(status))
        r.status = WEXITSTATUS(status);
    r.out = ReadAll(outPath);
    r.err = ReadAll(errPath);
    std::remove(outPath.c_str());
    std::remove(errPath.c_str());
    return r;
}

inline void GiveAway(const std::string& path) {
    if (geteuid() == 0 && chown(path.c_str(), 65534, 65534) != 0) ADD_FAILURE() << "chown " << path;
}

} // namespace platform_test
