// Process scope tracking against real processes, process groups and a real pseudo-terminal.
#include "scope/scope.h"

#include <gtest/gtest.h>
#include <pty.h>
#include <sys/ioctl.h>
#include <sys/stat.h>

#include <algorithm>
#include <climits>
#include <stdexcept>
#include <string>
#include <vector>

#include "support/fixtures.h"

namespace {

using fixtures::ChildGroup;
using fixtures::eventually;
using fixtures::Fd;
using fixtures::Pipe;
using fixtures::TempDir;

int sleepForever() {
    for (;;) ::pause();
}

// Waits without reaping until pid has exited.
bool becomesZombie(int pid) {
    return eventually([pid] { return info(pid).pbi_status == SZOMB; });
}

// Waits for the far end of the pipe to close (the child has exec'd, exited or reported);
// true when the child wrote a byte first.
bool awaitClose(Pipe& pipe) {
    pipe.write.reset();
    char byte;
    ssize_t got;
    while ((got = ::read(pipe.read.get(), &byte, 1)) < 0 && errno == EINTR) {
    }
    return got == 1;
}

// A process group of size sleeping processes: a leader plus size - 1 members forked by the
// test itself, so that the test reaps every one of them. The whole group dies with it.
class SleepingGroup {
public:
    explicit SleepingGroup(int size) : leader_(sleepForever) {
        pids_.push_back(leader_.pid());
        for (int i = 1; i < size; ++i) addMember();
    }
    SleepingGroup(const SleepingGroup&) = delete;
    SleepingGroup& operator=(const SleepingGroup&) = delete;
    ~SleepingGroup() {
        ::kill(-leader_.pid(), SIGKILL);
        for (std::size_t i = 1; i < pids_.size(); ++i) reap(pids_[i]);
    }
    int leader() const { return leader_.pid(); }
    std::vector<int> sorted() const {
        std::vector<int> pids = pids_;
        std::sort(pids.begin(), pids.end());
        return pids;
    }

private:
    void addMember() {
        int pid = ::fork();
        if (pid == 0) {
            ::setpgid(0, leader_.pid());
            sleepForever();
        }
        ASSERT_GT(pid, 0);
        pids_.push_back(pid);
        // Set from both sides so that the member is in the group once this returns.
        ::setpgid(pid, leader_.pid());
    }
    static void reap(int pid) {
        while (::waitpid(pid, nullptr, 0) < 0 && errno == EINTR) {
        }
    }

