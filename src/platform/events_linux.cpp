// The event queue on Linux: one epoll set carrying plain descriptors and the helper
// descriptors that stand in for the other filters (a signalfd for signals, a timerfd per
// timer, an eventfd for user events, a pidfd per watched process).
//
// epoll_wait hands over up to a batch of ready entries at once, and the queue gives them out
// one per wait in the kernel's order: that saves a system call per event when several are
// ready. The kernel moves each reported level-triggered entry to the back of its ready list,
// so descriptors that stay ready are still served strictly in turn. A buffered entry can go
// stale before it is given out; each is checked against the registrations at that moment,
// and a descriptor reported ready may answer EAGAIN, which every reader expects anyway.
// For the same reason a reader whose buffer came back full can have its descriptor given out
// again, a few times in a row, without asking the kernel: one wait per read was the largest
// cost left on a busy output path.
#include <poll.h>
#include <signal.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/signalfd.h>
#include <sys/syscall.h>
#include <sys/timerfd.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <map>

#include "platform/platform.h"
#include "platform/sys.h"

namespace platform {

namespace {

// What an epoll entry stands for; kept in the top byte of the entry's data, the
// registration's identifier in the rest.
enum class Kind : uint64_t { descriptor = 1, signals = 2, timer = 3, user = 4, process = 5 };

constexpr int kindShift = 56;
constexpr uint64_t identMask = (uint64_t{1} << kindShift) - 1;

uint64_t tag(Kind kind, int64_t ident) {
    return (static_cast<uint64_t>(kind) << kindShift) | (static_cast<uint64_t>(ident) & identMask);
}

Kind kindOf(uint64_t data) { return static_cast<Kind>(data >> kindShift); }

int64_t identOf(uint64_t data) { return static_cast<int64_t>(data & identMask); }

// The interests registered on one plain descriptor. Both share one epoll entry.
struct Interest {
    bool read = false;
    bool write = false;
    bool lastWasRead = false;  // which half went out last when both were ready at once
    // Regular files and /dev/null cannot be polled; like any file that never blocks they
    // are always ready, so the queue reports them itself without the kernel's help.
    bool steady = false;
};

}  // namespace

struct EventQueueState {
    int epoll = -1;
    int signals = -1;
    sigset_t signalMask{};
    int wake = -1;
    std::map<int, Interest> descriptors;
    std::map<int64_t, int> timers;     // identifier -> timerfd
    std::map<int64_t, int> processes;  // pid -> pidfd
    std::map<int64_t, bool> users;     // identifier -> triggered and not yet delivered
    int steadyCount = 0;               // registered descriptors that are always ready
    int steadyNext = 0;                // where the round of always-ready descriptors resumes
    bool steadyTurn = false;           // alternates them with the kernel's events
    static constexpr int batchSize = 16;
    epoll_event batch[batchSize]{};    // entries the kernel reported, not yet given out
    int batchNext = 0;
    int batchCount = 0;
    // A descriptor whose last read filled the reader's buffer, given out again before the
    // kernel is asked; a few times in a row at most, so that other events wait no longer.
    static constexpr int repeatLimit = 3;
    int repeat = -1;
    int repeatRun = 0;
};

namespace {

// Interest bookkeeping ---------------------------------------------------------------------

bool wants(const Interest& interest, bool read) { return read ? interest.read : interest.write; }

void setWant(Interest& interest, bool read, bool on) {
    if (read)
        interest.read = on;
    else
        interest.write = on;
}

uint32_t epollMask(const Interest& interest) {
    return (interest.read ? uint32_t{EPOLLIN} : 0) | (interest.write ? uint32_t{EPOLLOUT} : 0);
}

int control(int epoll, int op, int fd, uint32_t events, uint64_t data) {
    epoll_event entry{};
    entry.events = events;
    entry.data.u64 = data;
    return epoll_ctl(epoll, op, fd, &entry);
}

int controlDescriptor(EventQueueState& state, int op, int fd, const Interest& interest) {
    return control(state.epoll, op, fd, epollMask(interest), tag(Kind::descriptor, fd));
}

void closeDescriptor(int fd) {
    if (fd >= 0) ::close(fd);
}

void releaseAll(EventQueueState& state) {
    for (auto& [ident, fd] : state.timers) closeDescriptor(fd);
    for (auto& [pid, fd] : state.processes) closeDescriptor(fd);
    closeDescriptor(state.wake);
    closeDescriptor(state.signals);
    closeDescriptor(state.epoll);
}

// Opening -----------------------------------------------------------------------------------

bool openQueue(EventQueueState& state) {
    state.epoll = epoll_create1(EPOLL_CLOEXEC);
    if (state.epoll < 0) return false;
    sigemptyset(&state.signalMask);
    state.signals = signalfd(-1, &state.signalMask, SFD_NONBLOCK | SFD_CLOEXEC);
    if (state.signals < 0) return false;
    state.wake = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    if (state.wake < 0) return false;
    return control(state.epoll, EPOLL_CTL_ADD, state.signals, EPOLLIN, tag(Kind::signals, 0)) == 0 &&
           control(state.epoll, EPOLL_CTL_ADD, state.wake, EPOLLIN, tag(Kind::user, 0)) == 0;
}

int missing() {
    errno = ENOENT;
    return -1;
}

// Plain descriptors ------------------------------------------------------------------------

int addDescriptor(EventQueueState& state, int fd, bool read) {
    auto found = state.descriptors.find(fd);
    if (found != state.descriptors.end()) {
        Interest next = found->second;
        setWant(next, read, true);
        if (next.steady) {
            found->second = next;
            return 0;
        }
        if (controlDescriptor(state, EPOLL_CTL_MOD, fd, next) == 0) {
            found->second = next;
            return 0;
        }
        if (errno != ENOENT) return -1;
        // The number was closed and reused: the old interests died with the old file.
        state.descriptors.erase(found);
    }
    Interest fresh;
    setWant(fresh, read, true);
    if (controlDescriptor(state, EPOLL_CTL_ADD, fd, fresh) < 0) {
        if (errno == EPERM) {
            fresh.steady = true;
            ++state.steadyCount;
        } else if (errno != EEXIST || controlDescriptor(state, EPOLL_CTL_MOD, fd, fresh) < 0) {
            return -1;
        }
    }
    state.descriptors[fd] = fresh;
    return 0;
}

int deleteDescriptor(EventQueueState& state, int fd, bool read) {
    auto found = state.descriptors.find(fd);
    if (found == state.descriptors.end() || !wants(found->second, read)) return missing();
    Interest next = found->second;
    setWant(next, read, false);
    bool keep = next.read || next.write;
    if (next.steady) {
        if (keep) {
            found->second = next;
        } else {
            state.descriptors.erase(found);
            --state.steadyCount;
        }
        return 0;
    }
    if (controlDescriptor(state, keep ? EPOLL_CTL_MOD : EPOLL_CTL_DEL, fd, next) < 0) {
        if (errno != ENOENT && errno != EBADF) return -1;
        // Closing the descriptor already took it out of the set.
        state.descriptors.erase(found);
        return missing();
    }
    if (keep)
        found->second = next;
    else
        state.descriptors.erase(found);
    return 0;
}

int submitDescriptor(EventQueueState& state, const Change& change) {
    bool read = change.filter == EVFILT_READ;
    int fd = static_cast<int>(change.ident);
    if (change.flags & EV_DELETE) return deleteDescriptor(state, fd, read);
    if (change.flags & EV_ADD) return addDescriptor(state, fd, read);
    auto found = state.descriptors.find(fd);
    return found != state.descriptors.end() && wants(found->second, read) ? 0 : missing();
}

// Signals ----------------------------------------------------------------------------------

int updateSignals(EventQueueState& state, const sigset_t& mask) {
    if (signalfd(state.signals, &mask, 0) < 0) return -1;
    state.signalMask = mask;
    return 0;
}

int submitSignal(EventQueueState& state, const Change& change) {
    int signal = static_cast<int>(change.ident);
    sigset_t next = state.signalMask;
    bool registered = sigismember(&next, signal) == 1;
    if (change.flags & EV_DELETE) {
        if (!registered) return missing();
        sigdelset(&next, signal);
        return updateSignals(state, next);
    }
    if (!(change.flags & EV_ADD)) return registered ? 0 : missing();
    if (sigaddset(&next, signal) < 0) return -1;
    return updateSignals(state, next);
}

// Timers -----------------------------------------------------------------------------------

// A zero value disarms a timerfd, so "now" is the shortest time it can hold.
itimerspec oneShot(int64_t ms) {
    itimerspec value{};
    if (ms <= 0) {
        value.it_value.tv_nsec = 1;
    } else {
        value.it_value.tv_sec = static_cast<time_t>(ms / 1000);
        value.it_value.tv_nsec = static_cast<long>(ms % 1000) * 1000000L;
    }
    return value;
}

void dropTimer(EventQueueState& state, std::map<int64_t, int>::iterator timer) {
    ::close(timer->second);  // closing the only reference takes it out of the epoll set
    state.timers.erase(timer);
}

int newTimer(EventQueueState& state, int64_t ident, const itimerspec& value) {
    int fd = timerfd_create(CLOCK_MONOTONIC, TFD_NONBLOCK | TFD_CLOEXEC);
    if (fd < 0) return -1;
    if (timerfd_settime(fd, 0, &value, nullptr) < 0 ||
        control(state.epoll, EPOLL_CTL_ADD, fd, EPOLLIN, tag(Kind::timer, ident)) < 0) {
        int saved = errno;
        ::close(fd);
        errno = saved;
        return -1;
    }
    state.timers[ident] = fd;
    return 0;
}

int submitTimer(EventQueueState& state, const Change& change) {
    auto found = state.timers.find(change.ident);
    bool registered = found != state.timers.end();
    if (change.flags & EV_DELETE) {
        if (!registered) return missing();
        dropTimer(state, found);
        return 0;
    }
    if (!(change.flags & EV_ADD)) return registered ? 0 : missing();
    itimerspec value = oneShot(change.data);
    // Setting a timerfd again discards any expiry not yet read, so re-arming restarts it.
    if (registered) return timerfd_settime(found->second, 0, &value, nullptr);
    return newTimer(state, change.ident, value);
}

// User events ------------------------------------------------------------------------------

bool anyTriggered(const EventQueueState& state) {
    for (const auto& [ident, triggered] : state.users)
        if (triggered) return true;
    return false;
}

int raiseWake(EventQueueState& state) {
    uint64_t one = 1;
    if (::write(state.wake, &one, sizeof one) < 0 && errno != EAGAIN) return -1;
    return 0;
}

// true when the eventfd held a count.
bool clearWake(EventQueueState& state) {
    uint64_t count = 0;
    return ::read(state.wake, &count, sizeof count) == static_cast<ssize_t>(sizeof count);
}

int submitUser(EventQueueState& state, const Change& change) {
    auto found = state.users.find(change.ident);
    bool registered = found != state.users.end();
    if (change.flags & EV_DELETE) {
        if (!registered) return missing();
        state.users.erase(found);
        if (!anyTriggered(state)) clearWake(state);
        return 0;
    }
    if (change.flags & EV_ADD)
        found = state.users.try_emplace(change.ident, false).first;
    else if (!registered)
        return missing();
    if (!(change.fflags & NOTE_TRIGGER)) return 0;
    found->second = true;
    return raiseWake(state);
}

// Watched processes ------------------------------------------------------------------------

// Called through syscall: the C library's declaration of the wrapper lacks C linkage for
// C++ callers.
int openPidfd(int64_t pid) { return static_cast<int>(syscall(SYS_pidfd_open, static_cast<pid_t>(pid), 0)); }

void dropProcess(EventQueueState& state, std::map<int64_t, int>::iterator process) {
    ::close(process->second);
    state.processes.erase(process);
}

int addProcess(EventQueueState& state, int64_t pid) {
    if (state.processes.count(pid)) return 0;
    int fd = openPidfd(pid);  // close-on-exec by construction
    if (fd < 0) return -1;
    if (control(state.epoll, EPOLL_CTL_ADD, fd, EPOLLIN, tag(Kind::process, pid)) < 0) {
        int saved = errno;
        ::close(fd);
        errno = saved;
        return -1;
    }
    state.processes[pid] = fd;
    return 0;
}

int submitProcess(EventQueueState& state, const Change& change) {
    auto found = state.processes.find(change.ident);
    bool registered = found != state.processes.end();
    if (change.flags & EV_DELETE) {
        if (!registered) return missing();
        dropProcess(state, found);
        return 0;
    }
    if (!(change.flags & EV_ADD)) return registered ? 0 : missing();
    return addProcess(state, change.ident);
}

// Delivery ---------------------------------------------------------------------------------
// Each take* turns one epoll report into an event: 1 delivered, 0 nothing to deliver after
// all (the report no longer matches a registration), -1 with errno on failure.

bool holds(const std::map<int64_t, int>& helpers, int fd) {
    for (const auto& [ident, helper] : helpers)
        if (helper == fd) return true;
    return false;
}

bool ownedByQueue(const EventQueueState& state, int fd) {
    return fd == state.signals || fd == state.wake || holds(state.timers, fd) || holds(state.processes, fd);
}

int takeDescriptor(EventQueueState& state, const epoll_event& ready, int64_t ident, Event& event) {
    int fd = static_cast<int>(ident);
    auto found = state.descriptors.find(fd);
    if (found == state.descriptors.end()) {
        // A descriptor closed while a duplicate elsewhere keeps its entry alive; drop the
        // entry if the number still names that file, but never one of the queue's own.
        if (!ownedByQueue(state, fd)) controlDescriptor(state, EPOLL_CTL_DEL, fd, Interest{});
        return 0;
    }
    Interest& interest = found->second;
    bool broken = ready.events & (EPOLLHUP | EPOLLERR);
    bool readable = interest.read && (broken || (ready.events & EPOLLIN));
    bool writable = interest.write && (broken || (ready.events & EPOLLOUT));
    if (!readable && !writable) return 0;
    // Both ready: alternate, the entry comes round again for the other half.
    bool read = readable && !(writable && interest.lastWasRead);
    interest.lastWasRead = read;
    event.ident = fd;
    event.filter = read ? EVFILT_READ : EVFILT_WRITE;
    return 1;
}

int takeSignal(EventQueueState& state, Event& event) {
    signalfd_siginfo info{};
    ssize_t got = ::read(state.signals, &info, sizeof info);
    if (got < 0) return errno == EAGAIN ? 0 : -1;
    if (got != static_cast<ssize_t>(sizeof info)) return 0;
    event.ident = static_cast<int64_t>(info.ssi_signo);
    event.filter = EVFILT_SIGNAL;
    return 1;
}

int takeTimer(EventQueueState& state, int64_t ident, Event& event) {
    auto found = state.timers.find(ident);
    if (found == state.timers.end()) return 0;
    uint64_t expirations = 0;
    if (::read(found->second, &expirations, sizeof expirations) < 0) return errno == EAGAIN ? 0 : -1;
    dropTimer(state, found);  // one-shot
    event.ident = ident;
    event.filter = EVFILT_TIMER;
    return 1;
}

int takeUser(EventQueueState& state, Event& event) {
    if (!clearWake(state)) return 0;
    for (auto& [ident, triggered] : state.users) {
        if (!triggered) continue;
        triggered = false;
        if (anyTriggered(state) && raiseWake(state) < 0) return -1;
        event.ident = ident;
        event.filter = EVFILT_USER;
        return 1;
    }
    return 0;
}

int takeProcess(EventQueueState& state, int64_t pid, Event& event) {
    auto found = state.processes.find(pid);
    if (found == state.processes.end()) return 0;
    dropProcess(state, found);  // one-shot
    event.ident = pid;
    event.filter = EVFILT_PROC;
    return 1;
}

int take(EventQueueState& state, const epoll_event& ready, Event& event) {
    int64_t ident = identOf(ready.data.u64);
    switch (kindOf(ready.data.u64)) {
        case Kind::descriptor:
            return takeDescriptor(state, ready, ident, event);
        case Kind::signals:
            return takeSignal(state, event);
        case Kind::timer:
            return takeTimer(state, ident, event);
        case Kind::user:
            return takeUser(state, event);
        case Kind::process:
            return takeProcess(state, ident, event);
    }
    return 0;
}

// The next always-ready descriptor in turn, as if the kernel had reported it ready.
int takeSteady(EventQueueState& state, Event& event) {
    auto found = state.descriptors.lower_bound(state.steadyNext);
    for (int round = 0; round < 2; ++round, found = state.descriptors.begin()) {
        for (; found != state.descriptors.end(); ++found) {
            if (!found->second.steady) continue;
            epoll_event ready{};
            ready.events = EPOLLIN | EPOLLOUT;
            state.steadyNext = found->first + 1;
            return takeDescriptor(state, ready, found->first, event);
        }
    }
    return 0;
}

// The next buffered entry, or a fresh batch from the kernel when none is left. 1 with an
// event, 0 when the entry turned out stale or nothing was ready within timeout, -1 with errno.
int takeKernel(EventQueueState& state, int timeout, Event& event) {
    if (state.batchNext == state.batchCount) {
        int count = epoll_wait(state.epoll, state.batch, EventQueueState::batchSize, timeout);
        if (count < 0) return -1;
        state.repeatRun = 0;
        state.batchNext = 0;
        state.batchCount = count;
        if (count == 0) return 0;
    }
    return take(state, state.batch[state.batchNext++], event);
}

// The descriptor a reader expects to be still readable, once the kernel's batch is given
// out: the kernel would list it next anyway, as it moved it to the back of its ready list
// when it reported it. 0 when there is none or its read interest is gone.
bool repeatWanted(const EventQueueState& state) {
    auto found = state.descriptors.find(state.repeat);
    return found != state.descriptors.end() && found->second.read;
}

int takeRepeat(EventQueueState& state, Event& event) {
    if (state.repeat < 0 || state.batchNext != state.batchCount) return 0;
    bool wanted = repeatWanted(state);
    int fd = state.repeat;
    state.repeat = -1;
    if (!wanted) return 0;
    epoll_event ready{};
    ready.events = EPOLLIN;
    return takeDescriptor(state, ready, fd, event);
}

int waitSteadyOrKernel(EventQueueState& state, Event& event) {
    state.steadyTurn = !state.steadyTurn;
    if (!state.steadyTurn) {
        int taken = takeKernel(state, 0, event);
        if (taken != 0) return taken;
    }
    return takeSteady(state, event);
}

// A buffered entry whose registration is gone; checked without a system call, so an entry
// that only lost its readiness still counts as ready.
bool plainlyStale(const EventQueueState& state, const epoll_event& ready) {
    int64_t ident = identOf(ready.data.u64);
    switch (kindOf(ready.data.u64)) {
        case Kind::descriptor: {
            auto found = state.descriptors.find(static_cast<int>(ident));
            if (found == state.descriptors.end()) return true;
            bool broken = ready.events & (EPOLLHUP | EPOLLERR);
            return !(found->second.read && (broken || (ready.events & EPOLLIN))) &&
                   !(found->second.write && (broken || (ready.events & EPOLLOUT)));
        }
        case Kind::signals:
            return sigisemptyset(&state.signalMask);
        case Kind::timer:
            return state.timers.count(ident) == 0;
        case Kind::user:
            return !anyTriggered(state);
        case Kind::process:
            return state.processes.count(ident) == 0;
    }
    return true;
}

}  // namespace

EventQueue::EventQueue() : state(new EventQueueState) {
    if (openQueue(*state)) return;
    int saved = errno;
    releaseAll(*state);
    delete state;
    errno = saved;
    fail("kqueue");
}

EventQueue::~EventQueue() {
    releaseAll(*state);
    delete state;
}

int EventQueue::submit(const Change& change) {
    switch (change.filter) {
        case EVFILT_READ:
        case EVFILT_WRITE:
            return submitDescriptor(*state, change);
        case EVFILT_SIGNAL:
            return submitSignal(*state, change);
        case EVFILT_TIMER:
            return submitTimer(*state, change);
        case EVFILT_USER:
            return submitUser(*state, change);
        case EVFILT_PROC:
            return submitProcess(*state, change);
        default:
            errno = EINVAL;
            return -1;
    }
}

int EventQueue::wait(Event& event, bool block) {
    for (;;) {
        if (takeRepeat(*state, event) > 0) return 0;
        if (state->steadyCount > 0) {
            int taken = waitSteadyOrKernel(*state, event);
            if (taken != 0) return taken > 0 ? 0 : -1;
            continue;
        }
        bool refill = state->batchNext == state->batchCount;
        int taken = takeKernel(*state, block ? -1 : 0, event);
        if (taken != 0) return taken > 0 ? 0 : -1;
        if (!block && refill && state->batchCount == 0) {
            errno = EAGAIN;
            return -1;
        }
    }
}

void EventQueue::stillReadable(int fd) {
    if (state->repeatRun == EventQueueState::repeatLimit) return;
    ++state->repeatRun;
    state->repeat = fd;
}

bool EventQueue::pending() {
    if (state->steadyCount > 0) return true;
    if (state->repeat >= 0 && repeatWanted(*state)) return true;
    while (state->batchNext < state->batchCount && plainlyStale(*state, state->batch[state->batchNext]))
        ++state->batchNext;
    if (state->batchNext < state->batchCount) return true;
    pollfd probe{state->epoll, POLLIN, 0};
    return ::poll(&probe, 1, 0) > 0;
}

int EventQueue::descriptor() const { return state->epoll; }

}  // namespace platform
