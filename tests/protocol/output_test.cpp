// The bounded non-blocking writer, against real descriptors and the real event
// queue.
#include "protocol/output.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <optional>
#include <stdexcept>
#include <string>

#include "protocol/owner_protocol.h"
#include "support/fixtures.h"

namespace {

using fixtures::Fd;
using fixtures::Pipe;

// Bytes with a position-dependent pattern, so that a byte written twice or skipped shows.
std::string pattern(std::size_t size, unsigned seed = 0) {
    std::string bytes(size, '\0');
    for (std::size_t i = 0; i < size; ++i) bytes[i] = static_cast<char>((i * 7 + seed * 13 + i / 251) & 0xFF);
    return bytes;
}

// Reads everything the descriptor holds right now (it must be non-blocking).
std::string drain(int fd) {
    std::string bytes;
    char buffer[65536];
    for (;;) {
        ssize_t n = ::read(fd, buffer, sizeof buffer);
        if (n > 0) {
            bytes.append(buffer, static_cast<std::size_t>(n));
            continue;
        }
        if (n < 0 && errno == EINTR) continue;
        return bytes;
    }
}

void nonblocking(int fd) { ASSERT_EQ(::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) | O_NONBLOCK), 0); }

// The event the queue reports at once, if any.
std::optional<platform::Event> ready(Kqueue& kq) {
    if (!kq.pending()) return std::nullopt;
    platform::Event event;
    if (kq.wait(event) != 0) return std::nullopt;
    return event;
}

// True when the queue reports write readiness of fd at once.
bool writeReported(Kqueue& kq, int fd) {
    auto event = ready(kq);
    return event && event->ident == fd && event->filter == EVFILT_WRITE;
}

// Whether a write interest for fd is registered. Destructive: removes it if it was.
bool writeRegistered(Kqueue& kq, int fd) {
    platform::Change change;
    change.ident = fd;
    change.filter = EVFILT_WRITE;
    change.flags = EV_DELETE;
    if (kq.submit(change) == 0) return true;
    EXPECT_EQ(errno, ENOENT);
    return false;
}

class OutputTest : public ::testing::Test {
protected:
    void SetUp() override {
        // A closed reader must show up as EPIPE, not kill the test process.
        ::signal(SIGPIPE, SIG_IGN);
        ASSERT_GE(pipe.read.get(), 0);
        nonblocking(pipe.read.get());
    }

    // Shrinks the pipe to one page, so that a flush of a larger frame comes back short and
    // takes the write interest. Returns the pipe's capacity.
    std::size_t onePage() {
        EXPECT_GE(::fcntl(pipe.write.get(), F_SETPIPE_SZ, 4096), 4096);
        return static_cast<std::size_t>(::fcntl(pipe.write.get(), F_GETPIPE_SZ));
    }

    Kqueue kq;
    Pipe pipe;
};

// ---------------------------------------------------------------------------------------
// Construction and destruction

TEST_F(OutputTest, ConstructorMakesTheDescriptorNonblockingAndCloseOnExec) {
    int fds[2];
    ASSERT_EQ(::pipe(fds), 0);
    Fd reader(fds[0]);
    Fd writer(fds[1]);
    ASSERT_EQ(::fcntl(writer.get(), F_GETFL) & O_NONBLOCK, 0);
    ASSERT_EQ(::fcntl(writer.get(), F_GETFD) & FD_CLOEXEC, 0);
    Output out(writer.get(), kq, false);
    EXPECT_NE(::fcntl(writer.get(), F_GETFL) & O_NONBLOCK, 0);
    EXPECT_NE(::fcntl(writer.get(), F_GETFD) & FD_CLOEXEC, 0);
    EXPECT_EQ(out.fd, writer.get());
    EXPECT_EQ(out.kq, &kq);
    EXPECT_FALSE(out.lossy);
    EXPECT_FALSE(out.overflow);
    EXPECT_FALSE(out.broken);
    EXPECT_FALSE(out.sealed);
    EXPECT_FALSE(out.writeArmed);
    EXPECT_EQ(out.offset, 0u);
    EXPECT_EQ(out.dataQueued, 0u);
    EXPECT_EQ(out.controlQueued, 0u);
    EXPECT_EQ(out.dropped, 0u);
    EXPECT_EQ(out.droppedBytes, 0u);
    EXPECT_TRUE(out.empty());
    EXPECT_EQ(out.counters(), ",\"queued\":0,\"dropped\":0,\"dropped_bytes\":0");
    Output lossy(writer.get(), kq, true);
    EXPECT_TRUE(lossy.lossy);
}

