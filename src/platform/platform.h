// The private contract between the program and the operating system.
//
// Everything above this folder speaks in event-queue filters, process records and
// identities; only the files in this folder know which kernel interfaces provide them.
// Functions here follow the system-call convention (a result of -1 with errno set) unless
// they say otherwise, so that the callers keep their own fixed error messages.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

namespace platform {

// Event-queue filters, flags and notes. The names are the ones the program's design uses
// for its event queue; the values are this layer's own.
inline constexpr int16_t EVFILT_READ = -1;
inline constexpr int16_t EVFILT_WRITE = -2;
inline constexpr int16_t EVFILT_PROC = -5;
inline constexpr int16_t EVFILT_SIGNAL = -6;
inline constexpr int16_t EVFILT_TIMER = -7;
inline constexpr int16_t EVFILT_USER = -10;

inline constexpr uint16_t EV_ADD = 0x0001;
inline constexpr uint16_t EV_DELETE = 0x0002;
inline constexpr uint16_t EV_ONESHOT = 0x0010;
inline constexpr uint16_t EV_CLEAR = 0x0020;

inline constexpr uint32_t NOTE_TRIGGER = 0x01000000;
inline constexpr uint32_t NOTE_EXIT = 0x80000000;
inline constexpr uint32_t NOTE_EXEC = 0x20000000;

// One delivered event: which registration fired.
struct Event {
    int64_t ident = 0;
    int16_t filter = 0;
};

// One change record, as submitted to the queue.
struct Change {
    int64_t ident = 0;
    int16_t filter = 0;
    uint16_t flags = 0;
    uint32_t fflags = 0;
    int64_t data = 0;
};

struct EventQueueState;

// The program's single event queue. It owns every descriptor it needs to offer the filters
// above (the multiplexer itself, the signal, timer and wake descriptors, one descriptor per
// watched process) and closes them all when destroyed. Not copyable, not movable.
class EventQueue {
public:
    // Throws std::runtime_error through fail("kqueue") when the queue cannot be created.
    EventQueue();
    ~EventQueue();
    EventQueue(const EventQueue&) = delete;
    EventQueue& operator=(const EventQueue&) = delete;

    // Applies one change. 0 on success, -1 with errno on failure: ENOENT when EV_DELETE finds
    // no registration, ESRCH when EVFILT_PROC names a process that no longer exists.
    // EV_ADD of an existing (ident, filter) updates it.
    int submit(const Change& change);

    // Blocks until one event is ready and stores it. 0 on success, -1 with errno (EINTR
    // included) on failure. Descriptors that stay ready are served in turn. With block false
    // it returns at once: -1 with errno EAGAIN when nothing is ready.
    int wait(Event& event, bool block = true);

    // The caller's read of fd filled its buffer, so more is very likely waiting: the queue may
    // give fd out again once the events already fetched are given out, without asking the
    // kernel, a few times in a row at most. A read that then finds nothing answers EAGAIN,
    // which every reader expects anyway.
    void stillReadable(int fd);

    // True when wait() would return at once.
    bool pending();

