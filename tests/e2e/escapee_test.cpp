// Processes that leave the root's process group or session are still the run's: the
// supervisor waits for them and kills them like any member, in every mode, at any scope size.
#include <sys/resource.h>

#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "e2e/harness.h"

namespace {

using e2e::Budgets;
using e2e::GuardianChannel;
using e2e::LineStream;
using e2e::Supervisor;
using e2e::guardianArgs;
using e2e::ready;
using e2e::reaped;
using e2e::rootExit;
using e2e::sh;
using e2e::shaped;
using e2e::shapedAll;
using e2e::started;
using e2e::stopping;
using e2e::streamEnd;

// Shell text: runs the command as a process that has left the root's session (setsid) or
// only its process group (setpgid), once it has left, prints "escapee=PID" on the standard
// output it was given, then execs sleep with the given redirections.
std::string escapee(const std::string& how, const std::string& redirect = "</dev/null >/dev/null 2>&1") {
    std::string body = e2e::quoted("echo escapee=$$; exec sleep 1000 " + redirect);
    if (how == "session") return "setsid sh -c " + body;
    return "perl -e 'setpgrp(0, 0); exec @ARGV' sh -c " + body;
}

// The escapee's pid, once its line came.
int escapeePid(LineStream& events, const std::string& stream = "stdout") {
    if (!events.waitForOutput("escapee=", stream)) return -1;
    if (!events.waitForOutput("\n", stream)) return -1;
    std::string out = e2e::decodedOutput(events.lines(), stream);
    return std::atoi(out.c_str() + out.find("escapee=") + 8);
}

// The escapee really left: it leads its own session, or its own group in the root's session.
void expectEscaped(int pid, int root, const std::string& how) {
    auto fields = e2e::procStat(pid);
    ASSERT_GE(fields.size(), 4u) << "escapee " << pid << " is gone already";
    EXPECT_NE(fields[0], "Z");
    EXPECT_EQ(fields[2], std::to_string(pid)) << "leads its process group";
    if (how == "session")
        EXPECT_EQ(fields[3], std::to_string(pid)) << "leads its session";
    else
        EXPECT_EQ(fields[3], std::to_string(root)) << "stays in the root's session";
}

// Gone for good, not even a zombie: the scope was proven empty with it in it.
void expectGone(int pid) { EXPECT_TRUE(e2e::procStat(pid).empty()) << e2e::describe(pid); }

// ---------------------------------------------------------------------------------------
// Owner mode: each row starts a root that sets an escapee going, stops the run once the
// escapee is out, and expects an ordinary report with the escapee dead before reaped.

struct EscapeeCase {
    std::string name;
    std::string how;     // "session" or "group"
    std::string script;  // the root; it must wait for its input to end
};

void PrintTo(const EscapeeCase& c, std::ostream* os) { *os << c.name; }

class OwnerEscapees : public ::testing::TestWithParam<EscapeeCase> {};

TEST_P(OwnerEscapees, AreKilledBeforeReaped) {
    const EscapeeCase& c = GetParam();
    Supervisor owner;
    int root = e2e::startReady(owner, sh(c.script));
    int pid = escapeePid(owner.events());
    ASSERT_GT(pid, 0);
    expectEscaped(pid, root, c.how);
    owner.send("terminate");
    EXPECT_EQ(owner.finish(), 0);
    EXPECT_TRUE(shapedAll(e2e::reportLines(owner.events().lines()),
                          {started, ready, stopping("terminate"), rootExit(0), reaped("terminate")}));
    EXPECT_EQ(owner.errors(), "");
    expectGone(pid);
}

INSTANTIATE_TEST_SUITE_P(
    Owner, OwnerEscapees,
    ::testing::Values(
        // The daemon's parent exits at once, so it is orphaned to the supervisor, and it has
        // children of its own, which are orphaned to the supervisor in turn when it is killed.
        EscapeeCase{"setsid_daemon_by_double_fork", "session",
                    "(setsid sh -c 'sleep 1000 & sleep 1000 & echo escapee=$$; exec >/dev/null 2>&1 </dev/null; wait' &); "
                    "read line; exit 0"},
        EscapeeCase{"setpgid_member", "group", escapee("group") + " & read line; exit 0"},
        // It keeps the root's standard output and error: they end only when it is killed.
        EscapeeCase{"daemon_holding_the_root_output", "session", escapee("session", "") + " & read line; exit 0"}),
    [](const ::testing::TestParamInfo<EscapeeCase>& info) { return info.param.name; });

// ---------------------------------------------------------------------------------------
// Guardians.

// An owner whose root runs one guardian, as the guardian tests do.
struct Nested {
    Supervisor owner;
    GuardianChannel guardian{owner.dir(), "guardian"};

