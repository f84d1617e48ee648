// Keeps docs/protocol.md honest: every example session in it is run again through the real
// supervisor, and the lines the program prints must match the documented ones, apart from
// numbers that differ from run to run (pids, queue depths, and what an example marks).
//
// An example is a marker comment followed by a fenced block:
//
//   <!-- example: NAME
//   args: solkari-owner --startup-ms 5000 ... -- /bin/sh -c '...'    (shell quoting)
//   env: NAME=VALUE              (any number; added to the supervisor's environment)
//   status: 0                    (the supervisor's exit status)
//   stderr: TEXT                 (its whole standard error, one line; empty when absent)
//   view: events | report | root-stdout | stderr   (stderr: the block is the standard error,
//                                                    and nothing goes to standard output)
//   vary: NAME NAME              (members whose numbers differ between runs)
//   -->
//
// In the block, "> WORD" is a control word the application writes, "! close stdin",
// "! signal TERM" and "! pause MS" are things it does, and every other line is a line the
// program prints. An action happens once every report line above it has arrived. Output,
// fd_output and stream_end lines travel in read order, which may interleave differently with
// the other lines from run to run: they are compared stream by stream, the rest in order.
//
// With PROTOCOL_DOC_PRINT=1 in the environment the test prints what each run produced, which
// is how the examples are written in the first place.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <map>
#include <optional>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "protocol/parse.h"
#include "support/fixtures.h"

namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

constexpr milliseconds patience{30000};

std::string documentPath() {
    return (std::filesystem::path(__FILE__).parent_path().parent_path().parent_path() / "docs" / "protocol.md").string();
}

std::string fileText(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream all;
    all << in.rdbuf();
    return all.str();
}

struct Example {
    std::string name;
    std::vector<std::string> args;
    std::vector<std::string> env;
    int status = 0;
    std::string stderrText;
    std::string view = "events";
    std::set<std::string> vary = {"pid", "queued"};
    std::vector<std::string> transcript;
};

// POSIX shell words: single quotes, double quotes with backslash escapes, bare backslashes.
std::vector<std::string> shellWords(const std::string& text) {
    std::vector<std::string> words;
    std::string word;
    bool inWord = false;
    for (std::size_t i = 0; i < text.size(); ++i) {
        char c = text[i];
        if (c == ' ' || c == '\t') {
            if (inWord) words.push_back(word);
            word.clear();
            inWord = false;
            continue;
        }
        inWord = true;
        if (c == '\'') {
            auto end = text.find('\'', i + 1);
            if (end == std::string::npos) throw std::runtime_error("unterminated single quote");
            word += text.substr(i + 1, end - i - 1);
            i = end;
        } else if (c == '"') {
            for (++i; i < text.size() && text[i] != '"'; ++i) {
                if (text[i] == '\\' && i + 1 < text.size() && std::string("\"\\$`").find(text[i + 1]) != std::string::npos)
                    ++i;
                word += text[i];
            }
            if (i >= text.size()) throw std::runtime_error("unterminated double quote");
        } else if (c == '\\' && i + 1 < text.size()) {
            word += text[++i];
        } else {
            word += c;
        }
    }
    if (inWord) words.push_back(word);
    return words;
}

std::vector<Example> examples(const std::string& document) {
    std::vector<Example> found;
    std::istringstream in(document);
    std::vector<std::string> lines;
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    const std::string open = "<!-- example: ";
    for (std::size_t i = 0; i < lines.size(); ++i) {
        if (lines[i].rfind(open, 0) != 0) continue;
        Example e;
        e.name = lines[i].substr(open.size());
        for (++i; i < lines.size() && lines[i] != "-->"; ++i) {
            const std::string& l = lines[i];
            auto colon = l.find(": ");
            std::string key = colon == std::string::npos ? l : l.substr(0, colon);
            std::string value = colon == std::string::npos ? "" : l.substr(colon + 2);
            if (key == "args") {
                e.args = shellWords(value);
            } else if (key == "env") {
                e.env.push_back(value);
            } else if (key == "status") {
                e.status = std::stoi(value);
            } else if (key == "stderr") {
                e.stderrText = value + "\n";
            } else if (key == "view") {
                e.view = value;
            } else if (key == "vary") {
                for (const auto& name : shellWords(value)) e.vary.insert(name);
            } else {
                throw std::runtime_error("example " + e.name + ": unknown key " + key);
            }
        }
        for (++i; i < lines.size() && lines[i].rfind("```", 0) != 0; ++i) {
        }
        for (++i; i < lines.size() && lines[i].rfind("```", 0) != 0; ++i) e.transcript.push_back(lines[i]);
        found.push_back(e);
    }
    return found;
}

