// The end-to-end harness: runs the built supervisor the way an application's backend does
// (pipes on its standard input, output and error, a private TMPDIR) and reads its event
// lines. Every process a run starts inherits a random marker in its environment, so that the
// harness can find and kill whatever a run left behind, and fail the test when it did.
#pragma once

#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "support/fixtures.h"

extern char** environ;

namespace e2e {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

// How long a test waits for something that should happen soon. Only a broken run ever waits
// this long, so it is generous for a shared, noisy machine.
inline constexpr milliseconds patience{15000};

inline const char* const markerName = "OWNER_TEST_MARKER";

// ---------------------------------------------------------------------------------------
// Text of event lines.

// The raw text of a member: the characters of a string value between its quotes, or a bare
// number. Empty when the member is absent. Enough for the lines this program writes, which
// never escape anything.
inline std::string member(const std::string& line, const std::string& name) {
    std::string key = "\"" + name + "\":";
    auto at = line.find(key);
    if (at == std::string::npos) return "";
    at += key.size();
    if (at < line.size() && line[at] == '"') {
        auto end = line.find('"', at + 1);
        if (end == std::string::npos) return "";
        return line.substr(at + 1, end - at - 1);
    }
    auto end = line.find_first_of(",}]", at);
    return line.substr(at, end == std::string::npos ? std::string::npos : end - at);
}

inline std::string eventOf(const std::string& line) { return member(line, "event"); }

inline bool isEvent(const std::string& line, const std::string& name) {
    return line.rfind("{\"version\":1,", 0) == 0 && eventOf(line) == name;
}

inline long long number(const std::string& line, const std::string& name) {
    std::string text = member(line, name);
    if (text.empty()) return -1;
    return std::stoll(text);
}

inline std::string base64(const std::string& bytes) {
    static constexpr char alphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string out;
    for (std::size_t i = 0; i < bytes.size(); i += 3) {
        unsigned b0 = static_cast<unsigned char>(bytes[i]);
        unsigned b1 = i + 1 < bytes.size() ? static_cast<unsigned char>(bytes[i + 1]) : 0;
        unsigned b2 = i + 2 < bytes.size() ? static_cast<unsigned char>(bytes[i + 2]) : 0;
        out += alphabet[b0 >> 2];
        out += alphabet[((b0 & 3) << 4) | (b1 >> 4)];
        out += i + 1 < bytes.size() ? alphabet[((b1 & 15) << 2) | (b2 >> 6)] : '=';
        out += i + 2 < bytes.size() ? alphabet[b2 & 63] : '=';
    }
    return out;
}

// Decodes standard base64; a character outside the alphabet makes the result nullopt, so
// that a test reports garbage instead of comparing it.
inline std::optional<std::string> unbase64(const std::string& text) {
    if (text.size() % 4 != 0) return std::nullopt;
    auto value = [](char c) -> int {
        if (c >= 'A' && c <= 'Z') return c - 'A';
        if (c >= 'a' && c <= 'z') return c - 'a' + 26;
        if (c >= '0' && c <= '9') return c - '0' + 52;
        if (c == '+') return 62;
        if (c == '/') return 63;
        return -1;
    };
    std::string out;
    for (std::size_t i = 0; i < text.size(); i += 4) {
        int v[4];
        int pads = 0;
        for (int k = 0; k < 4; ++k) {
            char c = text[i + k];
            if (c == '=' && i + 4 == text.size() && k >= 2) {
                v[k] = 0;
                ++pads;
            } else if (pads > 0 || (v[k] = value(c)) < 0) {
                return std::nullopt;
            }
        }
        unsigned triple = (v[0] << 18) | (v[1] << 12) | (v[2] << 6) | v[3];
        out += static_cast<char>(triple >> 16);
        if (pads < 2) out += static_cast<char>((triple >> 8) & 0xff);
        if (pads < 1) out += static_cast<char>(triple & 0xff);
    }
    return out;
}

// The bytes of one output event ("stdout"/"stderr") or fd_output event (stream = the fd
// number in decimal); nullopt when the line is neither of these for that stream, or its data
// does not decode.
inline std::optional<std::string> outputData(const std::string& line, const std::string& stream) {
    bool plain = isEvent(line, "output") && member(line, "stream") == stream;
    bool extra = isEvent(line, "fd_output") && member(line, "fd") == stream;
    if (!plain && !extra) return std::nullopt;
    return unbase64(member(line, "data"));
}

inline std::string decodedOutput(const std::vector<std::string>& lines, const std::string& stream) {
    std::string all;
    for (const auto& line : lines)
        if (auto data = outputData(line, stream)) all += *data;
    return all;
}

// Every line that is not an output or fd_output event: the run's report.
inline std::vector<std::string> reportLines(const std::vector<std::string>& lines) {
    std::vector<std::string> out;
    for (const auto& line : lines)
        if (!isEvent(line, "output") && !isEvent(line, "fd_output")) out.push_back(line);
    return out;
}

inline std::vector<std::string> without(const std::vector<std::string>& lines, const std::string& event) {
    std::vector<std::string> out;
    for (const auto& line : lines)
        if (!isEvent(line, event)) out.push_back(line);
    return out;
}

inline std::string joined(const std::vector<std::string>& lines) {
    std::string all;
    for (const auto& line : lines) {
        all += "  ";
        all += line.size() > 300 ? line.substr(0, 300) + "..." : line;
        all += "\n";
    }
    return all;
}

// Compares a line with a shape: every byte must match, except that '#' stands for one decimal
// number (an optional minus and at least one digit). The lines of this program hold no '#'.
inline ::testing::AssertionResult shaped(const std::string& line, const std::string& shape) {
    std::size_t i = 0;
    for (std::size_t k = 0; k < shape.size(); ++k) {
        if (shape[k] == '#') {
            if (i < line.size() && line[i] == '-') ++i;
            std::size_t digits = i;
            while (i < line.size() && line[i] >= '0' && line[i] <= '9') ++i;
            if (i == digits) return ::testing::AssertionFailure() << "line  " << line << "\nshape " << shape;
            continue;
        }
        if (i >= line.size() || line[i] != shape[k])
            return ::testing::AssertionFailure() << "line  " << line << "\nshape " << shape;
        ++i;
    }
    if (i != line.size()) return ::testing::AssertionFailure() << "line  " << line << "\nshape " << shape;
    return ::testing::AssertionSuccess();
}

// The lines must have the shapes, one for one and in order.
inline ::testing::AssertionResult shapedAll(const std::vector<std::string>& lines, const std::vector<std::string>& shapes) {
    bool ok = lines.size() == shapes.size();
    for (std::size_t i = 0; ok && i < lines.size(); ++i) ok = shaped(lines[i], shapes[i]);
    if (ok) return ::testing::AssertionSuccess();
    std::string want;
    for (const auto& s : shapes) want += "  " + s + "\n";
    return ::testing::AssertionFailure() << "lines:\n" << joined(lines) << "expected shapes:\n" << want;
}

// Shapes of the event lines the tests expect. The queued count of a reaped line depends on
// how many earlier lines the parent had already taken.
inline const std::string started = R"({"version":1,"event":"started","pid":#})";
inline const std::string ready = R"({"version":1,"event":"ready"})";
inline const std::string streamEnd = R"({"version":1,"event":"stream_end","fd":1})";
inline std::string stopping(const std::string& reason) {
    return R"({"version":1,"event":"stopping","reason":")" + reason + "\"}";
}
inline std::string rootExit(int code) { return R"({"version":1,"event":"root_exit","code":)" + std::to_string(code) + "}"; }
inline std::string reaped(const std::string& reason) {
    return R"({"version":1,"event":"reaped","active":0,"reason":")" + reason + R"(","queued":#,"dropped":0,"dropped_bytes":0})";
}

