// solkari-run: the supervisor's parent for a person at a terminal. It starts the supervisor
// over one command whose standard input is this program's own, confirms start-up, copies the
// command's output to its own standard output and error, turns Ctrl-C into an orderly stop,
// and ends with the command's exit code and, unless told to be quiet, a one-line summary.
//
// Output is taken from the supervisor as fast as it comes and held here while this program's
// own reader is slow, because a supervisor whose parent stops taking lines drops output. The
// standard descriptors are never switched to non-blocking mode (their flags belong to
// descriptions shared with the shell): each write is at most one pipe buffer's worth and is
// made only once poll says the descriptor can take it.
#include <fcntl.h>
#include <limits.h>
#include <poll.h>
#include <signal.h>
#include <sys/signalfd.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <optional>
#include <string>
#include <vector>

#include <owner_version.h>  // generated into the build tree
#include "protocol/parse.h"

namespace {

constexpr const char* usage =
    "usage: solkari-run [OPTIONS] [--] COMMAND [ARGS...]\n"
    "\n"
    "Runs COMMAND under the solkari-owner supervisor and guarantees that when the run ends every\n"
    "process COMMAND started is gone. The first word that is not an option is COMMAND; \"--\"\n"
    "ends the options explicitly.\n"
    "\n"
    "COMMAND is looked up on PATH unless it contains a slash. Its standard input is this\n"
    "program's own (a terminal or a pipe); its standard output and standard error are copied to\n"
    "this program's own as they arrive. Output waits here, not in the supervisor, while the\n"
    "reader of this program's output is slow (up to --buffer-kb); output the supervisor dropped\n"
    "anyway is reported and makes the exit status 1.\n"
    "\n"
    "Ctrl-C (SIGINT), SIGTERM and SIGHUP ask the supervisor to terminate the run: whatever is\n"
    "left of COMMAND's process group after the grace budget is killed, and the run ends once the\n"
    "whole tree is proven gone. So does a reader that closes this program's standard output.\n"
    "Unless --quiet is given, one summary line goes to standard error at the end, for example\n"
    "  solkari-run: reason=root_exit code=3 teardown=12ms dropped=0 frames/0 bytes\n"
    "where teardown is the time from the start of the stop to the proof that the tree is gone.\n"
    "The flags of the standard descriptors and the terminal's settings are left as they were.\n"
    "\n"
    "Options:\n"
    "  --startup-ms N   start-up budget in milliseconds (default 5000)\n"
    "  --grace-ms N     time COMMAND's tree gets to end after the stop, before it is killed\n"
    "                   (default 2000)\n"
    "  --confirm-ms N   time allowed to prove the tree gone after the kill, and again to\n"
    "                   drain the last output (default 5000)\n"
    "  --buffer-kb N    output held for a slow reader, in KiB (default 65536)\n"
    "  --owner PATH     the supervisor to use; otherwise $SOLKARI_OWNER, then solkari-owner\n"
    "                   beside this program, then the installed one\n"
    "  --events         print the supervisor's raw event lines on standard output instead of\n"
    "                   decoding the output\n"
    "  -q, --quiet      no summary line when the run succeeded\n"
    "  -h, --help       print this text\n"
    "  --version        print the version\n"
    "\n"
    "Exit status: COMMAND's exit code (128 + N when signal N ended it); 1 when the supervisor\n"
    "failed (a failed event, a nonzero supervisor status, or no final report) or output was\n"
    "lost; 127 when COMMAND cannot be found, 126 when it is not executable; 2 for a usage error.\n";

// The descriptor the command's standard input travels on through the supervisor, which
// passes every inherited descriptor to its root untouched.
constexpr int passedInput = 3;

// The root moves that descriptor onto its standard input and becomes the command.
constexpr const char* rootScript = "exec \"$@\" 0<&3 3<&-";

// One write never exceeds what a pipe that polls writable is sure to take without blocking.
constexpr std::size_t writeChunk = PIPE_BUF;

using Clock = std::chrono::steady_clock;

struct Arguments {
    std::string startupMs = "5000";
    std::string graceMs = "2000";
    std::string confirmMs = "5000";
    std::size_t bufferBytes = std::size_t{65536} * 1024;
    std::optional<std::string> owner;
    bool events = false;
    bool quiet = false;
    bool help = false;
    bool version = false;
    std::vector<std::string> command;
};

[[noreturn]] void usageError(const std::string& message) {
    std::fprintf(stderr, "solkari-run: %s (see solkari-run --help)\n", message.c_str());
    std::exit(2);
}

// A budget or size: the supervisor has the final word on budgets, but a person deserves to
// hear about a typo from this program rather than as a supervisor error.
std::string positiveValue(const std::string& name, const std::string& value) {
    try {
        positive(value);
    } catch (const std::exception&) {
        usageError(name + " needs a positive integer, not \"" + value + "\"");
    }
    return value;
}

Arguments arguments(int argc, char** argv) {
    Arguments a;
    int i = 1;
    for (; i < argc; ++i) {
        std::string word = argv[i];
        if (word == "--") {
            ++i;
            break;
        }
        if (word.empty() || word[0] != '-') break;
        if (word == "--help" || word == "-h") {
            a.help = true;
            return a;
        }
        if (word == "--version") {
            a.version = true;
            return a;
        }
        if (word == "--events") {
            a.events = true;
            continue;
        }
        if (word == "--quiet" || word == "-q") {
            a.quiet = true;
            continue;
        }
        std::string name = word;
        std::optional<std::string> value;
        if (auto eq = word.find('='); eq != std::string::npos && word.rfind("--", 0) == 0) {
            name = word.substr(0, eq);
            value = word.substr(eq + 1);
        }
        if (name != "--startup-ms" && name != "--grace-ms" && name != "--confirm-ms" && name != "--buffer-kb" &&
            name != "--owner")
            usageError("unknown option " + word);
        if (!value) {
            if (i + 1 >= argc) usageError(name + " needs a value");
            value = argv[++i];
        }
        if (name == "--owner") {
            if (value->empty()) usageError("--owner needs a path");
            a.owner = *value;
        } else if (name == "--buffer-kb") {
            a.bufferBytes = static_cast<std::size_t>(positive(positiveValue(name, *value))) * 1024;
        } else {
            std::string& slot = name == "--startup-ms" ? a.startupMs : name == "--grace-ms" ? a.graceMs : a.confirmMs;
            slot = positiveValue(name, *value);
        }
    }
    for (; i < argc; ++i) a.command.emplace_back(argv[i]);
    if (a.command.empty()) usageError("no command given");
    return a;
}

bool executableFile(const std::string& path) {
    struct stat st{};
    return ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode) && ::access(path.c_str(), X_OK) == 0;
}