TEST_F(OutputTest, ConstructorOnAClosedDescriptorThrows) {
    int fd = ::dup(pipe.write.get());
    ASSERT_GE(fd, 0);
    ::close(fd);
    try {
        Output out(fd, kq, false);
        FAIL() << "no error";
    } catch (const std::runtime_error& error) {
        EXPECT_EQ(std::string(error.what()), std::string("close-on-exec: ") + std::strerror(EBADF));
    }
}

TEST_F(OutputTest, DestroyingWritesNothingClosesNothingAndKeepsTheInterest) {
    const std::size_t capacity = onePage();
    {
        Output out(pipe.write.get(), kq, false);
        out.push(pattern(20000), true, false, 0);
        out.flush();
        EXPECT_EQ(drain(pipe.read.get()).size(), capacity);
        ASSERT_TRUE(out.writeArmed);
        out.emit("\"event\":\"ready\"");
    }
    EXPECT_EQ(drain(pipe.read.get()), "");
    EXPECT_GE(::fcntl(pipe.write.get(), F_GETFD), 0);
    EXPECT_EQ(::write(pipe.write.get(), "x", 1), 1);
    EXPECT_EQ(drain(pipe.read.get()), "x");
    EXPECT_TRUE(writeRegistered(kq, pipe.write.get()));
}

// ---------------------------------------------------------------------------------------
// flush

TEST_F(OutputTest, EmptyHealthyFlushMakesNoSystemCall) {
    // The descriptor is closed before the flush: any write or registration would fail on it.
    int fd = ::dup(pipe.write.get());
    ASSERT_GE(fd, 0);
    Output out(fd, kq, true);
    ::close(fd);
    out.flush();
    out.flush();
    EXPECT_FALSE(out.broken);
    EXPECT_FALSE(out.writeArmed);
    EXPECT_FALSE(kq.pending());
    // The same writer with something queued does make the call, and breaks on it.
    out.push("x", false, false, 0);
    out.flush();
    EXPECT_TRUE(out.broken);
    EXPECT_FALSE(out.writeArmed);
}

TEST_F(OutputTest, FlushWritesAtMost16384BytesAndTakesNoInterestWhileTheReaderKeepsUp) {
    Output out(pipe.write.get(), kq, false);
    const std::string frame = pattern(40000);
    out.push(frame, true, false, 0);
    EXPECT_FALSE(out.writeArmed);  // push never touches the queue
    EXPECT_FALSE(kq.pending());

    // The budget, not the descriptor, ends each flush: the bytes left are the loop's to
    // come back for (backlog), with no registration.
    std::string got;
    for (uint64_t expected : {16384u, 32768u}) {
        out.flush();
        got += drain(pipe.read.get());
        EXPECT_EQ(got.size(), expected);
        EXPECT_EQ(out.offset, expected);
        EXPECT_EQ(out.size(), 1u);
        EXPECT_FALSE(out.writeArmed);
        EXPECT_TRUE(out.backlog());
        EXPECT_FALSE(kq.pending());
    }

    out.flush();
    got += drain(pipe.read.get());
    EXPECT_EQ(got, frame);
    EXPECT_EQ(out.offset, 0u);
    EXPECT_TRUE(out.empty());
    EXPECT_EQ(out.dataQueued, 0u);
    EXPECT_FALSE(out.backlog());
    EXPECT_FALSE(out.writeArmed);
    EXPECT_FALSE(writeRegistered(kq, pipe.write.get()));

    // Nothing queued, nothing registered: the next flush changes nothing.
    out.flush();
    EXPECT_FALSE(out.writeArmed);
    EXPECT_FALSE(kq.pending());
}

