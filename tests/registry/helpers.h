// Forked helper processes and client-side shortcuts for the registry tests. Every helper
// process joins a chosen process group, reports one line through a pipe, and is killed
// (together with every process it enlisted) when the test lets go of it.
#pragma once

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <functional>
#include <stdexcept>
#include <string>
#include <vector>

#include "platform/sys.h"
#include "protocol/options.h"
#include "protocol/owner_protocol.h"
#include "protocol/parse.h"
#include "registry/registration.h"
#include "support/fixtures.h"

namespace registry_test {

inline constexpr int ownGroup = 0;    // a new process group led by the helper
inline constexpr int sameGroup = -1;  // stay in the test's own process group
inline constexpr int64_t budgetMs = 20000;

inline int64_t deadline() { return now() + budgetMs; }

// What a helper process sees: where to report, how to stay alive, how to be found.
struct Child {
    int resultFd;
    int lifelineFd;
    int pidsFd;

    void report(const std::string& text) const {
        std::string line = text + "\n";
        std::size_t done = 0;
        while (done < line.size()) {
            ssize_t n = ::write(resultFd, line.data() + done, line.size() - done);
            if (n <= 0 && errno != EINTR) return;
            if (n > 0) done += static_cast<std::size_t>(n);
        }
    }
    // Blocks until the test closes its end of the lifeline (or dies).
    void linger() const {
        char byte;
        while (::read(lifelineFd, &byte, 1) != 0 && errno == EINTR) {
        }
    }
    // Makes the test kill this process (and any group it leads) when it lets go.
    void enlist() const {
        int pid = ::getpid();
        [[maybe_unused]] ssize_t n = ::write(pidsFd, &pid, sizeof pid);
    }
};

class Forked {
public:
    // group: ownGroup, sameGroup, or the id of an existing group to join. keep lists the
    // test's descriptors the helper may use; every other one is closed in the helper, so
    // that it holds no copy of a connection the test wants to see end.
    Forked(int group, const std::function<void(const Child&)>& body, std::vector<int> keep = {}) {
        // Orphaned descendants come back to the test, so that they can be reaped too.
        platform::becomeSubreaper();
        int result[2], lifeline[2], pids[2];
        if (::pipe2(result, O_CLOEXEC) < 0 || ::pipe2(lifeline, O_CLOEXEC) < 0 ||
            ::pipe2(pids, O_CLOEXEC | O_NONBLOCK) < 0)
            throw std::runtime_error("helper pipes");
        pid_ = ::fork();
        if (pid_ == 0) {
            keep.insert(keep.end(), {result[1], lifeline[0], pids[1]});
            closeAllBut(keep);
            if (group == ownGroup) ::setpgid(0, 0);
            if (group > 0) ::setpgid(0, group);
            Child child{result[1], lifeline[0], pids[1]};
            try {
                body(child);
            } catch (const std::exception& error) {
                child.report(error.what());
            }
            ::_exit(0);
        }
        ::close(result[1]);
        ::close(lifeline[0]);
        ::close(pids[1]);
        result_.reset(result[0]);
        lifeline_.reset(lifeline[1]);
        pids_.reset(pids[0]);
    }
    Forked(const Forked&) = delete;
    Forked& operator=(const Forked&) = delete;
    ~Forked() { kill(); }

    int pid() const { return pid_; }

    // True once a report (or the end of every reporter) is waiting.
    bool reported() const {
        pollfd ready{result_.get(), POLLIN, 0};
        return ::poll(&ready, 1, 0) > 0;
    }

    // The first reported line, without its newline; empty when nobody reported.
    std::string result() {
        std::string line;
        int64_t end = deadline();
        char byte;
        while (now() < end) {
            pollfd ready{result_.get(), POLLIN, 0};
            if (::poll(&ready, 1, 100) <= 0) continue;
            ssize_t n = ::read(result_.get(), &byte, 1);
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0 || byte == '\n') break;
            line += byte;
        }
        return line;
    }

    // Kills the helper, the group it leads and everything it enlisted, and reaps them all.
    void kill() {
        if (pid_ <= 0) return;
        lifeline_.reset();
        std::vector<int> enlisted;
        int pid;
        while (::read(pids_.get(), &pid, sizeof pid) == sizeof pid) enlisted.push_back(pid);
        for (int p : enlisted) {
            ::kill(-p, SIGKILL);
            ::kill(p, SIGKILL);
        }
        ::kill(-pid_, SIGKILL);
        ::kill(pid_, SIGKILL);
        reap(pid_);
        for (int p : enlisted) reap(p);  // ours by now, as orphans of the helper
        pid_ = -1;
    }

private:
    static void reap(int pid) {
        while (::waitpid(pid, nullptr, 0) < 0 && errno == EINTR) {
        }
    }

    static void closeAllBut(const std::vector<int>& keep) {
        for (int fd = 3; fd < 1024; ++fd) {
            bool kept = false;
            for (int k : keep) kept = kept || k == fd;
            if (!kept) ::close(fd);
        }
    }

    pid_t pid_ = -1;
    fixtures::Fd result_;
    fixtures::Fd lifeline_;
    fixtures::Fd pids_;
};

// A plain blocking connection to a Unix socket path.
inline int connectTo(const std::string& path) {
    int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
    if (fd < 0) fail("test socket");
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
    if (::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) < 0) {
        ::close(fd);
        fail("test connect");
    }
    return fd;
}

inline void sendBody(int fd, const std::string& body) { blockingLine(fd, owner_protocol::frame(body), deadline()); }

inline std::string nextEvent(int fd) {
    Fields fields = parse(blockingReadLine(fd, deadline()));
    return fields["event"];
}

inline std::string registerBody(const std::string& kind, const std::string& token) {
    return "\"event\":\"register\",\"kind\":\"" + kind + "\",\"token\":\"" + token + "\"";
}

// Runs the real registration client against endpoint and token. Only ever call it in a
// helper process: it makes the caller a session leader.
inline int registerAsGuardian(const std::string& endpoint, const std::string& token, Options options,
                              int& ptyMaster, int& ptySlave, uint32_t& ttyDevice, int64_t until) {
    ::setenv("SOLKARI_NATIVE_OWNER_ENDPOINT", endpoint.c_str(), 1);
    ::setenv("SOLKARI_NATIVE_OWNER_TOKEN", token.c_str(), 1);
    return parentRegistration(options, ptyMaster, ptySlave, ttyDevice, until);
}

inline Options guardianOptions(bool pty, int rows = 24, int cols = 80) {
    Options options;
    options.guardian = true;
    options.pty = pty;
    options.rows = rows;
    options.cols = cols;
    return options;
}

// True when the peer of fd has closed and nothing is left to read.
inline bool peerClosed(int fd) {
    char byte;
    return ::recv(fd, &byte, 1, MSG_PEEK | MSG_DONTWAIT) == 0;
}

// The message of whatever action throws, or empty text.
inline std::string errorOf(const std::function<void()>& action) {
    try {
        action();
    } catch (const std::exception& error) {
        return error.what();
    }
    return "";
}

}  // namespace registry_test
