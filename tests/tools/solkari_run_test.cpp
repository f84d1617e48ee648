// solkari-run as a person meets it: at a terminal (a pseudo-terminal here, with Ctrl-C typed
// as the byte 0x03), or with its output captured. Every process a test starts carries a
// random marker in its environment, so the test can prove the whole tree is gone afterwards
// and kill whatever a failing run left behind.
#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <optional>
#include <regex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "support/fixtures.h"

namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

constexpr milliseconds patience{20000};
constexpr const char* markerName = "SOLKARI_RUN_TEST_MARKER";

std::string runner() { return std::string(OWNER_BUILD_DIR) + "/solkari-run"; }

std::string randomMarker() {
    unsigned char raw[12];
    std::size_t got = 0;
    while (got < sizeof raw) {
        ssize_t n = ::getrandom(raw + got, sizeof raw - got, 0);
        if (n > 0) got += static_cast<std::size_t>(n);
    }
    std::string hex;
    for (unsigned char c : raw) {
        hex += "0123456789abcdef"[c >> 4];
        hex += "0123456789abcdef"[c & 15];
    }
    return hex;
}


std::vector<int> marked(const std::string& marker) {
    return fixtures::processesWithEnvironment(std::string(markerName) + "=" + marker);
}

std::vector<std::string> ownerDirectories(const std::string& dir) {
    std::vector<std::string> found;
    std::error_code ignored;
    for (const auto& entry : std::filesystem::directory_iterator(dir, ignored))
        if (entry.path().filename().string().rfind("solkari-owner-", 0) == 0) found.push_back(entry.path().string());
    return found;
}

// One run of solkari-run, with its standard output and error either captured on pipes or
// joined on a pseudo-terminal whose session it leads. The destructor kills the runner's
// group and every marked process, then reaps the runner.
// How one run is started: on a pseudo-terminal or on pipes (standard input then carries
// input and ends), which program (solkari-run unless a shell wraps it), and what is added to
// the environment.
struct Launch {
    bool terminal = false;
    std::vector<std::string> environment;
    std::string program = runner();
    std::string input;
};

class RunnerRun {
public:
    RunnerRun(const std::vector<std::string>& args, bool terminal, std::vector<std::string> environment = {})
        : RunnerRun(args, Launch{terminal, std::move(environment), runner(), ""}) {}
    RunnerRun(const std::vector<std::string>& args, Launch launch) : marker_(randomMarker()) {
        ::signal(SIGPIPE, SIG_IGN);
        std::vector<std::string> words = {launch.program};
        words.insert(words.end(), args.begin(), args.end());
        std::string entry = std::string(markerName) + "=" + marker_;
        std::vector<char*> argv;
        for (auto& w : words) argv.push_back(w.data());
        argv.push_back(nullptr);
        if (launch.terminal) {
            int master = -1;
            pid_ = ::forkpty(&master, nullptr, nullptr, nullptr);
            if (pid_ == 0) {
                ::putenv(entry.data());
                for (auto& e : launch.environment) ::putenv(e.data());
                ::execv(argv[0], argv.data());
                ::_exit(126);
            }
            out_.reset(master);
            return;
        }
        int in[2];
        int out[2];
        int err[2];
        if (::pipe2(in, O_CLOEXEC) != 0 || ::pipe2(out, O_CLOEXEC) != 0 || ::pipe2(err, O_CLOEXEC) != 0) return;
        pid_ = ::fork();
        if (pid_ == 0) {
            ::setpgid(0, 0);
            ::dup2(in[0], 0);
            ::dup2(out[1], 1);
            ::dup2(err[1], 2);
            ::putenv(entry.data());
            for (auto& e : launch.environment) ::putenv(e.data());
            ::execv(argv[0], argv.data());
            ::_exit(126);
        }
        ::setpgid(pid_, pid_);
        ::close(in[0]);
        ::close(out[1]);
        ::close(err[1]);
        // Small enough for the pipe: written whole before anyone reads.
        if (!launch.input.empty()) {
            ssize_t ignored = ::write(in[1], launch.input.data(), launch.input.size());
            (void)ignored;
        }
        ::close(in[1]);
        out_.reset(out[0]);
        err_.reset(err[0]);
    }
    RunnerRun(const RunnerRun&) = delete;
    RunnerRun& operator=(const RunnerRun&) = delete;
    ~RunnerRun() {
        if (pid_ > 0) {
            ::kill(-pid_, SIGKILL);
            ::kill(pid_, SIGKILL);
            reap(patience);
        }
        killMarked();
    }