std::string absolute(const std::string& path) {
    if (path.empty() || path[0] == '/') return path;
    char cwd[PATH_MAX];
    if (::getcwd(cwd, sizeof cwd) == nullptr) return path;
    return std::string(cwd) + "/" + path;
}

// The supervisor only runs absolute paths, so the shell's lookup happens here. Returns the
// exit status to use when the command cannot run, or 0 with the path filled in.
int resolve(const std::string& name, std::string& path) {
    if (name.empty()) {
        std::fprintf(stderr, "solkari-run: empty command name\n");
        return 127;
    }
    if (name.find('/') != std::string::npos) {
        path = absolute(name);
        if (executableFile(path)) return 0;
        struct stat st{};
        bool exists = ::stat(path.c_str(), &st) == 0;
        std::fprintf(stderr, "solkari-run: %s: %s\n", name.c_str(), exists ? "not an executable file" : "no such file");
        return exists ? 126 : 127;
    }
    const char* pathVariable = std::getenv("PATH");
    std::string dirs = pathVariable != nullptr ? pathVariable : "/usr/local/bin:/usr/bin:/bin";
    std::size_t start = 0;
    for (;;) {
        std::size_t end = dirs.find(':', start);
        std::string dir = dirs.substr(start, end == std::string::npos ? std::string::npos : end - start);
        std::string candidate = (dir.empty() ? std::string(".") : dir) + "/" + name;
        if (executableFile(candidate)) {
            return resolve(candidate, path);
        }
        if (end == std::string::npos) break;
        start = end + 1;
    }
    std::fprintf(stderr, "solkari-run: %s: command not found\n", name.c_str());
    return 127;
}

