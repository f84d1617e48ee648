// The event queue against real descriptors, signals, timers and processes.
#include <dirent.h>
#include <dlfcn.h>
#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <set>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "platform/platform.h"
#include "support/fixtures.h"

using namespace platform;
using fixtures::ChildGroup;
using fixtures::Fd;
using fixtures::Pipe;
using fixtures::SocketPair;

namespace {

int add(EventQueue& queue, int64_t ident, int16_t filter, uint16_t flags = EV_ADD, uint32_t fflags = 0,
        int64_t data = 0) {
    return queue.submit(Change{ident, filter, flags, fflags, data});
}

int remove(EventQueue& queue, int64_t ident, int16_t filter) {
    return queue.submit(Change{ident, filter, EV_DELETE, 0, 0});
}

Event next(EventQueue& queue) {
    Event event;
    EXPECT_EQ(queue.wait(event), 0) << strerror(errno);
    return event;
}

void expectEvent(const Event& event, int64_t ident, int16_t filter) {
    EXPECT_EQ(event.ident, ident);
    EXPECT_EQ(event.filter, filter);
}

void put(int fd, const std::string& text) { ASSERT_EQ(::write(fd, text.data(), text.size()), ssize_t(text.size())); }

// Waits (generously) for the queue to report something, without taking it.
bool becomesPending(EventQueue& queue) {
    return fixtures::eventually([&] { return queue.pending(); });
}


// Blocks and ignores one signal for the life of the fixture, as the program does at start-up,
// and puts the mask and disposition back afterwards.
class QueuedSignal {
public:
    explicit QueuedSignal(int signal) : signal_(signal) {
        sigset_t mask;
        sigemptyset(&mask);
        sigaddset(&mask, signal_);
        sigprocmask(SIG_BLOCK, &mask, &savedMask_);
        struct sigaction ignore {};
        ignore.sa_handler = SIG_IGN;
        sigaction(signal_, &ignore, &savedAction_);
    }
    // Unblocked while still ignored, so that a signal left pending is dropped harmlessly.
    ~QueuedSignal() {
        sigprocmask(SIG_SETMASK, &savedMask_, nullptr);
        sigaction(signal_, &savedAction_, nullptr);
    }

private:
    int signal_;
    sigset_t savedMask_{};
    struct sigaction savedAction_ {};
};

std::set<int> openDescriptors() {
    std::set<int> fds;
    DIR* dir = ::opendir("/proc/self/fd");
    while (dirent* entry = dir ? ::readdir(dir) : nullptr)
        if (entry->d_name[0] != '.' && std::stoi(entry->d_name) != ::dirfd(dir)) fds.insert(std::stoi(entry->d_name));
    if (dir) ::closedir(dir);
    return fds;
}

}  // namespace

// Plain descriptors ------------------------------------------------------------------------

TEST(EventQueueDescriptors, ReadStaysReadyUntilDrained) {
    EventQueue queue;
    Pipe pipe;
    ASSERT_EQ(add(queue, pipe.read.get(), EVFILT_READ), 0);
    EXPECT_FALSE(queue.pending());
    put(pipe.write.get(), "x");
    ASSERT_TRUE(becomesPending(queue));
    expectEvent(next(queue), pipe.read.get(), EVFILT_READ);
    expectEvent(next(queue), pipe.read.get(), EVFILT_READ);
    char byte;
    ASSERT_EQ(::read(pipe.read.get(), &byte, 1), 1);
    EXPECT_FALSE(queue.pending());
}

TEST(EventQueueDescriptors, HangUpCountsAsReadable) {
    EventQueue queue;
    Pipe pipe;
    ASSERT_EQ(add(queue, pipe.read.get(), EVFILT_READ), 0);
    pipe.write.reset();
    expectEvent(next(queue), pipe.read.get(), EVFILT_READ);
}

