#include "launch/spawn.h"

#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <stdexcept>
#include <vector>

#include "platform/platform.h"

namespace {

constexpr int rootGroupFailed = 121;
constexpr int readyWriteFailed = 122;
constexpr int releaseReadFailed = 123;
constexpr int wiringFailed = 124;
constexpr int execFailed = 127;

struct Pipes {
    int stdinPipe[2] = {-1, -1};
    int readyPipe[2] = {-1, -1};
    int releasePipe[2] = {-1, -1};
    int stdoutPipe[2] = {-1, -1};
    int stderrPipe[2] = {-1, -1};
    int execPipe[2] = {-1, -1};
    std::map<int, std::pair<int, int>> extraPipes;  // root's descriptor -> (read end, write end)
};

// The child's end of an extra pipe: it reads an input and writes an output.
int childEnd(const Options& o, int number, const std::pair<int, int>& ends) {
    return o.extraFds.at(number) ? ends.first : ends.second;
}

int parentEnd(const Options& o, int number, const std::pair<int, int>& ends) {
    return o.extraFds.at(number) ? ends.second : ends.first;
}

void createPipes(const LaunchRequest& r, Pipes& p) {
    const Options& o = r.options;
    if (!o.pty) pipePair(p.stdinPipe);
    pipePair(p.readyPipe);
    pipePair(p.releasePipe);
    if (!o.pty) {
        pipePair(p.stdoutPipe);
        pipePair(p.stderrPipe);
        platform::widenPipe(p.stdoutPipe[0]);
        platform::widenPipe(p.stderrPipe[0]);
    }
    if (o.guardian) pipePair(p.execPipe);
    if (now() >= r.startupDeadline) throw std::runtime_error("startup deadline before fork");
    for (auto& [number, input] : o.extraFds) {
        int ends[2];
        pipePair(ends);
        p.extraPipes[number] = {ends[0], ends[1]};
    }
}

// Everything between fork and exec runs here; it only moves descriptors as prepared and
// leaves through childExit, never returning.
[[noreturn]] void childExit(const Options& o, int execWrite, int code) {
    int error = errno;
    if (o.guardian) {
        ssize_t ignored = ::write(execWrite, &error, sizeof error);
        (void)ignored;
    }
    ::_exit(code);
}

void wireTerminal(const Options& o, int slave, int execWrite) {
    for (int target = 0; target <= 2; ++target)
        if (::dup2(slave, target) < 0) childExit(o, execWrite, wiringFailed);
}

void wirePipes(const Options& o, const Pipes& p, int& execWrite) {
    std::map<int, int> targets = {{0, p.stdinPipe[0]}, {1, p.stdoutPipe[1]}, {2, p.stderrPipe[1]}};
    for (auto& [number, ends] : p.extraPipes) targets[number] = childEnd(o, number, ends);
    int highest = targets.rbegin()->first;
    if (highest > 0x7ffffffd) {
        errno = EINVAL;
        childExit(o, execWrite, wiringFailed);
    }
    int base = highest + 1;
    if (o.guardian) {
        int moved = ::fcntl(execWrite, F_DUPFD_CLOEXEC, base);
        if (moved < 0) childExit(o, execWrite, wiringFailed);
        ::close(execWrite);
        execWrite = moved;
    }
    for (auto& [target, source] : targets) {
        source = ::fcntl(source, F_DUPFD_CLOEXEC, base);
        if (source < 0) childExit(o, execWrite, wiringFailed);
    }
    for (auto& [target, source] : targets)
        if (::dup2(source, target) < 0) childExit(o, execWrite, wiringFailed);
}

[[noreturn]] void child(const LaunchRequest& r, Pipes& p) {
    const Options& o = r.options;
    int execWrite = p.execPipe[1];
    ::close(p.readyPipe[0]);
    ::close(p.releasePipe[1]);
    if (o.guardian) ::close(p.execPipe[0]);
    if ((o.guardian ? ::setpgid(0, 0) : ::setsid()) < 0) childExit(o, execWrite, rootGroupFailed);
    if (::write(p.readyPipe[1], "R\n", 2) != 2) childExit(o, execWrite, readyWriteFailed);
    ::close(p.readyPipe[1]);
    char release = 0;
    if (::read(p.releasePipe[0], &release, 1) != 1 || release != 'R') childExit(o, execWrite, releaseReadFailed);
    ::close(p.releasePipe[0]);
    if (o.pty)
        wireTerminal(o, r.ptySlave, execWrite);
    else
        wirePipes(o, p, execWrite);
    platform::restoreChildSignals(ignoredSignals, static_cast<int>(std::size(ignoredSignals)));
    ::execvp(r.argv[o.commandIndex], r.argv + o.commandIndex);
    childExit(o, execWrite, execFailed);
}

void closeChildEnds(const Options& o, Pipes& p) {
    ::close(p.readyPipe[1]);
    ::close(p.releasePipe[0]);
    if (!o.pty) {
        ::close(p.stdinPipe[0]);
        ::close(p.stdoutPipe[1]);
        ::close(p.stderrPipe[1]);
    }
    for (auto& [number, ends] : p.extraPipes) ::close(childEnd(o, number, ends));
}

void handshake(const LaunchRequest& r, Pipes& p, int rootPid, bool& rootGrouped) {
    if (blockingReadLine(p.readyPipe[0], r.startupDeadline) != "R") throw std::runtime_error("root group handshake");
    ::close(p.readyPipe[0]);
    rootGrouped = true;
    if (!watch(r.kq, rootPid)) throw std::runtime_error("root exited before release");
    if (r.options.pty && ::tcsetpgrp(r.ptySlave, rootPid) < 0) fail("PTY foreground group");
    if (now() >= r.startupDeadline) throw std::runtime_error("startup deadline before release");
    if (::write(p.releasePipe[1], "R", 1) != 1) fail("root exec release");
    ::close(p.releasePipe[1]);
}

// The descriptors the parent keeps, each named by what the root sees.
void parentEnds(const LaunchRequest& r, const Pipes& p, LaunchedRoot& root) {
    const Options& o = r.options;
    root.input = o.pty ? r.ptyMaster : p.stdinPipe[1];
    if (o.pty) {
        root.outputs[r.ptyMaster] = 1;
    } else {
        root.outputs[p.stdoutPipe[0]] = 1;
        root.outputs[p.stderrPipe[0]] = 2;
    }
    for (auto& [number, ends] : p.extraPipes) {
        int fd = parentEnd(o, number, ends);
        if (o.extraFds.at(number))
            root.extraInputs[number] = fd;
        else
            root.outputs[fd] = number;
    }
}

}  // namespace