TEST_F(OutputTest, InterestTakenOnAFullDescriptorStaysUntilTheQueueIsEmpty) {
    Output out(pipe.write.get(), kq, false);
    std::string filler;
    for (ssize_t n; (n = ::write(pipe.write.get(), "................", 16)) > 0;) filler.append(16, '.');
    const std::string frame = pattern(40000);
    out.push(frame, true, false, 0);

    out.flush();  // EAGAIN at once
    EXPECT_EQ(out.offset, 0u);
    EXPECT_TRUE(out.writeArmed);
    EXPECT_FALSE(out.backlog());
    EXPECT_FALSE(kq.pending());
    EXPECT_EQ(drain(pipe.read.get()), filler);
    EXPECT_TRUE(writeReported(kq, pipe.write.get()));

    // Room for everything again: each flush ends at the budget, and the interest stays while
    // bytes remain, so the loop keeps being woken for them.
    std::string got;
    for (uint64_t expected : {16384u, 32768u}) {
        out.flush();
        got += drain(pipe.read.get());
        EXPECT_EQ(got.size(), expected);
        EXPECT_TRUE(out.writeArmed);
        EXPECT_TRUE(writeReported(kq, pipe.write.get()));
    }
    out.flush();
    got += drain(pipe.read.get());
    EXPECT_EQ(got, frame);
    EXPECT_TRUE(out.empty());
    EXPECT_FALSE(out.writeArmed);
    EXPECT_FALSE(kq.pending());
    EXPECT_FALSE(writeRegistered(kq, pipe.write.get()));
}

TEST_F(OutputTest, BudgetSpansSeveralFramesAndFramesLeaveWhole) {
    Output out(pipe.write.get(), kq, false);
    std::string all;
    for (unsigned k = 0; k < 9; ++k) {
        std::string frame = pattern(4000, k);
        all += frame;
        out.push(frame, k % 2 == 0, false, 0);  // data, control, data, ... data
    }
    EXPECT_EQ(out.dataQueued, 5u);
    EXPECT_EQ(out.controlQueued, 4u);

    out.flush();
    std::string got = drain(pipe.read.get());
    EXPECT_EQ(got.size(), 16384u);
    EXPECT_EQ(out.size(), 5u);
    EXPECT_EQ(out.offset, 384u);
    EXPECT_EQ(out.dataQueued, 3u);
    EXPECT_EQ(out.controlQueued, 2u);
    EXPECT_EQ(out.counters(), ",\"queued\":5,\"dropped\":0,\"dropped_bytes\":0");
    EXPECT_FALSE(out.writeArmed);

    out.flush();
    got += drain(pipe.read.get());
    EXPECT_EQ(got.size(), 32768u);
    EXPECT_EQ(out.size(), 1u);
    EXPECT_EQ(out.offset, 768u);
    EXPECT_EQ(out.dataQueued, 1u);
    EXPECT_EQ(out.controlQueued, 0u);

    out.flush();
    got += drain(pipe.read.get());
    EXPECT_EQ(got, all);
    EXPECT_TRUE(out.empty());
    EXPECT_EQ(out.dataQueued, 0u);
    EXPECT_FALSE(out.writeArmed);
}

