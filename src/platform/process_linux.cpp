// Process records, scope listings and identity-checked signals on Linux.
//
// A process's record is its /proc/<pid>/stat line. The pid version is the start time
// (field 22): natural pid reuse cannot repeat it. Signals go through a pidfd, which pins
// one incarnation, so that a reused pid is never signalled.
#include <dirent.h>
#include <fcntl.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <deque>
#include <unordered_map>
#include <unordered_set>

#include "platform/platform.h"

namespace platform {
namespace {

// Running or sleeping; the program only tells zombies apart.
constexpr uint32_t SRUN = 2;

// One stat line is a few hundred bytes; the command name is at most 64 bytes.
constexpr std::size_t statBufferSize = 1024;

// Large enough for thousands of directory entries per system call.
constexpr std::size_t directoryBufferSize = 64 * 1024;

// The fields of a stat line the program uses, in line order after the command name.
struct StatFields {
    char state = 0;
    long parent = 0;
    long pgrp = 0;
    long session = 0;
    long ttyNr = 0;
    long threads = 0;
    uint64_t startTime = 0;
};

// Field numbers of the stat line (1-based, as the kernel documents them).
constexpr int parentField = 4;
constexpr int pgrpField = 5;
constexpr int sessionField = 6;
constexpr int ttyField = 7;
constexpr int threadsField = 20;
constexpr int startTimeField = 22;

bool vanished(int error) { return error == ENOENT || error == ESRCH; }

// Parses one decimal number, possibly negative, and advances past it.
bool parseNumber(const char*& at, const char* end, long long& value) {
    while (at < end && *at == ' ') ++at;
    bool negative = at < end && *at == '-';
    if (negative) ++at;
    if (at == end || *at < '0' || *at > '9') return false;
    unsigned long long magnitude = 0;
    while (at < end && *at >= '0' && *at <= '9') magnitude = magnitude * 10 + static_cast<unsigned>(*at++ - '0');
    value = negative ? -static_cast<long long>(magnitude) : static_cast<long long>(magnitude);
    return true;
}

// Skips one space-separated field.
bool skipField(const char*& at, const char* end) {
    while (at < end && *at == ' ') ++at;
    if (at == end) return false;
    while (at < end && *at != ' ' && *at != '\n') ++at;
    return true;
}

// Parses the fields after the command name, up to and including field lastField. The
// command name may hold spaces and parentheses, so it ends at the last ')'.
bool parseStat(const char* text, std::size_t length, int lastField, StatFields& fields) {
    const char* end = text + length;
    const char* close = static_cast<const char*>(memrchr(text, ')', length));
    if (close == nullptr || close + 2 >= end) return false;
    const char* at = close + 2;
    fields.state = *at++;
    for (int field = 4; field <= lastField; ++field) {
        long long value = 0;
        bool wanted = field == parentField || field == pgrpField || field == sessionField || field == ttyField ||
                      field == threadsField || field == startTimeField;
        if (!wanted) {
            if (!skipField(at, end)) return false;
            continue;
        }
        if (!parseNumber(at, end, value)) return false;
        if (field == parentField) fields.parent = static_cast<long>(value);
        if (field == threadsField) fields.threads = static_cast<long>(value);
        if (field == pgrpField) fields.pgrp = static_cast<long>(value);
        if (field == sessionField) fields.session = static_cast<long>(value);
        if (field == ttyField) fields.ttyNr = static_cast<long>(value);
        if (field == startTimeField) fields.startTime = static_cast<uint64_t>(value);
    }
    return true;
}

// Reads a whole stat file with one read. Returns the length, or -1 with errno (ESRCH for
// a process that is gone).
long readStat(int dirfd, const char* path, char* buffer, std::size_t size) {
    int fd = ::openat(dirfd, path, O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        if (vanished(errno)) errno = ESRCH;
        return -1;
    }
    ssize_t got;
    do {
        got = ::read(fd, buffer, size - 1);
    } while (got < 0 && errno == EINTR);
    int readError = errno;
    ::close(fd);
    if (got == 0) readError = ESRCH;  // reaped between open and read
    if (got <= 0) {
        errno = vanished(readError) ? ESRCH : readError;
        return -1;
    }
    buffer[got] = '\0';
    return static_cast<long>(got);
}

// Writes "<pid>/stat" (relative to /proc) and returns the pid; 0 when the entry is not a
// process.
int statPath(const char* name, char* path, std::size_t size) {
    std::size_t length = std::strlen(name);
    if (length == 0 || length > 9 || length + sizeof("/stat") > size || name[0] < '1' || name[0] > '9') return 0;
    int pid = 0;
    for (std::size_t i = 0; i < length; ++i) {
        if (name[i] < '0' || name[i] > '9') return 0;
        pid = pid * 10 + (name[i] - '0');
    }
    std::memcpy(path, name, length);
    std::memcpy(path + length, "/stat", sizeof("/stat"));
    return pid;
}

// What a listing matches: a process group, a controlling terminal, or a session.
struct Scope {
    enum Kind { group, terminal, session } kind;
    long id;
};

// Whether the process behind one /proc entry belongs to the scope; -1 with errno when
// its record cannot be read (ESRCH: it is gone).
int inScope(int procfd, const char* path, const Scope& scope) {
    char buffer[statBufferSize];
    long length = readStat(procfd, path, buffer, sizeof buffer);
    if (length < 0) return -1;
    StatFields fields;
    if (!parseStat(buffer, static_cast<std::size_t>(length), ttyField, fields)) {
        errno = EINVAL;
        return -1;
    }
    switch (scope.kind) {
        case Scope::terminal:
            return static_cast<uint32_t>(fields.ttyNr) == static_cast<uint32_t>(scope.id) ? 1 : 0;
        case Scope::session:
            return fields.session == scope.id ? 1 : 0;
        case Scope::group:
            break;
    }
    return fields.pgrp == scope.id ? 1 : 0;
}

// Walks one buffer of directory entries, appending matches. -1 with errno on a failure.
int scanEntries(int procfd, const char* entries, long length, const Scope& scope, std::vector<int>& pids,
                long limit, long& count) {
    for (long offset = 0; offset < length;) {
        const auto* entry = reinterpret_cast<const struct dirent64*>(entries + offset);
        offset += entry->d_reclen;
        char path[32];
        int pid = statPath(entry->d_name, path, sizeof path);
        if (pid == 0) continue;
        int member = inScope(procfd, path, scope);
        if (member < 0 && errno == ESRCH) continue;
        if (member < 0) return -1;
        if (member == 0) continue;
        if (count < limit) pids.push_back(pid);
        ++count;
    }
    return 0;
}

long pidfdOpen(int pid) { return ::syscall(SYS_pidfd_open, pid, 0); }

long pidfdSendSignal(int pidfd, int signal) { return ::syscall(SYS_pidfd_send_signal, pidfd, signal, nullptr, 0); }

// Closes fd without disturbing the errno of the failure being reported.
void closeKeepingErrno(int fd) {
    int saved = errno;
    ::close(fd);
    errno = saved;
}

// A process record together with what a walk of the process tree needs besides.
struct TreeRecord {
    ProcessRecord record;
    int parent = 0;
    long threads = 0;
};

// Reads one record through path, relative to dirfd; -1 with errno (ESRCH: gone).
int readTreeRecord(int dirfd, const char* path, TreeRecord& entry) {
    entry = TreeRecord{};
    char buffer[statBufferSize];
    long length = readStat(dirfd, path, buffer, sizeof buffer);
    if (length < 0) return -1;
    long long statPid = 0;
    const char* at = buffer;
    StatFields fields;
    if (!parseNumber(at, buffer + length, statPid) ||
        !parseStat(buffer, static_cast<std::size_t>(length), startTimeField, fields)) {
        errno = EINVAL;
        return -1;
    }
    ProcessRecord& record = entry.record;
    record.pbi_status = fields.state == 'Z' ? SZOMB : SRUN;
    record.pbi_pid = static_cast<uint32_t>(statPid);
    record.pbi_pgid = static_cast<uint32_t>(fields.pgrp);
    record.pbi_sid = static_cast<uint32_t>(fields.session);
    record.e_tdev = static_cast<uint32_t>(fields.ttyNr);
    record.p_idversion = fields.startTime;
    // Pids stay below 2^22, so the pair (start time, pid) fits and is never 0.
    record.p_uniqueid = (fields.startTime << 22) | record.pbi_pid;
    entry.parent = static_cast<int>(fields.parent);
    entry.threads = fields.threads;
    return 0;
}

}  // namespace

int processRecord(int pid, ProcessRecord& record) {
    char path[48];
    std::snprintf(path, sizeof path, "/proc/%d/stat", pid);
    TreeRecord entry;
    int result = readTreeRecord(AT_FDCWD, path, entry);
    record = entry.record;
    return result;
}

namespace {

long listMatching(const Scope& scope, std::vector<int>& pids, long limit) {
    int procfd = ::open("/proc", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (procfd < 0) return -1;
    alignas(struct dirent64) char entries[directoryBufferSize];
    long count = 0;
    for (;;) {
        ssize_t length = ::getdents64(procfd, entries, sizeof entries);
        if (length < 0 && errno == EINTR) continue;
        if (length < 0 || scanEntries(procfd, entries, length, scope, pids, limit, count) < 0) {
            closeKeepingErrno(procfd);
            return -1;
        }
        if (length == 0) break;
    }
    ::close(procfd);
    return count;
}

}  // namespace

long listScope(int anchor, bool terminal, uint32_t device, std::vector<int>& pids, long limit) {
    if (terminal) return listMatching(Scope{Scope::terminal, static_cast<long>(device)}, pids, limit);
    return listMatching(Scope{Scope::group, anchor}, pids, limit);
}

long listSession(int session, std::vector<int>& pids, long limit) {
    return listMatching(Scope{Scope::session, session}, pids, limit);
}

namespace {

bool isPruned(const std::vector<Identity>& pruned, const ProcessRecord& record) {
    for (const Identity& identity : pruned)
        if (record.pbi_pid == static_cast<uint32_t>(identity.pid) && record.p_idversion == identity.version) return true;
    return false;
}

// Appends the pids named in one children file. A file that is gone belongs to a process that
// is gone, whose children have moved up to a reaper: nothing to append.
int appendChildren(const char* path, std::vector<int>& pids) {
    int fd = ::open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0) return vanished(errno) ? 0 : -1;
    char chunk[4096];
    long value = 0;
    bool digits = false;
    for (;;) {
        ssize_t got = ::read(fd, chunk, sizeof chunk);
        if (got < 0 && errno == EINTR) continue;
        if (got < 0) {
            int error = errno;
            ::close(fd);
            if (vanished(error)) return 0;
            errno = error;
            return -1;
        }
        if (got == 0) break;
        for (ssize_t i = 0; i < got; ++i) {
            char c = chunk[i];
            if (c >= '0' && c <= '9') {
                value = value * 10 + (c - '0');
                digits = true;
            } else {
                if (digits) pids.push_back(static_cast<int>(value));
                value = 0;
                digits = false;
            }
        }
    }
    if (digits) pids.push_back(static_cast<int>(value));
    ::close(fd);
    return 0;
}

// The children of one process: each thread keeps its own list, so a process with several
// threads is read thread by thread (threads 0 when unknown).
int childrenOf(int pid, long threads, std::vector<int>& children) {
    char path[80];
    if (threads == 1) {
        std::snprintf(path, sizeof path, "/proc/%d/task/%d/children", pid, pid);
        return appendChildren(path, children);
    }
    std::snprintf(path, sizeof path, "/proc/%d/task", pid);
    int dirfd = ::open(path, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dirfd < 0) return vanished(errno) ? 0 : -1;
    alignas(struct dirent64) char entries[4096];
    for (;;) {
        ssize_t length = ::getdents64(dirfd, entries, sizeof entries);
        if (length < 0 && errno == EINTR) continue;
        if (length < 0) {
            int error = errno;
            ::close(dirfd);
            if (vanished(error)) return 0;
            errno = error;
            return -1;
        }
        if (length == 0) break;
        for (long offset = 0; offset < length;) {
            const auto* entry = reinterpret_cast<const struct dirent64*>(entries + offset);
            offset += entry->d_reclen;
            if (entry->d_name[0] < '1' || entry->d_name[0] > '9') continue;
            std::snprintf(path, sizeof path, "/proc/%d/task/%.20s/children", pid, entry->d_name);
            if (appendChildren(path, children) < 0) {
                closeKeepingErrno(dirfd);
                return -1;
            }
        }
    }
    ::close(dirfd);
    return 0;
}

// Records one found descendant; false when it is to be left out with what lies below it.
bool take(const TreeRecord& entry, const std::vector<Identity>& pruned, std::vector<ProcessRecord>& found, long limit,
          long& count) {
    if (isPruned(pruned, entry.record)) return false;
    if (count < limit) found.push_back(entry.record);
    ++count;
    return true;
}

// Breadth first through the children lists. The lists are read one process at a time, so a
// process that moves while the walk runs can be missed by this walk; it cannot hide the
// ancestor's own direct children, which leave that list only when the ancestor reaps them,
// and so an answer of "no descendants" is never wrong for the process that asks about itself.
long walkChildren(int ancestor, const std::vector<Identity>& pruned, std::vector<ProcessRecord>& found, long limit) {
    std::deque<std::pair<int, long>> pending{{ancestor, 0}};
    std::unordered_set<int> seen{ancestor};
    std::vector<int> children;
    long count = 0;
    while (!pending.empty()) {
        auto [pid, threads] = pending.front();
        pending.pop_front();
        children.clear();
        if (childrenOf(pid, threads, children) < 0) return -1;
        for (int child : children) {
            if (!seen.insert(child).second) continue;
            char path[48];
            std::snprintf(path, sizeof path, "/proc/%d/stat", child);
            TreeRecord entry;
            if (readTreeRecord(AT_FDCWD, path, entry) < 0) {
                if (errno == ESRCH) continue;
                return -1;
            }
            // Reaped and its pid given to someone else between the two reads.
            if (entry.parent != pid) continue;
            if (take(entry, pruned, found, limit, count)) pending.emplace_back(child, entry.threads);
        }
    }
    return count;
}

// The same walk over every process record on the machine, grouped by parent.
long walkTable(int ancestor, const std::vector<Identity>& pruned, std::vector<ProcessRecord>& found, long limit) {
    int procfd = ::open("/proc", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (procfd < 0) return -1;
    std::unordered_map<int, std::vector<TreeRecord>> byParent;
    alignas(struct dirent64) char entries[directoryBufferSize];
    for (;;) {
        ssize_t length = ::getdents64(procfd, entries, sizeof entries);
        if (length < 0 && errno == EINTR) continue;
        if (length < 0) {
            closeKeepingErrno(procfd);
            return -1;
        }
        if (length == 0) break;
        for (long offset = 0; offset < length;) {
            const auto* entry = reinterpret_cast<const struct dirent64*>(entries + offset);
            offset += entry->d_reclen;
            char path[32];
            if (statPath(entry->d_name, path, sizeof path) == 0) continue;
            TreeRecord record;
            if (readTreeRecord(procfd, path, record) < 0) {
                if (errno == ESRCH) continue;
                closeKeepingErrno(procfd);
                return -1;
            }
            byParent[record.parent].push_back(record);
        }
    }
    ::close(procfd);
    std::deque<int> pending{ancestor};
    long count = 0;
    while (!pending.empty()) {
        int pid = pending.front();
        pending.pop_front();
        auto children = byParent.find(pid);
        if (children == byParent.end()) continue;
        for (const TreeRecord& entry : children->second)
            if (take(entry, pruned, found, limit, count)) pending.push_back(static_cast<int>(entry.record.pbi_pid));
    }
    return count;
}

bool childrenListsOffered() { return ::access("/proc/thread-self/children", F_OK) == 0; }

}  // namespace

long listDescendants(int ancestor, bool fromTable, const std::vector<Identity>& pruned,
                     std::vector<ProcessRecord>& found, long limit) {
    if (fromTable || !childrenListsOffered()) return walkTable(ancestor, pruned, found, limit);
    return walkChildren(ancestor, pruned, found, limit);
}

int signalProcess(int pid, uint64_t version, int signal) {
    int pidfd = static_cast<int>(pidfdOpen(pid));
    if (pidfd < 0) return -1;
    ProcessRecord record;
    if (processRecord(pid, record) < 0) {
        closeKeepingErrno(pidfd);
        return -1;
    }
    if (record.p_idversion != version) {
        ::close(pidfd);
        errno = ESRCH;
        return -1;
    }
    long sent = pidfdSendSignal(pidfd, signal);
    closeKeepingErrno(pidfd);
    return sent < 0 ? -1 : 0;
}

int probeIdentitySignalling(int& stage) {
    int self = ::getpid();
    stage = 1;
    int pidfd = static_cast<int>(pidfdOpen(self));
    if (pidfd < 0) return -1;
    ProcessRecord record;
    stage = 2;
    if (processRecord(self, record) < 0 || record.pbi_pid != static_cast<uint32_t>(self) ||
        record.p_idversion == 0 || record.p_uniqueid == 0) {
        ::close(pidfd);
        errno = EINVAL;
        return -1;
    }
    stage = 3;
    long probed = pidfdSendSignal(pidfd, 0);
    closeKeepingErrno(pidfd);
    return probed < 0 ? -1 : 0;
}

}  // namespace platform
