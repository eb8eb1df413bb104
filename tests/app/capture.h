// Redirects a standard descriptor of this process for the span of one test step, to a file or
// to the slave side of a pseudo-terminal, and hands back what was written to it.
#pragma once

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <termios.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <stdexcept>
#include <string>

class Capture {
public:
    enum Kind { File, Terminal };

    Capture(int fd, Kind kind) : fd_(fd), kind_(kind) {
        fflush(stdout);
        fflush(stderr);
        if (kind == File) {
            char path[] = "/tmp/capture.XXXXXX";
            sink_ = mkstemp(path);
            if (sink_ < 0) throw std::runtime_error("mkstemp failed");
            unlink(path);
        } else {
            if (openpty(&master_, &sink_, nullptr, nullptr, nullptr) != 0)
                throw std::runtime_error("openpty failed");
            termios raw{};
            tcgetattr(sink_, &raw);
            cfmakeraw(&raw); // no newline translation: the bytes arrive as written
            tcsetattr(sink_, TCSANOW, &raw);
        }
        saved_ = dup(fd_);
        dup2(sink_, fd_);
    }

    ~Capture() {
        if (saved_ >= 0) restore();
        if (master_ >= 0) close(master_);
        if (sink_ >= 0) close(sink_);
    }

    Capture(const Capture&) = delete;
    Capture& operator=(const Capture&) = delete;

    // Ends the redirection and returns everything written meanwhile.
    std::string Take() {
        fflush(stdout);
        fflush(stderr);
        std::string text;
        if (kind_ == File) {
            restore();
            lseek(sink_, 0, SEEK_SET);
            char buffer[4096];
            ssize_t n;
            while ((n = read(sink_, buffer, sizeof buffer)) > 0)
                text.append(buffer, n);
            return text;
        }
        // A sentinel marks the end, so the read needs no guess about when output is complete.
        static const std::string kSentinel = "\x01<end>\x01";
        if (write(fd_, kSentinel.data(), kSentinel.size()) < 0) return text;
        restore();
        while (text.size() < kSentinel.size() ||
               text.compare(text.size() - kSentinel.size(), kSentinel.size(), kSentinel) != 0) {
            pollfd p{master_, POLLIN, 0};
            if (poll(&p, 1, 5000) <= 0) throw std::runtime_error("terminal output incomplete");
            char buffer[4096];
            ssize_t n = read(master_, buffer, sizeof buffer);
            if (n <= 0) throw std::runtime_error("terminal read failed");
            text.append(buffer, n);
        }
        text.resize(text.size() - kSentinel.size());
        return text;
    }

private:
    void restore() {
        dup2(saved_, fd_);
        close(saved_);
        saved_ = -1;
    }

    int fd_;
    Kind kind_;
    int sink_ = -1;
    int master_ = -1;
    int saved_ = -1;
};
