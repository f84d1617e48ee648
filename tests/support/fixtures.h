// RAII owners for the resources tests create: descriptors, forked process groups and
// private temporary directories. Every path out of a test releases them.
#pragma once

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <functional>
#include <string>
#include <thread>
#include <vector>

namespace fixtures {

// One owned descriptor.
class Fd {
public:
    Fd() = default;
    explicit Fd(int fd) : fd_(fd) {}
    Fd(Fd&& other) noexcept : fd_(other.release()) {}
    Fd& operator=(Fd&& other) noexcept {
        if (this != &other) reset(other.release());
        return *this;
    }
    ~Fd() { reset(); }
    int get() const { return fd_; }
    int release() {
        int fd = fd_;
        fd_ = -1;
        return fd;
    }
    void reset(int fd = -1) {
        if (fd_ >= 0) ::close(fd_);
        fd_ = fd;
    }

private:
    int fd_ = -1;
};

struct Pipe {
    Fd read;
    Fd write;
    Pipe() {
        int fds[2];
        if (::pipe2(fds, O_CLOEXEC) == 0) {
            read.reset(fds[0]);
            write.reset(fds[1]);
        }
    }
};

// Both ends of a connected Unix stream socket pair.
struct SocketPair {
    Fd a;
    Fd b;
    SocketPair() {
        int fds[2];
        if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds) == 0) {
            a.reset(fds[0]);
            b.reset(fds[1]);
        }
    }
};

// Live processes other than this one whose environment holds entry ("NAME=VALUE");
// zombies have no environment left and hold nothing but a pid.
inline std::vector<int> processesWithEnvironment(const std::string& entry) {
    std::vector<int> pids;
    DIR* proc = ::opendir("/proc");
    if (proc == nullptr) return pids;
    while (dirent* d = ::readdir(proc)) {
        char* end = nullptr;
        long pid = std::strtol(d->d_name, &end, 10);
        if (*end != '\0' || pid <= 0 || pid == ::getpid()) continue;
        std::ifstream file("/proc/" + std::string(d->d_name) + "/environ", std::ios::binary);
        std::string env((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
        std::size_t at = 0;
        while (at < env.size()) {
            auto stop = env.find('\0', at);
            if (stop == std::string::npos) stop = env.size();
            if (env.compare(at, stop - at, entry) == 0) {
                pids.push_back(static_cast<int>(pid));
                break;
            }
            at = stop + 1;
        }
    }
    ::closedir(proc);
    return pids;
}

// A child forked into a process group of its own (its pid is the group id). The destructor
// kills the whole group and reaps the child, whatever the test did.
class ChildGroup {
public:
    // body runs in the child, after setpgid; the child exits with its result.
    explicit ChildGroup(const std::function<int()>& body) {
        pid_ = ::fork();
        if (pid_ == 0) {
            ::setpgid(0, 0);
            ::_exit(body());
        }
        if (pid_ > 0) ::setpgid(pid_, pid_);
    }
    ChildGroup(const ChildGroup&) = delete;
    ChildGroup& operator=(const ChildGroup&) = delete;
    ~ChildGroup() { kill(); }
    int pid() const { return pid_; }
    // Kills the group and reaps the child; returns the wait status (or -1 if already reaped).
    int kill() {
        if (pid_ <= 0) return -1;
        ::kill(-pid_, SIGKILL);
        ::kill(pid_, SIGKILL);
        int status = -1;
        while (::waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
        }
        pid_ = -1;
        return status;
    }
    // Waits for the child to exit by itself and reaps it; the group is killed afterwards.
    int wait() {
        if (pid_ <= 0) return -1;
        int status = -1;
        while (::waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
        }
        ::kill(-pid_, SIGKILL);
        pid_ = -1;
        return status;
    }

private:
    pid_t pid_ = -1;
};

// A private temporary directory, removed with everything in it. Set as TMPDIR while alive
// when asked to, so that code under test creates its sockets there.
class TempDir {
public:
    explicit TempDir(bool asTmpdir = false) {
        std::string base = std::filesystem::temp_directory_path().string();
        std::string pattern = base + "/owner-test-XXXXXX";
        if (char* made = ::mkdtemp(pattern.data())) path_ = made;
        if (asTmpdir) {
            if (const char* old = ::getenv("TMPDIR")) {
                saved_ = old;
                hadSaved_ = true;
            }
            ::setenv("TMPDIR", path_.c_str(), 1);
            setTmpdir_ = true;
        }
    }
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    ~TempDir() {
        if (setTmpdir_) {
            if (hadSaved_)
                ::setenv("TMPDIR", saved_.c_str(), 1);
            else
                ::unsetenv("TMPDIR");
        }
        std::error_code ignored;
        std::filesystem::remove_all(path_, ignored);
    }
    const std::string& path() const { return path_; }

private:
    std::string path_;
    std::string saved_;
    bool hadSaved_ = false;
    bool setTmpdir_ = false;
};

// Polls cond until it holds or the generous budget runs out.
inline bool eventually(const std::function<bool()>& cond, std::chrono::milliseconds budget = std::chrono::seconds(10)) {
    auto end = std::chrono::steady_clock::now() + budget;
    while (std::chrono::steady_clock::now() < end) {
        if (cond()) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return cond();
}

}  // namespace fixtures
