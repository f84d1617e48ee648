// solkari-run: the supervisor's parent for a person at a terminal. It starts the supervisor
// that sits beside it over one command, confirms start-up, copies the command's output to its
// own standard output and error as it arrives, turns Ctrl-C into an orderly stop, and ends
// with a one-line summary and the command's exit code.
#include <fcntl.h>
#include <limits.h>
#include <poll.h>
#include <signal.h>
#include <sys/signalfd.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "protocol/parse.h"

namespace {

constexpr const char* usage =
    "usage: solkari-run [--grace-ms N] [--confirm-ms N] [--startup-ms N] [--events] -- COMMAND [ARGS...]\n"
    "\n"
    "Runs COMMAND under the solkari-owner supervisor found beside this program, and guarantees\n"
    "that when the run ends every process COMMAND started is gone.\n"
    "\n"
    "COMMAND is looked up on PATH unless it contains a slash. Its standard output and standard\n"
    "error are copied to this program's own as they arrive; its standard input is not the\n"
    "terminal: it receives the line \"shutdown\" followed by end of file when the run stops.\n"
    "\n"
    "Ctrl-C (SIGINT), SIGTERM and SIGHUP ask the supervisor to terminate the run: COMMAND gets\n"
    "\"shutdown\" on its input, and whatever is left of its process group after the grace budget\n"
    "is killed. When the run is over, one summary line goes to standard error, for example\n"
    "  solkari-run: reason=root_exit code=3 teardown=12ms dropped=0 frames/0 bytes\n"
    "where teardown is the time from the start of the stop to the proof that the tree is gone.\n"
    "\n"
    "Options:\n"
    "  --startup-ms N   start-up budget in milliseconds (default 5000)\n"
    "  --grace-ms N     time COMMAND's tree gets to end after the stop, before it is killed\n"
    "                   (default 2000)\n"
    "  --confirm-ms N   time allowed to prove the tree gone after the kill, and again to\n"
    "                   drain the last output (default 5000)\n"
    "  --events         print the supervisor's raw event lines on standard output instead of\n"
    "                   decoding the output\n"
    "  --help           print this text\n"
    "\n"
    "Exit status: COMMAND's exit code (128 + N when signal N ended it); 1 when the supervisor\n"
    "failed (a failed event, a nonzero supervisor status, or no final report); 127 when COMMAND\n"
    "cannot be found, 126 when it is not executable; 2 for a usage error.\n";

using Clock = std::chrono::steady_clock;

struct Arguments {
    std::string startupMs = "5000";
    std::string graceMs = "2000";
    std::string confirmMs = "5000";
    bool events = false;
    bool help = false;
    std::vector<std::string> command;
};

[[noreturn]] void usageError(const std::string& message) {
    std::fprintf(stderr, "solkari-run: %s (see solkari-run --help)\n", message.c_str());
    std::exit(2);
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
        if (word == "--help" || word == "-h") {
            a.help = true;
            return a;
        }
        if (word == "--events") {
            a.events = true;
            continue;
        }
        std::string* slot = word == "--startup-ms" ? &a.startupMs
                            : word == "--grace-ms" ? &a.graceMs
                            : word == "--confirm-ms" ? &a.confirmMs
                                                     : nullptr;
        if (slot == nullptr) usageError("unknown option " + word);
        if (i + 1 >= argc) usageError(word + " needs a value");
        std::string value = argv[++i];
        // The supervisor has the final word on budgets, but a person deserves to hear about a
        // typo from this program rather than as a supervisor error.
        try {
            positive(value);
        } catch (const std::exception&) {
            usageError(word + " needs a positive integer, not \"" + value + "\"");
        }
        *slot = value;
    }
    for (; i < argc; ++i) a.command.emplace_back(argv[i]);
    if (a.command.empty()) usageError("no command given after --");
    return a;
}

bool executableFile(const std::string& path) {
    struct stat st{};
    return ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode) && ::access(path.c_str(), X_OK) == 0;
}