inline std::string quoted(const std::string& text) {
    std::string out = "'";
    for (char c : text) {
        if (c == '\'')
            out += "'\\''";
        else
            out += c;
    }
    return out + "'";
}

inline std::string shellWords(const std::vector<std::string>& words) {
    std::string out;
    for (const auto& w : words) {
        if (!out.empty()) out += ' ';
        out += quoted(w);
    }
    return out;
}

inline std::string hexRandom(std::size_t bytes) {
    std::string raw(bytes, '\0');
    std::size_t got = 0;
    while (got < bytes) {
        ssize_t n = ::getrandom(raw.data() + got, bytes - got, 0);
        if (n > 0) got += static_cast<std::size_t>(n);
    }
    std::string hex;
    for (unsigned char c : raw) {
        static constexpr char digits[] = "0123456789abcdef";
        hex += digits[c >> 4];
        hex += digits[c & 15];
    }
    return hex;
}

inline std::string fileText(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream all;
    all << in.rdbuf();
    return all.str();
}

// ---------------------------------------------------------------------------------------
// Processes.

// Fields of /proc/PID/stat after the command name: [0] is the state, [1] ppid, [2] pgrp,
// [3] session, [4] tty_nr, [5] tpgid. Empty when the process is gone.
inline std::vector<std::string> statFields(const std::string& stat) {
    auto close = stat.rfind(')');
    if (close == std::string::npos) return {};
    std::istringstream rest(stat.substr(close + 1));
    std::vector<std::string> fields;
    std::string f;
    while (rest >> f) fields.push_back(f);
    return fields;
}