    const std::string& marker() const { return marker_; }
    int terminalFd() const { return out_.get(); }
    const std::string& out() const { return outText_; }
    const std::string& err() const { return errText_; }

    // Reads both streams until the text shows up in standard output (or the terminal).
    bool waitForOutput(const std::string& text, milliseconds budget = patience) {
        auto deadline = Clock::now() + budget;
        while (outText_.find(text) == std::string::npos) {
            if (!pump(deadline)) return outText_.find(text) != std::string::npos;
        }
        return true;
    }

    // Reads everything until both streams end, then reaps the runner: its wait status, or
    // nullopt when it did not end within the budget.
    std::optional<int> finish(milliseconds budget = patience) {
        auto deadline = Clock::now() + budget;
        while (pump(deadline)) {
        }
        return reap(std::chrono::duration_cast<milliseconds>(deadline - Clock::now()) + milliseconds(1000));
    }

    void killMarked() {
        for (int i = 0; i < 50; ++i) {
            auto left = marked(marker_);
            if (left.empty()) return;
            for (int pid : left) ::kill(pid, SIGKILL);
            std::this_thread::sleep_for(milliseconds(20));
        }
    }

private:
    // One round of reading; false once every stream ended or the deadline passed.
    bool pump(Clock::time_point deadline) {
        pollfd fds[2];
        int count = 0;
        if (out_.get() >= 0) fds[count++] = {out_.get(), POLLIN, 0};
        if (err_.get() >= 0) fds[count++] = {err_.get(), POLLIN, 0};
        if (count == 0) return false;
        auto left = std::chrono::duration_cast<milliseconds>(deadline - Clock::now()).count();
        if (left <= 0) return false;
        int ready = ::poll(fds, static_cast<nfds_t>(count), static_cast<int>(left));
        if (ready <= 0) return ready < 0 && errno == EINTR;
        for (int i = 0; i < count; ++i) {
            if (fds[i].revents == 0) continue;
            fixtures::Fd& fd = fds[i].fd == out_.get() ? out_ : err_;
            std::string& text = fds[i].fd == out_.get() ? outText_ : errText_;
            char buffer[65536];
            ssize_t n = ::read(fd.get(), buffer, sizeof buffer);
            if (n > 0)
                text.append(buffer, static_cast<std::size_t>(n));
            else if (n == 0 || errno != EINTR)  // a terminal whose slave side is gone says EIO
                fd.reset();
        }
        return true;
    }

    std::optional<int> reap(milliseconds budget) {
        auto deadline = Clock::now() + budget;
        while (pid_ > 0) {
            int status = 0;
            pid_t got = ::waitpid(pid_, &status, WNOHANG);
            if (got == pid_) {
                pid_ = -1;
                return status;
            }
            if (got < 0 && errno != EINTR) {
                pid_ = -1;
                return std::nullopt;
            }
            if (Clock::now() >= deadline) return std::nullopt;
            std::this_thread::sleep_for(milliseconds(5));
        }
        return std::nullopt;
    }

    std::string marker_;
    pid_t pid_ = -1;
    fixtures::Fd out_;
    fixtures::Fd err_;
    std::string outText_;
    std::string errText_;
};

std::vector<std::string> command(const std::vector<std::string>& options, const std::string& script) {
    std::vector<std::string> args = options;
    args.insert(args.end(), {"--", "sh", "-c", script});
    return args;
}

// The last line of standard error: the summary.
std::string lastLine(const std::string& text) {
    std::string trimmed = text;
    while (!trimmed.empty() && (trimmed.back() == '\n' || trimmed.back() == '\r')) trimmed.pop_back();
    auto nl = trimmed.rfind('\n');
    std::string line = nl == std::string::npos ? trimmed : trimmed.substr(nl + 1);
    if (!line.empty() && line.back() == '\r') line.pop_back();
    return line;
}