    // The descriptor that becomes readable whenever an event is ready (for tests and for
    // nesting the queue in a poll).
    int descriptor() const;

private:
    EventQueueState* state;
};

// Process records ------------------------------------------------------------------------

inline constexpr uint32_t SZOMB = 5;

// The fields of a process's record that the program reads. All zero means "no such
// process". p_idversion tells incarnations of one pid apart.
struct ProcessRecord {
    uint32_t pbi_status = 0;  // SZOMB for a zombie
    uint32_t pbi_pid = 0;
    uint32_t pbi_pgid = 0;
    uint32_t pbi_sid = 0;
    uint32_t e_tdev = 0;      // controlling terminal device, 0 for none
    uint64_t p_uniqueid = 0;  // nonzero for every live record
    uint64_t p_idversion = 0; // pid version
};

// Reads the record of pid. 0 on success; -1 with errno ESRCH when the process does not
// exist (record left all zero); -1 with another errno when it cannot be read.
int processRecord(int pid, ProcessRecord& record);

// Lists into pids every process whose process group is anchor (terminal false) or whose
// controlling terminal is device (terminal true), zombies included. Returns the number
// listed, or -1 with errno when the process table cannot be read. At most limit pids are
// stored; a result above limit means more exist.
long listScope(int anchor, bool terminal, uint32_t device, std::vector<int>& pids, long limit);

// Lists into pids every process of session, as listScope does for a group.
long listSession(int session, std::vector<int>& pids, long limit);

// One incarnation of a pid.
struct Identity {
    int pid = 0;
    uint64_t version = 0;
};

// Stores in found the record of every descendant of ancestor (its children, theirs, and so
// on; not ancestor itself), zombies included, leaving out each process named in pruned
// together with everything below it. The tree is read from the kernel's per-thread children
// lists, or, when fromTable is set or the kernel keeps no such lists, from every process
// record on the machine. Returns the number found, or -1 with errno; at most limit records
// are stored.
long listDescendants(int ancestor, bool fromTable, const std::vector<Identity>& pruned,
                     std::vector<ProcessRecord>& found, long limit);

// Signals the process pid only if its current incarnation has version. 0 when sent;
// -1 with errno ESRCH when that incarnation is gone (quietly ignorable); -1 with another
// errno on failure.
int signalProcess(int pid, uint64_t version, int signal);

// Start-up probe: 0 when identity-checked signalling works for this process (own record
// readable, identity handle obtainable, probe signal accepted). -1 with errno otherwise;
// *stage tells which step failed: 1 identity handle, 2 record mismatch, 3 probe signal.
int probeIdentitySignalling(int& stage);

// System odds and ends ----------------------------------------------------------------------

// Absolute path of the running executable, unresolved; empty on failure.
std::string executablePath();

// Fills size bytes with cryptographically random bytes; -1 with errno on failure.
int randomBytes(void* buffer, std::size_t size);

// Pid of the process connected at the other end of a Unix stream socket; -1 on failure.
int peerPid(int fd);

// Longest path (without its NUL) that fits a Unix-domain socket address.
std::size_t socketPathLimit();

// Blocks the three stop signals (SIGHUP, SIGTERM, SIGINT) and SIGCHLD so that the event
// queue receives them. Called once at start-up, after the dispositions are set.
void blockQueuedSignals();

// In a freshly forked child: default dispositions for the given signals and an empty mask.
void restoreChildSignals(const int* signals, int count);

// Makes this process the reaper of orphaned descendants; -1 with errno on failure.
int becomeSubreaper();

// In a freshly forked child: be killed when the process that forked it (parent) ends. -1
// with errno ESRCH when parent has ended already.
int dieWithParent(int parent);

// The limit on open descriptors, as the caller set it.
struct DescriptorLimit {
    uint64_t soft = 0;
    uint64_t hard = 0;
};

// Raises the soft limit on open descriptors to the hard one; original receives the limit as
// it was. -1 with errno on failure.
int raiseDescriptorLimit(DescriptorLimit& original);

// Puts back a limit that raiseDescriptorLimit changed (safe between fork and exec).
int restoreDescriptorLimit(const DescriptorLimit& original);

// Makes fd non-blocking without touching the open file description that the caller shares:
// a pipe, terminal or other device is opened anew through /proc/self/fd into fd, so that the
// new description is this process's alone. Where that cannot be done (a regular file, a
// socket), the shared description's flags are saved in saved and O_NONBLOCK set on it: the
// result is then 1 and the caller must put saved back with restoreFlags before it exits.
// 0 when done privately; -1 with errno on failure.
int nonblockingPrivately(int fd, int& saved);

// Puts back the file status flags that nonblockingPrivately saved; -1 with errno on failure.
int restoreFlags(int fd, int saved);

// The sentinel: a small process of this program's own, in a session of its own and holding
// nothing of the program's, that waits for the program to end. Dismissed, it exits at once
// and does nothing. If the program dies without dismissing it, it removes the given paths
// (files, then empty directories, in order), then kills by identity every process of the
// guarded group and session, looking again until none is left or patienceMs has passed.
struct Sentinel {
    int link = -1;  // this process's end; closing it without a dismissal alarms the sentinel
    Identity identity;
};

// Forks the sentinel; -1 with errno on failure.
int startSentinel(Sentinel& sentinel, const std::vector<std::string>& paths, int patienceMs);

// Tells the sentinel which process group and session to kill if the program dies; -1 with
// errno on failure.
int guardWithSentinel(const Sentinel& sentinel, int group, int session);

// Ends the sentinel quietly: the program is ending cleanly.
void dismissSentinel(Sentinel& sentinel);

// Reaps every exited child of this process except keep, without blocking.
void reapChildrenExcept(int keep);

// Asks for a larger kernel buffer on a pipe, so that a fast writer and its reader wake each
// other less often; a pipe that is already wider keeps its size. Quietly does nothing for
// descriptors that are not pipes.
void widenPipe(int fd);

// Opens a new pseudo-terminal of the given size; -1 with errno on failure.
int openTerminal(int& master, int& slave, unsigned short rows, unsigned short cols);

// Resumes output of a terminal that a stop character suspended; -1 with errno on failure.
int resumeTerminalOutput(int fd);

}  // namespace platform