// --owner, then $SOLKARI_OWNER, then beside this program, then where the install step puts
// it. A supervisor named explicitly must be usable: falling back would run another one.
std::optional<std::string> supervisorPath(const Arguments& a) {
    const char* variable = std::getenv("SOLKARI_OWNER");
    std::optional<std::string> named = a.owner;
    const char* source = "--owner";
    if (!named && variable != nullptr && *variable != '\0') {
        named = variable;
        source = "SOLKARI_OWNER";
    }
    if (named) {
        if (executableFile(*named)) return absolute(*named);
        std::fprintf(stderr, "solkari-run: %s %s: not an executable file\n", source, named->c_str());
        return std::nullopt;
    }
    std::vector<std::string> candidates;
    char self[PATH_MAX];
    ssize_t n = ::readlink("/proc/self/exe", self, sizeof self - 1);
    if (n > 0) {
        std::string path(self, static_cast<std::size_t>(n));
        candidates.push_back(path.substr(0, path.rfind('/') + 1) + "solkari-owner");
    }
    candidates.emplace_back(ownerInstalledPath);
    std::string tried;
    for (const auto& candidate : candidates) {
        if (executableFile(candidate)) return candidate;
        tried += " " + candidate;
    }
    std::fprintf(stderr, "solkari-run: no supervisor found (tried%s; see --owner)\n", tried.c_str());
    return std::nullopt;
}

// Blocking write of everything; false once the descriptor is gone. A descriptor someone else
// made non-blocking is waited for rather than given up on.
bool writeAll(int fd, const char* data, std::size_t size) {
    std::size_t done = 0;
    while (done < size) {
        ssize_t n = ::write(fd, data + done, size - done);
        if (n > 0) {
            done += static_cast<std::size_t>(n);
        } else if (n < 0 && errno == EINTR) {
            continue;
        } else if (n < 0 && errno == EAGAIN) {
            pollfd p{fd, POLLOUT, 0};
            ::poll(&p, 1, 1000);
        } else {
            return false;
        }
    }
    return true;
}

bool writeAll(int fd, const std::string& text) { return writeAll(fd, text.data(), text.size()); }

// What a standard descriptor was when the run began: its status flags and, for a terminal,
// its settings, so that whatever the command did to them can be undone.
struct StreamState {
    int flags = -1;
    dev_t device = 0;
    ino_t inode = 0;
};

struct TerminalState {
    StreamState streams[3];
    int terminal = -1;  // the first standard descriptor that is a terminal
    termios settings{};
};

StreamState streamState(int fd) {
    StreamState state;
    struct stat st{};
    if (::fstat(fd, &st) != 0) return state;
    state.flags = ::fcntl(fd, F_GETFL);
    state.device = st.st_dev;
    state.inode = st.st_ino;
    return state;
}

TerminalState saveTerminal() {
    TerminalState saved;
    for (int fd = 0; fd < 3; ++fd) {
        saved.streams[fd] = streamState(fd);
        if (saved.terminal < 0 && ::isatty(fd) && ::tcgetattr(fd, &saved.settings) == 0) saved.terminal = fd;
    }
    return saved;
}

