// Helpers shared by the platform tests: a private temporary directory per
// test and small file and child-process utilities.
#pragma once

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <string>

namespace platform_test {

// A fresh mkdtemp directory, removed with everything in it on destruction.
// path() ends in '/'.
class TempDir {
public:
    TempDir() {
        const char* base = std::getenv("TMPDIR");
        std::string tmpl = std::string(base && *base ? base : "/tmp") + "/smsgw-platform-XXXXXX";
        if (::mkdtemp(tmpl.data()) == nullptr) {
            ADD_FAILURE() << "mkdtemp failed";
            return;
        }
        path_ = tmpl + "/";
    }
    ~TempDir() {
        std::error_code ec;
        if (!path_.empty()) std::filesystem::remove_all(path_, ec);
    }
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    const std::string& path() const { return path_; }
    std::string operator/(const std::string& name) const { return path_ + name; }

private:
    std::string path_;
};

// Exit code of a forked child, or -1 when it did not exit normally.
inline int reap(pid_t pid) {
    int status = 0;
    pid_t r;
    do r = ::waitpid(pid, &status, 0);
    while (r < 0 && errno == EINTR);
    if (r != pid || !WIFEXITED(status)) return -1;
    return WEXITSTATUS(status);
}

// Reads one byte from fd; -1 on EOF or error.
inline int read_byte(int fd) {
    unsigned char c = 0;
    ssize_t n;
    do n = ::read(fd, &c, 1);
    while (n < 0 && errno == EINTR);
    return n == 1 ? c : -1;
}

inline void write_byte(int fd, unsigned char c) {
    ssize_t n;
    do n = ::write(fd, &c, 1);
    while (n < 0 && errno == EINTR);
}

// A pipe whose ends are closed on destruction.
struct Pipe {
    int rd = -1, wr = -1;
    Pipe() {
        int p[2];
        if (::pipe(p) == 0) {
            rd = p[0];
            wr = p[1];
        }
    }
    ~Pipe() {
        if (rd >= 0) ::close(rd);
        if (wr >= 0) ::close(wr);
    }
    Pipe(const Pipe&) = delete;
    Pipe& operator=(const Pipe&) = delete;
};

}  // namespace platform_test