TEST_F(OutputTest, FullDescriptorKeepsThePartialFrameAndResumesAtOffset) {
    // A one-page pipe takes only part of the frame, then refuses with EAGAIN.
    ASSERT_GE(::fcntl(pipe.write.get(), F_SETPIPE_SZ, 4096), 4096);
    const int capacity = ::fcntl(pipe.write.get(), F_GETPIPE_SZ);
    ASSERT_LT(capacity, 8192);
    Output out(pipe.write.get(), kq, false);
    const std::string frame = pattern(10000);
    out.push(frame, true, false, 0);
    out.push("next\n", false, false, 0);

    out.flush();
    ASSERT_FALSE(out.broken);
    const uint64_t first = out.offset;
    EXPECT_GT(first, 0u);
    EXPECT_LT(first, 10000u);
    EXPECT_EQ(out.size(), 2u);
    EXPECT_TRUE(out.writeArmed);
    // The descriptor is full: the interest is registered but not ready.
    EXPECT_FALSE(kq.pending());

    std::string got = drain(pipe.read.get());
    EXPECT_EQ(got, frame.substr(0, first));
    // Room again: the registered interest reports it.
    EXPECT_TRUE(writeReported(kq, pipe.write.get()));

    int flushes = 1;
    while (!out.empty() && flushes < 100) {
        const uint64_t before = out.offset;
        const std::size_t frames = out.size();
        out.flush();
        ++flushes;
        ASSERT_FALSE(out.broken);
        std::string chunk = drain(pipe.read.get());
        ASSERT_FALSE(chunk.empty());
        // Every flush continues exactly where the previous one stopped.
        if (out.size() == frames) {
            EXPECT_EQ(out.offset, before + chunk.size());
        }
        got += chunk;
        EXPECT_EQ(out.writeArmed, !out.empty());
    }
    EXPECT_EQ(got, frame + "next\n");
    EXPECT_TRUE(out.empty());
    EXPECT_EQ(out.offset, 0u);
    EXPECT_EQ(out.dataQueued, 0u);
    EXPECT_EQ(out.controlQueued, 0u);
    EXPECT_FALSE(out.writeArmed);
    EXPECT_FALSE(kq.pending());
    EXPECT_FALSE(writeRegistered(kq, pipe.write.get()));
}

TEST_F(OutputTest, ClosedReaderBreaksTheWriterAndTheSameFlushDropsTheInterest) {
    const std::size_t capacity = onePage();
    Output out(pipe.write.get(), kq, false);
    out.push(pattern(20000), true, false, 0);
    out.flush();
    ASSERT_EQ(drain(pipe.read.get()).size(), capacity);
    ASSERT_TRUE(out.writeArmed);

    pipe.read.reset();  // EPIPE from now on
    out.flush();
    EXPECT_TRUE(out.broken);
    EXPECT_FALSE(out.writeArmed);
    EXPECT_EQ(out.offset, capacity);  // nothing more was written
    EXPECT_FALSE(kq.pending());
    EXPECT_FALSE(writeRegistered(kq, pipe.write.get()));

    // Broken is final: nothing is accepted, nothing is written, nothing is registered.
    out.push("x", false, false, 0);
    out.push("y", true, false, 0);
    out.push("z", false, true, 0);
    EXPECT_EQ(out.size(), 1u);
    EXPECT_FALSE(out.sealed);
    out.flush();
    EXPECT_TRUE(out.broken);
    EXPECT_FALSE(out.writeArmed);
    EXPECT_FALSE(writeRegistered(kq, pipe.write.get()));
}

TEST_F(OutputTest, ClosedReaderOnAFirstFlushBreaksWithoutRegistering) {
    Fd a;
    Fd b;
    int pair[2];
    ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair), 0);
    a.reset(pair[0]);
    b.reset(pair[1]);
    Output out(a.get(), kq, false);
    out.emit("\"event\":\"registered\"");
    b.reset();
    out.flush();
    EXPECT_TRUE(out.broken);
    EXPECT_FALSE(out.writeArmed);
    EXPECT_FALSE(kq.pending());
    EXPECT_FALSE(writeRegistered(kq, a.get()));
}

TEST_F(OutputTest, SocketPairCarriesFramesInOrder) {
    int pair[2];
    ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair), 0);
    Fd a(pair[0]);
    Fd b(pair[1]);
    nonblocking(b.get());
    Output out(a.get(), kq, false);
    out.emit("\"event\":\"registered\"");
    out.emit("\"event\":\"released\"");
    out.push("{\"version\":1,\"event\":\"terminate\"}\n", false, true, 0);
    out.flush();
    EXPECT_EQ(drain(b.get()),
              "{\"version\":1,\"event\":\"registered\"}\n{\"version\":1,\"event\":\"released\"}\n"
              "{\"version\":1,\"event\":\"terminate\"}\n");
    EXPECT_TRUE(out.empty());
    EXPECT_FALSE(out.writeArmed);
}

