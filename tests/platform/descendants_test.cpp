// The descendant listing against a real process tree: the kernel's children lists and the
// whole process table give the same answer, across sessions, groups, zombies and threads.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <csignal>
#include <set>
#include <thread>
#include <vector>

#include "platform/platform.h"
#include "support/fixtures.h"

namespace {

using fixtures::Pipe;

void report(int fd, int pid) {
    ssize_t ignored = ::write(fd, &pid, sizeof pid);
    (void)ignored;
}

[[noreturn]] void sleepForever() {
    for (;;) ::pause();
}

// Forks a process that runs setup, then sleeps for ever; reports its pid.
void forkReporting(int fd, void (*setup)()) {
    int pid = ::fork();
    if (pid == 0) {
        setup();
        sleepForever();
    }
    report(fd, pid);
}

// Below the test: child A with a grandchild in a session of its own, one in a group of its
// own, and one that exited and was never reaped; child C, whose second thread forked a
// grandchild. Every pid is reported on a pipe; the tree is killed on every path.
class Tree {
public:
    Tree() {
        int fd = pipeA_.write.get();
        a_ = ::fork();
        if (a_ == 0) {
            forkReporting(fd, [] { ::setsid(); });
            forkReporting(fd, [] { ::setpgid(0, 0); });
            int zombie = ::fork();
            if (zombie == 0) ::_exit(0);
            report(fd, zombie);
            sleepForever();
        }
        fd = pipeC_.write.get();
        c_ = ::fork();
        if (c_ == 0) {
            std::thread second([fd] {
                forkReporting(fd, [] {});
                sleepForever();
            });
            sleepForever();
        }
        collect(pipeA_, 3);
        collect(pipeC_, 1);
    }
    Tree(const Tree&) = delete;
    Tree& operator=(const Tree&) = delete;
    ~Tree() {
        for (int pid : grandchildren_) ::kill(pid, SIGKILL);
        for (int pid : {a_, c_}) {
            if (pid <= 0) continue;
            ::kill(pid, SIGKILL);
            while (::waitpid(pid, nullptr, 0) < 0 && errno == EINTR) {
            }
        }
    }

    int a() const { return a_; }
    int c() const { return c_; }
    const std::vector<int>& grandchildren() const { return grandchildren_; }

private:
    void collect(Pipe& pipe, int count) {
        pipe.write.reset();
        for (int i = 0; i < count; ++i) {
            int pid = 0;
            if (::read(pipe.read.get(), &pid, sizeof pid) != sizeof pid) return;
            grandchildren_.push_back(pid);
        }
    }

    Pipe pipeA_;
    Pipe pipeC_;
    int a_ = -1;
    int c_ = -1;
    std::vector<int> grandchildren_;
};

std::set<int> listed(bool fromTable, const std::vector<platform::Identity>& pruned = {}) {
    std::vector<platform::ProcessRecord> found;
    long count = platform::listDescendants(::getpid(), fromTable, pruned, found, 1 << 20);
    EXPECT_EQ(count, static_cast<long>(found.size()));
    std::set<int> pids;
    for (const auto& record : found) {
        EXPECT_NE(record.p_idversion, 0u);
        pids.insert(static_cast<int>(record.pbi_pid));
    }
    return pids;
}

TEST(Descendants, ChildrenListsAndTableAgree) {
    Tree tree;
    ASSERT_EQ(tree.grandchildren().size(), 4u);
    // The zombie must have been reported before it exited; wait until it has.
    ASSERT_TRUE(fixtures::eventually([&] {
        platform::ProcessRecord record;
        return platform::processRecord(tree.grandchildren()[2], record) == 0 && record.pbi_status == platform::SZOMB;
    }));
    std::set<int> expected{tree.a(), tree.c()};
    expected.insert(tree.grandchildren().begin(), tree.grandchildren().end());
    std::set<int> fromLists = listed(false), fromTable = listed(true);
    EXPECT_EQ(fromLists, fromTable);
    for (int pid : expected) EXPECT_TRUE(fromLists.count(pid)) << pid;
}

TEST(Descendants, PrunedProcessesAndWhatIsBelowThemAreLeftOut) {
    Tree tree;
    ASSERT_EQ(tree.grandchildren().size(), 4u);
    platform::ProcessRecord a;
    ASSERT_EQ(platform::processRecord(tree.a(), a), 0);
    std::vector<platform::Identity> pruned{{tree.a(), a.p_idversion}};
    for (bool fromTable : {false, true}) {
        SCOPED_TRACE(fromTable);
        std::set<int> pids = listed(fromTable, pruned);
        EXPECT_FALSE(pids.count(tree.a()));
        for (int i = 0; i < 3; ++i) EXPECT_FALSE(pids.count(tree.grandchildren()[i]));
        EXPECT_TRUE(pids.count(tree.c()));
        EXPECT_TRUE(pids.count(tree.grandchildren()[3]));
    }
    // Another incarnation of the pid would not be pruned.
    std::vector<platform::Identity> stale{{tree.a(), a.p_idversion + 1}};
    EXPECT_TRUE(listed(false, stale).count(tree.a()));
}

TEST(Descendants, StoresAtMostTheLimitButCountsAll) {
    Tree tree;
    ASSERT_EQ(tree.grandchildren().size(), 4u);
    std::vector<platform::ProcessRecord> found;
    EXPECT_GE(platform::listDescendants(::getpid(), false, {}, found, 2), 6);
    EXPECT_EQ(found.size(), 2u);
}

}  // namespace