bool sameSettings(const termios& a, const termios& b) {
    return a.c_iflag == b.c_iflag && a.c_oflag == b.c_oflag && a.c_cflag == b.c_cflag && a.c_lflag == b.c_lflag &&
           std::memcmp(a.c_cc, b.c_cc, sizeof a.c_cc) == 0 && cfgetispeed(&a) == cfgetispeed(&b) &&
           cfgetospeed(&a) == cfgetospeed(&b);
}

void restoreTerminal(const TerminalState& saved) {
    for (int fd = 0; fd < 3; ++fd) {
        const StreamState& before = saved.streams[fd];
        if (before.flags < 0) continue;
        StreamState now = streamState(fd);
        if (now.flags < 0 || now.device != before.device || now.inode != before.inode) continue;
        if (now.flags != before.flags) ::fcntl(fd, F_SETFL, before.flags);
    }
    termios current{};
    if (saved.terminal < 0 || ::tcgetattr(saved.terminal, &current) != 0 || sameSettings(current, saved.settings))
        return;
    // Settings changed from the background would stop this program with SIGTTOU; blocked,
    // the change goes through.
    sigset_t ttou;
    sigset_t previous;
    sigemptyset(&ttou);
    sigaddset(&ttou, SIGTTOU);
    ::sigprocmask(SIG_BLOCK, &ttou, &previous);
    ::tcsetattr(saved.terminal, TCSADRAIN, &saved.settings);
    ::sigprocmask(SIG_SETMASK, &previous, nullptr);
}

struct Supervisor {
    pid_t pid = -1;
    int input = -1;   // its standard input: our control words
    int events = -1;  // its standard output: event lines
    int errors = -1;  // its standard error: at most a line or two of its own
};

// Moves source onto target in a child about to exec: first above every target, so that no
// source is overwritten before it is used.
void placeAt(const std::vector<std::pair<int, int>>& moves) {
    std::vector<std::pair<int, int>> lifted;
    for (auto [source, target] : moves) {
        int high = ::fcntl(source, F_DUPFD_CLOEXEC, 10);
        if (high < 0) ::_exit(1);
        lifted.emplace_back(high, target);
    }
    for (auto [source, target] : lifted)
        if (::dup2(source, target) < 0) ::_exit(1);
}

Supervisor launch(const std::string& program, const Arguments& a, const std::string& commandPath,
                  const sigset_t& originalMask) {
    std::vector<std::string> words = {program,     "--startup-ms", a.startupMs, "--grace-ms",
                                      a.graceMs,   "--confirm-ms", a.confirmMs, "--",
                                      "/bin/sh",   "-c",           rootScript,  "solkari-run",
                                      commandPath};
    words.insert(words.end(), a.command.begin() + 1, a.command.end());
    std::vector<char*> argv;
    for (auto& w : words) argv.push_back(w.data());
    argv.push_back(nullptr);

    int toChild[2];
    int fromChild[2];
    int errors[2];
    if (::pipe2(toChild, O_CLOEXEC) != 0 || ::pipe2(fromChild, O_CLOEXEC) != 0 || ::pipe2(errors, O_CLOEXEC) != 0) {
        std::fprintf(stderr, "solkari-run: pipe: %s\n", std::strerror(errno));
        std::exit(1);
    }
    pid_t pid = ::fork();
    if (pid < 0) {
        std::fprintf(stderr, "solkari-run: fork: %s\n", std::strerror(errno));
        std::exit(1);
    }
    if (pid == 0) {
        // The supervisor's standard error is a pipe of ours too: it makes its descriptors
        // non-blocking, which must not reach a terminal shared with the shell.
        int input = ::fcntl(0, F_GETFD) >= 0 ? 0 : ::open("/dev/null", O_RDONLY | O_CLOEXEC);
        if (input < 0) ::_exit(1);
        placeAt({{toChild[0], 0}, {fromChild[1], 1}, {errors[1], 2}, {input, passedInput}});
        ::signal(SIGPIPE, SIG_DFL);
        ::sigprocmask(SIG_SETMASK, &originalMask, nullptr);
        ::execv(argv[0], argv.data());
        std::fprintf(stderr, "solkari-run: %s: %s\n", argv[0], std::strerror(errno));
        ::_exit(1);
    }
    ::close(toChild[0]);
    ::close(fromChild[1]);
    ::close(errors[1]);
    return Supervisor{pid, toChild[1], fromChild[0], errors[0]};
}