TEST(EventQueueDescriptors, WriteReportedOnlyWithRoom) {
    EventQueue queue;
    Pipe pipe;
    ASSERT_EQ(::fcntl(pipe.write.get(), F_SETFL, O_NONBLOCK), 0);
    std::string block(4096, 'x');
    while (::write(pipe.write.get(), block.data(), block.size()) > 0) {
    }
    ASSERT_EQ(add(queue, pipe.write.get(), EVFILT_WRITE), 0);
    EXPECT_FALSE(queue.pending());
    std::vector<char> sink(1 << 20);
    while (::read(pipe.read.get(), sink.data(), sink.size()) == ssize_t(sink.size())) {
    }
    expectEvent(next(queue), pipe.write.get(), EVFILT_WRITE);
}

TEST(EventQueueDescriptors, BothInterestsOnOneDescriptorTakeTurns) {
    EventQueue queue;
    SocketPair sockets;
    int fd = sockets.a.get();
    ASSERT_EQ(add(queue, fd, EVFILT_READ), 0);
    ASSERT_EQ(add(queue, fd, EVFILT_WRITE), 0);
    ASSERT_EQ(add(queue, fd, EVFILT_WRITE), 0);  // adding again only updates
    put(sockets.b.get(), "x");
    ASSERT_TRUE(becomesPending(queue));
    std::vector<int16_t> filters;
    for (int i = 0; i < 4; ++i) {
        Event event = next(queue);
        EXPECT_EQ(event.ident, fd);
        filters.push_back(event.filter);
    }
    for (std::size_t i = 1; i < filters.size(); ++i) EXPECT_NE(filters[i], filters[i - 1]) << "event " << i;

    ASSERT_EQ(remove(queue, fd, EVFILT_READ), 0);
    for (int i = 0; i < 3; ++i) expectEvent(next(queue), fd, EVFILT_WRITE);
    ASSERT_EQ(remove(queue, fd, EVFILT_WRITE), 0);
    EXPECT_FALSE(queue.pending());
}

TEST(EventQueueDescriptors, ReadyDescriptorsAreServedInTurn) {
    EventQueue queue;
    Pipe first;
    Pipe second;
    ASSERT_EQ(add(queue, first.read.get(), EVFILT_READ), 0);
    ASSERT_EQ(add(queue, second.read.get(), EVFILT_READ), 0);
    put(first.write.get(), "a");
    put(second.write.get(), "b");
    int64_t previous = -1;
    std::set<int64_t> seen;
    for (int i = 0; i < 10; ++i) {
        Event event = next(queue);
        EXPECT_NE(event.ident, previous) << "event " << i;
        previous = event.ident;
        seen.insert(event.ident);
    }
    EXPECT_EQ(seen, (std::set<int64_t>{first.read.get(), second.read.get()}));
}

// Several ready entries come from the kernel at once and are given out one per wait; one
// whose interest went away in between is never given out, and a wait that must not block
// says so when nothing is left.
TEST(EventQueueDescriptors, ReadyEntriesTakenTogetherAreGivenOutOnlyWhileRegistered) {
    EventQueue queue;
    Pipe pipes[3];
    for (auto& pipe : pipes) {
        ASSERT_EQ(add(queue, pipe.read.get(), EVFILT_READ), 0);
        put(pipe.write.get(), "x");
    }
    Event first = next(queue);
    std::set<int64_t> left;
    for (auto& pipe : pipes)
        if (pipe.read.get() != first.ident) left.insert(pipe.read.get());
    ASSERT_EQ(left.size(), 2u);
    int64_t removed = *left.begin();
    int64_t kept = *left.rbegin();
    ASSERT_EQ(remove(queue, first.ident, EVFILT_READ), 0);
    ASSERT_EQ(remove(queue, removed, EVFILT_READ), 0);
    EXPECT_TRUE(queue.pending());
    Event event;
    ASSERT_EQ(queue.wait(event, false), 0);
    expectEvent(event, kept, EVFILT_READ);
    ASSERT_EQ(remove(queue, kept, EVFILT_READ), 0);
    EXPECT_FALSE(queue.pending());
    errno = 0;
    EXPECT_EQ(queue.wait(event, false), -1);
    EXPECT_EQ(errno, EAGAIN);
}