inline std::vector<std::string> procStat(int pid) {
    return statFields(fileText("/proc/" + std::to_string(pid) + "/stat"));
}


// Every process whose environment holds this marker.
inline std::vector<int> markedProcesses(const std::string& marker) {
    return fixtures::processesWithEnvironment(std::string(markerName) + "=" + marker);
}

inline std::string describe(int pid) {
    std::string cmd = fileText("/proc/" + std::to_string(pid) + "/cmdline");
    for (char& c : cmd)
        if (c == '\0') c = ' ';
    auto fields = procStat(pid);
    return std::to_string(pid) + " [" + (fields.empty() ? "?" : fields[0]) + "] " + cmd;
}

// ---------------------------------------------------------------------------------------
// Line streams.

// A source of bytes for a LineStream: it returns what it could get before the deadline
// (possibly nothing) and sets eof once nothing more can ever come.
struct Chunk {
    std::string bytes;
    bool eof = false;
};
using Source = std::function<Chunk(Clock::time_point deadline)>;

// Newline-separated lines from a source. Every complete line is recorded in lines(); the
// cursor used by next() and waitFor() is separate, so a line once seen stays searchable.
class LineStream {
public:
    explicit LineStream(Source source) : source_(std::move(source)) {}

    // Reads until at least one more complete line is recorded; false on end or deadline.
    bool pull(Clock::time_point deadline) {
        std::size_t before = lines_.size();
        while (lines_.size() == before) {
            if (eof_) return false;
            Chunk chunk = source_(deadline);
            buffer_ += chunk.bytes;
            std::size_t start = 0;
            for (auto nl = buffer_.find('\n'); nl != std::string::npos; nl = buffer_.find('\n', start)) {
                lines_.push_back(buffer_.substr(start, nl - start));
                start = nl + 1;
            }
            buffer_.erase(0, start);
            if (chunk.eof) eof_ = true;
            if (lines_.size() == before && chunk.bytes.empty() && !chunk.eof && Clock::now() >= deadline) return false;
        }
        return true;
    }

    std::optional<std::string> next(milliseconds budget = patience) {
        auto deadline = Clock::now() + budget;
        if (cursor_ == lines_.size() && !pull(deadline)) return std::nullopt;
        return lines_[cursor_++];
    }

    // The next line of that event from the cursor on; "" (and a test failure) if none came.
    std::string waitFor(const std::string& event, milliseconds budget = patience) {
        auto deadline = Clock::now() + budget;
        for (;;) {
            while (cursor_ < lines_.size()) {
                const std::string& line = lines_[cursor_++];
                if (isEvent(line, event)) return line;
            }
            if (!pull(deadline)) {
                ADD_FAILURE() << "no \"" << event << "\" event " << (eof_ ? "before end of file" : "in time")
                              << "; lines so far:\n"
                              << joined(lines_) << (buffer_.empty() ? "" : "  (partial) " + buffer_.substr(0, 300) + "\n");
                return "";
            }
        }
    }