// Checks the run left nothing behind: no marked process, no registry directory.
void expectNothingLeft(RunnerRun& run, const std::string& tmpdir) {
    EXPECT_TRUE(fixtures::eventually([&] { return marked(run.marker()).empty(); }, patience))
        << "processes of the run are still alive";
    EXPECT_TRUE(ownerDirectories(tmpdir).empty()) << "a registry directory was left in " << tmpdir;
}

int exitCode(const std::optional<int>& status) {
    if (!status) return -1;
    return WIFEXITED(*status) ? WEXITSTATUS(*status) : 128 + WTERMSIG(*status);
}

class SolkariRun : public ::testing::Test {
protected:
    fixtures::TempDir tmp{true};
};

// ---------------------------------------------------------------------------------------

struct ExitCase {
    const char* script;
    int code;
    const char* summary;
};

TEST_F(SolkariRun, PassesTheRootExitCodeThrough) {
    const ExitCase cases[] = {
        {"exit 0", 0, "solkari-run: reason=root_exit code=0 teardown="},
        {"exit 3", 3, "solkari-run: reason=root_exit code=3 teardown="},
        {"exit 200", 200, "solkari-run: reason=root_exit code=200 teardown="},
        {"kill -TERM $$", 143, "solkari-run: reason=root_exit code=143 teardown="},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.script);
        RunnerRun run(command({}, c.script), false);
        EXPECT_EQ(exitCode(run.finish()), c.code);
        std::string summary = lastLine(run.err());
        EXPECT_EQ(summary.rfind(c.summary, 0), 0u) << summary;
        EXPECT_NE(summary.find(" dropped=0 frames/0 bytes"), std::string::npos) << summary;
        EXPECT_EQ(run.out(), "");
        expectNothingLeft(run, tmp.path());
    }
}

TEST_F(SolkariRun, CopiesStandardOutputAndErrorExactly) {
    // Bytes a terminal would mangle, a NUL, and more than one read's worth on each stream.
    std::string script =
        "printf 'one\\000two\\377\\r\\n'; printf 'err\\001\\n' >&2; "
        "i=0; while [ $i -lt 3000 ]; do echo \"line $i of the output\"; i=$((i+1)); done; "
        "i=0; while [ $i -lt 2000 ]; do echo \"problem $i\" >&2; i=$((i+1)); done";
    RunnerRun run(command({}, script), false);
    EXPECT_EQ(exitCode(run.finish()), 0);
    std::string out("one\0two\377\r\n", 10);
    for (int i = 0; i < 3000; ++i) out += "line " + std::to_string(i) + " of the output\n";
    std::string err = "err\001\n";
    for (int i = 0; i < 2000; ++i) err += "problem " + std::to_string(i) + "\n";
    EXPECT_EQ(run.out(), out);
    ASSERT_GE(run.err().size(), err.size());
    EXPECT_EQ(run.err().substr(0, err.size()), err);
    EXPECT_EQ(lastLine(run.err()).rfind("solkari-run: reason=root_exit code=0 ", 0), 0u) << lastLine(run.err());
    expectNothingLeft(run, tmp.path());
}

TEST_F(SolkariRun, EventsPrintsTheRawLines) {
    RunnerRun run(command({"--events"}, "echo hi; exit 5"), false);
    EXPECT_EQ(exitCode(run.finish()), 5);
    std::vector<std::string> lines;
    std::istringstream in(run.out());
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    ASSERT_FALSE(lines.empty());
    for (const auto& line : lines) EXPECT_EQ(line.rfind("{\"version\":1,\"event\":\"", 0), 0u) << line;
    EXPECT_EQ(lines.front().rfind("{\"version\":1,\"event\":\"started\",\"pid\":", 0), 0u);
    // How many lines were still queued when the last one was built depends on the reader.
    EXPECT_EQ(lines.back().rfind("{\"version\":1,\"event\":\"reaped\",\"active\":0,\"reason\":\"root_exit\",\"queued\":", 0),
              0u)
        << lines.back();
    EXPECT_NE(lines.back().find(",\"dropped\":0,\"dropped_bytes\":0}"), std::string::npos) << lines.back();
    auto has = [&](const std::string& wanted) {
        return std::find(lines.begin(), lines.end(), wanted) != lines.end();
    };
    EXPECT_TRUE(has("{\"version\":1,\"event\":\"output\",\"stream\":\"stdout\",\"data\":\"aGkK\"}"));
    EXPECT_TRUE(has("{\"version\":1,\"event\":\"root_exit\",\"code\":5}"));
    EXPECT_TRUE(has("{\"version\":1,\"event\":\"stopping\",\"reason\":\"root_exit\"}"));
    EXPECT_EQ(run.err().find("hi"), std::string::npos) << "output was decoded as well";
    expectNothingLeft(run, tmp.path());
}

