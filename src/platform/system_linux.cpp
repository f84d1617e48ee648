// System odds and ends on Linux: the executable's path, random bytes, socket peers, signal
// masks, the subreaper role and terminal flow control.
#include <dirent.h>
#include <fcntl.h>
#include <pty.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/prctl.h>
#include <sys/random.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "platform/platform.h"

namespace platform {

namespace {

void addQueuedSignals(sigset_t& mask) {
    sigemptyset(&mask);
    sigaddset(&mask, SIGHUP);
    sigaddset(&mask, SIGTERM);
    sigaddset(&mask, SIGINT);
    sigaddset(&mask, SIGCHLD);
}

// The parent pid from /proc/<pid>/stat; -1 when it cannot be read. The command name may
// hold spaces and parentheses, so the fields start after its last ')'.
int parentOf(const char* pid) {
    char path[64];
    std::snprintf(path, sizeof path, "/proc/%s/stat", pid);
    int fd = open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0) return -1;
    char text[1024];
    ssize_t length = read(fd, text, sizeof text - 1);
    close(fd);
    if (length <= 0) return -1;
    text[length] = '\0';
    const char* fields = std::strrchr(text, ')');
    int parent = -1;
    if (!fields || std::sscanf(fields + 1, " %*c %d", &parent) != 1) return -1;
    return parent;
}

bool isPid(const char* name) {
    if (*name == '\0') return false;
    for (const char* c = name; *c; ++c)
        if (*c < '0' || *c > '9') return false;
    return true;
}

// The main thread's children list names every child at once; where the kernel does not
// offer it, the children are found the long way: every process whose parent is this one.
bool listedChildren(std::vector<int>& children) {
    char path[64];
    std::snprintf(path, sizeof path, "/proc/self/task/%d/children", getpid());
    int fd = open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0) return false;
    std::string text;
    char chunk[4096];
    ssize_t length;
    while ((length = read(fd, chunk, sizeof chunk)) > 0) text.append(chunk, static_cast<std::size_t>(length));
    close(fd);
    if (length < 0) return false;
    for (const char* c = text.c_str(); *c;) {
        char* end = nullptr;
        long pid = std::strtol(c, &end, 10);
        if (end == c) break;
        children.push_back(static_cast<int>(pid));
        c = end;
    }
    return true;
}

std::vector<int> childPids() {
    std::vector<int> children;
    if (listedChildren(children)) return children;
    DIR* proc = opendir("/proc");
    if (!proc) return children;
    int self = getpid();
    while (dirent* entry = readdir(proc)) {
        if (!isPid(entry->d_name)) continue;
        if (parentOf(entry->d_name) == self) children.push_back(std::atoi(entry->d_name));
    }
    closedir(proc);
    return children;
}

// An exited child left unreaped, 0 when there is none, -1 on failure.
int peekExitedChild() {
    siginfo_t info{};
    int result;
    while ((result = waitid(P_ALL, 0, &info, WEXITED | WNOHANG | WNOWAIT)) < 0 && errno == EINTR) {
    }
    return result < 0 ? -1 : info.si_pid;
}

void reap(int child) {
    int status = 0;
    while (waitpid(child, &status, WNOHANG) < 0 && errno == EINTR) {
    }
}

}  // namespace

std::string executablePath() {
    std::string path(256, '\0');
    for (;;) {
        ssize_t length = readlink("/proc/self/exe", path.data(), path.size());
        if (length < 0) return {};
        if (static_cast<std::size_t>(length) < path.size()) {
            path.resize(static_cast<std::size_t>(length));
            return path;
        }
        path.resize(path.size() * 2);
    }
}

int randomBytes(void* buffer, std::size_t size) {
    auto* bytes = static_cast<unsigned char*>(buffer);
    std::size_t filled = 0;
    while (filled < size) {
        ssize_t got = getrandom(bytes + filled, size - filled, 0);
        if (got < 0) {
            if (errno == EINTR) continue;
            return -1;
        }
        filled += static_cast<std::size_t>(got);
    }
    return 0;
}

int peerPid(int fd) {
    ucred credentials{};
    socklen_t length = sizeof credentials;
    if (getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &credentials, &length) < 0) return -1;
    if (length != sizeof credentials) return -1;
    return credentials.pid;
}

std::size_t socketPathLimit() { return sizeof(sockaddr_un::sun_path) - 1; }