    // Waits until the decoded output of that stream contains the text; does not move the cursor.
    bool waitForOutput(const std::string& text, const std::string& stream = "stdout", milliseconds budget = patience) {
        auto deadline = Clock::now() + budget;
        while (decodedOutput(lines_, stream).find(text) == std::string::npos) {
            if (!pull(deadline)) {
                ADD_FAILURE() << "no output \"" << text << "\" on " << stream << "; decoded so far:\n"
                              << decodedOutput(lines_, stream) << "\nlines:\n"
                              << joined(reportLines(lines_));
                return false;
            }
        }
        return true;
    }

    // Everything until end of file (or the budget), the cursor moved to the end.
    const std::vector<std::string>& drain(milliseconds budget = patience) {
        auto deadline = Clock::now() + budget;
        while (pull(deadline)) {
        }
        if (!eof_) ADD_FAILURE() << "no end of file in time; lines so far:\n" << joined(lines_);
        cursor_ = lines_.size();
        return lines_;
    }

    const std::vector<std::string>& lines() const { return lines_; }
    bool ended() const { return eof_; }
    const std::string& partial() const { return buffer_; }

private:
    Source source_;
    std::vector<std::string> lines_;
    std::string buffer_;
    std::size_t cursor_ = 0;
    bool eof_ = false;
};

// Reads a descriptor (a pipe) with poll, up to the deadline.
inline Source pipeSource(const int* fd) {
    return [fd](Clock::time_point deadline) {
        Chunk chunk;
        if (*fd < 0) {
            chunk.eof = true;
            return chunk;
        }
        auto left = std::chrono::duration_cast<milliseconds>(deadline - Clock::now()).count();
        pollfd p{*fd, POLLIN, 0};
        int ready = ::poll(&p, 1, static_cast<int>(std::max<long long>(0, left)));
        if (ready <= 0) return chunk;
        char buf[65536];
        ssize_t n = ::read(*fd, buf, sizeof buf);
        if (n > 0)
            chunk.bytes.assign(buf, static_cast<std::size_t>(n));
        else if (n == 0 || (errno != EINTR && errno != EAGAIN))
            chunk.eof = true;
        return chunk;
    };
}

// Follows a regular file that another process appends to; it never ends by itself.
inline Source fileSource(std::string path) {
    auto offset = std::make_shared<off_t>(0);
    return [path, offset](Clock::time_point deadline) {
        Chunk chunk;
        fixtures::Fd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
        if (fd.get() >= 0) {
            char buf[65536];
            ssize_t n = ::pread(fd.get(), buf, sizeof buf, *offset);
            if (n > 0) {
                *offset += n;
                chunk.bytes.assign(buf, static_cast<std::size_t>(n));
                return chunk;
            }
        }
        if (Clock::now() < deadline) std::this_thread::sleep_for(milliseconds(10));
        return chunk;
    };
}

// The decoded standard output of another stream's output events, for a supervisor whose event
// lines travel as the output of the supervisor above it.
inline Source relaySource(LineStream& outer, std::string stream = "stdout") {
    auto scanned = std::make_shared<std::size_t>(0);
    return [&outer, stream, scanned](Clock::time_point deadline) {
        Chunk chunk;
        for (;;) {
            while (*scanned < outer.lines().size()) {
                if (auto data = outputData(outer.lines()[(*scanned)++], stream)) chunk.bytes += *data;
            }
            if (!chunk.bytes.empty()) return chunk;
            if (!outer.pull(deadline)) {
                chunk.eof = outer.ended();
                return chunk;
            }
        }
    };
}

// ---------------------------------------------------------------------------------------
// The supervisor under test, seen from its parent.

struct Budgets {
    int startupMs = 5000;
    int graceMs = 300;
    int confirmMs = 3000;
};

inline std::vector<std::string> budgetArgs(const Budgets& b) {
    return {"--startup-ms", std::to_string(b.startupMs), "--grace-ms", std::to_string(b.graceMs), "--confirm-ms",
            std::to_string(b.confirmMs)};
}

inline std::vector<std::string> ownerArgs(const std::vector<std::string>& command, const Budgets& b = {}) {
    auto args = budgetArgs(b);
    args.push_back("--");
    args.insert(args.end(), command.begin(), command.end());
    return args;
}

inline std::vector<std::string> sh(const std::string& script) { return {"/bin/sh", "-c", script}; }