bool isAction(const std::string& line) { return line.rfind("> ", 0) == 0 || line.rfind("! ", 0) == 0; }

// The stream a line travels on, or "" for a report line.
std::string streamOf(const std::string& line) {
    try {
        Fields f = parse(line);
        if (f["event"] == "output") return f["stream"] == "stderr" ? "2" : "1";
        if (f["event"] == "fd_output" || f["event"] == "stream_end") return f["fd"];
    } catch (const std::exception&) {
    }
    return "";
}

// Every digit run after one of the varying member names becomes '#'.
std::string masked(const std::string& line, const std::set<std::string>& vary) {
    std::string out = line;
    for (const auto& name : vary) {
        std::string key = "\"" + name + "\":";
        for (auto at = out.find(key); at != std::string::npos; at = out.find(key, at + 1)) {
            std::size_t start = at + key.size();
            std::size_t end = start;
            while (end < out.size() && out[end] >= '0' && out[end] <= '9') ++end;
            if (end > start) out.replace(start, end - start, "#");
        }
    }
    return out;
}

// The report lines in order, and per stream what travelled on it: the decoded bytes, then
// "(end)" after its stream_end. How the bytes were cut into reads differs from run to run.
std::map<std::string, std::vector<std::string>> grouped(const std::vector<std::string>& lines, const Example& e) {
    std::map<std::string, std::vector<std::string>> groups;
    for (const auto& line : lines) {
        std::string stream = streamOf(line);
        if (stream.empty()) {
            groups["report"].push_back(masked(line, e.vary));
            continue;
        }
        if (e.view == "report") continue;
        auto& group = groups["stream " + stream];
        if (group.empty()) group.emplace_back();
        Fields f = parse(line);
        if (f["event"] == "stream_end")
            group.push_back("(end)");
        else
            group.front() += decode(f["data"]);
    }
    return groups;
}

std::string joined(const std::vector<std::string>& lines) {
    std::string all;
    for (const auto& l : lines) all += "  " + (l.size() > 240 ? l.substr(0, 240) + "..." : l) + "\n";
    return all;
}

// The supervisor of one example, with pipes on its standard input, output and error.
class Session {
public:
    Session(const Example& e, const std::string& marker) {
        ::signal(SIGPIPE, SIG_IGN);
        std::vector<std::string> words = e.args;
        words[0] = OWNER_BINARY;
        std::vector<std::string> env = e.env;
        env.push_back("PROTOCOL_DOC_MARKER=" + marker);
        int in[2], out[2], err[2];
        if (::pipe2(in, O_CLOEXEC) != 0 || ::pipe2(out, O_CLOEXEC) != 0 || ::pipe2(err, O_CLOEXEC) != 0) return;
        pid_ = ::fork();
        if (pid_ == 0) {
            ::dup2(in[0], 0);
            ::dup2(out[1], 1);
            ::dup2(err[1], 2);
            for (auto& v : env) ::putenv(v.data());
            std::vector<char*> argv;
            for (auto& w : words) argv.push_back(w.data());
            argv.push_back(nullptr);
            ::execv(argv[0], argv.data());
            ::_exit(126);
        }
        ::close(in[0]);
        ::close(out[1]);
        ::close(err[1]);
        in_.reset(in[1]);
        out_.reset(out[0]);
        err_.reset(err[0]);
    }
    Session(const Session&) = delete;
    Session& operator=(const Session&) = delete;
    ~Session() {
        if (pid_ > 0) {
            ::kill(pid_, SIGKILL);
            ::waitpid(pid_, nullptr, 0);
        }
    }

    int pid() const { return pid_; }
    void send(const std::string& word) {
        std::string line = word + "\n";
        if (in_.get() >= 0) (void)!::write(in_.get(), line.data(), line.size());
    }
    void closeInput() { in_.reset(); }
    const std::vector<std::string>& lines() const { return lines_; }
    const std::string& errText() const { return errText_; }

