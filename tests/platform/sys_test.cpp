// The small system helpers: errors, clock, descriptor flags, queue registrations, the
// program's own path and the handshake line reader.
#include "platform/sys.h"

#include <fcntl.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <stdexcept>
#include <string>
#include <thread>

#include <gtest/gtest.h>

#include "support/fixtures.h"

using fixtures::ChildGroup;
using fixtures::Fd;
using fixtures::Pipe;
using fixtures::SocketPair;

namespace {

// Runs body and returns the message of the runtime error it throws ("" when none).
template <typename Body>
std::string errorOf(Body body) {
    try {
        body();
    } catch (const std::runtime_error& error) {
        return error.what();
    }
    return "";
}

std::string errnoText(const char* what, int error) { return std::string(what) + ": " + std::strerror(error); }

bool hasFlag(int fd, int getter, int flag) { return (::fcntl(fd, getter) & flag) != 0; }

void put(int fd, const std::string& text) { ASSERT_EQ(::write(fd, text.data(), text.size()), ssize_t(text.size())); }

// Whatever can be read from fd right now.
std::string leftover(int fd) {
    int flags = ::fcntl(fd, F_GETFL);
    ::fcntl(fd, F_SETFL, flags | O_NONBLOCK);
    std::string text;
    char buffer[256];
    ssize_t got;
    while ((got = ::read(fd, buffer, sizeof buffer)) > 0) text.append(buffer, size_t(got));
    ::fcntl(fd, F_SETFL, flags);
    return text;
}


// Sends text from a thread (a line longer than a socket buffer needs a reader at the same
// time), then closes the sending end.
class Sender {
public:
    Sender(Fd end, std::string text) : end_(std::move(end)), thread_([this, text] {
          std::size_t sent = 0;
          while (sent < text.size()) {
              ssize_t n = ::send(end_.get(), text.data() + sent, text.size() - sent, MSG_NOSIGNAL);
              if (n <= 0) break;
              sent += size_t(n);
          }
          end_.reset();
      }) {}
    ~Sender() { thread_.join(); }

private:
    Fd end_;
    std::thread thread_;
};

int64_t farDeadline() { return now() + 30000; }

}  // namespace

// Errors and clock -------------------------------------------------------------------------

TEST(SysFail, CarriesTheErrnoText) {
    errno = EBADF;
    EXPECT_EQ(errorOf([] { fail("pipe"); }), errnoText("pipe", EBADF));
}

TEST(SysNow, FollowsTheMonotonicClock) {
    timespec monotonic{};
    ::clock_gettime(CLOCK_MONOTONIC, &monotonic);
    int64_t reference = int64_t(monotonic.tv_sec) * 1000 + monotonic.tv_nsec / 1000000;
    int64_t before = now();
    EXPECT_LE(std::abs(before - reference), 1000);
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_GE(now() - before, 20);
}

// Descriptor flags -------------------------------------------------------------------------

TEST(SysFdFlags, SetsCloseOnExecAndNeverClearsNonblocking) {
    struct Case {
        bool startNonblocking;
        bool nonblocking;
        bool expectNonblocking;
    };
    const Case cases[] = {
        {false, false, false},
        {false, true, true},
        {true, false, true},
        {true, true, true},
    };
    for (const Case& c : cases) {
        int fds[2];
        ASSERT_EQ(::pipe(fds), 0);
        Fd read(fds[0]);
        Fd write(fds[1]);
        if (c.startNonblocking) ::fcntl(read.get(), F_SETFL, O_NONBLOCK);
        fdFlags(read.get(), c.nonblocking);
        std::string label = std::string("start ") + (c.startNonblocking ? "nonblocking" : "blocking") +
                            ", asked " + (c.nonblocking ? "nonblocking" : "blocking");
        EXPECT_TRUE(hasFlag(read.get(), F_GETFD, FD_CLOEXEC)) << label;
        EXPECT_EQ(hasFlag(read.get(), F_GETFL, O_NONBLOCK), c.expectNonblocking) << label;
        EXPECT_FALSE(hasFlag(write.get(), F_GETFD, FD_CLOEXEC)) << label;
    }
}

TEST(SysFdFlags, ClosedDescriptorThrowsCloseOnExecError) {
    int fds[2];
    ASSERT_EQ(::pipe(fds), 0);
    ::close(fds[0]);
    ::close(fds[1]);
    EXPECT_EQ(errorOf([&] { fdFlags(fds[0], true); }), errnoText("close-on-exec", EBADF));
}

TEST(SysPipePair, BothEndsCloseOnExecAndBlocking) {
    int fds[2];
    pipePair(fds);
    Fd read(fds[0]);
    Fd write(fds[1]);
    for (int fd : fds) {
        EXPECT_TRUE(hasFlag(fd, F_GETFD, FD_CLOEXEC)) << fd;
        EXPECT_FALSE(hasFlag(fd, F_GETFL, O_NONBLOCK)) << fd;
    }
    put(write.get(), "ok");
    EXPECT_EQ(leftover(read.get()), "ok");
}

// Queue registrations ----------------------------------------------------------------------