// Bytes on their way to standard output or error, in the order they arrived.
struct Chunk {
    int fd;
    std::string bytes;
    std::size_t offset = 0;
};

struct Outbox {
    std::deque<Chunk> chunks;
    std::size_t bytes = 0;
    bool gone[3] = {false, false, false};
};

void queue(Outbox& box, int fd, std::string bytes) {
    if (box.gone[fd] || bytes.empty()) return;
    box.bytes += bytes.size();
    // Small pieces for the same descriptor share a chunk, so that a stream of short lines
    // is written in full chunks.
    if (!box.chunks.empty() && box.chunks.back().fd == fd && box.chunks.back().bytes.size() < 65536)
        box.chunks.back().bytes += bytes;
    else
        box.chunks.push_back(Chunk{fd, std::move(bytes)});
}

void discard(Outbox& box, int fd) {
    box.gone[fd] = true;
    std::deque<Chunk> kept;
    for (auto& chunk : box.chunks) {
        if (chunk.fd == fd)
            box.bytes -= chunk.bytes.size() - chunk.offset;
        else
            kept.push_back(std::move(chunk));
    }
    box.chunks = std::move(kept);
}

// One write of the oldest chunk, after poll said its descriptor can take some.
void writeSome(Outbox& box) {
    Chunk& front = box.chunks.front();
    std::size_t size = std::min(writeChunk, front.bytes.size() - front.offset);
    ssize_t n = ::write(front.fd, front.bytes.data() + front.offset, size);
    if (n < 0 && (errno == EINTR || errno == EAGAIN)) return;
    if (n <= 0) {
        discard(box, front.fd);
        return;
    }
    front.offset += static_cast<std::size_t>(n);
    box.bytes -= static_cast<std::size_t>(n);
    if (front.offset == front.bytes.size()) box.chunks.pop_front();
}

struct Run {
    bool events = false;
    bool started = false;
    bool failed = false;
    bool reaped = false;
    bool terminateSent = false;
    std::string failedStage;
    std::string reason;
    int rootCode = -1;
    long long droppedFrames = 0;
    long long droppedBytes = 0;
    std::optional<Clock::time_point> stoppingAt;
    Clock::time_point reapedAt;
};

long long number(const std::string& text) {
    try {
        return text.empty() ? 0 : std::stoll(text);
    } catch (const std::exception&) {
        return -1;
    }
}

void terminate(Run& run, const Supervisor& supervisor) {
    // Repeated terminates change nothing in the supervisor; one is enough.
    if (run.terminateSent) return;
    run.terminateSent = true;
    writeAll(supervisor.input, "terminate\n");
}

void handleLine(Run& run, Outbox& box, const Supervisor& supervisor, const std::string& line) {
    if (run.events) queue(box, 1, line + "\n");
    Fields fields;
    try {
        fields = parse(line);
    } catch (const std::exception& error) {
        queue(box, 2, std::string("solkari-run: unreadable event line (") + error.what() + ")\n");
        run.failed = true;
        return;
    }
    const std::string& event = fields["event"];
    if (event == "started") {
        run.started = true;
        // Start-up is confirmed at once: nothing in this program needs preparing.
        writeAll(supervisor.input, "ready\n");
    } else if (event == "output") {
        if (run.events) return;
        try {
            queue(box, fields["stream"] == "stderr" ? 2 : 1, decode(fields["data"]));
        } catch (const std::exception& error) {
            queue(box, 2, std::string("solkari-run: undecodable output (") + error.what() + ")\n");
            run.failed = true;
        }
    } else if (event == "stopping") {
        run.stoppingAt = Clock::now();
        if (run.reason.empty()) run.reason = fields["reason"];
    } else if (event == "root_exit") {
        run.rootCode = static_cast<int>(number(fields["code"]));
    } else if (event == "failed") {
        run.failed = true;
        run.failedStage = fields["stage"];
    } else if (event == "reaped") {
        run.reaped = true;
        run.reapedAt = Clock::now();
        run.reason = fields["reason"];
        run.droppedFrames = number(fields["dropped"]);
        run.droppedBytes = number(fields["dropped_bytes"]);
    }
}