int execResult(int fd, int64_t deadline) {
    int32_t value = 0;
    std::size_t received = 0;
    for (;;) {
        int remaining = static_cast<int>(std::max<int64_t>(0, deadline - now()));
        if (remaining == 0) throw std::runtime_error("exec handshake deadline");
        pollfd waiting{fd, POLLIN, 0};
        int ready = ::poll(&waiting, 1, remaining);
        if (ready < 0 && errno == EINTR) continue;
        if (ready <= 0) throw std::runtime_error("exec handshake wait");
        ssize_t n = ::read(fd, reinterpret_cast<char*>(&value) + received, sizeof value - received);
        if (n < 0 && (errno == EINTR || errno == EAGAIN)) continue;
        if (n < 0) fail("exec handshake read");
        if (n == 0) {
            if (received == 0) return 0;
            throw std::runtime_error("truncated exec error");
        }
        received += static_cast<std::size_t>(n);
        if (received == sizeof value) {
            if (value > 0) return value;
            throw std::runtime_error("invalid exec error");
        }
    }
}

LaunchedRoot launchRoot(const LaunchRequest& r, int& rootPid, bool& rootGrouped) {
    Pipes p;
    createPipes(r, p);
    pid_t pid = ::fork();
    if (pid < 0) fail("fork root");
    if (pid == 0) child(r, p);
    if (r.options.guardian) ::close(p.execPipe[1]);
    rootPid = pid;
    closeChildEnds(r.options, p);
    handshake(r, p, pid, rootGrouped);
    LaunchedRoot root;
    if (r.options.guardian) {
        root.execErrno = execResult(p.execPipe[0], r.startupDeadline);
        ::close(p.execPipe[0]);
    }
    parentEnds(r, p, root);
    return root;
}
