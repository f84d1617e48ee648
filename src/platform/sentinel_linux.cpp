// The sentinel on Linux: a forked process that learns of the program's death from the end of
// file on a pipe whose only writer is the program.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

#include "platform/platform.h"

namespace platform {
namespace {

constexpr char guardOrder = 'G';
constexpr char dismissOrder = 'D';

// The descriptor the sentinel keeps its end of the link on.
constexpr int linkFd = 3;

// Between two looks at what is left to kill.
constexpr int lookAgainMs = 10;

// Small enough to be written and read whole, as one unit.
struct Order {
    char kind = 0;
    int32_t group = 0;
    int32_t session = 0;
};

int64_t nowMs() {
    auto elapsed = std::chrono::steady_clock::now().time_since_epoch();
    return std::chrono::duration_cast<std::chrono::milliseconds>(elapsed).count();
}

void removePaths(const std::vector<std::string>& paths) {
    for (const std::string& path : paths)
        if (::unlink(path.c_str()) < 0 && errno == EISDIR) ::rmdir(path.c_str());
}

// Kills every live process listed; true when there was none.
bool killListed(const std::vector<int>& pids) {
    bool none = true;
    for (int pid : pids) {
        ProcessRecord record;
        if (processRecord(pid, record) < 0 || record.pbi_status == SZOMB) continue;
        none = false;
        signalProcess(pid, record.p_idversion, SIGKILL);
    }
    return none;
}

// The session is listed even when the root leads both it and the group: a member that
// moved to a group of its own is still in the root's session.
bool killPass(int group, int session) {
    std::vector<int> pids;
    bool none = listScope(group, false, 0, pids, 1 << 20) < 0 || killListed(pids);
    pids.clear();
    return (listSession(session, pids, 1 << 20) < 0 || killListed(pids)) && none;
}

[[noreturn]] void keepWatch(const std::vector<std::string>& paths, int patienceMs) {
    Order order;
    int group = 0;
    int session = 0;
    for (;;) {
        ssize_t got = ::read(linkFd, &order, sizeof order);
        if (got < 0 && errno == EINTR) continue;
        if (got != static_cast<ssize_t>(sizeof order)) break;
        if (order.kind == dismissOrder) ::_exit(0);
        if (order.kind == guardOrder) {
            group = order.group;
            session = order.session;
        }
    }
    // The program is gone without a word: nothing else will clean up after it.
    removePaths(paths);
    if (group > 0 && session > 0) {
        int64_t deadline = nowMs() + patienceMs;
        while (!killPass(group, session) && nowMs() < deadline) ::poll(nullptr, 0, lookAgainMs);
    }
    ::_exit(0);
}

// In the forked sentinel: a session of its own (no terminal, no group a caller might kill),
// the null device on the standard descriptors, and nothing else of the program's open.
[[noreturn]] void becomeSentinel(int link, const std::vector<std::string>& paths, int patienceMs) {
    ::setsid();
    if (link != linkFd && ::dup2(link, linkFd) < 0) ::_exit(1);
    int null = ::open("/dev/null", O_RDWR);
    if (null >= 0)
        for (int target = 0; target <= 2; ++target) ::dup2(null, target);
    if (::syscall(SYS_close_range, linkFd + 1, ~0U, 0) < 0)
        for (int fd = linkFd + 1; fd < 1024; ++fd) ::close(fd);
    keepWatch(paths, patienceMs);
}

}  // namespace

int startSentinel(Sentinel& sentinel, const std::vector<std::string>& paths, int patienceMs) {
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) < 0) return -1;
    // The standard descriptors are open, so neither end is below the sentinel's link number
    // and moving the read end there cannot close the null device's copies.
    pid_t pid = ::fork();
    if (pid < 0) {
        int error = errno;
        ::close(fds[0]);
        ::close(fds[1]);
        errno = error;
        return -1;
    }
    if (pid == 0) becomeSentinel(fds[0], paths, patienceMs);
    ::close(fds[0]);
    sentinel.link = fds[1];
    sentinel.identity.pid = pid;
    ProcessRecord record;
    if (processRecord(pid, record) < 0) return -1;
    sentinel.identity.version = record.p_idversion;
    return 0;
}

int guardWithSentinel(const Sentinel& sentinel, int group, int session) {
    Order order;
    order.kind = guardOrder;
    order.group = group;
    order.session = session;
    ssize_t written;
    while ((written = ::write(sentinel.link, &order, sizeof order)) < 0 && errno == EINTR) {
    }
    if (written == static_cast<ssize_t>(sizeof order)) return 0;
    if (written >= 0) errno = EIO;
    return -1;
}

void dismissSentinel(Sentinel& sentinel) {
    if (sentinel.link < 0) return;
    Order order;
    order.kind = dismissOrder;
    while (::write(sentinel.link, &order, sizeof order) < 0 && errno == EINTR) {
    }
    ::close(sentinel.link);
    sentinel.link = -1;
}

}  // namespace platform