    explicit Nested(const std::vector<std::string>& args) { e2e::startReady(owner, sh(guardian.launch(args))); }
};

TEST(GuardianEscapees, EscapeeBelowACommandGuardianIsKilled) {
    Nested run(guardianArgs("--command-guardian", {}, sh(escapee("session") + " & while :; do sleep 0.05; done")));
    auto& events = run.guardian.events();
    int root = std::stoi(e2e::member(events.waitFor("started"), "pid"));
    int pid = escapeePid(events);
    ASSERT_GT(pid, 0);
    auto rootStat = e2e::procStat(root);
    ASSERT_GE(rootStat.size(), 4u);
    expectEscaped(pid, root, "session");
    run.guardian.send(e2e::terminateLine);
    EXPECT_TRUE(shaped(events.waitFor("reaped"), reaped("terminate")));
    expectGone(pid);
    EXPECT_TRUE(shapedAll(e2e::without(e2e::reportLines(events.lines()), "stream_end"),
                          {started, stopping("terminate"), rootExit(143), reaped("terminate")}));
    EXPECT_EQ(run.owner.finish(), 0);
    EXPECT_NE(e2e::decodedOutput(run.owner.events().lines(), "stdout").find("guardian-exit=0\n"), std::string::npos);
    EXPECT_EQ(run.guardian.errors(), "");
}

// A daemon that keeps the terminal as its standard streams: the root exits once the daemon
// has said who it is (it has become sleep), the daemon is killed as a member, and the
// terminal's output ends normally.
TEST(GuardianEscapees, EscapeeHoldingAPtyGuardiansTerminalIsKilled) {
    Nested run(guardianArgs("--pty-guardian", {"--cols", "80", "--rows", "24"},
                            sh(escapee("session", "") +
                               " & p=$!; while :; do set -- $(cat /proc/$p/stat); [ \"$2\" = \"(sleep)\" ] && [ \"$6\" = \"$p\" ] && break; sleep 0.01; done; exit 0")));
    auto& events = run.guardian.events();
    EXPECT_TRUE(shaped(events.waitFor("reaped"), reaped("root_exit")));
    EXPECT_TRUE(shapedAll(e2e::reportLines(events.lines()),
                          {started, rootExit(0), stopping("root_exit"), streamEnd, reaped("root_exit")}));
    int pid = escapeePid(events);
    ASSERT_GT(pid, 0);
    expectGone(pid);
    EXPECT_EQ(run.owner.finish(), 0);
    EXPECT_NE(e2e::decodedOutput(run.owner.events().lines(), "stdout").find("guardian-exit=0\n"), std::string::npos);
    EXPECT_EQ(run.guardian.errors(), "");
}

// A process outside the scope that holds the terminal (the test, through the root's /proc
// entry) does not hold the run: once the scope is empty the terminal is read until it has
// nothing more.
TEST(GuardianEscapees, TerminalHeldFromOutsideTheScopeStillEnds) {
    Nested run(guardianArgs("--pty-guardian", {"--cols", "80", "--rows", "24"},
                            sh("echo up; read line; echo bye")));
    auto& events = run.guardian.events();
    std::string root = e2e::member(events.waitFor("started"), "pid");
    ASSERT_TRUE(events.waitForOutput("up\r\n"));
    fixtures::Fd held(::open(("/proc/" + root + "/fd/0").c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC));
    ASSERT_GE(held.get(), 0) << std::strerror(errno);
    run.guardian.send(e2e::writeLine("0", "go\n"));
    EXPECT_TRUE(shaped(events.waitFor("reaped"), reaped("root_exit")));
    EXPECT_NE(e2e::decodedOutput(events.lines(), "stdout").find("bye\r\n"), std::string::npos);
    EXPECT_TRUE(shapedAll(e2e::reportLines(events.lines()),
                          {started, rootExit(0), stopping("root_exit"), streamEnd, reaped("root_exit")}));
    EXPECT_EQ(run.owner.finish(), 0);
    EXPECT_EQ(run.guardian.errors(), "");
}

// A SIGKILLed guardian proves nothing; what it left, in its session or escaped from it, is
// orphaned to the owner, which kills it on its way out.
TEST(GuardianEscapees, OrphansOfAKilledGuardianAreKilledByTheOwner) {
    Nested run(guardianArgs("--command-guardian", {},
                            sh("trap '' TERM; sleep 1000 & " + escapee("session") + " & while :; do sleep 0.05; done")));
    auto& events = run.guardian.events();
    int root = std::stoi(e2e::member(events.waitFor("started"), "pid"));
    int pid = escapeePid(events);
    ASSERT_GT(pid, 0);
    auto stat = e2e::procStat(root);
    ASSERT_GT(stat.size(), 1u);
    int guardian = std::stoi(stat[1]);  // the root's parent
    ASSERT_GT(guardian, 1);
    ASSERT_EQ(::kill(guardian, SIGKILL), 0);
    EXPECT_EQ(run.owner.finish(), 1);
    EXPECT_EQ(run.owner.errors(), "owner error: guardian exited without quiescent proof\n");
    expectGone(pid);
    // The killed guardian's socket directory is its sentinel's to remove, which the owner's
    // kill may forestall; the owner's own must be gone (the harness checks).
    std::error_code ignored;
    for (const auto& entry : std::filesystem::directory_iterator(run.owner.dir(), ignored))
        if (entry.path().filename().string().rfind("solkari-owner-", 0) == 0) std::filesystem::remove_all(entry.path(), ignored);
}

// ---------------------------------------------------------------------------------------
// Any scope size: thousands of members that ignore SIGTERM, under a caller's soft descriptor
// limit of 1024 (which the root gets back), with the hard limit as it is or as low as the
// soft one. The members are forked, not executed, to spare a loaded machine.

struct LimitCase {
    std::string name;
    std::string limit;  // prlimit's --nofile value
    int members;
};

void PrintTo(const LimitCase& c, std::ostream* os) { *os << c.name; }

class LargeScope : public ::testing::TestWithParam<LimitCase> {};

TEST_P(LargeScope, EndsWithReaped) {
    const LimitCase& c = GetParam();
    Supervisor owner;
    owner.launchThrough({"/usr/bin/prlimit", "--nofile=" + c.limit, "--"});
    Budgets b;
    b.confirmMs = 60000;  // a budget for the machine's load, not a measure of speed
    std::string members = "$SIG{TERM} = 'IGNORE'; $| = 1; for (1.." + std::to_string(c.members) +
                          ") { my $p = fork; die \"fork: $!\" unless defined $p; if (!$p) { sleep 1000; exit 0 } } "
                          "print \"members-up\\n\"; my $line = <STDIN>; exit 0";
    e2e::startReady(owner, sh("echo limit=$(ulimit -n); exec perl -e " + e2e::quoted(members)), b);
    ASSERT_TRUE(owner.events().waitForOutput("members-up\n", "stdout", std::chrono::seconds(90)));
    EXPECT_NE(e2e::decodedOutput(owner.events().lines(), "stdout").find("limit=1024\n"), std::string::npos);
    owner.send("terminate");
    EXPECT_EQ(owner.finish(std::chrono::seconds(60)), 0);
    EXPECT_TRUE(shapedAll(e2e::reportLines(owner.events().lines()),
                          {started, ready, stopping("terminate"), rootExit(0), reaped("terminate")}));
    EXPECT_EQ(owner.errors(), "");
}

INSTANTIATE_TEST_SUITE_P(Owner, LargeScope,
                         ::testing::Values(LimitCase{"soft_limit_1024", "1024:", 5000},
                                           LimitCase{"hard_limit_1024", "1024:1024", 2000}),
                         [](const ::testing::TestParamInfo<LimitCase>& info) { return info.param.name; });

}  // namespace