TEST_F(OutputTest, BrokenWriterDropsARegisteredInterestOnItsNextFlush) {
    const std::size_t capacity = onePage();
    Output out(pipe.write.get(), kq, false);
    out.push(pattern(20000), true, false, 0);
    out.flush();
    ASSERT_TRUE(out.writeArmed);
    ASSERT_EQ(drain(pipe.read.get()).size(), capacity);
    for (int k = 0; k < 17; ++k) out.emit("\"event\":\"ready\"");
    ASSERT_TRUE(out.broken);
    EXPECT_TRUE(out.writeArmed);  // push does not touch the queue
    out.flush();
    EXPECT_FALSE(out.writeArmed);
    EXPECT_EQ(drain(pipe.read.get()), "");  // a broken writer writes nothing
    EXPECT_FALSE(kq.pending());
    EXPECT_FALSE(writeRegistered(kq, pipe.write.get()));
}

void onAlarm(int) {}

TEST_F(OutputTest, InterruptedWriteKeepsEveryByteAndRegistersTheInterest) {
    // EINTR cannot happen on a non-blocking descriptor, so the test makes the shared file
    // description blocking again behind the writer's back, fills the pipe, and lets a timer
    // signal (installed without SA_RESTART) interrupt the write that then blocks.
    ASSERT_GE(::fcntl(pipe.write.get(), F_SETPIPE_SZ, 4096), 4096);
    Output out(pipe.write.get(), kq, false);
    std::string filler;
    for (;;) {
        ssize_t n = ::write(pipe.write.get(), "................", 16);
        if (n > 0) {
            filler.append(static_cast<std::size_t>(n), '.');
            continue;
        }
        ASSERT_TRUE(n < 0 && errno == EAGAIN);
        break;
    }
    const std::string frame = pattern(5000);
    out.push(frame, true, false, 0);

    struct sigaction action {};
    action.sa_handler = onAlarm;
    sigemptyset(&action.sa_mask);
    action.sa_flags = 0;  // no SA_RESTART
    struct sigaction previous {};
    ASSERT_EQ(::sigaction(SIGALRM, &action, &previous), 0);
    ASSERT_EQ(::fcntl(pipe.write.get(), F_SETFL, ::fcntl(pipe.write.get(), F_GETFL) & ~O_NONBLOCK), 0);
    itimerval every{{0, 20000}, {0, 20000}};
    ASSERT_EQ(::setitimer(ITIMER_REAL, &every, nullptr), 0);

    out.flush();

    itimerval off{};
    ::setitimer(ITIMER_REAL, &off, nullptr);
    ::fcntl(pipe.write.get(), F_SETFL, ::fcntl(pipe.write.get(), F_GETFL) | O_NONBLOCK);
    // A late SIGALRM must not end the test process: keep ignoring it.
    ::signal(SIGALRM, SIG_IGN);

    EXPECT_FALSE(out.broken);
    EXPECT_EQ(out.offset, 0u);
    EXPECT_EQ(out.size(), 1u);
    EXPECT_EQ(out.dataQueued, 1u);
    EXPECT_TRUE(out.writeArmed);

    EXPECT_EQ(drain(pipe.read.get()), filler);
    EXPECT_TRUE(writeReported(kq, pipe.write.get()));
    std::string got;
    for (int k = 0; k < 100 && !out.empty(); ++k) {
        out.flush();
        got += drain(pipe.read.get());
    }
    EXPECT_EQ(got, frame);
    EXPECT_FALSE(out.writeArmed);
}

// ---------------------------------------------------------------------------------------
// push

