// Fixtures for the update server client tests: a content folder, the simulated update server as a
// child process on 127.0.0.1, and a capture of the debug log.
#pragma once

#include "app/Log.h"
#include "sim/birdfile/BirdFileBuilder.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

namespace servertest {

namespace fs = std::filesystem;

// Keeps every test on this machine and independent of the caller's environment.
inline void isolate_environment() {
    for (const char* name :
         {"http_proxy", "https_proxy", "HTTP_PROXY", "HTTPS_PROXY", "all_proxy", "ALL_PROXY",
          "UPDATER_CA_BUNDLE", "CURL_CA_BUNDLE", "SSL_CERT_FILE", "SSL_CERT_DIR",
          "UPDATER_HTTP_CONNECT_TIMEOUT", "UPDATER_HTTP_STALL_TIMEOUT"})
        unsetenv(name);
    setenv("no_proxy", "*", 1);
    setenv("NO_PROXY", "*", 1);
}

class TempDir {
public:
    TempDir() {
        std::string pattern = (fs::temp_directory_path() / "server-test-XXXXXX").string();
        if (mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
        path = pattern;
    }
    ~TempDir() {
        std::error_code ec;
        fs::remove_all(path, ec);
    }
    fs::path path;
};

inline std::string read_text(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream all;
    all << in.rdbuf();
    return all.str();
}

inline void write_text(const fs::path& path, const std::string& text) {
    fs::create_directories(path.parent_path());
    std::ofstream(path, std::ios::binary) << text;
}

// A BIRD file as the update server would hold it.
inline std::vector<uint8_t> bird(uint32_t build, const std::string& version, uint32_t serial,
                                 size_t imageSize = 256) {
    birdfile::BirdFileBuilder b;
    b.add_loader(0x20000000, birdfile::pattern_image(64, build))
        .add_firmware(0x00000000, birdfile::pattern_image(imageSize, build + 1))
        .add_info(build, version, serial, "VX-Hub8");
    return b.bytes();
}

inline void write_bytes(const fs::path& path, const std::vector<uint8_t>& bytes) {
    fs::create_directories(path.parent_path());
    std::ofstream(path, std::ios::binary)
        .write(reinterpret_cast<const char*>(bytes.data()),
               static_cast<std::streamsize>(bytes.size()));
}

// update-server-sim serving root, started for the life of the object and stopped with SIGTERM.
class SimServer {
public:
    explicit SimServer(const fs::path& root, std::vector<std::string> extra = {})
        : log(root.parent_path() / (root.filename().string() + ".requests")) {
        std::vector<std::string> args{UPDATE_SERVER_SIM, "--root", root.string(), "--log",
                                      log.string()};
        args.insert(args.end(), extra.begin(), extra.end());
        std::vector<char*> argv;
        for (auto& a : args)
            argv.push_back(a.data());
        argv.push_back(nullptr);

        int out[2];
        if (pipe2(out, O_CLOEXEC) != 0) throw std::runtime_error("pipe failed");
        pid = fork();
        if (pid < 0) throw std::runtime_error("fork failed");
        if (pid == 0) {
            // Never outlive the test, whatever happens to it.
            prctl(PR_SET_PDEATHSIG, SIGKILL);
            dup2(out[1], STDOUT_FILENO);
            execv(argv[0], argv.data());
            _exit(127);
        }
        close(out[1]);
        std::string line = read_line(out[0]);
        close(out[0]);
        const std::string mark = "listening on ";
        size_t at = line.find(mark);
        if (at == std::string::npos) {
            stop();
            throw std::runtime_error("update-server-sim did not start: [" + line + "]");
        }
        url = line.substr(at + mark.size());
        size_t colon = url.rfind(':');
        port = std::stoi(url.substr(colon + 1));
        base = url.substr(0, url.find('/', colon));
    }
    ~SimServer() { stop(); }

    // Every request target the server has received, in order.
    std::vector<std::string> requests() const {
        std::vector<std::string> lines;
        std::ifstream in(log);
        for (std::string line; std::getline(in, line);)
            lines.push_back(line);
        return lines;
    }
    std::string last_request() const {
        auto all = requests();
        return all.empty() ? "" : all.back();
    }

    std::string url;  // scheme://127.0.0.1:PORT/cgi/u
    std::string base; // scheme://127.0.0.1:PORT
    int port = 0;

private:
    static std::string read_line(int fd) {
        std::string line;
        char c;
        while (line.size() < 512) {
            pollfd p{fd, POLLIN, 0};
            if (poll(&p, 1, 30000) <= 0) break;
            if (read(fd, &c, 1) != 1 || c == '\n') break;
            line += c;
        }
        return line;
    }
    void stop() {
        if (pid <= 0) return;
        kill(pid, SIGTERM);
        int status = 0;
        waitpid(pid, &status, 0);
        pid = -1;
    }

    fs::path log;
    pid_t pid = -1;
};

// Captures the debug log of the packages given for the life of the object.
class LogCapture {
public:
    explicit LogCapture(unsigned packages = DEBUG_ServerComm) : file(std::tmpfile()) {
        saved = Log::package_bitmask;
        Log::package_bitmask = packages;
        Log::SetOutput(file);
    }
    ~LogCapture() {
        Log::SetOutput(nullptr);
        Log::package_bitmask = saved;
        std::fclose(file);
    }
    std::string text() const {
        std::fflush(file);
        std::string all;
        std::rewind(file);
        char buffer[4096];
        for (size_t n; (n = std::fread(buffer, 1, sizeof buffer, file)) > 0;)
            all.append(buffer, n);
        std::fseek(file, 0, SEEK_END); // later lines append
        return all;
    }

private:
    FILE* file;
    uint32_t saved;
};

} // namespace servertest
