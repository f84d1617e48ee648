// A tiny parent for the supervisor, for people to watch: it starts the supervisor over a small
// demonstration command, confirms start-up with "ready", prints every event line decoded,
// says "terminate" after a few seconds (or at the first Ctrl-C) and prints the final report.
//
//     owner-demo PATH-TO-SOLKARI-OWNER [SECONDS]
//
// It never reads its own standard input, so it runs the same with none.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/signalfd.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "protocol/parse.h"

namespace {

using Clock = std::chrono::steady_clock;

// The demonstration root: two workers in its process group, output on both streams, and a
// root that leaves its workers behind when told to shut down, so that the supervisor has to
// hunt them down before it can report the run as reaped.
const char* const demoScript = R"(echo "root: pid $$, leader of a session of its own"
( n=0; while :; do n=$((n+1)); echo "ticker: tick $n"; sleep 0.5; done ) &
( while :; do echo "grumbler: a line on standard error" >&2; sleep 0.8; done ) &
echo "root: two workers started; waiting for a line on standard input"
read line
echo "root: read \"$line\"; exiting and leaving both workers behind"
exit 0
)";

struct Demo {
    Clock::time_point start = Clock::now();
    std::map<std::string, std::string> partial;  // undecoded rest of each stream, by name
    std::string events;                          // bytes of event lines not yet complete
    int toSupervisor = -1;
    bool terminated = false;
    std::string lastReport;

    double seconds() const { return std::chrono::duration<double>(Clock::now() - start).count(); }

    void say(const std::string& what, const std::string& text) const {
        std::printf("[%6.3fs] %-11s %s\n", seconds(), what.c_str(), text.c_str());
        std::fflush(stdout);
    }

    void send(const char* word) {
        std::string line = std::string(word) + "\n";
        if (toSupervisor >= 0 && ::write(toSupervisor, line.data(), line.size()) < 0)
            say("!", std::string("cannot write to the supervisor: ") + std::strerror(errno));
        say("->", word);
    }

    void terminate() {
        if (terminated) return;
        terminated = true;
        send("terminate");
    }

    void showOutput(const std::string& stream, const std::string& bytes, bool flushAll) {
        std::string& rest = partial[stream];
        rest += bytes;
        std::size_t at;
        while ((at = rest.find('\n')) != std::string::npos) {
            say(stream + " |", rest.substr(0, at));
            rest.erase(0, at + 1);
        }
        if (flushAll && !rest.empty()) {
            say(stream + " |", rest + "  (no newline)");
            rest.clear();
        }
    }

    void showEvent(const std::string& line) {
        Fields f;
        try {
            f = parse(line);
        } catch (const std::exception&) {
            // Lines with lists (a deadline failure's residual report) are not flat: show them as
            // they are.
            say("event", line);
            return;
        }
        const std::string event = f["event"];
        if (event == "output") {
            try {
                showOutput(f["stream"], decode(f["data"]), false);
            } catch (const std::exception& error) {
                say("!", std::string("undecodable output: ") + error.what());
            }
        } else if (event == "started") {
            say(event, "root pid " + f["pid"]);
            send("ready");
        } else if (event == "ready") {
            say(event, "start-up confirmed");
        } else if (event == "stopping") {
            say(event, "reason " + f["reason"]);
        } else if (event == "root_exit") {
            say(event, "code " + f["code"]);
        } else if (event == "log_dropped") {
            say(event, f["frames"] + " output events (" + f["bytes"] + " bytes) dropped");
        } else if (event == "failed") {
            say(event, "stage " + f["stage"] + (f["kind"].empty() ? "" : ", kind " + f["kind"]));
        } else if (event == "reaped") {
            say(event, "every process of the run is gone; reason " + f["reason"]);
            lastReport = "reason " + f["reason"] + ", lines still queued " + f["queued"] + ", output events dropped " +
                         f["dropped"] + " (" + f["dropped_bytes"] + " bytes)";
        } else {
            say(event, line);
        }
    }

    void takeEvents(const char* bytes, std::size_t size) {
        events.append(bytes, size);
        std::size_t at;
        while ((at = events.find('\n')) != std::string::npos) {
            showEvent(events.substr(0, at));
            events.erase(0, at + 1);
        }
    }
};