TEST_F(OutputTest, LossyWriterCountsDataFramesAtTheLimit) {
    Output out(pipe.write.get(), kq, true);
    for (int k = 0; k < 64; ++k) out.push("data\n", true, false, 5);
    EXPECT_EQ(out.dataQueued, 64u);
    out.push("lost\n", true, false, 100);
    EXPECT_EQ(out.dropped, 1u);
    EXPECT_EQ(out.droppedBytes, 100u);
    EXPECT_EQ(out.size(), 64u);
    EXPECT_EQ(out.dataQueued, 64u);
    EXPECT_FALSE(out.overflow);
    EXPECT_FALSE(out.broken);
    EXPECT_EQ(out.counters(), ",\"queued\":64,\"dropped\":1,\"dropped_bytes\":100");
    out.push("lost\n", true, false, 0);
    out.push("lost\n", true, false, 18446744073709551000ull);
    EXPECT_EQ(out.counters(), ",\"queued\":64,\"dropped\":3,\"dropped_bytes\":18446744073709551100");
    // Control frames are still accepted, and counted in "queued".
    out.emit("\"event\":\"ready\"");
    EXPECT_EQ(out.size(), 65u);
    EXPECT_EQ(out.controlQueued, 1u);
    EXPECT_EQ(out.counters(), ",\"queued\":65,\"dropped\":3,\"dropped_bytes\":18446744073709551100");
    EXPECT_FALSE(out.writeArmed);
}

TEST_F(OutputTest, NonLossyWriterFlagsOverflowAtTheLimit) {
    Output out(pipe.write.get(), kq, false);
    for (int k = 0; k < 64; ++k) out.push("data\n", true, false, 5);
    out.push("lost\n", true, false, 100);
    EXPECT_TRUE(out.overflow);
    EXPECT_FALSE(out.broken);
    EXPECT_EQ(out.size(), 64u);
    EXPECT_EQ(out.dropped, 0u);
    EXPECT_EQ(out.droppedBytes, 0u);
    EXPECT_EQ(out.counters(), ",\"queued\":64,\"dropped\":0,\"dropped_bytes\":0");
    out.push("{\"version\":1,\"event\":\"ready\"}\n", false, false, 0);
    EXPECT_EQ(out.size(), 65u);
    EXPECT_EQ(out.controlQueued, 1u);
    // Overflow never clears, and the writer goes on working.
    out.flush();
    EXPECT_TRUE(out.overflow);
    out.flush();
    EXPECT_TRUE(out.empty());
    EXPECT_TRUE(out.overflow);
    std::string expected;
    for (int k = 0; k < 64; ++k) expected += "data\n";
    expected += "{\"version\":1,\"event\":\"ready\"}\n";
    EXPECT_EQ(drain(pipe.read.get()), expected);
    out.push("more\n", true, false, 0);
    EXPECT_EQ(out.size(), 1u);
}

TEST_F(OutputTest, SeventeenthControlFrameBreaksTheWriter) {
    Output out(pipe.write.get(), kq, true);
    for (int k = 0; k < 64; ++k) out.push("data\n", true, false, 0);  // data frames do not count here
    for (int k = 0; k < 16; ++k) out.emit("\"event\":\"ready\"");
    EXPECT_FALSE(out.broken);
    EXPECT_EQ(out.controlQueued, 16u);
    out.push("control\n", false, false, 0);
    EXPECT_TRUE(out.broken);
    EXPECT_EQ(out.controlQueued, 16u);
    EXPECT_EQ(out.size(), 80u);
    EXPECT_FALSE(out.sealed);
    out.flush();
    EXPECT_EQ(drain(pipe.read.get()), "");
}

TEST_F(OutputTest, SealingFramePassesTheControlLimit) {
    Output out(pipe.write.get(), kq, false);
    for (int k = 0; k < 16; ++k) out.emit("\"event\":\"ready\"");
    out.push("{\"version\":1,\"event\":\"reaped\"}\n", false, true, 0);
    EXPECT_FALSE(out.broken);
    EXPECT_TRUE(out.sealed);
    EXPECT_EQ(out.controlQueued, 17u);
    EXPECT_EQ(out.size(), 17u);
    EXPECT_EQ(out.counters(), ",\"queued\":17,\"dropped\":0,\"dropped_bytes\":0");
}

