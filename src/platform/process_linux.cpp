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
    long pgrp = 0;
    long session = 0;
    long ttyNr = 0;
    uint64_t startTime = 0;
};

// Field numbers of the stat line (1-based, as the kernel documents them).
constexpr int pgrpField = 5;
constexpr int sessionField = 6;
constexpr int ttyField = 7;
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
        bool wanted = field == pgrpField || field == sessionField || field == ttyField || field == startTimeField;
        if (!wanted) {
            if (!skipField(at, end)) return false;
            continue;
        }
        if (!parseNumber(at, end, value)) return false;
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

}  // namespace

int processRecord(int pid, ProcessRecord& record) {
    record = ProcessRecord{};
    char path[48];
    std::snprintf(path, sizeof path, "/proc/%d/stat", pid);
    char buffer[statBufferSize];
    long length = readStat(AT_FDCWD, path, buffer, sizeof buffer);
    if (length < 0) return -1;
    long long statPid = 0;
    const char* at = buffer;
    StatFields fields;
    if (!parseNumber(at, buffer + length, statPid) ||
        !parseStat(buffer, static_cast<std::size_t>(length), startTimeField, fields)) {
        errno = EINVAL;
        return -1;
    }
    record.pbi_status = fields.state == 'Z' ? SZOMB : SRUN;
    record.pbi_pid = static_cast<uint32_t>(statPid);
    record.pbi_pgid = static_cast<uint32_t>(fields.pgrp);
    record.pbi_sid = static_cast<uint32_t>(fields.session);
    record.e_tdev = static_cast<uint32_t>(fields.ttyNr);
    record.p_idversion = fields.startTime;
    // Pids stay below 2^22, so the pair (start time, pid) fits and is never 0.
    record.p_uniqueid = (fields.startTime << 22) | record.pbi_pid;
    return 0;
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