    ChildGroup leader_;
    std::vector<int> pids_;
};

// A child that leads a session of its own with the given terminal as its controlling
// terminal. Killed with its whole group and reaped on every path.
class TerminalSession {
public:
    explicit TerminalSession(int slave) {
        Pipe ready;
        pid_ = ::fork();
        if (pid_ == 0) {
            bool ok = ::setsid() >= 0 && ::ioctl(slave, TIOCSCTTY, 0) == 0;
            ready.read.reset();
            if (ok) ::write(ready.write.get(), "R", 1);
            ready.write.reset();
            sleepForever();
        }
        ready_ = awaitClose(ready);
    }
    TerminalSession(const TerminalSession&) = delete;
    TerminalSession& operator=(const TerminalSession&) = delete;
    ~TerminalSession() {
        if (pid_ <= 0) return;
        ::kill(-pid_, SIGKILL);
        ::kill(pid_, SIGKILL);
        while (::waitpid(pid_, nullptr, 0) < 0 && errno == EINTR) {
        }
    }
    int pid() const { return pid_; }
    bool ready() const { return ready_; }

private:
    int pid_ = -1;
    bool ready_ = false;
};

std::vector<int> sortedMembers(int anchor, bool terminal, unsigned int device) {
    std::vector<int> pids = members(anchor, terminal, device);
    std::sort(pids.begin(), pids.end());
    return pids;
}

bool allZero(const ProcessRecord& record) {
    return record.pbi_status == 0 && record.pbi_pid == 0 && record.pbi_pgid == 0 && record.pbi_sid == 0 &&
           record.e_tdev == 0 && record.p_uniqueid == 0 && record.p_idversion == 0;
}

TEST(Members, ListsEveryProcessOfTheGroup) {
    for (int size : {1, 64, 200}) {
        SCOPED_TRACE(size);
        SleepingGroup group(size);
        EXPECT_EQ(sortedMembers(group.leader(), false, 0), group.sorted());
    }
}

TEST(Members, StoresAtMostTheLimitButCountsAll) {
    SleepingGroup group(64);
    std::vector<int> pids;
    EXPECT_EQ(platform::listScope(group.leader(), false, 0, pids, 10), 64);
    EXPECT_EQ(pids.size(), 10u);
}

TEST(Members, IncludesZombies) {
    ChildGroup exited([] { return 0; });
    ASSERT_TRUE(becomesZombie(exited.pid()));
    EXPECT_EQ(members(exited.pid(), false, 0), std::vector<int>{exited.pid()});
}

TEST(Members, LostAnchorWhenTheGroupIsReaped) {
    ChildGroup gone(sleepForever);
    int pid = gone.pid();
    gone.kill();
    try {
        members(pid, false, 0);
        FAIL() << "an empty group was listed";
    } catch (const std::runtime_error& error) {
        EXPECT_STREQ(error.what(), "process scope lost anchor");
    }
}

TEST(Members, FindsTheProcessesOfATerminal) {
    int masterFd = -1;
    int slaveFd = -1;
    ASSERT_EQ(::openpty(&masterFd, &slaveFd, nullptr, nullptr, nullptr), 0);
    Fd master(masterFd);
    Fd slave(slaveFd);
    struct stat device {};
    ASSERT_EQ(::fstat(slave.get(), &device), 0);
    TerminalSession session(slave.get());
    ASSERT_TRUE(session.ready());
    auto tty = static_cast<unsigned int>(device.st_rdev);
    ASSERT_EQ(info(session.pid()).e_tdev, tty);
    EXPECT_EQ(members(0, true, tty), std::vector<int>{session.pid()});
    ProcessRecord record = info(session.pid());
    EXPECT_EQ(record.pbi_sid, static_cast<uint32_t>(session.pid()));
    EXPECT_EQ(record.pbi_pgid, static_cast<uint32_t>(session.pid()));
}

TEST(Info, DescribesALiveProcess) {
    ChildGroup child(sleepForever);
    ProcessRecord record = info(child.pid());
    EXPECT_EQ(record.pbi_pid, static_cast<uint32_t>(child.pid()));
    EXPECT_EQ(record.pbi_pgid, static_cast<uint32_t>(child.pid()));
    EXPECT_EQ(record.pbi_sid, static_cast<uint32_t>(::getsid(0)));
    EXPECT_NE(record.pbi_status, 0u);
    EXPECT_NE(record.pbi_status, SZOMB);
    EXPECT_NE(record.p_idversion, 0u);
    EXPECT_NE(record.p_uniqueid, 0u);
    EXPECT_EQ(info(child.pid()).p_idversion, record.p_idversion);
}

TEST(Info, ReportsAZombie) {
    ChildGroup exited([] { return 3; });
    ASSERT_TRUE(becomesZombie(exited.pid()));
    ProcessRecord record = info(exited.pid());
    EXPECT_EQ(record.pbi_pid, static_cast<uint32_t>(exited.pid()));
    EXPECT_EQ(record.pbi_pgid, static_cast<uint32_t>(exited.pid()));
}

TEST(Info, MissingProcessGivesTheAllZeroRecord) {
    int reaped = ChildGroup([] { return 0; }).pid();
    for (int pid : {reaped, INT_MAX, -1, 0}) {
        SCOPED_TRACE(pid);
        EXPECT_TRUE(allZero(info(pid)));
    }
}

// A command name holding spaces and parentheses, with a fake state field after the first
// ')', must not mislead the parser.
TEST(Info, ParsesACommandNameWithSpacesAndParentheses) {
    TempDir dir;
    std::string name = "a) Z 1 (b)";
    std::string path = dir.path() + "/" + name;
    ASSERT_EQ(::symlink("/bin/sleep", path.c_str()), 0);
    Pipe execed;
    ChildGroup child([&] {
        ::execl(path.c_str(), name.c_str(), "1000", static_cast<char*>(nullptr));
        return 127;
    });
    awaitClose(execed);
    ProcessRecord record = info(child.pid());
    EXPECT_NE(record.pbi_status, SZOMB);
    EXPECT_EQ(record.pbi_pid, static_cast<uint32_t>(child.pid()));
    EXPECT_EQ(record.pbi_pgid, static_cast<uint32_t>(child.pid()));
    EXPECT_EQ(record.pbi_sid, static_cast<uint32_t>(::getsid(0)));
    EXPECT_NE(record.p_idversion, 0u);
}

TEST(SignalIdentity, DeliversToTheCurrentIncarnation) {
    ChildGroup child(sleepForever);
    signalIdentity(child.pid(), info(child.pid()).p_idversion, SIGTERM);
    int status = child.wait();
    ASSERT_TRUE(WIFSIGNALED(status));
    EXPECT_EQ(WTERMSIG(status), SIGTERM);
}

// A stale version must not reach the process now holding the pid. SIGUSR1 sorts before
// SIGTERM, so had it been sent it would have ended the child first.
TEST(SignalIdentity, StaleVersionDoesNotSignal) {
    ChildGroup child(sleepForever);
    uint64_t version = info(child.pid()).p_idversion;
    signalIdentity(child.pid(), version + 1, SIGUSR1);
    EXPECT_NE(info(child.pid()).pbi_status, SZOMB);
    signalIdentity(child.pid(), version, SIGTERM);
    int status = child.wait();
    ASSERT_TRUE(WIFSIGNALED(status));
    EXPECT_EQ(WTERMSIG(status), SIGTERM);
}

TEST(SignalIdentity, ExitedProcessIsQuiet) {
    Pipe release;
    ChildGroup child([&] {
        release.write.reset();
        char byte;
        return static_cast<int>(::read(release.read.get(), &byte, 1));
    });
    uint64_t version = info(child.pid()).p_idversion;
    release.write.reset();
    ASSERT_TRUE(becomesZombie(child.pid()));
    EXPECT_NO_THROW(signalIdentity(child.pid(), version, SIGKILL));
    int pid = child.pid();
    int status = child.wait();
    EXPECT_TRUE(WIFEXITED(status));
    EXPECT_NO_THROW(signalIdentity(pid, version, SIGKILL));
}

TEST(Capability, IdentitySignallingWorksForThisProcess) { EXPECT_NO_THROW(capability()); }

}  // namespace
