#include "platform/sys.h"

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <stdexcept>

namespace {

constexpr std::size_t handshakeLineLimit = 65536;

// Milliseconds left until deadline, never negative and small enough for poll.
int remainingMs(int64_t deadline) {
    int64_t remaining = std::max<int64_t>(0, deadline - now());
    return static_cast<int>(std::min<int64_t>(remaining, INT_MAX));
}

}  // namespace

void fail(const char* what) { throw std::runtime_error(std::string(what) + ": " + std::strerror(errno)); }

int64_t now() {
    auto elapsed = std::chrono::steady_clock::now().time_since_epoch();
    return std::chrono::duration_cast<std::chrono::milliseconds>(elapsed).count();
}

void fdFlags(int fd, bool nonblocking) {
    if (fcntl(fd, F_SETFD, FD_CLOEXEC) < 0) fail("close-on-exec");
    if (!nonblocking) return;
    int flags = fcntl(fd, F_GETFL);
    if (flags < 0) fail("nonblocking fd");
    if (fcntl(fd, F_SETFL, flags | O_NONBLOCK) < 0) fail("nonblocking fd");
}

void pipePair(int fds[2]) {
    if (pipe2(fds, O_CLOEXEC) < 0) fail("pipe");
}

void change(Kqueue& kq, int64_t ident, int16_t filter, uint16_t flags, uint32_t fflags, int64_t data) {
    platform::Change record{ident, filter, flags, fflags, data};
    if (kq.submit(record) < 0) fail("kevent change");
}

bool watchWithin(Kqueue& kq, int pid, bool& room) {
    platform::Change record{pid, EVFILT_PROC, EV_ADD | EV_ONESHOT, NOTE_EXIT | NOTE_EXEC, 0};
    room = true;
    if (kq.submit(record) == 0) return true;
    if (errno == ESRCH) return false;
    if (errno != EMFILE && errno != ENFILE) fail("process exit subscription");
    room = false;
    return false;
}

bool watch(Kqueue& kq, int pid) {
    bool room = true;
    if (watchWithin(kq, pid, room)) return true;
    if (!room) fail("process exit subscription");
    return false;
}

void timer(Kqueue& kq, int ident, int ms) { change(kq, ident, EVFILT_TIMER, EV_ADD | EV_ONESHOT, 0, ms); }

void removeEvent(Kqueue& kq, int64_t ident, int16_t filter) {
    platform::Change record{ident, filter, EV_DELETE, 0, 0};
    if (kq.submit(record) == 0 || errno == ENOENT) return;
    fail("kevent delete");
}

std::string selfPath() {
    std::string path = platform::executablePath();
    if (path.empty()) throw std::runtime_error("helper executable path");
    char* resolved = realpath(path.c_str(), nullptr);
    if (!resolved) fail("helper realpath");
    std::string result(resolved);
    std::free(resolved);
    return result;
}

std::string blockingReadLine(int fd, int64_t deadline) {
    std::string line;
    for (;;) {
        int remaining = remainingMs(deadline);
        if (remaining == 0) throw std::runtime_error("handshake read deadline");
        pollfd ready{fd, POLLIN, 0};
        if (poll(&ready, 1, remaining) <= 0) throw std::runtime_error("handshake read deadline");
        char byte = 0;
        ssize_t got = read(fd, &byte, 1);
        if (got < 0) {
            if (errno == EINTR || errno == EAGAIN) continue;
            fail("handshake read");
        }
        if (got == 0) throw std::runtime_error("handshake EOF");
        if (byte == '\n') return line;
        line.push_back(byte);
        if (line.size() > handshakeLineLimit) throw std::runtime_error("handshake frame too large");
    }
}