TEST(SysRegistrations, ChangeFailureCarriesItsMessage) {
    Kqueue kq;
    int fds[2];
    ASSERT_EQ(::pipe(fds), 0);
    ::close(fds[0]);
    ::close(fds[1]);
    EXPECT_EQ(errorOf([&] { change(kq, fds[0], EVFILT_READ, EV_ADD, 0, 0); }), errnoText("kevent change", EBADF));
}

TEST(SysRegistrations, WatchAnswersWhetherTheProcessExists) {
    Kqueue kq;
    ChildGroup live([] {
        ::pause();
        return 0;
    });
    EXPECT_TRUE(watch(kq, live.pid()));
    ChildGroup gone([] { return 0; });
    int pid = gone.pid();
    gone.wait();
    EXPECT_FALSE(watch(kq, pid));
    live.kill();
    platform::Event event;
    ASSERT_EQ(kq.wait(event), 0);
    EXPECT_EQ(event.filter, EVFILT_PROC);
}

TEST(SysRegistrations, RemovingExpiredOrMissingRegistrationsIsQuiet) {
    Kqueue kq;
    timer(kq, 10, 0);
    platform::Event event;
    ASSERT_EQ(kq.wait(event), 0);
    EXPECT_EQ(event.ident, 10);
    EXPECT_EQ(event.filter, EVFILT_TIMER);
    EXPECT_NO_THROW(removeEvent(kq, 10, EVFILT_TIMER));
    EXPECT_NO_THROW(removeEvent(kq, 11, EVFILT_TIMER));
    EXPECT_NO_THROW(removeEvent(kq, 42, EVFILT_USER));
}

TEST(SysRegistrations, RemoveFailureOtherThanMissingThrows) {
    Kqueue kq;
    EXPECT_EQ(errorOf([&] { removeEvent(kq, 1, 0); }), errnoText("kevent delete", EINVAL));
}

TEST(SysRegistrations, TimerRearmedRestarts) {
    Kqueue kq;
    timer(kq, 11, 60000);
    timer(kq, 11, 0);
    platform::Event event;
    ASSERT_EQ(kq.wait(event), 0);
    EXPECT_EQ(event.ident, 11);
    EXPECT_FALSE(kq.pending());
}

// Own path ---------------------------------------------------------------------------------

TEST(SysSelfPath, IsTheResolvedExecutable) {
    char* resolved = ::realpath("/proc/self/exe", nullptr);
    ASSERT_NE(resolved, nullptr);
    std::string expected(resolved);
    ::free(resolved);
    std::string path = selfPath();
    EXPECT_EQ(path, expected);
    EXPECT_EQ(path.front(), '/');
}

// Handshake line reader --------------------------------------------------------------------

TEST(SysBlockingReadLine, StopsAtTheNewline) {
    Pipe pipe;
    put(pipe.write.get(), "R\nnext line\n");
    EXPECT_EQ(blockingReadLine(pipe.read.get(), farDeadline()), "R");
    EXPECT_EQ(leftover(pipe.read.get()), "next line\n");
}

TEST(SysBlockingReadLine, KeepsEveryOtherByte) {
    Pipe pipe;
    put(pipe.write.get(), std::string("a\r\0b\n", 5));
    EXPECT_EQ(blockingReadLine(pipe.read.get(), farDeadline()), std::string("a\r\0b", 4));
}

TEST(SysBlockingReadLine, EndOfFileBeforeTheNewline) {
    Pipe pipe;
    put(pipe.write.get(), "R");
    pipe.write.reset();
    EXPECT_EQ(errorOf([&] { blockingReadLine(pipe.read.get(), farDeadline()); }), "handshake EOF");
}

TEST(SysBlockingReadLine, LineLengthLimit) {
    struct Case {
        std::size_t length;
        std::string error;
    };
    const Case cases[] = {
        {65536, ""},
        {65537, "handshake frame too large"},
    };
    for (const Case& c : cases) {
        SocketPair sockets;
        std::string line(c.length, 'x');
        std::string got;
        std::string error;
        {
            Sender sender(std::move(sockets.b), line + "\n");
            error = errorOf([&] { got = blockingReadLine(sockets.a.get(), farDeadline()); });
            ::shutdown(sockets.a.get(), SHUT_RDWR);  // lets the sender finish whatever happened
        }
        EXPECT_EQ(error, c.error) << c.length;
        if (c.error.empty()) {
            EXPECT_EQ(got, line) << c.length;
        }
    }
}

TEST(SysBlockingReadLine, PassedDeadlineReadsNothing) {
    Pipe pipe;
    put(pipe.write.get(), "R\n");
    EXPECT_EQ(errorOf([&] { blockingReadLine(pipe.read.get(), now() - 1); }), "handshake read deadline");
    EXPECT_EQ(leftover(pipe.read.get()), "R\n");
}

TEST(SysBlockingReadLine, SilentPipeTimesOut) {
    Pipe pipe;
    int64_t start = now();
    EXPECT_EQ(errorOf([&] { blockingReadLine(pipe.read.get(), now() + 100); }), "handshake read deadline");
    EXPECT_GE(now() - start, 100);
    EXPECT_LT(now() - start, 10000);
}

TEST(SysBlockingReadLine, ReadFailureCarriesItsMessage) {
    Fd directory(::open("/", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    ASSERT_GE(directory.get(), 0);
    EXPECT_EQ(errorOf([&] { blockingReadLine(directory.get(), farDeadline()); }), errnoText("handshake read", EISDIR));
}