// Makes sure descriptors 0 to 2 exist, so that the pipes made below never take their numbers.
void fillStandardDescriptors() {
    for (int fd = 0; fd <= 2; ++fd) {
        if (::fcntl(fd, F_GETFD) < 0) {
            int null = ::open("/dev/null", O_RDWR);
            if (null >= 0 && null != fd) {
                ::dup2(null, fd);
                ::close(null);
            }
        }
    }
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: %s PATH-TO-SOLKARI-OWNER [SECONDS]\n", argv[0]);
        return 2;
    }
    const std::string supervisor = argv[1];
    const double seconds = argc > 2 ? std::atof(argv[2]) : 3.0;
    fillStandardDescriptors();

    // Ctrl-C and SIGTERM arrive as readable data, not as interruptions.
    sigset_t stops, previous;
    sigemptyset(&stops);
    sigaddset(&stops, SIGINT);
    sigaddset(&stops, SIGTERM);
    ::sigprocmask(SIG_BLOCK, &stops, &previous);
    int signals = ::signalfd(-1, &stops, SFD_CLOEXEC | SFD_NONBLOCK);

    int in[2], out[2], err[2];
    if (::pipe2(in, O_CLOEXEC) != 0 || ::pipe2(out, O_CLOEXEC) != 0 || ::pipe2(err, O_CLOEXEC) != 0) {
        std::perror("pipe");
        return 1;
    }
    std::vector<std::string> args{supervisor, "--startup-ms", "5000", "--grace-ms", "1000", "--confirm-ms", "3000",
                                  "--", "/bin/sh", "-c", demoScript};
    std::vector<char*> argvChild;
    for (auto& a : args) argvChild.push_back(a.data());
    argvChild.push_back(nullptr);

    std::printf("$ %s --startup-ms 5000 --grace-ms 1000 --confirm-ms 3000 -- /bin/sh -c '<demonstration script>'\n",
                supervisor.c_str());
    std::printf("(this parent sends \"ready\" at once and \"terminate\" after %.1f s or at Ctrl-C)\n\n", seconds);
    std::fflush(stdout);

    pid_t child = ::fork();
    if (child < 0) {
        std::perror("fork");
        return 1;
    }
    if (child == 0) {
        ::sigprocmask(SIG_SETMASK, &previous, nullptr);
        ::dup2(in[0], 0);
        ::dup2(out[1], 1);
        ::dup2(err[1], 2);
        ::execv(argvChild[0], argvChild.data());
        std::fprintf(stderr, "cannot start %s: %s\n", argvChild[0], std::strerror(errno));
        ::_exit(127);
    }
    ::close(in[0]);
    ::close(out[1]);
    ::close(err[1]);

    Demo demo;
    demo.toSupervisor = in[1];
    std::string diagnostics;
    auto terminateAt = demo.start + std::chrono::milliseconds(static_cast<long long>(seconds * 1000));
    bool outOpen = true, errOpen = true;
    while (outOpen || errOpen) {
        pollfd fds[3] = {{outOpen ? out[0] : -1, POLLIN, 0}, {errOpen ? err[0] : -1, POLLIN, 0}, {signals, POLLIN, 0}};
        int wait = -1;
        if (!demo.terminated)
            wait = static_cast<int>(std::max<long long>(
                0, std::chrono::duration_cast<std::chrono::milliseconds>(terminateAt - Clock::now()).count()));
        int ready = ::poll(fds, 3, wait);
        if (ready < 0 && errno != EINTR) break;
        if (!demo.terminated && Clock::now() >= terminateAt) demo.terminate();
        if (fds[2].revents & POLLIN) {
            signalfd_siginfo info;
            while (::read(signals, &info, sizeof info) == static_cast<ssize_t>(sizeof info)) {
            }
            demo.say("^C", "interrupted");
            demo.terminate();
        }
        char buffer[65536];
        if (fds[0].revents & (POLLIN | POLLHUP)) {
            ssize_t n = ::read(out[0], buffer, sizeof buffer);
            if (n > 0)
                demo.takeEvents(buffer, static_cast<std::size_t>(n));
            else if (n == 0 || errno != EINTR)
                outOpen = false;
        }
        if (fds[1].revents & (POLLIN | POLLHUP)) {
            ssize_t n = ::read(err[0], buffer, sizeof buffer);
            if (n > 0)
                diagnostics.append(buffer, static_cast<std::size_t>(n));
            else if (n == 0 || errno != EINTR)
                errOpen = false;
        }
    }
    for (auto& [stream, rest] : demo.partial) demo.showOutput(stream, "", true);
    ::close(in[1]);

    int status = 0;
    while (::waitpid(child, &status, 0) < 0 && errno == EINTR) {
    }
    int code = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    std::printf("\nfinal report: %s\n", demo.lastReport.empty() ? "none (the run did not end normally)" : demo.lastReport.c_str());
    if (!diagnostics.empty()) std::printf("supervisor's standard error: %s", diagnostics.c_str());
    std::printf("supervisor exit status: %d\n", code);
    return code;
}