    // One round of reading; false once both streams ended or the deadline passed.
    bool pump(Clock::time_point deadline) {
        pollfd fds[2];
        int count = 0;
        if (out_.get() >= 0) fds[count++] = {out_.get(), POLLIN, 0};
        if (err_.get() >= 0) fds[count++] = {err_.get(), POLLIN, 0};
        auto left = std::chrono::duration_cast<milliseconds>(deadline - Clock::now()).count();
        if (count == 0 || left <= 0) return false;
        int ready = ::poll(fds, static_cast<nfds_t>(count), static_cast<int>(left));
        if (ready <= 0) return ready < 0 && errno == EINTR;
        for (int i = 0; i < count; ++i) {
            if (fds[i].revents == 0) continue;
            bool isOut = fds[i].fd == out_.get();
            char buffer[65536];
            ssize_t n = ::read(fds[i].fd, buffer, sizeof buffer);
            if (n <= 0) {
                if (n < 0 && errno == EINTR) continue;
                (isOut ? out_ : err_).reset();
                continue;
            }
            if (!isOut) {
                errText_.append(buffer, static_cast<std::size_t>(n));
                continue;
            }
            partial_.append(buffer, static_cast<std::size_t>(n));
            std::size_t start = 0;
            for (auto nl = partial_.find('\n'); nl != std::string::npos; nl = partial_.find('\n', start)) {
                lines_.push_back(partial_.substr(start, nl - start));
                start = nl + 1;
            }
            partial_.erase(0, start);
        }
        return true;
    }

    std::optional<int> finish() {
        auto deadline = Clock::now() + patience;
        while (pump(deadline)) {
        }
        while (pid_ > 0 && Clock::now() < deadline) {
            int status = 0;
            if (::waitpid(pid_, &status, WNOHANG) == pid_) {
                pid_ = -1;
                return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
            }
            std::this_thread::sleep_for(milliseconds(5));
        }
        return std::nullopt;
    }

private:
    pid_t pid_ = -1;
    fixtures::Fd in_, out_, err_;
    std::string partial_;
    std::vector<std::string> lines_;
    std::string errText_;
};

std::size_t reportCount(const std::vector<std::string>& lines) {
    std::size_t n = 0;
    for (const auto& l : lines)
        if (streamOf(l).empty()) ++n;
    return n;
}

// The lines of the root's decoded standard output, for a supervisor running below the root.
std::vector<std::string> rootStdoutLines(const std::vector<std::string>& lines) {
    std::string all;
    for (const auto& l : lines) {
        Fields f = parse(l);
        if (f["event"] == "output" && f["stream"] == "stdout") all += decode(f["data"]);
    }
    std::vector<std::string> out;
    std::istringstream in(all);
    for (std::string line; std::getline(in, line);) out.push_back(line);
    return out;
}

std::vector<int> markedProcesses(const std::string& marker) {
    return fixtures::processesWithEnvironment("PROTOCOL_DOC_MARKER=" + marker);
}

struct Outcome {
    std::vector<std::string> lines;  // as compared: the supervisor's, or the root's output lines
    std::optional<int> status;
    std::string errText;
};

Outcome play(const Example& e, const std::string& marker) {
    Session s(e, marker);
    std::size_t reportsAbove = 0;
    bool readySent = false;
    for (const auto& line : e.transcript) {
        if (!isAction(line)) {
            if (streamOf(line).empty()) ++reportsAbove;
            continue;
        }
        auto deadline = Clock::now() + patience;
        while (reportCount(s.lines()) < reportsAbove && s.pump(deadline)) {
        }
        if (line.rfind("> ", 0) == 0) {
            s.send(line.substr(2));
        } else if (line == "! close stdin") {
            s.closeInput();
        } else if (line == "! signal TERM") {
            ::kill(s.pid(), SIGTERM);
        } else if (line.rfind("! pause ", 0) == 0) {
            std::this_thread::sleep_for(milliseconds(std::stoi(line.substr(8))));
        } else {
            ADD_FAILURE() << "unknown action " << line;
        }
    }
    if (e.view == "root-stdout") {
        // The documented lines are those of a supervisor below the root; this one is only
        // confirmed, and the run is left to end by itself.
        auto deadline = Clock::now() + patience;
        while (!readySent && s.pump(deadline)) {
            for (const auto& l : s.lines())
                if (l.find("\"event\":\"started\"") != std::string::npos && !readySent) {
                    s.send("ready");
                    readySent = true;
                }
        }
    }
    Outcome o;
    o.status = s.finish();
    o.errText = s.errText();
    o.lines = e.view == "root-stdout" ? rootStdoutLines(s.lines()) : s.lines();
    if (e.view == "root-stdout") {
        const auto& outer = s.lines();
        EXPECT_TRUE(!outer.empty() && outer.back().find("\"event\":\"reaped\"") != std::string::npos)
            << "the outer supervisor did not end with reaped:\n"
            << joined(outer);
    }
    return o;
}