struct RefusedCase {
    const char* name;
    std::vector<std::string> args;
    int code;
    const char* message;
};

TEST_F(SolkariRun, RefusesWhatItCannotRun) {
    std::string notExecutable = tmp.path() + "/plain-file";
    std::ofstream(notExecutable) << "not a program\n";
    const RefusedCase cases[] = {
        {"not on PATH", {"--", "solkari-no-such-command-xyz"}, 127, "solkari-no-such-command-xyz: command not found"},
        {"missing path", {"--", tmp.path() + "/missing"}, 127, "no such file"},
        {"not executable", {"--", notExecutable}, 126, "not an executable file"},
        {"no command", {"--"}, 2, "no command given"},
        {"options only", {"--quiet"}, 2, "no command given"},
        {"unknown option", {"--frobnicate", "true"}, 2, "unknown option --frobnicate"},
        {"option after --", {"--", "--quiet"}, 127, "--quiet: command not found"},
        {"bad budget", {"--grace-ms", "0", "--", "true"}, 2, "--grace-ms needs a positive integer"},
        {"missing value", {"--grace-ms"}, 2, "--grace-ms needs a value"},
        {"bad joined budget", {"--confirm-ms=soon", "true"}, 2, "--confirm-ms needs a positive integer"},
        {"bad buffer", {"--buffer-kb", "-1", "true"}, 2, "--buffer-kb needs a positive integer"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        RunnerRun run(c.args, false);
        EXPECT_EQ(exitCode(run.finish()), c.code);
        EXPECT_NE(run.err().find(c.message), std::string::npos) << run.err();
        EXPECT_EQ(run.out(), "");
        expectNothingLeft(run, tmp.path());
    }
}

TEST_F(SolkariRun, ASupervisorFailureEndsWithStatusOne) {
    // A temporary directory that does not exist: the supervisor cannot open its registry.
    RunnerRun run(command({}, "exit 0"), false, {"TMPDIR=" + tmp.path() + "/missing"});
    EXPECT_EQ(exitCode(run.finish()), 1);
    EXPECT_NE(run.err().find("owner error: "), std::string::npos) << run.err();
    EXPECT_EQ(lastLine(run.err()).rfind("solkari-run: supervisor=failed stage=native_api status=1", 0), 0u) << run.err();
    EXPECT_EQ(run.out(), "");
    expectNothingLeft(run, tmp.path());
}

TEST_F(SolkariRun, HelpDocumentsTheOptions) {
    RunnerRun run({"--help"}, false);
    EXPECT_EQ(exitCode(run.finish()), 0);
    for (const char* word : {"usage: solkari-run", "--grace-ms", "--confirm-ms", "--startup-ms", "--events", "--quiet",
                             "--owner", "SOLKARI_OWNER", "--buffer-kb", "--version", "Ctrl-C", "Exit status", "127"})
        EXPECT_NE(run.out().find(word), std::string::npos) << word;
    RunnerRun version({"--version"}, false);
    EXPECT_EQ(exitCode(version.finish()), 0);
    EXPECT_TRUE(std::regex_match(version.out(), std::regex("solkari-run [0-9]+\\.[0-9]+\\.[0-9]+ \\(protocol [0-9]+\\)\n")))
        << version.out();
}

// ---------------------------------------------------------------------------------------
// At a terminal.

struct CtrlCCase {
    const char* name;
    std::string script;
    int code;
};

TEST_F(SolkariRun, CtrlCAtATerminalTerminatesTheWholeTree) {
    const CtrlCCase cases[] = {
        // Ignores its input: the grace budget runs out and the whole group is killed.
        {"deaf root with workers", "sleep 300 & sleep 300 & (sleep 300; echo never) & echo up; wait", 137},
        // Waits on the terminal it reads: stopped the same way, the terminal untouched.
        {"root reading the terminal", "sleep 300 & echo up; read word; echo \"root read $word\"", 137},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        RunnerRun run(command({"--grace-ms", "300", "--confirm-ms", "10000"}, c.script), true);
        ASSERT_TRUE(run.waitForOutput("up")) << run.out();
        // The tree is up: the runner, the supervisor, the root and its workers.
        EXPECT_TRUE(fixtures::eventually([&] { return marked(run.marker()).size() >= 4; }, patience));
        char ctrlC = 0x03;
        ASSERT_EQ(::write(run.terminalFd(), &ctrlC, 1), 1);
        EXPECT_EQ(exitCode(run.finish()), c.code) << run.out();
        EXPECT_EQ(run.out().find("root read"), std::string::npos) << run.out();
        EXPECT_NE(run.out().find("solkari-run: reason=terminate code=" + std::to_string(c.code) + " teardown="),
                  std::string::npos)
            << run.out();
        expectNothingLeft(run, tmp.path());
    }
}

TEST_F(SolkariRun, SignalsBecomeTerminate) {
    for (int signal : {SIGTERM, SIGHUP, SIGINT}) {
        SCOPED_TRACE(signal);
        RunnerRun run(command({"--grace-ms", "300"}, "sleep 300 & echo up; wait"), false);
        ASSERT_TRUE(run.waitForOutput("up\n")) << run.out();
        // Only the runner: the signal must not reach the tree by any other way.
        for (int pid : marked(run.marker())) {
            std::string exe;
            char path[4096];
            ssize_t n = ::readlink(("/proc/" + std::to_string(pid) + "/exe").c_str(), path, sizeof path);
            if (n > 0) exe.assign(path, static_cast<std::size_t>(n));
            if (exe.size() >= 12 && exe.substr(exe.size() - 12) == "/solkari-run") ::kill(pid, signal);
        }
        EXPECT_EQ(exitCode(run.finish()), 137);
        EXPECT_EQ(run.out(), "up\n");
        EXPECT_EQ(lastLine(run.err()).rfind("solkari-run: reason=terminate code=137 teardown=", 0), 0u) << run.err();
        expectNothingLeft(run, tmp.path());
    }
}

// ---------------------------------------------------------------------------------------
// The command line, standard input, and the choice of supervisor.

struct FormCase {
    const char* name;
    std::vector<std::string> args;
    std::string input;  // the runner's standard input, a pipe that then ends
    std::string out;
    int code;
    bool summary;
};

TEST_F(SolkariRun, TheFirstWordThatIsNotAnOptionStartsTheCommand) {
    const FormCase cases[] = {
        {"bare command", {"echo", "hi"}, "", "hi\n", 0, true},
        {"after --", {"--", "echo", "hi"}, "", "hi\n", 0, true},
        {"quiet", {"-q", "echo", "hi"}, "", "hi\n", 0, false},
        {"long quiet, joined value", {"--quiet", "--grace-ms=300", "echo", "hi"}, "", "hi\n", 0, false},
        {"options after the command are its own", {"--grace-ms", "300", "echo", "--quiet", "-q"}, "", "--quiet -q\n", 0,
         true},
        {"a failing command still ends quietly", {"-q", "sh", "-c", "exit 3"}, "", "", 3, false},
        {"input through cat", {"-q", "cat"}, "hello\nworld\n", "hello\nworld\n", 0, false},
        {"input read line by line", {"sh", "-c", "read a; read b; echo \"$b $a\""}, "one\ntwo\n", "two one\n", 0, true},
        {"input without a newline", {"-q", "wc", "-c"}, "12345", "5\n", 0, false},
        {"no input", {"-q", "cat"}, "", "", 0, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Launch launch;
        launch.input = c.input;
        RunnerRun run(c.args, launch);
        EXPECT_EQ(exitCode(run.finish()), c.code) << run.err();
        EXPECT_EQ(run.out(), c.out);
        if (c.summary)
            EXPECT_EQ(lastLine(run.err()).rfind("solkari-run: reason=root_exit code=", 0), 0u) << run.err();
        else
            EXPECT_EQ(run.err(), "");
        expectNothingLeft(run, tmp.path());
    }
}

TEST_F(SolkariRun, TheCommandReadsTheTerminal) {
    RunnerRun run({"-q", "sh", "-c", "echo ready; read line; echo \"got $line\""}, true);
    ASSERT_TRUE(run.waitForOutput("ready")) << run.out();
    std::string typed = "typed at the terminal\n";
    ASSERT_EQ(::write(run.terminalFd(), typed.data(), typed.size()), static_cast<ssize_t>(typed.size()));
    EXPECT_EQ(exitCode(run.finish()), 0) << run.out();
    EXPECT_NE(run.out().find("got typed at the terminal\r\n"), std::string::npos) << run.out();
    expectNothingLeft(run, tmp.path());
}

struct OwnerCase {
    const char* name;
    std::vector<std::string> args;
    std::vector<std::string> environment;
    int code;
    const char* message;  // on standard error, if any
};

TEST_F(SolkariRun, FindsTheSupervisor) {
    std::string owner = OWNER_BINARY;
    std::string missing = tmp.path() + "/no-owner";
    const OwnerCase cases[] = {
        {"--owner", {"--owner", owner, "-q", "true"}, {"SOLKARI_OWNER=" + missing}, 0, nullptr},
        {"joined --owner", {"--owner=" + owner, "-q", "true"}, {}, 0, nullptr},
        {"SOLKARI_OWNER", {"-q", "true"}, {"SOLKARI_OWNER=" + owner}, 0, nullptr},
        {"empty SOLKARI_OWNER", {"-q", "true"}, {"SOLKARI_OWNER="}, 0, nullptr},
        {"--owner not there", {"--owner", missing, "true"}, {"SOLKARI_OWNER=" + owner}, 1, "--owner "},
        {"SOLKARI_OWNER not there", {"true"}, {"SOLKARI_OWNER=" + missing}, 1, "SOLKARI_OWNER "},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        RunnerRun run(c.args, false, c.environment);
        EXPECT_EQ(exitCode(run.finish()), c.code) << run.err();
        if (c.message != nullptr)
            EXPECT_NE(run.err().find(std::string(c.message) + missing + ": not an executable file"), std::string::npos)
                << run.err();
        else
            EXPECT_EQ(run.err(), "");
        expectNothingLeft(run, tmp.path());
    }

    // A runner elsewhere uses the supervisor beside it.
    std::filesystem::create_directory(tmp.path() + "/bin");
    std::filesystem::copy_file(runner(), tmp.path() + "/bin/solkari-run");
    std::filesystem::create_symlink(owner, tmp.path() + "/bin/solkari-owner");
    Launch beside;
    beside.program = tmp.path() + "/bin/solkari-run";
    beside.environment = {"SOLKARI_OWNER="};
    RunnerRun run({"-q", "echo", "beside"}, beside);
    EXPECT_EQ(exitCode(run.finish()), 0) << run.err();
    EXPECT_EQ(run.out(), "beside\n");
    expectNothingLeft(run, tmp.path());
}

// ---------------------------------------------------------------------------------------
// A reader of the runner's output that stalls.

TEST_F(SolkariRun, AStalledReaderMakesTheSupervisorDropAndTheRunnerSaySo) {
    // Far more than every buffer on the way holds, so that the supervisor drops output while
    // the root writes it.
    std::string done = tmp.path() + "/done";
    RunnerRun run({"--buffer-kb", "64", "sh", "-c", "head -c 16000000 /dev/zero; touch '" + done + "'"}, false);
    ASSERT_TRUE(fixtures::eventually([&] { return std::filesystem::exists(done); }, patience));
    EXPECT_EQ(exitCode(run.finish()), 1);
    EXPECT_LT(run.out().size(), 16000000u);
    EXPECT_NE(run.err().find("of output were lost"), std::string::npos) << run.err();
    std::string summary = lastLine(run.err());
    EXPECT_EQ(summary.rfind("solkari-run: reason=root_exit code=0 ", 0), 0u) << summary;
    EXPECT_EQ(summary.find(" dropped=0 frames"), std::string::npos) << summary;
    expectNothingLeft(run, tmp.path());
}

TEST_F(SolkariRun, ASlowReaderGetsEveryByteTheSupervisorDelivered) {
    // Nothing is read until the root is done: more than the supervisor's buffers hold, so
    // without the runner's own a reader this slow would lose most of it. The supervisor never
    // slows the root down, so a root this fast may still outrun the runner itself; whatever
    // the supervisor dropped is counted, and everything else reaches the reader.
    std::string done = tmp.path() + "/done";
    const long long total = 8000000;
    RunnerRun run({"sh", "-c", "head -c " + std::to_string(total) + " /dev/zero; touch '" + done + "'"}, false);
    ASSERT_TRUE(fixtures::eventually([&] { return std::filesystem::exists(done); }, patience));
    int code = exitCode(run.finish());
    EXPECT_EQ(run.out().find_first_not_of('\0'), std::string::npos);
    std::string summary = lastLine(run.err());
    auto at = summary.find(" dropped=");
    ASSERT_NE(at, std::string::npos) << summary;
    long long frames = std::atoll(summary.c_str() + at + 9);
    auto bytesAt = summary.find("frames/", at);
    ASSERT_NE(bytesAt, std::string::npos) << summary;
    long long bytes = std::atoll(summary.c_str() + bytesAt + 7);
    EXPECT_EQ(static_cast<long long>(run.out().size()) + bytes, total) << summary;
    EXPECT_EQ(code, frames == 0 ? 0 : 1) << run.err();
    EXPECT_EQ(run.err().find("of output were lost") != std::string::npos, frames != 0) << run.err();
    expectNothingLeft(run, tmp.path());
}

// ---------------------------------------------------------------------------------------
// The terminal after a run: a shell on a pseudo-terminal records the flags of its standard
// descriptors and the terminal's settings, runs one program, and compares.

struct TerminalCase {
    const char* name;
    std::string command;
    const char* printed;  // something the command prints, to show it ran
};

TEST_F(SolkariRun, TheTerminalIsLeftAsItWas) {
    std::string owner = std::string("'") + OWNER_BINARY + "' --startup-ms 5000 --grace-ms 500 --confirm-ms 5000 -- ";
    const TerminalCase cases[] = {
        {"runner", "'" + runner() + "' echo plain", "plain"},
        // Makes its input (the terminal) non-blocking and raw, and leaves it so.
        {"runner over a command that changes the terminal",
         "'" + runner() + "' perl -MFcntl -e 'fcntl(STDIN, F_SETFL, O_NONBLOCK); system(q(stty raw)); print qq(changed)'",
         "changed"},
        {"supervisor writing to the terminal", "(echo ready; sleep 1; echo terminate) | " + owner + "/bin/echo hi",
         "\"event\":\"reaped\""},
        {"supervisor refusing to read the terminal", owner + "/bin/echo hi; echo \"status $?\"",
         "expects a parent on pipes (at a terminal, use solkari-run)\r\nstatus 1"},
    };
    const std::string state =
        "$(grep -h '^flags' /proc/$$/fdinfo/0 /proc/$$/fdinfo/1 /proc/$$/fdinfo/2 | tr -d ' \\t\\n'; stty -g)";
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        std::string script = "before=" + state + "; " + c.command + "; after=" + state +
                             "; [ \"$before\" = \"$after\" ] && echo TERMINAL-SAME || echo \"TERMINAL-CHANGED $before "
                             "$after\"";
        Launch launch;
        launch.terminal = true;
        launch.program = "/bin/sh";
        RunnerRun run({"-c", script}, launch);
        EXPECT_EQ(exitCode(run.finish()), 0) << run.out();
        EXPECT_NE(run.out().find(c.printed), std::string::npos) << run.out();
        EXPECT_NE(run.out().find("TERMINAL-SAME"), std::string::npos) << run.out();
        expectNothingLeft(run, tmp.path());
    }
}

}  // namespace
