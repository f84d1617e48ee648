// Guardian modes end to end. A guardian needs a supervisor above it, so every case runs a real
// owner whose root starts the guardian; the test drives the guardian through a FIFO and reads
// its events from a file, and deeper guardians through the one above them.
#include <algorithm>
#include <filesystem>
#include <functional>
#include <set>
#include <string>
#include <vector>

#include "e2e/harness.h"

namespace {

using e2e::Budgets;
using e2e::GuardianChannel;
using e2e::LineStream;
using e2e::Supervisor;
using e2e::guardianArgs;
using e2e::reaped;
using e2e::rootExit;
using e2e::sh;
using e2e::shaped;
using e2e::shapedAll;
using e2e::started;
using e2e::stopping;

std::vector<std::string> commandGuardian(const std::vector<std::string>& command, const std::vector<std::string>& fds = {}) {
    return guardianArgs("--command-guardian", fds, command);
}

std::vector<std::string> ptyGuardian(const std::vector<std::string>& command, int cols = 80, int rows = 24) {
    return guardianArgs("--pty-guardian", {"--cols", std::to_string(cols), "--rows", std::to_string(rows)}, command);
}

// An owner whose root runs one guardian and exits with it.
struct Nested {
    Supervisor owner;
    GuardianChannel guardian{owner.dir(), "guardian"};
    int ownerRoot = -1;

    explicit Nested(const std::vector<std::string>& args) { ownerRoot = e2e::startReady(owner, sh(guardian.launch(args))); }

    LineStream& events() { return guardian.events(); }