// A reader whose read filled its buffer gets the descriptor again without the kernel being
// asked, so even a drained one comes back; only a few times in a row, so that another ready
// descriptor still gets its turn; and never once its interest is gone.
TEST(EventQueueDescriptors, StillReadableDescriptorComesBackOnlyAFewTimesInARow) {
    EventQueue queue;
    Pipe busy;
    Pipe other;
    int fd = busy.read.get();
    ASSERT_EQ(add(queue, fd, EVFILT_READ), 0);
    ASSERT_EQ(add(queue, other.read.get(), EVFILT_READ), 0);
    put(busy.write.get(), "x");
    expectEvent(next(queue), fd, EVFILT_READ);
    char byte;
    ASSERT_EQ(::read(fd, &byte, 1), 1);
    queue.stillReadable(fd);
    EXPECT_TRUE(queue.pending());
    Event event;
    ASSERT_EQ(queue.wait(event, false), 0);
    expectEvent(event, fd, EVFILT_READ);

    put(busy.write.get(), "x");
    put(other.write.get(), "y");
    int turns = 0;
    for (;;) {
        queue.stillReadable(fd);
        event = next(queue);
        if (event.ident == other.read.get()) break;
        expectEvent(event, fd, EVFILT_READ);
        ASSERT_LT(++turns, 8) << "the other descriptor never got its turn";
    }

    ASSERT_EQ(::read(other.read.get(), &byte, 1), 1);
    ASSERT_EQ(::read(fd, &byte, 1), 1);
    queue.stillReadable(fd);
    ASSERT_EQ(remove(queue, fd, EVFILT_READ), 0);
    EXPECT_FALSE(queue.pending());
    errno = 0;
    EXPECT_EQ(queue.wait(event, false), -1);
    EXPECT_EQ(errno, EAGAIN);
}

TEST(EventQueueDescriptors, ClosedDescriptorDeletesAsMissingAndItsNumberCanBeReused) {
    EventQueue queue;
    SocketPair sockets;
    Pipe pipe;
    int number = sockets.a.get();
    ASSERT_EQ(add(queue, number, EVFILT_READ), 0);
    ASSERT_EQ(add(queue, number, EVFILT_WRITE), 0);
    sockets.a.reset();
    errno = 0;
    EXPECT_EQ(remove(queue, number, EVFILT_WRITE), -1);
    EXPECT_EQ(errno, ENOENT);

    // A new descriptor under the old number starts with no interests of its own.
    Fd reused(::dup3(pipe.read.get(), number, O_CLOEXEC));
    ASSERT_EQ(reused.get(), number);
    ASSERT_EQ(add(queue, number, EVFILT_READ), 0);
    EXPECT_FALSE(queue.pending());
    put(pipe.write.get(), "x");
    expectEvent(next(queue), number, EVFILT_READ);
    errno = 0;
    EXPECT_EQ(remove(queue, number, EVFILT_WRITE), -1);
    EXPECT_EQ(errno, ENOENT);
    EXPECT_EQ(remove(queue, number, EVFILT_READ), 0);
}

// Deleting what is not registered -----------------------------------------------------------

TEST(EventQueueRegistrations, DeletingMissingRegistrationIsENOENT) {
    EventQueue queue;
    Pipe pipe;
    ASSERT_EQ(add(queue, pipe.read.get(), EVFILT_READ), 0);
    struct Case {
        const char* what;
        int64_t ident;
        int16_t filter;
    };
    const Case cases[] = {
        {"read on an unregistered descriptor", pipe.write.get(), EVFILT_READ},
        {"write on a read-only registration", pipe.read.get(), EVFILT_WRITE},
        {"timer", 10, EVFILT_TIMER},
        {"user event", 42, EVFILT_USER},
        {"signal", SIGUSR1, EVFILT_SIGNAL},
        {"process", ::getpid(), EVFILT_PROC},
    };
    for (const Case& c : cases) {
        errno = 0;
        EXPECT_EQ(remove(queue, c.ident, c.filter), -1) << c.what;
        EXPECT_EQ(errno, ENOENT) << c.what;
    }
}