class Supervisor {
public:
    Supervisor() : dir_(false), marker_(hexRandom(12)), events_(pipeSource(&out_)) { ::signal(SIGPIPE, SIG_IGN); }
    Supervisor(const Supervisor&) = delete;
    Supervisor& operator=(const Supervisor&) = delete;

    ~Supervisor() {
        if (pid_ > 0) {
            ::kill(pid_, SIGKILL);
            reap(true);
        }
        closeFd(in_);
        closeFd(out_);
        closeFd(err_);
        checkLeftovers();
    }

    // The private directory every process of the run sees as TMPDIR.
    const std::string& dir() const { return dir_.path(); }
    const std::string& marker() const { return marker_; }

    // Some runs are expected to leave processes behind (a deadline failure after the root was
    // reaped signals nothing); they are still killed, but do not fail the test.
    void expectLeftovers() { leftoversExpected_ = true; }

    // Words run in front of the program, which they must exec (for example prlimit).
    void launchThrough(std::vector<std::string> words) { launcher_ = std::move(words); }

    // Descriptors the run gets as its standard input, output and error instead of the
    // harness's pipes; the test keeps them, reads and writes them itself, and closes them.
    void useStdio(int in, int out, int err) {
        stdio_[0] = in;
        stdio_[1] = out;
        stdio_[2] = err;
    }

    void start(const std::vector<std::string>& args, const std::vector<std::string>& extraEnv = {}) {
        std::vector<std::string> argv = launcher_;
        argv.push_back(OWNER_BINARY);
        argv.insert(argv.end(), args.begin(), args.end());
        std::vector<std::string> env;
        for (char** e = environ; *e != nullptr; ++e) {
            std::string entry = *e;
            if (entry.rfind("TMPDIR=", 0) == 0 || entry.rfind(std::string(markerName) + "=", 0) == 0 ||
                entry.rfind("SOLKARI_NATIVE_OWNER_", 0) == 0)
                continue;
            env.push_back(entry);
        }
        env.push_back("TMPDIR=" + dir());
        env.push_back(std::string(markerName) + "=" + marker_);
        env.insert(env.end(), extraEnv.begin(), extraEnv.end());
        std::vector<char*> cargv, cenv;
        for (auto& a : argv) cargv.push_back(a.data());
        cargv.push_back(nullptr);
        for (auto& e : env) cenv.push_back(e.data());
        cenv.push_back(nullptr);

        fixtures::Pipe input, output, error;
        bool own = stdio_[0] < 0;
        pid_ = ::fork();
        if (pid_ == 0) {
            // Copies above 2 first: with a standard descriptor closed in the test process, a
            // pipe end may itself be 0, 1 or 2.
            int in = ::fcntl(own ? input.read.get() : stdio_[0], F_DUPFD_CLOEXEC, 3),
                out = ::fcntl(own ? output.write.get() : stdio_[1], F_DUPFD_CLOEXEC, 3),
                err = ::fcntl(own ? error.write.get() : stdio_[2], F_DUPFD_CLOEXEC, 3);
            if (in < 0 || out < 0 || err < 0 || ::dup2(in, 0) < 0 || ::dup2(out, 1) < 0 || ::dup2(err, 2) < 0) ::_exit(126);
            ::execve(cargv[0], cargv.data(), cenv.data());
            ::_exit(127);
        }
        ASSERT_GT(pid_, 0) << "fork";
        if (!own) return;
        in_ = input.write.release();
        out_ = output.read.release();
        err_ = error.read.release();
    }

    int pid() const { return pid_ > 0 ? pid_ : lastPid_; }
    LineStream& events() { return events_; }