    // The guardian ended its run: the owner's root reports the guardian's exit status and
    // exits, and the owner ends its own run normally.
    void expectGuardianExit(int status) {
        EXPECT_EQ(owner.finish(), 0);
        EXPECT_TRUE(e2e::decodedOutput(owner.events().lines(), "stdout").find("guardian-exit=" + std::to_string(status) + "\n") !=
                    std::string::npos)
            << e2e::joined(owner.events().lines());
        EXPECT_TRUE(shaped(e2e::reportLines(owner.events().lines()).back(), reaped("root_exit")));
        EXPECT_EQ(owner.errors(), "");
    }
};

// Every stream_end: its fd once, after the last output of that stream, before reaped.
void expectStreamEnds(const std::vector<std::string>& lines, const std::set<std::string>& fds) {
    std::set<std::string> seen;
    for (std::size_t i = 0; i < lines.size(); ++i) {
        if (!e2e::isEvent(lines[i], "stream_end")) continue;
        std::string fd = e2e::member(lines[i], "fd");
        EXPECT_TRUE(seen.insert(fd).second) << "stream_end twice for fd " << fd;
        for (std::size_t k = i + 1; k < lines.size(); ++k) {
            EXPECT_FALSE(e2e::outputData(lines[k], fd == "1" ? "stdout" : fd == "2" ? "stderr" : fd).has_value())
                << "output after stream_end fd " << fd << ": " << lines[k].substr(0, 120);
            EXPECT_FALSE(e2e::isEvent(lines[k], "started"));
        }
        bool beforeReaped = false;
        for (std::size_t k = i + 1; k < lines.size(); ++k) beforeReaped = beforeReaped || e2e::isEvent(lines[k], "reaped");
        EXPECT_TRUE(beforeReaped) << "stream_end fd " << fd << " after reaped";
    }
    EXPECT_EQ(seen, fds);
}

// ---------------------------------------------------------------------------------------
// Command guardian.

TEST(CommandGuardian, CarriesInputAndOutputOnExtraDescriptors) {
    Nested run(commandGuardian(
        sh("tr a-z A-Z <&3 >&4; exec 4>&-; read l; echo \"stdin:$l\"; echo problem >&2; exit 5"),
        {"--input-fd", "3", "--output-fd", "4"}));
    auto& events = run.events();
    ASSERT_TRUE(shaped(events.waitFor("started"), started));
    run.guardian.send(e2e::writeLine("3", "hello\n"));
    run.guardian.send(e2e::endLine("3"));
    ASSERT_TRUE(events.waitForOutput("HELLO\n", "4"));
    run.guardian.send(e2e::writeLine("0", "wor"));
    run.guardian.send(e2e::writeLine("0", ""));
    run.guardian.send(e2e::writeLine("0", "ld\n"));
    run.guardian.send(e2e::endLine("0"));
    EXPECT_TRUE(shaped(events.waitFor("reaped"), reaped("root_exit")));

    const auto& lines = events.lines();
    EXPECT_EQ(e2e::decodedOutput(lines, "4"), "HELLO\n");
    EXPECT_EQ(e2e::decodedOutput(lines, "stdout"), "stdin:world\n");
    EXPECT_EQ(e2e::decodedOutput(lines, "stderr"), "problem\n");
    for (const auto& line : lines)
        if (e2e::isEvent(line, "fd_output")) {
            EXPECT_EQ(line.rfind(R"({"version":1,"event":"fd_output","fd":4,"data":")", 0), 0u);
        }
    EXPECT_TRUE(shapedAll(e2e::without(e2e::reportLines(lines), "stream_end"),
                          {started, rootExit(5), stopping("root_exit"), reaped("root_exit")}));
    expectStreamEnds(lines, {"1", "2", "4"});
    run.expectGuardianExit(0);
    EXPECT_EQ(run.guardian.errors(), "");
}

// How a command guardian's run is stopped from its parent: each row acts once the root is
// running and expects the guardian's report (stream_end lines aside).
struct GuardianStop {
    std::string name;
    std::string script;
    std::function<void(GuardianChannel&)> act;
    std::vector<std::string> report;
};

void PrintTo(const GuardianStop& c, std::ostream* os) { *os << c.name; }

std::vector<GuardianStop> guardianStops() {
    const std::string loop = "echo armed; while :; do sleep 0.05; done";
    auto say = [](std::string line) { return [line](GuardianChannel& g) { g.send(line); }; };
    return {
        {"terminate_line", loop, say(e2e::terminateLine), {stopping("terminate"), rootExit(143), reaped("terminate")}},
        {"end_of_input", loop, [](GuardianChannel& g) { g.closeInput(); }, {stopping("owner_eof"), rootExit(143), reaped("owner_eof")}},
        {"sigterm", loop, say(e2e::signalLine("SIGTERM")), {stopping("signal"), rootExit(143), reaped("signal")}},
        {"sigkill_through_ignored_term", "trap '' TERM; " + loop, say(e2e::signalLine("SIGKILL")),
         {stopping("signal"), rootExit(137), reaped("signal")}},
        {"sigint_does_not_stop",
         "trap 'echo interrupted' INT; " + loop,
         [](GuardianChannel& g) {
             g.send(e2e::signalLine("SIGINT"));
             g.events().waitForOutput("interrupted\n");
             g.send(e2e::terminateLine);
         },
         {stopping("terminate"), rootExit(143), reaped("terminate")}},
        {"write_after_end_while_stopping_is_ignored", loop,
         [](GuardianChannel& g) {
             g.send(e2e::terminateLine);
             g.send(e2e::endLine("0"));
             g.send(e2e::writeLine("0", "late\n"));
         },
         {stopping("terminate"), rootExit(143), reaped("terminate")}},
    };
}

class CommandGuardianStops : public ::testing::TestWithParam<GuardianStop> {};

TEST_P(CommandGuardianStops, ReportsAndExitsCleanly) {
    const GuardianStop& c = GetParam();
    Nested run(commandGuardian(sh(c.script)));
    auto& events = run.events();
    ASSERT_TRUE(shaped(events.waitFor("started"), started));
    ASSERT_TRUE(events.waitForOutput("armed\n"));
    c.act(run.guardian);
    EXPECT_FALSE(events.waitFor("reaped").empty());
    std::vector<std::string> shapes{started};
    shapes.insert(shapes.end(), c.report.begin(), c.report.end());
    EXPECT_TRUE(shapedAll(e2e::without(e2e::reportLines(events.lines()), "stream_end"), shapes));
    expectStreamEnds(events.lines(), {"1", "2"});
    run.expectGuardianExit(0);
    EXPECT_EQ(run.guardian.errors(), "");
}

INSTANTIATE_TEST_SUITE_P(Guardian, CommandGuardianStops, ::testing::ValuesIn(guardianStops()),
                         [](const ::testing::TestParamInfo<GuardianStop>& info) { return info.param.name; });

TEST(CommandGuardian, SpawnFailureIsReportedAndFailsTheRun) {
    Nested run(commandGuardian({"/nonexistent/solkari-test-command"}));
    auto& events = run.events();
    EXPECT_FALSE(events.waitFor("reaped").empty());
    const auto& lines = events.lines();
    EXPECT_TRUE(shapedAll(e2e::without(e2e::reportLines(lines), "stream_end"),
                          {R"({"version":1,"event":"spawn_failed","pid":#,"errno":2})", stopping("spawn_failed"),
                           R"({"version":1,"event":"root_exit","code":#})",
                           R"({"version":1,"event":"failed","stage":"exec","scope":"unknown","queued":#,"dropped":0,"dropped_bytes":0})",
                           reaped("spawn_failed")}));
    // The child exits 127 once it has reported the failure, unless the stop's first SIGTERM
    // to the group reaches it before it gets there.
    auto exit = std::find_if(lines.begin(), lines.end(), [](const std::string& l) { return e2e::isEvent(l, "root_exit"); });
    ASSERT_NE(exit, lines.end());
    std::string code = e2e::member(*exit, "code");
    EXPECT_TRUE(code == "127" || code == "143") << code;
    expectStreamEnds(lines, {"1", "2"});
    run.expectGuardianExit(1);
}

// A guardian never drops output and never slows its root down: once 64 lines wait for a
// parent that does not read, it stops and fails with output_overflow. Here the parent starts
// reading only after the root has written everything, far more than the pipe and the queue
// can hold.
TEST(CommandGuardian, ParentThatDoesNotReadOverflowsIt) {
    Supervisor owner;
    GuardianChannel guardian{owner.dir(), "guardian"};
    std::string flooded = e2e::quoted(owner.dir() + "/flooded");
    std::string root = "trap '' TERM; head -c 4000000 /dev/zero; : >" + flooded + "; exec sleep 30";
    e2e::startReady(owner, sh(guardian.launchThrough(commandGuardian(sh(root)),
                                                     "while [ ! -e " + flooded + " ]; do sleep 0.05; done; cat")));
    auto& events = guardian.events();
    EXPECT_FALSE(events.waitFor("reaped").empty());
    EXPECT_TRUE(shapedAll(
        e2e::without(e2e::reportLines(events.lines()), "stream_end"),
        {started, stopping("output_overflow"), rootExit(137),
         R"({"version":1,"event":"failed","stage":"io_failure","scope":"unknown","kind":"output_overflow","queued":#,"dropped":0,"dropped_bytes":0})",
         reaped("output_overflow")}))
        << e2e::joined(e2e::reportLines(events.lines()));
    std::string delivered = e2e::decodedOutput(events.lines(), "stdout");
    EXPECT_GT(delivered.size(), 0u);
    EXPECT_LT(delivered.size(), 4000000u);
    EXPECT_EQ(delivered.find_first_not_of('\0'), std::string::npos);
    EXPECT_EQ(owner.finish(), 0);
    EXPECT_EQ(guardian.errors(), "");
}

// A fatal error in a released guardian kills its own scope and ends it without a quiescence
// proof, which the owner above cannot account for: it fails in turn and kills its scope.
TEST(CommandGuardian, FatalErrorEndsItWithoutProofAndFailsTheOwner) {
    Nested run(commandGuardian(sh("trap '' TERM; echo armed; while :; do sleep 0.05; done")));
    auto& events = run.events();
    ASSERT_TRUE(events.waitForOutput("armed\n"));
    run.guardian.send(R"({"version":1,"event":"write","fd":"7","data":""})");
    EXPECT_EQ(run.owner.finish(), 1);
    EXPECT_EQ(run.owner.errors(), "owner error: guardian exited without quiescent proof\n");
    ASSERT_FALSE(run.owner.events().lines().empty());
    EXPECT_EQ(run.owner.events().lines().back(), R"({"version":1,"event":"failed","stage":"native_api","scope":"unknown"})");
    EXPECT_EQ(events.waitFor("failed"), R"({"version":1,"event":"failed","stage":"native_api","scope":"unknown"})");
    EXPECT_EQ(events.lines().back(), R"({"version":1,"event":"failed","stage":"native_api","scope":"unknown"})");
    EXPECT_EQ(run.guardian.errors(), "owner error: unknown input fd\n");
}

// SIGKILL leaves a guardian no chance to prove its scope empty or to clean up: the owner
// fails, and what the guardian left in its own session is killed rather than orphaned (the
// harness fails the test if any process of the run survives).
TEST(CommandGuardian, KilledGuardianTakesItsSessionWithIt) {
    Nested run(commandGuardian(sh("trap '' TERM; sleep 1000 & echo armed; while :; do sleep 0.05; done")));
    auto& events = run.events();
    int root = std::stoi(e2e::member(events.waitFor("started"), "pid"));
    ASSERT_TRUE(events.waitForOutput("armed\n"));
    auto stat = e2e::procStat(root);
    ASSERT_GT(stat.size(), 1u);
    int guardian = std::stoi(stat[1]);  // the root's parent
    ASSERT_GT(guardian, 1);
    ASSERT_EQ(::kill(guardian, SIGKILL), 0);
    EXPECT_EQ(run.owner.finish(), 1);
    EXPECT_EQ(run.owner.errors(), "owner error: guardian exited without quiescent proof\n");
    // Only the killed guardian's socket directory can be left; nothing could remove it.
    std::error_code ignored;
    for (const auto& entry : std::filesystem::directory_iterator(run.owner.dir(), ignored))
        if (entry.path().filename().string().rfind("solkari-owner-", 0) == 0) std::filesystem::remove_all(entry.path(), ignored);
}

// ---------------------------------------------------------------------------------------
// Pty guardian.

TEST(PtyGuardian, RootLeadsTheForegroundGroupOfItsTerminal) {
    Nested run(ptyGuardian({"/bin/cat", "/proc/self/stat"}));
    auto& events = run.events();
    std::string first = events.waitFor("started");
    ASSERT_TRUE(shaped(first, started));
    std::string root = e2e::member(first, "pid");
    EXPECT_TRUE(shaped(events.waitFor("reaped"), reaped("root_exit")));
    auto fields = e2e::statFields(e2e::decodedOutput(events.lines(), "stdout"));
    ASSERT_GE(fields.size(), 6u);
    EXPECT_EQ(fields[2], root) << "leads its process group";
    EXPECT_NE(fields[3], root) << "is not a session leader";
    EXPECT_NE(fields[4], "0") << "has a controlling terminal";
    EXPECT_EQ(fields[5], root) << "is the terminal's foreground group";
    EXPECT_TRUE(shapedAll(e2e::reportLines(events.lines()), {started, rootExit(0), stopping("root_exit"),
                                                             R"({"version":1,"event":"stream_end","fd":1})", reaped("root_exit")}));
    run.expectGuardianExit(0);
}

TEST(PtyGuardian, ResizeReachesTheTerminal) {
    Nested run(ptyGuardian(sh("stty size; read l; stty size"), 80, 24));
    auto& events = run.events();
    ASSERT_TRUE(events.waitForOutput("24 80\r\n"));
    run.guardian.send(e2e::resizeLine(100, 30));
    run.guardian.send(e2e::writeLine("0", "go\n"));
    ASSERT_TRUE(events.waitForOutput("30 100\r\n"));
    EXPECT_TRUE(shaped(events.waitFor("reaped"), reaped("root_exit")));
    run.expectGuardianExit(0);
}

TEST(PtyGuardian, TerminalInputReachesAShell) {
    Nested run(ptyGuardian({"/bin/sh"}));
    auto& events = run.events();
    ASSERT_TRUE(shaped(events.waitFor("started"), started));
    // The answer differs from the echoed command line, so only the shell can have written it.
    run.guardian.send(e2e::writeLine("0", "echo $((6*7))\n"));
    ASSERT_TRUE(events.waitForOutput("42\r\n"));
    run.guardian.send(e2e::writeLine("0", "exit 4\n"));
    EXPECT_TRUE(shaped(events.waitFor("reaped"), reaped("root_exit")));
    EXPECT_TRUE(shapedAll(e2e::reportLines(events.lines()), {started, rootExit(4), stopping("root_exit"),
                                                             R"({"version":1,"event":"stream_end","fd":1})", reaped("root_exit")}));
    run.expectGuardianExit(0);
}

TEST(PtyGuardian, OutputIsDrainedBeforeStreamEnd) {
    Nested run(ptyGuardian(sh("head -c 100000 /dev/zero | tr '\\0' x; echo END")));
    auto& events = run.events();
    EXPECT_TRUE(shaped(events.waitFor("reaped"), reaped("root_exit")));
    EXPECT_EQ(e2e::decodedOutput(events.lines(), "stdout"), std::string(100000, 'x') + "END\r\n");
    expectStreamEnds(events.lines(), {"1"});
    run.expectGuardianExit(0);
}

TEST(PtyGuardian, TerminateStopsEveryProcessOnTheTerminal) {
    Nested run(ptyGuardian(sh("sleep 60 & echo armed; wait")));
    auto& events = run.events();
    ASSERT_TRUE(events.waitForOutput("armed\r\n"));
    run.guardian.send(e2e::terminateLine);
    EXPECT_TRUE(shaped(events.waitFor("reaped"), reaped("terminate")));
    EXPECT_TRUE(shapedAll(e2e::without(e2e::reportLines(events.lines()), "stream_end"),
                          {started, stopping("terminate"), rootExit(143), reaped("terminate")}));
    expectStreamEnds(events.lines(), {"1"});
    run.expectGuardianExit(0);
}

// ---------------------------------------------------------------------------------------
// Nesting.

// owner -> command guardian -> pty guardian, torn down by one terminate to the owner. The
// pty guardian's event lines travel as the command guardian's root output; each level can
// only finish once the level below has sent its quiescence proof.
TEST(Nesting, OneTerminateTearsDownTheWholeChain) {
    auto inner = ptyGuardian(sh("sleep 60 & echo inner-up; wait"));
    Nested run(commandGuardian(sh("\"$SOLKARI_NATIVE_OWNER_HELPER\" " + e2e::shellWords(inner) + "; echo pty-exit=$?")));
    LineStream& middle = run.events();
    LineStream innermost(e2e::relaySource(middle));
    ASSERT_TRUE(shaped(middle.waitFor("started"), started));
    ASSERT_TRUE(shaped(innermost.waitFor("started"), started));
    ASSERT_TRUE(innermost.waitForOutput("inner-up"));

    run.owner.send("terminate");
    EXPECT_EQ(run.owner.finish(), 0);
    EXPECT_TRUE(shapedAll(e2e::reportLines(run.owner.events().lines()),
                          {started, R"({"version":1,"event":"ready"})", stopping("terminate"), rootExit(0), reaped("terminate")}));
    EXPECT_NE(e2e::decodedOutput(run.owner.events().lines(), "stdout").find("guardian-exit=0\n"), std::string::npos);
    EXPECT_EQ(run.owner.errors(), "");

    // The middle guardian stopped on its registry's terminate and finished normally.
    std::string middleReaped = middle.waitFor("reaped");
    EXPECT_TRUE(shaped(middleReaped, reaped("terminate")));
    EXPECT_TRUE(shapedAll(e2e::without(e2e::reportLines(middle.lines()), "stream_end"),
                          {started, stopping("terminate"), rootExit(143), reaped("terminate")}));
    expectStreamEnds(middle.lines(), {"1", "2"});
    EXPECT_EQ(run.guardian.errors(), "");

    // The innermost one was told by both its registry link and the end of its input; either
    // may win, but it finished, and its report travelled up before the middle one's.
    std::string innerReaped = innermost.waitFor("reaped");
    ASSERT_FALSE(innerReaped.empty());
    auto innerReport = e2e::without(e2e::reportLines(innermost.lines()), "stream_end");
    ASSERT_EQ(innerReport.size(), 4u) << e2e::joined(innermost.lines());
    std::string reason = e2e::member(innerReport[1], "reason");
    EXPECT_TRUE(reason == "terminate" || reason == "owner_eof") << innerReport[1];
    EXPECT_TRUE(shapedAll(innerReport, {started, stopping(reason), rootExit(143), reaped(reason)}));
    expectStreamEnds(innermost.lines(), {"1"});
    auto at = std::find(middle.lines().begin(), middle.lines().end(), middleReaped);
    std::vector<std::string> beforeMiddleReaped(middle.lines().begin(), at);
    EXPECT_NE(e2e::decodedOutput(beforeMiddleReaped, "stdout").find(innerReaped), std::string::npos);
}

// A registered guardian that detaches and then never proves its scope empty holds the owner
// past its confirmation budget: the owner fails with the residual report.
TEST(Nesting, UnprovenGuardianRunsOutTheConfirmationBudget) {
    std::string silent = std::string(OWNER_BUILD_DIR) + "/silent-guardian";
    ASSERT_TRUE(std::filesystem::exists(silent)) << "build the tools first: " << silent;
    Supervisor owner;
    Budgets b;
    b.graceMs = 300;
    b.confirmMs = 1000;
    int root = e2e::startReady(owner, sh(e2e::quoted(silent) + " & read line; exit 0"), b);
    ASSERT_TRUE(owner.events().waitForOutput("\n"));
    std::string out = e2e::decodedOutput(owner.events().lines(), "stdout");
    ASSERT_EQ(out.rfind("released ", 0), 0u) << out;
    int guardian = std::atoi(out.c_str() + 9);

    owner.send("terminate");
    int status = owner.finish();
    EXPECT_TRUE(shapedAll(e2e::reportLines(owner.events().lines()),
                          {started, R"({"version":1,"event":"ready"})", stopping("terminate"), rootExit(0),
                           R"({"version":1,"event":"failed","stage":"native_api","scope":"unknown","residual_guardians":1,"residual_guardian_states":[")" +
                               std::to_string(guardian) + R"(:not_quiescent"],"residual_members":1,"residual_member_states":[")" +
                               std::to_string(root) + R"(:zombie"],"grace_ms":300,"confirm_ms":1000})"}));
    EXPECT_EQ(owner.errors(), "owner error: scope confirmation deadline\n");
    EXPECT_EQ(status, 1);
}

}  // namespace