TEST(EventQueueRegistrations, CreationFailureCarriesItsMessage) {
    // The address sanitizer's runtime itself needs descriptors to report anything.
    if (::dlsym(RTLD_DEFAULT, "__asan_init") != nullptr) GTEST_SKIP() << "needs descriptors under the sanitizer";
    // In a child, whose descriptor limit can be spent without harm to the test process.
    ChildGroup child([] {
        rlimit limit{64, 64};
        if (::setrlimit(RLIMIT_NOFILE, &limit) < 0) return 2;
        // Spend every descriptor the limit allows; they die with the child.
        while (::open("/dev/null", O_RDONLY | O_CLOEXEC) >= 0) {
        }
        if (errno != EMFILE) return 2;
        try {
            EventQueue queue;
        } catch (const std::runtime_error& error) {
            return std::string(error.what()) == std::string("kqueue: ") + std::strerror(EMFILE) ? 0 : 3;
        }
        return 1;
    });
    int status = child.wait();
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
}

TEST(EventQueueRegistrations, QueueDescriptorsAreCloseOnExec) {
    std::set<int> before = openDescriptors();
    EventQueue queue;
    QueuedSignal blocked(SIGUSR1);
    ChildGroup child([] {
        ::pause();
        return 0;
    });
    ASSERT_EQ(add(queue, SIGUSR1, EVFILT_SIGNAL), 0);
    ASSERT_EQ(add(queue, 10, EVFILT_TIMER, EV_ADD | EV_ONESHOT, 0, 60000), 0);
    ASSERT_EQ(add(queue, 42, EVFILT_USER, EV_ADD | EV_CLEAR), 0);
    ASSERT_EQ(add(queue, child.pid(), EVFILT_PROC, EV_ADD | EV_ONESHOT, NOTE_EXIT | NOTE_EXEC), 0);
    int made = 0;
    for (int fd : openDescriptors()) {
        if (before.count(fd)) continue;
        ++made;
        EXPECT_TRUE(::fcntl(fd, F_GETFD) & FD_CLOEXEC) << "descriptor " << fd;
    }
    EXPECT_GE(made, 5);
    EXPECT_TRUE(::fcntl(queue.descriptor(), F_GETFD) & FD_CLOEXEC);
}

// Timers -----------------------------------------------------------------------------------

TEST(EventQueueTimers, OneShotTimerFiresOnce) {
    EventQueue queue;
    ASSERT_EQ(add(queue, 10, EVFILT_TIMER, EV_ADD | EV_ONESHOT, 0, 20), 0);
    expectEvent(next(queue), 10, EVFILT_TIMER);
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    EXPECT_FALSE(queue.pending());
    errno = 0;
    EXPECT_EQ(remove(queue, 10, EVFILT_TIMER), -1);
    EXPECT_EQ(errno, ENOENT);
}

TEST(EventQueueTimers, ZeroMillisecondsFiresAtOnce) {
    EventQueue queue;
    ASSERT_EQ(add(queue, 11, EVFILT_TIMER, EV_ADD | EV_ONESHOT, 0, 60000), 0);
    ASSERT_EQ(add(queue, 12, EVFILT_TIMER, EV_ADD | EV_ONESHOT, 0, 0), 0);
    expectEvent(next(queue), 12, EVFILT_TIMER);
    EXPECT_EQ(remove(queue, 11, EVFILT_TIMER), 0);
    EXPECT_FALSE(queue.pending());
}

TEST(EventQueueTimers, RearmingRestarts) {
    EventQueue queue;
    // Shortened: a long timer re-armed to zero fires now.
    ASSERT_EQ(add(queue, 10, EVFILT_TIMER, EV_ADD | EV_ONESHOT, 0, 60000), 0);
    ASSERT_EQ(add(queue, 10, EVFILT_TIMER, EV_ADD | EV_ONESHOT, 0, 0), 0);
    expectEvent(next(queue), 10, EVFILT_TIMER);

    // Lengthened: an expiry not yet taken is forgotten when the timer is re-armed.
    ASSERT_EQ(add(queue, 11, EVFILT_TIMER, EV_ADD | EV_ONESHOT, 0, 10), 0);
    ASSERT_TRUE(becomesPending(queue));
    ASSERT_EQ(add(queue, 11, EVFILT_TIMER, EV_ADD | EV_ONESHOT, 0, 60000), 0);
    EXPECT_FALSE(queue.pending());
    EXPECT_EQ(remove(queue, 11, EVFILT_TIMER), 0);
}

