// Black box: the built executable with bad command lines prints its diagnostic line and a
// pointer to --help on standard error, nothing on standard output, and exits with status 1;
// --help and --version answer only as the sole argument.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <regex>
#include <string>
#include <vector>

#include "support/fixtures.h"

namespace {

struct Result {
    std::string out;
    std::string err;
    int status = -1;
    bool timedOut = false;
};

// Runs the executable with args, standard input from /dev/null, and collects both output
// streams until they close. The child is killed if it runs for more than 20 seconds.
Result runOwner(const std::vector<std::string>& args) {
    Result result;
    fixtures::Pipe out;
    fixtures::Pipe err;
    EXPECT_GE(out.read.get(), 0);
    EXPECT_GE(err.read.get(), 0);

    std::vector<std::string> storage;
    storage.push_back(OWNER_BINARY);
    storage.insert(storage.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (auto& s : storage) argv.push_back(s.data());
    argv.push_back(nullptr);

    pid_t pid = ::fork();
    if (pid == 0) {
        int null = ::open("/dev/null", O_RDONLY);
        if (null < 0 || ::dup2(null, 0) < 0 || ::dup2(out.write.get(), 1) < 0 || ::dup2(err.write.get(), 2) < 0)
            ::_exit(120);
        ::execv(argv[0], argv.data());
        ::_exit(127);
    }
    EXPECT_GT(pid, 0);
    if (pid <= 0) return result;
    out.write.reset();
    err.write.reset();

    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    bool outOpen = true;
    bool errOpen = true;
    while (outOpen || errOpen) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) {
            result.timedOut = true;
            ::kill(pid, SIGKILL);
            break;
        }
        pollfd fds[2] = {{outOpen ? out.read.get() : -1, POLLIN, 0}, {errOpen ? err.read.get() : -1, POLLIN, 0}};
        int ready = ::poll(fds, 2, static_cast<int>(left.count()));
        if (ready < 0 && errno == EINTR) continue;
        if (ready <= 0) continue;
        for (int k = 0; k < 2; ++k) {
            if (fds[k].fd < 0 || fds[k].revents == 0) continue;
            char buffer[4096];
            ssize_t n = ::read(fds[k].fd, buffer, sizeof buffer);
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) {
                (k == 0 ? outOpen : errOpen) = false;
                continue;
            }
            (k == 0 ? result.out : result.err).append(buffer, static_cast<std::size_t>(n));
        }
    }
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    result.status = status;
    return result;
}

std::string joined(const std::vector<std::string>& args) {
    std::string text;
    for (const auto& a : args) text += "[" + a + "]";
    return text;
}

struct Case {
    std::vector<std::string> args;
    std::string message;
};

