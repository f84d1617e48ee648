// How a run ends when it does not end normally (the supervisor killed, a fatal error, the
// supervisor above a guardian killed), and what every kind of end leaves of the caller's
// descriptors.
#include <fcntl.h>
#include <pty.h>
#include <sys/prctl.h>
#include <termios.h>

#include <cstdlib>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "e2e/harness.h"

namespace {

using e2e::Budgets;
using e2e::GuardianChannel;
using e2e::Supervisor;
using e2e::reaped;
using e2e::sh;
using e2e::shaped;

// While it lives, the test is the reaper of whatever is orphaned below it, so that a zombie
// left to "init" stays visible as one; it reaps its own children when it goes.
class Reaper {
public:
    Reaper() { ::prctl(PR_SET_CHILD_SUBREAPER, 1, 0, 0, 0); }
    Reaper(const Reaper&) = delete;
    Reaper& operator=(const Reaper&) = delete;
    ~Reaper() {
        ::prctl(PR_SET_CHILD_SUBREAPER, 0, 0, 0, 0);
        while (::waitpid(-1, nullptr, WNOHANG) > 0) {
        }
    }
};

// The pids a root printed as "NAME=PID" lines.
std::vector<int> printedPids(const std::string& out, const std::string& name) {
    std::vector<int> pids;
    for (std::size_t at = out.find(name + "="); at != std::string::npos; at = out.find(name + "=", at + 1))
        pids.push_back(std::atoi(out.c_str() + at + name.size() + 1));
    return pids;
}

bool socketDirectoryLeft(const std::string& dir) {
    std::error_code ignored;
    for (const auto& entry : std::filesystem::directory_iterator(dir, ignored))
        if (entry.path().filename().string().rfind("solkari-owner-", 0) == 0) return true;
    return false;
}

// The root's group holds a member, its session a member of another group; the supervisor is
// SIGKILLed. Its sentinel kills both and removes the socket directory; the root dies of its
// parent-death signal.
TEST(SupervisorKilled, NothingOfItsGroupOrSessionOutlivesIt) {
    Supervisor owner;
    int root = e2e::startReady(owner, sh("sleep 1000 & echo member=$!; "
                                         "perl -e 'setpgrp(0, 0); exec @ARGV' sleep 1000 & echo member=$!; "
                                         "echo up; wait"));
    ASSERT_TRUE(owner.events().waitForOutput("up\n"));
    std::vector<int> members = printedPids(e2e::decodedOutput(owner.events().lines(), "stdout"), "member");
    ASSERT_EQ(members.size(), 2u);
    ASSERT_TRUE(socketDirectoryLeft(owner.dir()));
    owner.signal(SIGKILL);
    EXPECT_EQ(owner.exitStatus(), 128 + SIGKILL);
    // Dead within the harness's two seconds, the sentinel included: zombies hold nothing.
    members.push_back(root);
    EXPECT_TRUE(fixtures::eventually(
        [&] {
            for (int pid : members) {
                auto fields = e2e::procStat(pid);
                if (!fields.empty() && fields[0] != "Z") return false;
            }
            return !socketDirectoryLeft(owner.dir());
        },
        std::chrono::milliseconds(2000)));
    owner.checkLeftovers();
}

// A fatal error with members alive: they are killed, the root is reaped, and the failed line
// is the last one.
TEST(FatalEnd, LeavesNoZombieRootAndNoMembers) {
    Reaper reaper;
    Supervisor owner;
    int root = e2e::startReady(owner, sh("sleep 1000 & echo member=$!; sleep 1000 & echo member=$!; echo up; wait"));
    ASSERT_TRUE(owner.events().waitForOutput("up\n"));
    std::vector<int> members = printedPids(e2e::decodedOutput(owner.events().lines(), "stdout"), "member");
    ASSERT_EQ(members.size(), 2u);
    owner.sendRaw(std::string(70000, 'x'));
    EXPECT_EQ(owner.finish(), 1);
    EXPECT_EQ(owner.errors(), "owner error: control frame too large\n");
    ASSERT_FALSE(owner.events().lines().empty());
    EXPECT_EQ(owner.events().lines().back(), R"({"version":1,"event":"failed","stage":"native_api","scope":"unknown"})");
    // Had the supervisor left them, they would be zombies of this test's now.
    EXPECT_TRUE(e2e::procStat(root).empty()) << e2e::describe(root);
    for (int pid : members) EXPECT_TRUE(e2e::procStat(pid).empty()) << e2e::describe(pid);
}

// The supervisor above a guardian is SIGKILLed: the guardian tears down, reports reaped and,
// with nobody left to take its quiescence proof, ends at once with status 0 instead of
// waiting out its (long) confirmation budget.
TEST(UplinkBroken, GuardianEndsPromptlyWithStatusZero) {
    Reaper reaper;
    Supervisor owner;
    GuardianChannel channel(owner.dir(), "guardian");
    std::vector<std::string> args{"--command-guardian", "--startup-ms", "5000", "--grace-ms", "300", "--confirm-ms", "600000",
                                  "--",                 "/bin/sh",      "-c",   "echo armed; while :; do sleep 0.05; done"};
    e2e::startReady(owner, sh(channel.launchUnwaited(args)));
    auto& events = channel.events();
    int root = std::stoi(e2e::member(events.waitFor("started"), "pid"));
    ASSERT_TRUE(events.waitForOutput("armed\n"));
    auto stat = e2e::procStat(root);
    ASSERT_GT(stat.size(), 1u);
    int guardian = std::stoi(stat[1]);  // the root's parent
    ASSERT_GT(guardian, 1);
    owner.signal(SIGKILL);
    EXPECT_EQ(owner.exitStatus(), 128 + SIGKILL);

    // Orphaned, the guardian comes to this test, which can read its status.
    int status = -1;
    bool ended = fixtures::eventually([&] { return ::waitpid(guardian, &status, WNOHANG) == guardian; }, e2e::patience);
    ASSERT_TRUE(ended) << "the guardian is still running";
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    EXPECT_TRUE(shaped(events.waitFor("reaped"), reaped("parent_eof")));
    EXPECT_TRUE(shaped(events.lines().back(), reaped("parent_eof")));
    EXPECT_EQ(channel.errors(), "");
}

// ---------------------------------------------------------------------------------------
// The caller's open file descriptions: a terminal or a socket as standard input and output,
// a pipe as standard error, each shared with the test, have the same status flags after a
// normal, a fatal and a signalled end as before.

struct Io {
    fixtures::Fd near;    // the test's end: it writes control words and reads event lines here
    fixtures::Fd shared;  // the run's standard input and output; the test keeps a copy
};

Io terminalIo() {
    int master = -1, slave = -1;
    Io io;
    if (::openpty(&master, &slave, nullptr, nullptr, nullptr) != 0) return io;
    io.near.reset(master);
    io.shared.reset(slave);
    termios raw{};
    ::tcgetattr(slave, &raw);
    ::cfmakeraw(&raw);
    ::tcsetattr(slave, TCSANOW, &raw);
    return io;
}

Io socketIo() {
    fixtures::SocketPair pair;
    Io io;
    io.near = std::move(pair.a);
    io.shared = std::move(pair.b);
    return io;
}

struct FlagCase {
    std::string name;
    std::function<Io()> io;
    std::string end;  // "normal", "fatal" or "signalled"
};

void PrintTo(const FlagCase& c, std::ostream* os) { *os << c.name; }

class CallerFlags : public ::testing::TestWithParam<FlagCase> {};

TEST_P(CallerFlags, AreAsTheCallerLeftThem) {
    const FlagCase& c = GetParam();
    Io io = c.io();
    ASSERT_GE(io.shared.get(), 0);
    fixtures::Pipe error;
    int ioFlags = ::fcntl(io.shared.get(), F_GETFL), errorFlags = ::fcntl(error.write.get(), F_GETFL);
    ASSERT_EQ(ioFlags & O_NONBLOCK, 0);
    ASSERT_EQ(errorFlags & O_NONBLOCK, 0);

    Supervisor owner;
    owner.useStdio(io.shared.get(), io.shared.get(), error.write.get());
    Budgets b;
    b.graceMs = 100;
    b.confirmMs = 500;
    owner.start(e2e::ownerArgs(sh("echo up >&2; read line; exit 0"), b));
    int near = io.near.get();
    e2e::LineStream events(e2e::pipeSource(&near));
    // The terminal's master and the socket read the same bytes; both end once the run does.
    std::string first = events.waitFor("started");
    ASSERT_FALSE(first.empty());
    ASSERT_TRUE(events.waitForOutput("up\n", "stderr"));
    fixtures::Fd held;
    if (c.end == "normal") {
        ASSERT_EQ(::write(io.near.get(), "terminate\n", 10), 10);
    } else if (c.end == "signalled") {
        owner.signal(SIGTERM);
    } else {
        // Fatal: a process outside the scope keeps the root's standard error open, so the
        // drain budget runs out.
        held.reset(::open(("/proc/" + e2e::member(first, "pid") + "/fd/2").c_str(), O_WRONLY | O_CLOEXEC));
        ASSERT_GE(held.get(), 0);
        ASSERT_EQ(::write(io.near.get(), "terminate\n", 10), 10);
    }
    events.waitFor(c.end == "fatal" ? "failed" : "reaped");
    EXPECT_EQ(owner.exitStatus(), c.end == "fatal" ? 1 : 0);
    EXPECT_EQ(::fcntl(io.shared.get(), F_GETFL), ioFlags);
    EXPECT_EQ(::fcntl(error.write.get(), F_GETFL), errorFlags);
}

std::vector<FlagCase> flagCases() {
    std::vector<FlagCase> cases;
    for (const char* end : {"normal", "fatal", "signalled"}) {
        cases.push_back({std::string("terminal_") + end, terminalIo, end});
        cases.push_back({std::string("socket_") + end, socketIo, end});
    }
    return cases;
}

INSTANTIATE_TEST_SUITE_P(Owner, CallerFlags, ::testing::ValuesIn(flagCases()),
                         [](const ::testing::TestParamInfo<FlagCase>& info) { return info.param.name; });

}  // namespace