// Signals ----------------------------------------------------------------------------------

TEST(EventQueueSignals, BlockedIgnoredSignalIsDelivered) {
    QueuedSignal blocked(SIGUSR1);
    EventQueue queue;
    ASSERT_EQ(add(queue, SIGUSR1, EVFILT_SIGNAL), 0);
    EXPECT_FALSE(queue.pending());
    ASSERT_EQ(::kill(::getpid(), SIGUSR1), 0);
    expectEvent(next(queue), SIGUSR1, EVFILT_SIGNAL);
    EXPECT_FALSE(queue.pending());
    EXPECT_EQ(remove(queue, SIGUSR1, EVFILT_SIGNAL), 0);
}

TEST(EventQueueSignals, EachRegisteredSignalIsReportedByItsNumber) {
    QueuedSignal first(SIGUSR1);
    QueuedSignal second(SIGUSR2);
    EventQueue queue;
    ASSERT_EQ(add(queue, SIGUSR1, EVFILT_SIGNAL), 0);
    ASSERT_EQ(add(queue, SIGUSR2, EVFILT_SIGNAL), 0);
    ASSERT_EQ(::kill(::getpid(), SIGUSR2), 0);
    ASSERT_EQ(::kill(::getpid(), SIGUSR1), 0);
    std::set<int64_t> seen{next(queue).ident, next(queue).ident};
    EXPECT_EQ(seen, (std::set<int64_t>{SIGUSR1, SIGUSR2}));
    EXPECT_FALSE(queue.pending());

    // A removed signal stays pending in the process instead of reaching the queue.
    ASSERT_EQ(remove(queue, SIGUSR2, EVFILT_SIGNAL), 0);
    ASSERT_EQ(::kill(::getpid(), SIGUSR2), 0);
    EXPECT_FALSE(queue.pending());
}

// Processes --------------------------------------------------------------------------------

TEST(EventQueueProcesses, ExitIsDeliveredOnce) {
    EventQueue queue;
    Pipe release;
    int releaseRead = release.read.get();
    int releaseWrite = release.write.get();
    ChildGroup child([releaseRead, releaseWrite] {
        ::close(releaseWrite);
        char byte;
        return ::read(releaseRead, &byte, 1) == 0 ? 3 : 4;
    });
    ASSERT_GT(child.pid(), 0);
    ASSERT_EQ(add(queue, child.pid(), EVFILT_PROC, EV_ADD | EV_ONESHOT, NOTE_EXIT | NOTE_EXEC), 0);
    EXPECT_FALSE(queue.pending());
    release.write.reset();
    expectEvent(next(queue), child.pid(), EVFILT_PROC);
    // The zombie stays, but the one-shot registration is gone.
    EXPECT_FALSE(queue.pending());
    errno = 0;
    EXPECT_EQ(remove(queue, child.pid(), EVFILT_PROC), -1);
    EXPECT_EQ(errno, ENOENT);
    int status = child.wait();
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 3);
}

TEST(EventQueueProcesses, ReapedProcessCannotBeWatched) {
    EventQueue queue;
    ChildGroup child([] { return 0; });
    int pid = child.pid();
    child.wait();
    errno = 0;
    EXPECT_EQ(add(queue, pid, EVFILT_PROC, EV_ADD | EV_ONESHOT, NOTE_EXIT | NOTE_EXEC), -1);
    EXPECT_EQ(errno, ESRCH);
    EXPECT_FALSE(queue.pending());
}

// User events ------------------------------------------------------------------------------