TEST(CommandLine, BadCommandLinesFailWithOneDiagnosticLine) {
    const char* absolute = "explicit budgets and absolute command required";
    const Case cases[] = {
        {{}, absolute},
        {{"--startup-ms", "500", "--grace-ms", "200", "--confirm-ms", "100"}, absolute},
        {{"--startup-ms", "500", "--grace-ms", "200", "--confirm-ms", "100", "--"}, absolute},
        {{"--startup-ms", "500", "--grace-ms", "200", "--confirm-ms", "100", "--", "sh", "-c", "x"}, absolute},
        {{"--grace-ms", "1", "--confirm-ms", "1", "--", "/bin/true"}, absolute},
        {{"--startup-ms"}, "argument value required"},
        {{"--frobnicate"}, "argument value required"},
        {{"--startup-ms", "0"}, "positive integer required"},
        {{"--startup-ms", "-1"}, "positive integer required"},
        {{"--startup-ms", "+5"}, "positive integer required"},
        {{"--startup-ms", "10ms"}, "positive integer required"},
        {{"--startup-ms", " 5"}, "positive integer required"},
        {{"--startup-ms", "2147483648"}, "positive integer required"},
        {{"--startup-ms", "--grace-ms", "5"}, "positive integer required"},
        {{"--frobnicate", "x"}, "positive integer required"},
        {{"--frobnicate", "5"}, "unknown option"},
        {{"bare", "5", "--", "/bin/true"}, "unknown option"},
        {{"--command-guardian", "--input-fd", "2"}, "additional fd must be unique and >=3"},
        {{"--command-guardian", "--input-fd", "3", "--output-fd", "3"}, "additional fd must be unique and >=3"},
        {{"--pty-guardian", "--cols", "65536", "--rows", "24", "--startup-ms", "1", "--grace-ms", "1", "--confirm-ms",
          "1", "--", "/bin/sh"},
         "PTY size required"},
        {{"--pty-guardian", "--cols", "80", "--startup-ms", "1", "--grace-ms", "1", "--confirm-ms", "1", "--", "/bin/sh"},
         "PTY size required"},
        {{"--input-fd", "5", "--startup-ms", "1", "--grace-ms", "1", "--confirm-ms", "1", "--", "/bin/cat"},
         "additional fd requires command guardian"},
        {{"--pty-guardian", "--cols", "80", "--rows", "24", "--input-fd", "5", "--startup-ms", "1", "--grace-ms", "1",
          "--confirm-ms", "1", "--", "/bin/cat"},
         "additional fd requires command guardian"},
        {{"--input-fd", "5", "--grace-ms", "1", "--confirm-ms", "1", "--", "/bin/cat"}, absolute},
        // Help and version words beside others are parsed like any other word.
        {{"--help", "5"}, "unknown option"},
        {{"--version", "--startup-ms"}, "positive integer required"},
        {{"--startup-ms", "5", "--help"}, "argument value required"},
        {{"--startup-ms", "5", "--grace-ms", "5", "--confirm-ms", "5", "--", "--help"}, absolute},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(joined(c.args));
        Result r = runOwner(c.args);
        ASSERT_FALSE(r.timedOut);
        EXPECT_EQ(r.err, "owner error: " + c.message + "\nsee solkari-owner --help for the command line\n");
        EXPECT_EQ(r.out, "");
        ASSERT_TRUE(WIFEXITED(r.status)) << "status " << r.status;
        EXPECT_EQ(WEXITSTATUS(r.status), 1);
    }
}

struct AnswerCase {
    std::vector<std::string> args;
    std::string firstLine;  // a pattern
};

TEST(CommandLine, HelpAndVersionAnswerOnStandardOutput) {
    const std::string usage = "usage: solkari-owner --startup-ms N --grace-ms N --confirm-ms N -- /absolute/command .*";
    const AnswerCase cases[] = {
        {{"--help"}, usage},
        {{"-h"}, usage},
        {{"--version"}, "solkari-owner [0-9]+\\.[0-9]+\\.[0-9]+ \\(protocol [0-9]+\\)"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(joined(c.args));
        Result r = runOwner(c.args);
        ASSERT_FALSE(r.timedOut);
        EXPECT_TRUE(std::regex_match(r.out.substr(0, r.out.find('\n')), std::regex(c.firstLine))) << r.out;
        EXPECT_EQ(r.err, "");
        ASSERT_TRUE(WIFEXITED(r.status)) << "status " << r.status;
        EXPECT_EQ(WEXITSTATUS(r.status), 0);
    }
    Result help = runOwner({"--help"});
    for (const char* word : {"--pty-guardian", "--command-guardian", "--input-fd", "--output-fd", "--cols", "--rows",
                             "ready", "terminate", "Exit status", "solkari-run"})
        EXPECT_NE(help.out.find(word), std::string::npos) << word;
}

TEST(CommandLine, TheVersionNamesTheProtocolOfTheEventLines) {
    Result version = runOwner({"--version"});
    auto open = version.out.find("(protocol ");
    ASSERT_NE(open, std::string::npos) << version.out;
    std::string number = version.out.substr(open + 10, version.out.find(')', open) - open - 10);
    Result run = runOwner({"--startup-ms", "5000", "--grace-ms", "1000", "--confirm-ms", "5000", "--", "/bin/true"});
    EXPECT_EQ(run.out.rfind("{\"version\":" + number + ",\"event\":\"started\"", 0), 0u) << run.out;
}

}  // namespace