// Reads what is there; false at end of file or on an error.
bool readInto(int fd, std::string& text) {
    char buffer[65536];
    ssize_t n = ::read(fd, buffer, sizeof buffer);
    if (n < 0 && (errno == EINTR || errno == EAGAIN)) return true;
    if (n <= 0) return false;
    text.append(buffer, static_cast<std::size_t>(n));
    return true;
}

// Until the supervisor has closed both its streams and everything it said has been written
// out. Events are read only while the outbox has room: past that, the supervisor holds the
// command's output back, and drops it only if this program takes nothing for a while.
std::string supervise(Run& run, Outbox& box, const Supervisor& supervisor, int signals, std::size_t room) {
    std::string pending;
    std::string errors;
    bool eventsOpen = true;
    bool errorsOpen = true;
    while (eventsOpen || errorsOpen || !box.chunks.empty()) {
        pollfd fds[4];
        nfds_t count = 0;
        fds[count++] = {signals, POLLIN, 0};
        int eventsAt = -1;
        int errorsAt = -1;
        if (eventsOpen && box.bytes < room) {
            eventsAt = static_cast<int>(count);
            fds[count++] = {supervisor.events, POLLIN, 0};
        }
        if (errorsOpen) {
            errorsAt = static_cast<int>(count);
            fds[count++] = {supervisor.errors, POLLIN, 0};
        }
        int outAt = -1;
        if (!box.chunks.empty()) {
            outAt = static_cast<int>(count);
            fds[count++] = {box.chunks.front().fd, POLLOUT, 0};
        }
        if (::poll(fds, count, -1) < 0) {
            if (errno == EINTR) continue;
            queue(box, 2, std::string("solkari-run: poll: ") + std::strerror(errno) + "\n");
            break;
        }
        if (fds[0].revents & POLLIN) {
            signalfd_siginfo info{};
            while (::read(signals, &info, sizeof info) == static_cast<ssize_t>(sizeof info)) {
                // Once the supervisor is done, a stop signal gives up on output still waiting
                // for a reader that does not come.
                if (!eventsOpen && !errorsOpen) return pending;
                terminate(run, supervisor);
            }
        }
        if (eventsAt >= 0 && fds[eventsAt].revents != 0) {
            eventsOpen = readInto(supervisor.events, pending);
            std::size_t start = 0;
            for (auto nl = pending.find('\n'); nl != std::string::npos; nl = pending.find('\n', start)) {
                handleLine(run, box, supervisor, pending.substr(start, nl - start));
                start = nl + 1;
            }
            pending.erase(0, start);
        }
        if (errorsAt >= 0 && fds[errorsAt].revents != 0) {
            errorsOpen = readInto(supervisor.errors, errors);
            auto nl = errors.rfind('\n');
            if (nl != std::string::npos || !errorsOpen) {
                std::size_t cut = nl == std::string::npos ? errors.size() : nl + 1;
                queue(box, 2, errors.substr(0, cut));
                errors.erase(0, cut);
            }
        }
        if (outAt >= 0 && fds[outAt].revents != 0) {
            if (fds[outAt].revents & (POLLERR | POLLNVAL))
                discard(box, fds[outAt].fd);
            else
                writeSome(box);
        }
        // A reader that went away wants no more: the run stops as at Ctrl-C.
        if (box.gone[1] && eventsOpen) terminate(run, supervisor);
    }
    return pending;
}

}  // namespace