    void send(const std::string& line) { sendRaw(line + "\n"); }
    void sendRaw(const std::string& bytes) {
        std::size_t done = 0;
        while (in_ >= 0 && done < bytes.size()) {
            ssize_t n = ::write(in_, bytes.data() + done, bytes.size() - done);
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) {
                ADD_FAILURE() << "writing to the supervisor's input: " << std::strerror(errno);
                return;
            }
            done += static_cast<std::size_t>(n);
        }
    }
    // End of file on the supervisor's standard input.
    void closeInput() { closeFd(in_); }
    // The parent goes away without a word: its end of the event pipe closes.
    void closeOutput() { closeFd(out_); }
    void signal(int sig) {
        if (pid_ > 0) ::kill(pid_, sig);
    }

    // Reads every event line until end of file, then the exit status. Returns the status
    // (the exit code, or 128 plus the signal), -1 on timeout.
    int finish(milliseconds budget = patience) {
        if (out_ >= 0) events_.drain(budget);
        int status = exitStatus(budget);
        readErrors();
        return status;
    }

    int exitStatus(milliseconds budget = patience) {
        auto deadline = Clock::now() + budget;
        while (pid_ > 0 && Clock::now() < deadline) {
            if (reap(false)) break;
            std::this_thread::sleep_for(milliseconds(5));
        }
        if (pid_ > 0) {
            ADD_FAILURE() << "the supervisor did not exit in time; killing it";
            ::kill(pid_, SIGKILL);
            reap(true);
            return -1;
        }
        return status_;
    }

    // What the supervisor wrote on standard error (read once it has exited).
    const std::string& errors() {
        readErrors();
        return errors_;
    }

    // Fails the test if anything carrying the marker is still alive, after a short grace for
    // processes that are being torn down; kills it either way.
    void checkLeftovers() {
        if (checked_) return;
        checked_ = true;
        std::vector<int> left;
        fixtures::eventually([&] { return (left = markedProcesses(marker_)).empty(); }, milliseconds(2000));
        if (!left.empty()) {
            std::string what;
            for (int pid : left) what += "  " + describe(pid) + "\n";
            if (!leftoversExpected_) ADD_FAILURE() << "processes left behind by the run:\n" << what;
            fixtures::eventually(
                [&] {
                    auto still = markedProcesses(marker_);
                    for (int pid : still) ::kill(pid, SIGKILL);
                    return still.empty();
                },
                milliseconds(5000));
        }
        std::error_code ignored;
        for (const auto& entry : std::filesystem::directory_iterator(dir(), ignored)) {
            std::string name = entry.path().filename().string();
            if (name.rfind("solkari-owner-", 0) == 0) ADD_FAILURE() << "registry directory left behind: " << entry.path();
        }
    }

private:
    bool reap(bool block) {
        int status = 0;
        pid_t r;
        do {
            r = ::waitpid(pid_, &status, block ? 0 : WNOHANG);
        } while (r < 0 && errno == EINTR);
        if (r != pid_) return false;
        status_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
        lastPid_ = pid_;
        pid_ = -1;
        return true;
    }

    void readErrors() {
        if (err_ < 0) return;
        auto deadline = Clock::now() + milliseconds(2000);
        Source source = pipeSource(&err_);
        for (;;) {
            Chunk chunk = source(deadline);
            errors_ += chunk.bytes;
            if (chunk.eof || (chunk.bytes.empty() && Clock::now() >= deadline)) break;
        }
        closeFd(err_);
    }

    static void closeFd(int& fd) {
        if (fd >= 0) ::close(fd);
        fd = -1;
    }

    fixtures::TempDir dir_;
    std::string marker_;
    int pid_ = -1;
    int lastPid_ = -1;
    int status_ = -1;
    int in_ = -1;
    int out_ = -1;
    int err_ = -1;
    std::string errors_;
    LineStream events_;
    bool leftoversExpected_ = false;
    bool checked_ = false;
    std::vector<std::string> launcher_;
    int stdio_[3] = {-1, -1, -1};
};

// Starts an owner over the command and confirms start-up: the normal beginning of a run.
// Returns the root's pid from the started line (-1 on failure).
inline int startReady(Supervisor& owner, const std::vector<std::string>& command, const Budgets& b = {}) {
    owner.start(ownerArgs(command, b));
    std::string started = owner.events().waitFor("started");
    EXPECT_TRUE(shaped(started, "{\"version\":1,\"event\":\"started\",\"pid\":#}"));
    owner.send("ready");
    EXPECT_EQ(owner.events().waitFor("ready"), "{\"version\":1,\"event\":\"ready\"}");
    return started.empty() ? -1 : static_cast<int>(number(started, "pid"));
}