void blockQueuedSignals() {
    sigset_t mask;
    addQueuedSignals(mask);
    sigprocmask(SIG_BLOCK, &mask, nullptr);
}

void restoreChildSignals(const int* signals, int count) {
    for (int i = 0; i < count; ++i) signal(signals[i], SIG_DFL);
    sigset_t empty;
    sigemptyset(&empty);
    sigprocmask(SIG_SETMASK, &empty, nullptr);
}

int becomeSubreaper() { return prctl(PR_SET_CHILD_SUBREAPER, 1, 0, 0, 0); }

int dieWithParent(int parent) {
    if (prctl(PR_SET_PDEATHSIG, SIGKILL, 0, 0, 0) < 0) return -1;
    // The parent may have ended before the request was in place; then no signal comes.
    if (getppid() != parent) {
        errno = ESRCH;
        return -1;
    }
    return 0;
}

int raiseDescriptorLimit(DescriptorLimit& original) {
    rlimit limit{};
    if (getrlimit(RLIMIT_NOFILE, &limit) < 0) return -1;
    original.soft = limit.rlim_cur;
    original.hard = limit.rlim_max;
    if (limit.rlim_cur == limit.rlim_max) return 0;
    limit.rlim_cur = limit.rlim_max;
    return setrlimit(RLIMIT_NOFILE, &limit);
}

int restoreDescriptorLimit(const DescriptorLimit& original) {
    if (original.soft == original.hard) return 0;
    rlimit limit{};
    limit.rlim_cur = original.soft;
    limit.rlim_max = original.hard;
    return setrlimit(RLIMIT_NOFILE, &limit);
}

namespace {

// A pipe, or a terminal's slave side: opening its /proc/self/fd link reaches the same pipe or
// terminal. A terminal's master side would open a new terminal instead, and other devices may
// do the like, so they are left alone.
bool reopensAsItself(int fd) {
    struct stat status {};
    if (fstat(fd, &status) < 0) return false;
    if (S_ISFIFO(status.st_mode)) return true;
    unsigned int number = 0;
    return S_ISCHR(status.st_mode) && isatty(fd) && ioctl(fd, TIOCGPTN, &number) < 0;
}

}  // namespace

int nonblockingPrivately(int fd, int& saved) {
    int flags = fcntl(fd, F_GETFL);
    if (flags < 0) return -1;
    saved = flags;
    if (flags & O_NONBLOCK) return 0;
    if (reopensAsItself(fd)) {
        char path[48];
        std::snprintf(path, sizeof path, "/proc/self/fd/%d", fd);
        int reopened = open(path, (flags & (O_ACCMODE | O_APPEND)) | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
        if (reopened >= 0) {
            int moved = dup3(reopened, fd, O_CLOEXEC);
            int error = errno;
            close(reopened);
            errno = error;
            return moved < 0 ? -1 : 0;
        }
    }
    if (fcntl(fd, F_SETFL, flags | O_NONBLOCK) < 0) return -1;
    return 1;
}

int restoreFlags(int fd, int saved) { return fcntl(fd, F_SETFL, saved); }

void reapChildrenExcept(int keep) {
    // Peeking is one call; the scan of every process is needed only once keep, the first of
    // the children, is itself a zombie and hides the others from the peek.
    for (;;) {
        int exited = peekExitedChild();
        if (exited <= 0) return;
        if (exited == keep) break;
        reap(exited);
    }
    for (int child : childPids())
        if (child != keep) reap(child);
}

int openTerminal(int& master, int& slave, unsigned short rows, unsigned short cols) {
    winsize size{};
    size.ws_row = rows;
    size.ws_col = cols;
    return openpty(&master, &slave, nullptr, nullptr, &size);
}

void widenPipe(int fd) {
    constexpr int wide = 1 << 20;
    // A parent may have given the pipe more room than this already; taking it away would
    // only make its reader lose output sooner.
    int size = fcntl(fd, F_GETPIPE_SZ);
    if (size >= 0 && size < wide) fcntl(fd, F_SETPIPE_SZ, wide);
}

int resumeTerminalOutput(int fd) {
    // Resuming alone does not lift a stop the terminal's own stop character caused.
    if (tcflow(fd, TCOOFF) < 0) return -1;
    return tcflow(fd, TCOON);
}

}  // namespace platform