// The supervisor only runs absolute paths, so the shell's lookup happens here. Returns the
// exit status to use when the command cannot run, or 0 with the path filled in.
int resolve(const std::string& name, std::string& path) {
    if (name.empty()) {
        std::fprintf(stderr, "solkari-run: empty command name\n");
        return 127;
    }
    if (name.find('/') != std::string::npos) {
        path = name;
        if (name[0] != '/') {
            char cwd[PATH_MAX];
            if (::getcwd(cwd, sizeof cwd) == nullptr) {
                std::fprintf(stderr, "solkari-run: current directory: %s\n", std::strerror(errno));
                return 127;
            }
            path = std::string(cwd) + "/" + name;
        }
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

std::optional<std::string> supervisorPath() {
    char self[PATH_MAX];
    ssize_t n = ::readlink("/proc/self/exe", self, sizeof self - 1);
    if (n <= 0) return std::nullopt;
    std::string path(self, static_cast<std::size_t>(n));
    auto slash = path.rfind('/');
    if (slash == std::string::npos) return std::nullopt;
    return path.substr(0, slash) + "/solkari-owner";
}

// Blocking write of everything; false once the descriptor is gone. A descriptor left
// non-blocking by someone else is waited for rather than given up on.
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

struct Supervisor {
    pid_t pid = -1;
    int input = -1;   // its standard input: our control words
    int events = -1;  // its standard output: event lines
};

Supervisor launch(const std::string& program, const Arguments& a, const std::string& commandPath,
                  const sigset_t& originalMask) {
    std::vector<std::string> words = {program,       "--startup-ms", a.startupMs, "--grace-ms", a.graceMs,
                                      "--confirm-ms", a.confirmMs,   "--",        commandPath};
    words.insert(words.end(), a.command.begin() + 1, a.command.end());
    std::vector<char*> argv;
    for (auto& w : words) argv.push_back(w.data());
    argv.push_back(nullptr);

    int toChild[2];
    int fromChild[2];
    if (::pipe2(toChild, O_CLOEXEC) != 0 || ::pipe2(fromChild, O_CLOEXEC) != 0) {
        std::fprintf(stderr, "solkari-run: pipe: %s\n", std::strerror(errno));
        std::exit(1);
    }
    pid_t pid = ::fork();
    if (pid < 0) {
        std::fprintf(stderr, "solkari-run: fork: %s\n", std::strerror(errno));
        std::exit(1);
    }
    if (pid == 0) {
        ::dup2(toChild[0], 0);
        ::dup2(fromChild[1], 1);
        ::signal(SIGPIPE, SIG_DFL);
        ::sigprocmask(SIG_SETMASK, &originalMask, nullptr);
        ::execv(argv[0], argv.data());
        std::fprintf(stderr, "solkari-run: %s: %s\n", argv[0], std::strerror(errno));
        ::_exit(1);
    }
    ::close(toChild[0]);
    ::close(fromChild[1]);
    return Supervisor{pid, toChild[1], fromChild[0]};
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

void handleLine(Run& run, const Supervisor& supervisor, const std::string& line) {
    if (run.events) {
        writeAll(1, line + "\n");
    }
    Fields fields;
    try {
        fields = parse(line);
    } catch (const std::exception& error) {
        std::fprintf(stderr, "solkari-run: unreadable event line (%s)\n", error.what());
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
        int target = fields["stream"] == "stderr" ? 2 : 1;
        try {
            std::string bytes = decode(fields["data"]);
            writeAll(target, bytes);
        } catch (const std::exception& error) {
            std::fprintf(stderr, "solkari-run: undecodable output (%s)\n", error.what());
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

}  // namespace

int main(int argc, char** argv) {
    Arguments a = arguments(argc, argv);
    if (a.help) {
        std::fputs(usage, stdout);
        return 0;
    }
    std::string commandPath;
    if (int status = resolve(a.command[0], commandPath); status != 0) return status;
    std::optional<std::string> program = supervisorPath();
    if (!program || ::access(program->c_str(), X_OK) != 0) {
        std::fprintf(stderr, "solkari-run: no supervisor beside this program (%s)\n",
                     program ? program->c_str() : "/proc/self/exe unreadable");
        return 1;
    }

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
    // A supervisor that is gone must not take us with it when we tell it something.
    ::signal(SIGPIPE, SIG_IGN);

    Supervisor supervisor = launch(*program, a, commandPath, originalMask);
    Run run;
    run.events = a.events;

    std::string pending;
    bool eventsOpen = true;
    while (eventsOpen) {
        pollfd fds[2] = {{supervisor.events, POLLIN, 0}, {signals, POLLIN, 0}};
        if (::poll(fds, 2, -1) < 0) {
            if (errno == EINTR) continue;
            std::fprintf(stderr, "solkari-run: poll: %s\n", std::strerror(errno));
            break;
        }
        if (fds[1].revents & POLLIN) {
            signalfd_siginfo info{};
            while (::read(signals, &info, sizeof info) == static_cast<ssize_t>(sizeof info)) {
                // Repeated terminates change nothing in the supervisor; one is enough.
                if (!run.terminateSent) {
                    run.terminateSent = true;
                    writeAll(supervisor.input, "terminate\n");
                }
            }
        }
        if (fds[0].revents & (POLLIN | POLLHUP | POLLERR)) {
            char buffer[65536];
            ssize_t n = ::read(supervisor.events, buffer, sizeof buffer);
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) {
                eventsOpen = false;
                break;
            }
            pending.append(buffer, static_cast<std::size_t>(n));
            std::size_t start = 0;
            for (auto nl = pending.find('\n'); nl != std::string::npos; nl = pending.find('\n', start)) {
                handleLine(run, supervisor, pending.substr(start, nl - start));
                start = nl + 1;
            }
            pending.erase(0, start);
        }
    }
    ::close(supervisor.events);
    ::close(supervisor.input);

    int status = 0;
    while (::waitpid(supervisor.pid, &status, 0) < 0 && errno == EINTR) {
    }
    int supervisorCode = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);

    if (!pending.empty()) {
        std::fprintf(stderr, "solkari-run: the supervisor's last line was cut short\n");
        run.failed = true;
    }
    if (!run.reaped) {
        std::string stage = run.failedStage.empty() ? "" : " stage=" + run.failedStage;
        std::fprintf(stderr, "solkari-run: supervisor=failed%s status=%d: it ended without a final report\n",
                     stage.c_str(), supervisorCode);
        return 1;
    }
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
    summary += "\n";
    writeAll(2, summary);
    return failed ? 1 : run.rootCode;
}