TEST(EventQueueUser, TriggerIsDeliveredOnceAndCleared) {
    EventQueue queue;
    ASSERT_EQ(add(queue, 42, EVFILT_USER, EV_ADD | EV_CLEAR), 0);
    EXPECT_FALSE(queue.pending());
    ASSERT_EQ(add(queue, 42, EVFILT_USER, 0, NOTE_TRIGGER), 0);
    ASSERT_EQ(add(queue, 42, EVFILT_USER, 0, NOTE_TRIGGER), 0);
    EXPECT_TRUE(queue.pending());
    expectEvent(next(queue), 42, EVFILT_USER);
    EXPECT_FALSE(queue.pending());

    ASSERT_EQ(add(queue, 42, EVFILT_USER, 0, NOTE_TRIGGER), 0);
    expectEvent(next(queue), 42, EVFILT_USER);
    EXPECT_FALSE(queue.pending());
}

TEST(EventQueueUser, TriggeringUnregisteredOrRemovedEventFails) {
    EventQueue queue;
    errno = 0;
    EXPECT_EQ(add(queue, 42, EVFILT_USER, 0, NOTE_TRIGGER), -1);
    EXPECT_EQ(errno, ENOENT);

    ASSERT_EQ(add(queue, 42, EVFILT_USER, EV_ADD | EV_CLEAR), 0);
    ASSERT_EQ(add(queue, 42, EVFILT_USER, 0, NOTE_TRIGGER), 0);
    ASSERT_EQ(remove(queue, 42, EVFILT_USER), 0);
    EXPECT_FALSE(queue.pending());
}

// Interruption -----------------------------------------------------------------------------

namespace {
void ignoreInterruption(int) {}
}  // namespace

TEST(EventQueueWait, InterruptionSurfacesAsEINTR) {
    struct sigaction handler {};
    handler.sa_handler = ignoreInterruption;
    struct sigaction saved {};
    ASSERT_EQ(::sigaction(SIGUSR2, &handler, &saved), 0);
    EventQueue queue;
    pthread_t waiter = ::pthread_self();
    std::atomic<bool> done{false};
    // Keeps interrupting until the wait has returned, so a signal that arrives too early
    // cannot leave the wait blocked.
    std::thread interrupter([&] {
        while (!done) {
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
            if (!done) ::pthread_kill(waiter, SIGUSR2);
        }
    });
    Event event;
    errno = 0;
    int result = queue.wait(event);
    int error = errno;
    done = true;
    interrupter.join();
    ::sigaction(SIGUSR2, &saved, nullptr);
    EXPECT_EQ(result, -1);
    EXPECT_EQ(error, EINTR);
}

// Files the kernel cannot poll never block, so they are reported ready in turn with the
// descriptors that can be polled, and their removal stops the reports.
TEST(EventQueueDescriptors, UnpollableFilesAreAlwaysReadyAndServedInTurn) {
    EventQueue queue;
    Fd null(::open("/dev/null", O_RDWR | O_CLOEXEC));
    Pipe pipe;
    put(pipe.write.get(), "x");
    ASSERT_EQ(add(queue, null.get(), EVFILT_READ), 0);
    ASSERT_EQ(add(queue, null.get(), EVFILT_WRITE), 0);
    ASSERT_EQ(add(queue, pipe.read.get(), EVFILT_READ), 0);
    EXPECT_TRUE(queue.pending());
    std::multiset<std::pair<int64_t, int16_t>> seen;
    for (int i = 0; i < 6; ++i) {
        Event event = next(queue);
        seen.insert({event.ident, event.filter});
    }
    EXPECT_GE(seen.count({pipe.read.get(), EVFILT_READ}), 2u);
    EXPECT_GE(seen.count({null.get(), EVFILT_READ}), 1u);
    EXPECT_GE(seen.count({null.get(), EVFILT_WRITE}), 1u);
    EXPECT_EQ(remove(queue, null.get(), EVFILT_READ), 0);
    EXPECT_EQ(remove(queue, null.get(), EVFILT_WRITE), 0);
    EXPECT_EQ(remove(queue, pipe.read.get(), EVFILT_READ), 0);
    EXPECT_FALSE(queue.pending());
}