TEST_F(OutputTest, SealedWriterIgnoresEveryPushButWritesWhatItHolds) {
    Output out(pipe.write.get(), kq, true);
    out.push("out\n", true, false, 4);
    out.push("reaped\n", false, true, 0);
    ASSERT_TRUE(out.sealed);
    out.push("after\n", false, false, 0);
    out.push("after\n", false, true, 0);
    out.push("after\n", true, false, 6);
    out.emit("\"event\":\"ready\"");
    out.emitLogDropped();
    EXPECT_EQ(out.size(), 2u);
    EXPECT_EQ(out.dataQueued, 1u);
    EXPECT_EQ(out.controlQueued, 1u);
    EXPECT_EQ(out.dropped, 0u);
    EXPECT_FALSE(out.broken);
    EXPECT_FALSE(out.overflow);
    out.flush();
    EXPECT_EQ(drain(pipe.read.get()), "out\nreaped\n");
    EXPECT_TRUE(out.empty());
    EXPECT_TRUE(out.sealed);
}

TEST_F(OutputTest, SealedLossyWriterAtTheDataLimitCountsNothing) {
    Output out(pipe.write.get(), kq, true);
    for (int k = 0; k < 64; ++k) out.push("data\n", true, false, 0);
    out.push("reaped\n", false, true, 0);
    out.push("late\n", true, false, 50);
    EXPECT_EQ(out.dropped, 0u);
    EXPECT_EQ(out.droppedBytes, 0u);
}

TEST_F(OutputTest, EmptyPushChangesNothing) {
    Output out(pipe.write.get(), kq, true);
    out.push("", false, true, 0);
    out.push("", true, false, 7);
    out.push("", false, false, 0);
    EXPECT_FALSE(out.sealed);
    EXPECT_TRUE(out.empty());
    EXPECT_EQ(out.dataQueued, 0u);
    EXPECT_EQ(out.controlQueued, 0u);
    // At the data limit an empty frame is not counted as dropped either.
    for (int k = 0; k < 64; ++k) out.push("d", true, false, 1);
    out.push("", true, false, 9);
    EXPECT_EQ(out.dropped, 0u);
    EXPECT_EQ(out.droppedBytes, 0u);
    // At the control limit an empty frame does not break the writer.
    for (int k = 0; k < 16; ++k) out.push("c", false, false, 0);
    out.push("", false, false, 0);
    EXPECT_FALSE(out.broken);
    EXPECT_EQ(out.size(), 80u);
    out.emit("");  // emit frames its body, so this is not empty: the seventeenth breaks
    EXPECT_TRUE(out.broken);
}

TEST_F(OutputTest, EmitFramesTheBodyAsAControlFrame) {
    Output out(pipe.write.get(), kq, false);
    out.emit("\"event\":\"started\",\"pid\":42");
    ASSERT_EQ(out.size(), 1u);
    EXPECT_FALSE(out.frames.front().data);
    EXPECT_EQ(out.frames.front().bytes, "{\"version\":1,\"event\":\"started\",\"pid\":42}\n");
    EXPECT_EQ(out.controlQueued, 1u);
    EXPECT_EQ(out.dataQueued, 0u);
}

TEST_F(OutputTest, PushMovesTheBytesIntoTheQueue) {
    Output out(pipe.write.get(), kq, false);
    std::string line = owner_protocol::output("stdout", "hi", 2);
    out.push(line, true, false, 2);
    ASSERT_EQ(out.size(), 1u);
    EXPECT_TRUE(out.frames.front().data);
    EXPECT_EQ(out.frames.front().bytes, line);
    EXPECT_EQ(out.dataQueued, 1u);
}

// ---------------------------------------------------------------------------------------
// emitLogDropped, discard, unwatch

TEST_F(OutputTest, EmitLogDroppedQueuesNothingWithoutDrops) {
    Output out(pipe.write.get(), kq, true);
    out.emitLogDropped();
    EXPECT_TRUE(out.empty());
}