int main(int argc, char** argv) {
    Arguments a = arguments(argc, argv);
    if (a.help) {
        std::fputs(usage, stdout);
        return 0;
    }
    if (a.version) {
        std::printf("solkari-run %s (protocol %d)\n", ownerVersion, ownerProtocolVersion);
        return 0;
    }
    std::string commandPath;
    if (int status = resolve(a.command[0], commandPath); status != 0) return status;
    std::optional<std::string> program = supervisorPath(a);
    if (!program) return 1;

    // The stop signals arrive as readable data instead of interrupting or killing us, so that
    // a Ctrl-C becomes an orderly terminate and the summary is still printed.
    sigset_t stopSignals;
    sigset_t originalMask;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGINT);
    sigaddset(&stopSignals, SIGTERM);
    sigaddset(&stopSignals, SIGHUP);
    ::sigprocmask(SIG_BLOCK, &stopSignals, &originalMask);
    int signals = ::signalfd(-1, &stopSignals, SFD_CLOEXEC | SFD_NONBLOCK);
    if (signals < 0) {
        std::fprintf(stderr, "solkari-run: signalfd: %s\n", std::strerror(errno));
        return 1;
    }
    // A supervisor or a reader that is gone must not take us with it when we write.
    ::signal(SIGPIPE, SIG_IGN);

    TerminalState terminal = saveTerminal();
    Supervisor supervisor = launch(*program, a, commandPath, originalMask);
    Run run;
    run.events = a.events;
    Outbox box;
    std::string pending = supervise(run, box, supervisor, signals, a.bufferBytes);
    ::close(supervisor.events);
    ::close(supervisor.errors);
    ::close(supervisor.input);

    int status = 0;
    while (::waitpid(supervisor.pid, &status, 0) < 0 && errno == EINTR) {
    }
    int supervisorCode = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    restoreTerminal(terminal);

    if (!pending.empty()) {
        writeAll(2, "solkari-run: the supervisor's last line was cut short\n");
        run.failed = true;
    }
    if (!run.reaped) {
        std::string stage = run.failedStage.empty() ? "" : " stage=" + run.failedStage;
        writeAll(2, "solkari-run: supervisor=failed" + stage + " status=" + std::to_string(supervisorCode) +
                        ": it ended without a final report\n");
        return 1;
    }
    bool lost = run.droppedFrames != 0;
    if (lost)
        writeAll(2, "solkari-run: " + std::to_string(run.droppedFrames) + " frames (" +
                        std::to_string(run.droppedBytes) +
                        " bytes) of output were lost: the supervisor dropped them while its queue to this "
                        "program was full\n");
    long long teardownMs =
        run.stoppingAt ? std::chrono::duration_cast<std::chrono::milliseconds>(run.reapedAt - *run.stoppingAt).count()
                       : 0;
    std::string summary = "solkari-run: reason=" + run.reason + " code=" +
                          (run.rootCode >= 0 ? std::to_string(run.rootCode) : std::string("none")) +
                          " teardown=" + std::to_string(teardownMs) + "ms";
    summary += " dropped=" + std::to_string(run.droppedFrames) + " frames/" + std::to_string(run.droppedBytes) + " bytes";
    bool failed = run.failed || supervisorCode != 0 || run.rootCode < 0;
    if (failed) {
        summary += " supervisor=failed";
        if (!run.failedStage.empty()) summary += " stage=" + run.failedStage;
        summary += " status=" + std::to_string(supervisorCode);
    }
    if (failed || lost || !a.quiet) writeAll(2, summary + "\n");
    return failed || lost ? 1 : run.rootCode;
}
