// The system odds and ends: reaping, socket peers, random bytes, signal masks, the
// subreaper role and terminal flow control.
#include <fcntl.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>

#include <gtest/gtest.h>

#include "platform/platform.h"
#include "support/fixtures.h"

using fixtures::ChildGroup;
using fixtures::Fd;
using fixtures::Pipe;

namespace {

// Waits until pid has exited, leaving it a zombie.
bool exitedUnreaped(int pid) {
    siginfo_t info{};
    return ::waitid(P_PID, id_t(pid), &info, WEXITED | WNOWAIT) == 0 && info.si_pid == pid;
}

bool stillZombie(int pid) {
    siginfo_t info{};
    return ::waitid(P_PID, id_t(pid), &info, WEXITED | WNOHANG | WNOWAIT) == 0 && info.si_pid == pid;
}

bool reaped(int pid) {
    int status = 0;
    return ::waitpid(pid, &status, WNOHANG) < 0 && errno == ECHILD;
}

}  // namespace

TEST(SystemReap, ReapsEveryExitedChildButTheKeptOne) {
    // The kept child is forked first, so a zombie keep stands in front of the others.
    for (bool keepExits : {true, false}) {
        ChildGroup keep([keepExits] {
            if (!keepExits) ::pause();
            return 0;
        });
        ChildGroup first([] { return 0; });
        ChildGroup second([] { return 0; });
        ChildGroup running([] {
            ::pause();
            return 0;
        });
        if (keepExits) {
            ASSERT_TRUE(exitedUnreaped(keep.pid()));
        }
        ASSERT_TRUE(exitedUnreaped(first.pid()));
        ASSERT_TRUE(exitedUnreaped(second.pid()));
        platform::reapChildrenExcept(keep.pid());
        const char* label = keepExits ? "kept child exited" : "kept child running";
        EXPECT_TRUE(reaped(first.pid())) << label;
        EXPECT_TRUE(reaped(second.pid())) << label;
        EXPECT_FALSE(reaped(running.pid())) << label;
        bool kept = keepExits ? stillZombie(keep.pid()) : !reaped(keep.pid());
        EXPECT_TRUE(kept) << label;
    }
}

TEST(SystemReap, SubreaperAdoptsOrphanedDescendants) {
    // In a child of its own, so that the test process keeps its usual parentage.
    ChildGroup reaper([] {
        if (platform::becomeSubreaper() < 0) return 1;
        int fds[2];
        if (::pipe(fds) < 0) return 2;
        pid_t middle = ::fork();
        if (middle == 0) {
            pid_t leaf = ::fork();
            if (leaf == 0) ::_exit(0);
            ::_exit(::write(fds[1], &leaf, sizeof leaf) == sizeof leaf ? 0 : 1);
        }
        pid_t leaf = 0;
        if (::read(fds[0], &leaf, sizeof leaf) != sizeof leaf) return 3;
        ::waitpid(middle, nullptr, 0);
        if (!exitedUnreaped(leaf)) return 4;  // only a child can be waited for
        platform::reapChildrenExcept(-1);
        return reaped(leaf) ? 0 : 5;
    });
    int status = reaper.wait();
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
}

TEST(SystemPeer, SocketPeerIsThisProcess) {
    int fds[2];
    ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds), 0);
    Fd a(fds[0]);
    Fd b(fds[1]);
    EXPECT_EQ(platform::peerPid(a.get()), ::getpid());
    Pipe pipe;
    EXPECT_EQ(platform::peerPid(pipe.read.get()), -1);
}

TEST(SystemRandom, FillsTheWholeBuffer) {
    std::array<unsigned char, 32> first{};
    std::array<unsigned char, 32> second{};
    ASSERT_EQ(platform::randomBytes(first.data(), first.size()), 0);
    ASSERT_EQ(platform::randomBytes(second.data(), second.size()), 0);
    EXPECT_NE(first, second);
    // The last bytes are filled too: 8 zero bytes at the end by chance are out of reach.
    EXPECT_FALSE(std::all_of(first.end() - 8, first.end(), [](unsigned char c) { return c == 0; }));
}

TEST(SystemSocketPath, LimitLeavesRoomForTheTerminator) {
    EXPECT_EQ(platform::socketPathLimit(), 107u);
}

TEST(SystemExecutable, PathIsAbsolute) {
    std::string path = platform::executablePath();
    ASSERT_FALSE(path.empty());
    EXPECT_EQ(path.front(), '/');
    EXPECT_EQ(::access(path.c_str(), X_OK), 0);
}

TEST(SystemSignals, QueuedSignalsAreBlocked) {
    sigset_t saved;
    ASSERT_EQ(::sigprocmask(SIG_SETMASK, nullptr, &saved), 0);
    platform::blockQueuedSignals();
    sigset_t now;
    ::sigprocmask(SIG_SETMASK, nullptr, &now);
    ::sigprocmask(SIG_SETMASK, &saved, nullptr);
    for (int signal : {SIGHUP, SIGTERM, SIGINT, SIGCHLD}) EXPECT_EQ(::sigismember(&now, signal), 1) << signal;
}

TEST(SystemSignals, ChildGetsDefaultsAndAnEmptyMask) {
    ChildGroup child([] {
        sigset_t mask;
        sigemptyset(&mask);
        sigaddset(&mask, SIGTERM);
        sigaddset(&mask, SIGUSR1);
        ::sigprocmask(SIG_BLOCK, &mask, nullptr);
        ::signal(SIGTERM, SIG_IGN);
        const int signals[] = {SIGTERM};
        platform::restoreChildSignals(signals, 1);
        sigset_t now;
        ::sigprocmask(SIG_SETMASK, nullptr, &now);
        if (::sigismember(&now, SIGTERM) || ::sigismember(&now, SIGUSR1)) return 1;
        ::raise(SIGTERM);
        return 2;
    });
    int status = child.wait();
    ASSERT_TRUE(WIFSIGNALED(status));
    EXPECT_EQ(WTERMSIG(status), SIGTERM);
}

TEST(SystemTerminal, ResumesATerminalButNotAPipe) {
    Fd master(::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC));
    ASSERT_GE(master.get(), 0);
    ASSERT_EQ(::grantpt(master.get()), 0);
    ASSERT_EQ(::unlockpt(master.get()), 0);
    Fd slave(::open(::ptsname(master.get()), O_RDWR | O_NOCTTY | O_CLOEXEC));
    ASSERT_GE(slave.get(), 0);
    EXPECT_EQ(platform::resumeTerminalOutput(slave.get()), 0);
    Pipe pipe;
    EXPECT_EQ(platform::resumeTerminalOutput(pipe.read.get()), -1);
}

// A pipe grows to the supervisor's size but never shrinks below what its parent gave it.
TEST(SystemPipe, WidensANarrowPipeAndKeepsAWiderOne) {
    Pipe narrow;
    ASSERT_EQ(::fcntl(narrow.write.get(), F_SETPIPE_SZ, 4096), 4096);
    platform::widenPipe(narrow.write.get());
    EXPECT_EQ(::fcntl(narrow.write.get(), F_GETPIPE_SZ), 1 << 20);

    Pipe wide;
    // Beyond the system's limit only a privileged parent can go.
    if (::fcntl(wide.write.get(), F_SETPIPE_SZ, 4 << 20) < 0) GTEST_SKIP() << "cannot go beyond the pipe size limit here";
    platform::widenPipe(wide.write.get());
    EXPECT_EQ(::fcntl(wide.write.get(), F_GETPIPE_SZ), 4 << 20);
}