TEST_F(OutputTest, EmitLogDroppedQueuesTheLine) {
    Output out(pipe.write.get(), kq, true);
    for (int k = 0; k < 64; ++k) out.push("data\n", true, false, 5);
    for (int k = 0; k < 3; ++k) out.push("lost\n", true, false, 40);
    ASSERT_EQ(out.dropped, 3u);
    out.emitLogDropped();
    ASSERT_EQ(out.size(), 65u);
    EXPECT_FALSE(out.frames.back().data);
    EXPECT_EQ(out.frames.back().bytes, "{\"version\":1,\"event\":\"log_dropped\",\"frames\":3,\"bytes\":120}\n");
    EXPECT_EQ(out.controlQueued, 1u);
    // The counters are not reset.
    EXPECT_EQ(out.dropped, 3u);
    EXPECT_EQ(out.droppedBytes, 120u);
    std::string written;
    for (int k = 0; k < 10 && !out.empty(); ++k) {
        out.flush();
        written += drain(pipe.read.get());
    }
    std::string expected;
    for (int k = 0; k < 64; ++k) expected += "data\n";
    expected += "{\"version\":1,\"event\":\"log_dropped\",\"frames\":3,\"bytes\":120}\n";
    EXPECT_EQ(written, expected);
}

TEST_F(OutputTest, EmitLogDroppedQueuesNothingWithAFullControlQueue) {
    Output out(pipe.write.get(), kq, true);
    for (int k = 0; k < 64; ++k) out.push("data\n", true, false, 5);
    out.push("lost\n", true, false, 40);
    for (int k = 0; k < 16; ++k) out.emit("\"event\":\"ready\"");
    out.emitLogDropped();
    EXPECT_FALSE(out.broken);
    EXPECT_EQ(out.size(), 80u);
    EXPECT_EQ(out.controlQueued, 16u);
    // The sealing line still passes.
    out.push("reaped\n", false, true, 0);
    EXPECT_EQ(out.controlQueued, 17u);
}

TEST_F(OutputTest, DiscardEmptiesTheQueueAndKeepsFlagsCountersAndInterest) {
    const std::size_t capacity = onePage();
    Output out(pipe.write.get(), kq, true);
    out.push(pattern(20000), true, false, 0);
    for (int k = 0; k < 63; ++k) out.push("d", true, false, 0);
    out.push("lost", true, false, 4);
    out.emit("\"event\":\"ready\"");
    out.flush();
    ASSERT_EQ(drain(pipe.read.get()).size(), capacity);
    ASSERT_TRUE(out.writeArmed);
    ASSERT_EQ(out.offset, capacity);

    out.discard();
    EXPECT_TRUE(out.empty());
    EXPECT_EQ(out.offset, 0u);
    EXPECT_EQ(out.dataQueued, 0u);
    EXPECT_EQ(out.controlQueued, 0u);
    EXPECT_EQ(out.dropped, 1u);
    EXPECT_EQ(out.droppedBytes, 4u);
    EXPECT_TRUE(out.writeArmed);
    EXPECT_TRUE(writeReported(kq, pipe.write.get()));
    EXPECT_EQ(out.counters(), ",\"queued\":0,\"dropped\":1,\"dropped_bytes\":4");

    // The next flush of the now empty writer drops the interest.
    out.flush();
    EXPECT_FALSE(out.writeArmed);
    EXPECT_FALSE(kq.pending());
    EXPECT_EQ(drain(pipe.read.get()), "");
    // The writer still accepts frames.
    out.emit("\"event\":\"ready\"");
    out.flush();
    EXPECT_EQ(drain(pipe.read.get()), "{\"version\":1,\"event\":\"ready\"}\n");
}

TEST_F(OutputTest, UnwatchRemovesARegisteredInterest) {
    onePage();
    Output out(pipe.write.get(), kq, false);
    out.unwatch();  // nothing registered: nothing happens
    EXPECT_FALSE(out.writeArmed);
    out.push(pattern(10000), true, false, 0);
    out.flush();
    ASSERT_TRUE(out.writeArmed);
    out.unwatch();
    EXPECT_FALSE(out.writeArmed);
    EXPECT_FALSE(kq.pending());
    EXPECT_FALSE(writeRegistered(kq, pipe.write.get()));
    EXPECT_EQ(out.size(), 1u);  // the queue is untouched
    out.unwatch();
    EXPECT_FALSE(out.writeArmed);
}

}  // namespace
