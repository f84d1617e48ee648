// Owner mode end to end: the built program run by a parent that speaks its protocol.
#include <sys/stat.h>

#include <filesystem>
#include <functional>
#include <random>
#include <string>
#include <vector>

#include "e2e/harness.h"

namespace {

using e2e::Budgets;
using e2e::Supervisor;
using e2e::ready;
using e2e::reaped;
using e2e::rootExit;
using e2e::sh;
using e2e::shaped;
using e2e::shapedAll;
using e2e::started;
using e2e::stopping;

std::string failed(const std::string& stage) {
    return R"({"version":1,"event":"failed","stage":")" + stage + R"(","scope":"unknown","queued":#,"dropped":0,"dropped_bytes":0})";
}

// A root that waits for its input: it reports what it read before end of file on standard
// error, then exits 0. It never needs a signal.
const std::string awaitsShutdown = R"(read line; read more; echo "got:$line eof:$?" >&2; exit 0)";

// ---------------------------------------------------------------------------------------
// How a run stops: each row starts a root, acts as the parent once started arrived, and
// expects every line that is not output, in order, and the exit status.

struct StopCase {
    std::string name;
    std::vector<std::string> command;
    Budgets budgets;
    std::function<void(Supervisor&)> act;
    std::vector<std::string> report;  // every line after started, output excluded
    int status;
    std::string rootStderr = "-";  // the root's decoded standard error; "-" = not checked
};

// Test names and failure messages show the row's name, not its bytes.
void PrintTo(const StopCase& c, std::ostream* os) { *os << c.name; }

void confirm(Supervisor& s) {
    s.send("ready");
    s.events().waitFor("ready");
}

std::vector<StopCase> stopCases() {
    auto terminateAfterReady = [](Supervisor& s) {
        confirm(s);
        s.send("terminate");
    };
    auto nothing = [](Supervisor&) {};
    auto word = [](std::string bytes) { return [bytes](Supervisor& s) { s.sendRaw(bytes); }; };
    auto signalTwice = [](int sig) {
        return [sig](Supervisor& s) {
            s.signal(sig);
            s.events().waitFor("stopping");
            s.signal(sig);
        };
    };
    Budgets shortStartup;
    shortStartup.startupMs = 600;
    const std::vector<std::string> shutdownReport{stopping("terminate"), rootExit(0), reaped("terminate")};
    return {
        {"ready_then_terminate", sh(awaitsShutdown), {}, terminateAfterReady,
         {ready, stopping("terminate"), rootExit(0), reaped("terminate")}, 0, "got:shutdown eof:1\n"},
        {"root_exits_with_code_3", sh("exit 3"), {}, nothing, {rootExit(3), stopping("root_exit"), reaped("root_exit")}, 0},
        {"root_killed_by_sigkill", sh("kill -KILL $$"), {}, nothing,
         {rootExit(137), stopping("root_exit"), reaped("root_exit")}, 0},
        {"root_killed_by_sigterm", sh("kill -TERM $$"), {}, nothing,
         {rootExit(143), stopping("root_exit"), reaped("root_exit")}, 0},
        {"missing_command_exits_127", {"/nonexistent/solkari-test-command"}, {}, nothing,
         {rootExit(127), stopping("root_exit"), reaped("root_exit")}, 0},
        {"escalates_to_sigkill", sh("trap '' TERM HUP INT; exec sleep 30"), {}, terminateAfterReady,
         {ready, stopping("terminate"), rootExit(137), reaped("terminate")}, 0},
        {"startup_deadline", sh(awaitsShutdown), shortStartup, nothing,
         {stopping("startup_deadline"), rootExit(0), reaped("startup_deadline")}, 0, "got:shutdown eof:1\n"},
        {"ready_after_deadline_is_ignored", sh(awaitsShutdown), shortStartup,
         [](Supervisor& s) {
             s.events().waitFor("stopping");
             s.send("ready");
         },
         {stopping("startup_deadline"), rootExit(0), reaped("startup_deadline")}, 0},
        {"unknown_word", sh(awaitsShutdown), {}, word("bogus\n"),
         {stopping("control_protocol"), rootExit(0), failed("control_protocol"), reaped("control_protocol")}, 1,
         "got:shutdown eof:1\n"},
        {"ready_with_carriage_return", sh(awaitsShutdown), {}, word("ready\r\n"),
         {stopping("control_protocol"), rootExit(0), failed("control_protocol"), reaped("control_protocol")}, 1},
        {"json_is_not_a_word", sh(awaitsShutdown), {}, word("{\"version\":1,\"event\":\"terminate\"}\n"),
         {stopping("control_protocol"), rootExit(0), failed("control_protocol"), reaped("control_protocol")}, 1},
        {"second_ready", sh(awaitsShutdown), {},
         [](Supervisor& s) {
             confirm(s);
             s.send("ready");
         },
         {ready, stopping("control_protocol"), rootExit(0), failed("control_protocol"), reaped("control_protocol")}, 1},
        {"word_split_across_writes", sh(awaitsShutdown), {},
         [](Supervisor& s) {
             s.sendRaw("term");
             std::this_thread::sleep_for(std::chrono::milliseconds(50));
             s.sendRaw("inate\n");
         },
         shutdownReport, 0},
        {"later_words_do_not_restop", sh(awaitsShutdown), {}, word("terminate\nready\nterminate\n"), shutdownReport, 0},
        {"unknown_word_while_stopping_fails_the_run", sh(awaitsShutdown), {}, word("terminate\nbogus\n"),
         {stopping("terminate"), rootExit(0), failed("control_protocol"), reaped("terminate")}, 1},
        {"end_of_input", sh(awaitsShutdown), {}, [](Supervisor& s) { s.closeInput(); },
         {stopping("owner_eof"), rootExit(0), reaped("owner_eof")}, 0, "got:shutdown eof:1\n"},
        {"sigterm", sh(awaitsShutdown), {}, signalTwice(SIGTERM), {stopping("signal"), rootExit(0), reaped("signal")}, 0},
        {"sigint", sh(awaitsShutdown), {}, signalTwice(SIGINT), {stopping("signal"), rootExit(0), reaped("signal")}, 0},
        {"sighup", sh(awaitsShutdown), {}, signalTwice(SIGHUP), {stopping("signal"), rootExit(0), reaped("signal")}, 0},
    };
}

class OwnerStops : public ::testing::TestWithParam<StopCase> {};

TEST_P(OwnerStops, ReportsEveryStepAndExits) {
    const StopCase& c = GetParam();
    Supervisor owner;
    owner.start(e2e::ownerArgs(c.command, c.budgets));
    ASSERT_TRUE(shaped(owner.events().waitFor("started"), started));
    c.act(owner);
    int status = owner.finish();

    auto lines = owner.events().lines();
    auto report = e2e::reportLines(lines);
    std::vector<std::string> shapes{started};
    shapes.insert(shapes.end(), c.report.begin(), c.report.end());
    EXPECT_TRUE(shapedAll(report, shapes));
    EXPECT_EQ(status, c.status);
    EXPECT_EQ(owner.errors(), "");
    EXPECT_EQ(owner.events().partial(), "") << "an unterminated last line";
    if (c.rootStderr != "-") {
        EXPECT_EQ(e2e::decodedOutput(lines, "stderr"), c.rootStderr);
    }
    if (!report.empty()) {
        EXPECT_GT(e2e::number(report.front(), "pid"), 0);
    }
}

INSTANTIATE_TEST_SUITE_P(Owner, OwnerStops, ::testing::ValuesIn(stopCases()),
                         [](const ::testing::TestParamInfo<StopCase>& info) { return info.param.name; });

// ---------------------------------------------------------------------------------------

std::string exported(const std::string& env, const std::string& key) {
    std::string prefix = "SOLKARI_NATIVE_OWNER_" + key + "=";
    auto at = env.find(prefix);
    if (at == std::string::npos) return "<missing>";
    at += prefix.size();
    return env.substr(at, env.find('\n', at) - at);
}

TEST(OwnerRun, ExportsItsEnvironmentAndGivesTheRootItsOwnSession) {
    Supervisor owner;
    Budgets b{4321, 300, 2345};
    int root = e2e::startReady(
        owner, sh("env | grep '^SOLKARI_NATIVE_OWNER_' | sort; echo stat:; cat /proc/$$/stat; echo facts-end; read line; exit 0"),
        b);
    ASSERT_GT(root, 0);
    ASSERT_TRUE(owner.events().waitForOutput("facts-end\n"));
    std::string out = e2e::decodedOutput(owner.events().lines(), "stdout");

    EXPECT_EQ(exported(out, "HELPER"), std::filesystem::canonical(OWNER_BINARY).string());
    EXPECT_EQ(exported(out, "STARTUP_MS"), "4321");
    EXPECT_EQ(exported(out, "GRACE_MS"), "300");
    EXPECT_EQ(exported(out, "CONFIRM_MS"), "2345");
    std::string token = exported(out, "TOKEN");
    EXPECT_EQ(token.size(), 64u) << token;
    EXPECT_EQ(token.find_first_not_of("0123456789abcdef"), std::string::npos) << token;
    std::string endpoint = exported(out, "ENDPOINT");
    std::string base = owner.dir() + "/solkari-owner-";
    EXPECT_EQ(endpoint.rfind(base, 0), 0u) << endpoint;
    EXPECT_EQ(endpoint.size(), base.size() + 6 + std::string("/control").size()) << endpoint;
    EXPECT_EQ(endpoint.substr(endpoint.size() - 8), "/control");
    struct stat st{};
    EXPECT_EQ(::stat(endpoint.c_str(), &st), 0) << endpoint;
    EXPECT_TRUE(S_ISSOCK(st.st_mode));

    // The root leads a session of its own without a terminal.
    auto fields = e2e::statFields(out.substr(out.find("stat:\n") + 6));
    ASSERT_GE(fields.size(), 6u) << out;
    EXPECT_EQ(fields[2], std::to_string(root)) << "process group";
    EXPECT_EQ(fields[3], std::to_string(root)) << "session";
    EXPECT_EQ(fields[4], "0") << "controlling terminal";

    // The owner left the test's process group for one of its own, but not its session.
    auto self = e2e::procStat(owner.pid());
    ASSERT_GE(self.size(), 4u);
    EXPECT_EQ(self[2], std::to_string(owner.pid()));
    EXPECT_EQ(self[3], std::to_string(::getsid(0)));

    owner.send("terminate");
    EXPECT_EQ(owner.finish(), 0);
    EXPECT_TRUE(shaped(e2e::reportLines(owner.events().lines()).back(), reaped("terminate")));
    struct stat gone{};
    EXPECT_NE(::stat(endpoint.c_str(), &gone), 0) << "the registry socket outlived the run";
}

TEST(OwnerRun, SplitsLargeOutputIntoReadsAndDecodesItExactly) {
    Supervisor owner;
    std::mt19937 random(20240607);
    auto blob = [&](std::size_t size) {
        std::string bytes(size, '\0');
        for (auto& c : bytes) c = static_cast<char>(random() & 0xff);
        return bytes;
    };
    std::string out = blob(50000), err = blob(8193);
    std::string outPath = owner.dir() + "/out.bin", errPath = owner.dir() + "/err.bin";
    std::ofstream(outPath, std::ios::binary) << out;
    std::ofstream(errPath, std::ios::binary) << err;

    owner.start(e2e::ownerArgs(sh("cat " + e2e::quoted(outPath) + "; cat " + e2e::quoted(errPath) + " >&2")));
    int status = owner.finish();
    const auto& lines = owner.events().lines();

    EXPECT_EQ(status, 0);
    EXPECT_TRUE(e2e::decodedOutput(lines, "stdout") == out) << "standard output differs";
    EXPECT_TRUE(e2e::decodedOutput(lines, "stderr") == err) << "standard error differs";
    int outEvents = 0, errEvents = 0;
    for (const auto& line : lines) {
        if (!e2e::isEvent(line, "output")) continue;
        EXPECT_EQ(line.rfind(R"({"version":1,"event":"output","stream":")", 0), 0u);
        auto data = e2e::unbase64(e2e::member(line, "data"));
        ASSERT_TRUE(data.has_value()) << line.substr(0, 200);
        EXPECT_GE(data->size(), 1u);
        EXPECT_LE(data->size(), 8192u);
        EXPECT_LE(line.size(), 10982u);
        (e2e::member(line, "stream") == "stdout" ? outEvents : errEvents)++;
    }
    EXPECT_GE(outEvents, 7);
    EXPECT_GE(errEvents, 2);
    EXPECT_TRUE(shapedAll(e2e::reportLines(lines), {started, rootExit(0), stopping("root_exit"), reaped("root_exit")}));
}

TEST(OwnerRun, SlowParentLosesOutputButCountsEveryByte) {
    Supervisor owner;
    const long long total = 4 << 20;
    std::string done = owner.dir() + "/flooded";
    e2e::startReady(owner, sh("head -c " + std::to_string(total) + " /dev/zero; : >" + e2e::quoted(done) + "; exit 0"));
    // The parent stops reading until the root has written everything.
    ASSERT_TRUE(fixtures::eventually([&] { return std::filesystem::exists(done); }, std::chrono::seconds(30)));
    int status = owner.finish();
    const auto& lines = owner.events().lines();

    std::string delivered = e2e::decodedOutput(lines, "stdout");
    EXPECT_EQ(delivered.find_first_not_of('\0'), std::string::npos);
    auto report = e2e::reportLines(lines);
    ASSERT_TRUE(shapedAll(report, {started, ready, rootExit(0), stopping("root_exit"),
                                   R"({"version":1,"event":"log_dropped","frames":#,"bytes":#})",
                                   R"({"version":1,"event":"reaped","active":0,"reason":"root_exit","queued":#,"dropped":#,"dropped_bytes":#})"}));
    const std::string& logDropped = report[4];
    const std::string& last = report[5];
    long long frames = e2e::number(logDropped, "frames"), bytes = e2e::number(logDropped, "bytes");
    EXPECT_GT(frames, 0);
    EXPECT_EQ(e2e::number(last, "dropped"), frames);
    EXPECT_EQ(e2e::number(last, "dropped_bytes"), bytes);
    EXPECT_EQ(static_cast<long long>(delivered.size()) + bytes, total) << "delivered and dropped bytes do not add up";
    EXPECT_LE(bytes, frames * 8192);
    EXPECT_GE(bytes, frames);
    EXPECT_EQ(status, 0);
}

TEST(OwnerRun, BrokenParentEndsWithStatusOneAndKillsTheScope) {
    Supervisor owner;
    e2e::startReady(owner, sh("trap '' TERM HUP INT; while :; do echo tick; sleep 0.05; done"));
    ASSERT_TRUE(owner.events().waitForOutput("tick"));
    owner.closeOutput();
    EXPECT_EQ(owner.exitStatus(), 1);
    EXPECT_EQ(owner.errors(), "");
    owner.checkLeftovers();
}

TEST(OwnerRun, BackgroundChildKeepsTheRootUnreapedUntilItIsGone) {
    Supervisor owner;
    Budgets b;
    b.graceMs = 2500;  // long enough to look at the scope before the kill
    owner.start(e2e::ownerArgs(sh("sleep 30 & echo child=$!; exit 0"), b));
    std::string first = owner.events().waitFor("started");
    int root = static_cast<int>(e2e::number(first, "pid"));
    EXPECT_EQ(owner.events().waitFor("root_exit"), rootExit(0));
    EXPECT_EQ(owner.events().waitFor("stopping"), stopping("root_exit"));
    ASSERT_TRUE(owner.events().waitForOutput("\n"));
    std::string out = e2e::decodedOutput(owner.events().lines(), "stdout");
    int child = std::atoi(out.substr(out.find("child=") + 6).c_str());
    ASSERT_GT(child, 0) << out;

    // The root stays an unreaped zombie, anchoring its group, while the child lives in it.
    auto rootStat = e2e::procStat(root);
    ASSERT_GE(rootStat.size(), 3u);
    EXPECT_EQ(rootStat[0], "Z");
    auto childStat = e2e::procStat(child);
    ASSERT_GE(childStat.size(), 3u);
    EXPECT_EQ(childStat[2], std::to_string(root));
    EXPECT_NE(childStat[0], "Z");

    EXPECT_TRUE(shaped(owner.events().waitFor("reaped"), reaped("root_exit")));
    auto after = e2e::procStat(child);
    EXPECT_TRUE(after.empty() || after[2] != std::to_string(root)) << "the child outlived the report";
    EXPECT_EQ(owner.finish(), 0);
}

// Standard output and error of the root held open by a process outside the scope (the test itself,
// through the root's /proc entry): quiescence comes, the stream never ends, and the drain
// budget fails the run.
TEST(OwnerRun, DrainDeadlineReportsTheStreamsStillOpen) {
    Supervisor owner;
    Budgets b;
    b.graceMs = 2000;
    b.confirmMs = 1000;
    std::string go = owner.dir() + "/go";
    owner.start(e2e::ownerArgs(sh("echo up; while [ ! -e " + e2e::quoted(go) + " ]; do sleep 0.01; done; exit 0"), b));
    std::string first = owner.events().waitFor("started");
    ASSERT_TRUE(shaped(first, started));
    std::string root = e2e::member(first, "pid");
    // Only once it runs the command are the root's descriptors its pipes.
    ASSERT_TRUE(owner.events().waitForOutput("up\n"));
    fixtures::Fd heldOut(::open(("/proc/" + root + "/fd/1").c_str(), O_WRONLY | O_CLOEXEC));
    fixtures::Fd heldErr(::open(("/proc/" + root + "/fd/2").c_str(), O_WRONLY | O_CLOEXEC));
    ASSERT_GE(heldOut.get(), 0) << std::strerror(errno);
    ASSERT_GE(heldErr.get(), 0) << std::strerror(errno);
    std::ofstream{go};
    int status = owner.finish();
    EXPECT_TRUE(shapedAll(e2e::reportLines(owner.events().lines()),
                          {started, rootExit(0), stopping("root_exit"),
                           R"({"version":1,"event":"failed","stage":"native_api","scope":"unknown","residual_guardians":0,"residual_guardian_states":[],"grace_ms":2000,"confirm_ms":1000})"}));
    EXPECT_EQ(owner.errors(), "owner error: output drain deadline: ended=0 frames=0 parent=0\n");
    EXPECT_EQ(status, 1);
}

}  // namespace