// ---------------------------------------------------------------------------------------
// A guardian's command line: the mode, its own options, the default budgets, the command.
inline std::vector<std::string> guardianArgs(const std::string& mode, const std::vector<std::string>& extra,
                                             const std::vector<std::string>& command) {
    std::vector<std::string> args{mode};
    args.insert(args.end(), extra.begin(), extra.end());
    auto budgets = budgetArgs(Budgets{});
    args.insert(args.end(), budgets.begin(), budgets.end());
    args.push_back("--");
    args.insert(args.end(), command.begin(), command.end());
    return args;
}

// A guardian started from an owner's root, with its control lines coming from a FIFO the
// test writes and its event lines going to a file the test follows, both in the run's
// temporary directory.
class GuardianChannel {
public:
    GuardianChannel(const std::string& dir, const std::string& name)
        : in_(dir + "/" + name + ".in"), out_(dir + "/" + name + ".out"), err_(dir + "/" + name + ".err"),
          events_(fileSource(out_)) {
        if (::mkfifo(in_.c_str(), 0600) != 0) ADD_FAILURE() << "mkfifo " << in_ << ": " << std::strerror(errno);
        // Read and write: opening never blocks, and the guardian sees end of file only when
        // the test closes its end.
        fd_.reset(::open(in_.c_str(), O_RDWR | O_CLOEXEC));
        if (fd_.get() < 0) ADD_FAILURE() << "open " << in_ << ": " << std::strerror(errno);
    }

    // Shell text for the owner's root: runs the guardian as a child of the root (it must not
    // lead a group of its own, since it makes itself a session leader), then reports its
    // exit status on the root's standard output as "NAME-exit=N".
    std::string launch(const std::vector<std::string>& guardianArgs, const std::string& tag = "guardian") const {
        return guardianCommand(guardianArgs) + "; echo " + tag + "-exit=$?";
    }

    // The same, but the root then waits for nothing: a guardian that ends while the root
    // lives stays a zombie until the root is gone, so that a test whose supervisor is killed
    // always becomes its reaper, instead of losing the status to a shell that was quicker.
    std::string launchUnwaited(const std::vector<std::string>& guardianArgs) const {
        return guardianCommand(guardianArgs) + " & exec sleep 1000";
    }

    // The same, with the guardian's events passing through the shell command `reader` (its
    // parent, as far as the guardian can tell) on their way to the events file. The exit
    // status is not reported.
    std::string launchThrough(const std::vector<std::string>& guardianArgs, const std::string& reader) const {
        return "\"$SOLKARI_NATIVE_OWNER_HELPER\" " + shellWords(guardianArgs) + " <" + quoted(in_) + " 2>" + quoted(err_) +
               " | { " + reader + "; } >" + quoted(out_);
    }

    void send(const std::string& line) {
        std::string bytes = line + "\n";
        if (fd_.get() < 0 || ::write(fd_.get(), bytes.data(), bytes.size()) != static_cast<ssize_t>(bytes.size()))
            ADD_FAILURE() << "writing to the guardian's input";
    }
    void closeInput() { fd_.reset(); }

    LineStream& events() { return events_; }
    std::string errors() const { return fileText(err_); }

private:
    std::string guardianCommand(const std::vector<std::string>& guardianArgs) const {
        return "\"$SOLKARI_NATIVE_OWNER_HELPER\" " + shellWords(guardianArgs) + " <" + quoted(in_) + " >" + quoted(out_) +
               " 2>" + quoted(err_);
    }

    std::string in_, out_, err_;
    fixtures::Fd fd_;
    LineStream events_;
};

// Guardian control lines.
inline std::string writeLine(const std::string& fd, const std::string& bytes) {
    return "{\"version\":1,\"event\":\"write\",\"fd\":\"" + fd + "\",\"data\":\"" + base64(bytes) + "\"}";
}
inline std::string endLine(const std::string& fd) { return "{\"version\":1,\"event\":\"end\",\"fd\":\"" + fd + "\"}"; }
inline std::string signalLine(const std::string& sig) {
    return "{\"version\":1,\"event\":\"signal\",\"signal\":\"" + sig + "\"}";
}
inline std::string resizeLine(int cols, int rows) {
    return "{\"version\":1,\"event\":\"resize\",\"cols\":\"" + std::to_string(cols) + "\",\"rows\":\"" + std::to_string(rows) +
           "\"}";
}
inline const char* const terminateLine = "{\"version\":1,\"event\":\"terminate\"}";

}  // namespace e2e