TEST(ProtocolDocument, ExamplesMatchTheProgram) {
    std::string document = fileText(documentPath());
    ASSERT_FALSE(document.empty()) << documentPath();
    auto all = examples(document);
    ASSERT_GE(all.size(), 8u) << "the examples were not found";
    bool print = std::getenv("PROTOCOL_DOC_PRINT") != nullptr;

    std::set<std::string> eventsShown;
    for (const auto& e : all) {
        SCOPED_TRACE("example " + e.name);
        ASSERT_FALSE(e.args.empty()) << "no args";
        ASSERT_EQ(e.args[0], "solkari-owner");
        fixtures::TempDir tmp(true);
        std::string marker = std::to_string(::getpid()) + "-" + e.name;
        Outcome o = play(e, marker);
        if (print) {
            std::cout << "=== " << e.name << " status " << (o.status ? *o.status : -1) << "\n";
            for (const auto& l : o.lines)
                if (e.view != "report" || streamOf(l).empty()) std::cout << l << "\n";
            std::cout << "--- stderr\n" << o.errText;
        }
        EXPECT_EQ(o.status, std::optional<int>(e.status));
        if (e.view == "stderr") {
            std::string documentedErr;
            for (const auto& l : e.transcript) documentedErr += l + "\n";
            EXPECT_EQ(o.errText, documentedErr);
            EXPECT_TRUE(o.lines.empty()) << joined(o.lines);
        } else {
            EXPECT_EQ(o.errText, e.stderrText);
        }

        std::vector<std::string> documented;
        for (const auto& l : e.transcript)
            if (!isAction(l)) documented.push_back(l);
        for (const auto& l : documented) {
            try {
                eventsShown.insert(parse(l)["event"]);
            } catch (const std::exception&) {
            }
        }
        if (e.view == "stderr") documented.clear();
        auto want = grouped(documented, e);
        auto got = grouped(o.lines, e);
        EXPECT_EQ(got, want) << "documented:\n" << joined(documented) << "printed:\n" << joined(o.lines);

        // Whatever the example did, nothing of it may outlive it.
        EXPECT_TRUE(fixtures::eventually([&] { return markedProcesses(marker).empty(); }, patience));
        for (int pid : markedProcesses(marker)) ::kill(pid, SIGKILL);
        std::error_code ignored;
        for (const auto& entry : std::filesystem::directory_iterator(tmp.path(), ignored))
            EXPECT_NE(entry.path().filename().string().rfind("solkari-owner-", 0), 0u) << entry.path();
    }

    // The guide shows every line a supervisor can print to its parent.
    for (const char* event : {"started", "spawn_failed", "ready", "output", "fd_output", "stream_end", "stopping",
                              "root_exit", "failed", "log_dropped", "reaped"})
        EXPECT_EQ(eventsShown.count(event), 1u) << "no example shows " << event;
}

TEST(ProtocolDocument, ShellWordsAreSplitLikeTheShell) {
    struct Case {
        const char* text;
        std::vector<std::string> words;
    };
    const Case cases[] = {
        {"a b  c", {"a", "b", "c"}},
        {"-- /bin/sh -c 'echo hi; exit 3'", {"--", "/bin/sh", "-c", "echo hi; exit 3"}},
        {R"(x "a \"q\" \$HOME" 'it'\''s')", {"x", "a \"q\" $HOME", "it's"}},
        {"''", {""}},
    };
    for (const auto& c : cases) EXPECT_EQ(shellWords(c.text), c.words) << c.text;
}

TEST(ProtocolDocument, RunDependentNumbersAreMasked) {
    std::set<std::string> vary = {"pid", "queued"};
    EXPECT_EQ(masked(R"({"version":1,"event":"started","pid":4242})", vary), R"({"version":1,"event":"started","pid":#})");
    EXPECT_EQ(masked(R"({"version":1,"event":"root_exit","code":3})", vary), R"({"version":1,"event":"root_exit","code":3})");
    EXPECT_EQ(masked(R"("queued":2,"dropped":0,"queued":10)", vary), R"("queued":#,"dropped":0,"queued":#)");
}

}  // namespace
