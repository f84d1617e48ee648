// A supervisor's control lines, fed to controlLine of a command guardian, a pty guardian or
// an owner whose state the harness builds for real: an event queue, a registry in a
// private temporary directory, the parent writer, the root's input and two extra inputs on
// pipes (or the root's input on a real pseudo-terminal), and a root that is a live child
// leading its own process group, so that signal lines reach something.
//
// The first input byte chooses the mode and the state the lines meet; the rest is cut into
// lines at newlines, as the loop cuts what it reads (an unterminated tail is not a line).
// Properties: a rejection is a std::runtime_error with a fixed message of the control
// commands, parse, positive or decode (an owner's words never raise); the outcome agrees
// with the line's parsed event where the rules fix it; state flags only go from false to
// true; only whole event lines reach the parent; no descriptor, directory or process leaks.
#include <fcntl.h>
#include <pty.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "protocol/options.h"
#include "protocol/parse.h"
#include "registry/registry.h"
#include "supervision/commands.h"
#include "supervision/state.h"
#include "supervision/teardown.h"
#include "support.h"

namespace {

constexpr std::initializer_list<const char*> commandMessages = {
    "parent registry command", "PTY end input", "unknown input fd", "input fd already ended",
    "stdin already ended",     "PTY size",      "command signal",   "guardian input protocol",
};

// The extra inputs of the command guardian, by the number its root would see.
constexpr int extraA = 5;
constexpr int extraB = 7;

struct Pipe {
    int read = -1;
    int write = -1;
};

struct World {
    std::string tmp;  // private temporary directory for the registries
    Pipe parent, input, extra[2];
    int registryEnds[2] = {-1, -1};
    int ptyMaster = -1;
    int ptySlave = -1;
    int rootPid = -1;
    int descriptors = -1;  // open descriptors when the run began
    Options command, pty, owner;
};

World* world = nullptr;

void closeQuietly(int fd) {
    if (fd >= 0) ::close(fd);
}

void killRoot() {
    if (world == nullptr || world->rootPid <= 0) return;
    ::kill(world->rootPid, SIGKILL);
    ::waitpid(world->rootPid, nullptr, 0);
    world->rootPid = -1;
}

void removeTmp() {
    if (world == nullptr) return;
    fuzz::removePrivateDirectory(world->tmp);
}

void cleanup() {
    killRoot();
    removeTmp();
}

// A stand-in root: leads its own process group, shrugs off SIGINT and SIGTERM (so that most
// signal lines leave it alive), and dies with this process whatever way it ends.
int spawnRoot() {
    const pid_t parent = ::getpid();
    const pid_t pid = ::fork();
    if (pid < 0) fuzz::violated("fork of the stand-in root failed");
    if (pid == 0) {
        ::prctl(PR_SET_PDEATHSIG, SIGKILL);
        if (::getppid() != parent) ::_exit(0);
        ::setpgid(0, 0);
        ::syscall(SYS_close_range, 3u, ~0u, 0u);
        ::signal(SIGINT, SIG_IGN);
        ::signal(SIGTERM, SIG_IGN);
        for (;;) ::pause();
    }
    ::setpgid(pid, pid);
    return pid;
}

// A SIGKILL line in the previous run may have killed the root; reap it and start another.
void ensureRoot() {
    if (world->rootPid > 0) {
        int status = 0;
        pid_t got = ::waitpid(world->rootPid, &status, WNOHANG);
        if (got == 0) return;
        world->rootPid = -1;
    }
    world->rootPid = spawnRoot();
}

Pipe makePipe() {
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) < 0) fuzz::violated("pipe");
    ::fcntl(fds[0], F_SETFL, O_NONBLOCK);
    return Pipe{fds[0], fds[1]};
}

void setUp() {
    world = new World;
    ::signal(SIGPIPE, SIG_IGN);  // as the program itself does at start-up
    const char* base = std::getenv("TMPDIR");
    std::string templ = std::string(base && *base ? base : "/tmp") + "/fuzz-control-XXXXXX";
    if (::mkdtemp(templ.data()) == nullptr) fuzz::violated("mkdtemp of the private temporary directory");
    world->tmp = templ;
    ::setenv("TMPDIR", world->tmp.c_str(), 1);

    world->parent = makePipe();
    world->input = makePipe();
    world->extra[0] = makePipe();
    world->extra[1] = makePipe();
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, world->registryEnds) < 0) fuzz::violated("socketpair");
    if (::openpty(&world->ptyMaster, &world->ptySlave, nullptr, nullptr, nullptr) < 0) fuzz::violated("openpty");
    ::fcntl(world->ptyMaster, F_SETFD, FD_CLOEXEC);
    ::fcntl(world->ptySlave, F_SETFD, FD_CLOEXEC);
    // Raw, so that written terminal input is readable at once and nothing is echoed back.
    termios raw{};
    ::tcgetattr(world->ptySlave, &raw);
    ::cfmakeraw(&raw);
    ::tcsetattr(world->ptySlave, TCSANOW, &raw);
    ::fcntl(world->ptySlave, F_SETFL, O_NONBLOCK);

    Options common;
    common.startupMs = 1000;
    common.graceMs = 1000;
    common.confirmMs = 1000;
    common.commandIndex = 1;
    world->owner = common;
    world->command = common;
    world->command.guardian = true;
    world->command.extraFds = {{extraA, true}, {6, false}, {extraB, true}};
    world->pty = common;
    world->pty.guardian = true;
    world->pty.pty = true;
    world->pty.cols = 80;
    world->pty.rows = 24;

    fuzz::onExit(cleanup);
}

std::string drain(int fd) {
    std::string bytes;
    char buffer[65536];
    for (;;) {
        ssize_t n = ::read(fd, buffer, sizeof buffer);
        if (n <= 0) break;
        bytes.append(buffer, static_cast<std::size_t>(n));
    }
    return bytes;
}

struct Flags {
    bool ready, stopping, killing, rootExitReported, quiescent, reapedSent, stdinEnding, stdinClosed;
    bool endingA, closedA, endingB, closedB;
    bool overflow, broken, sealed, parentBroken, parentOverflow, parentSealed;
    std::string stopReason;
};

Flags flagsOf(Supervisor& s) {
    Flags f{};
    f.ready = s.ready;
    f.stopping = s.stopping;
    f.killing = s.killing;
    f.rootExitReported = s.rootExitReported;
    f.quiescent = s.quiescent;
    f.reapedSent = s.reapedSent;
    f.stdinEnding = s.stdinEnding;
    f.stdinClosed = s.stdinClosed;
    if (!s.extraInputs.empty()) {
        f.endingA = s.extraInputs.at(extraA).ending;
        f.closedA = s.extraInputs.at(extraA).closed;
        f.endingB = s.extraInputs.at(extraB).ending;
        f.closedB = s.extraInputs.at(extraB).closed;
    }
    f.overflow = s.rootInput->overflow;
    f.broken = s.rootInput->broken;
    f.sealed = s.rootInput->sealed;
    f.parentBroken = s.parent().broken;
    f.parentOverflow = s.parent().overflow;
    f.parentSealed = s.parent().sealed;
    f.stopReason = s.stopReason;
    return f;
}

void requireMonotonic(const Flags& a, const Flags& b) {
    auto keep = [](bool before, bool after, const char* name) {
        fuzz::require(!before || after, std::string("state flag went from true to false: ") + name);
    };
    keep(a.ready, b.ready, "ready");
    keep(a.stopping, b.stopping, "stopping");
    keep(a.killing, b.killing, "killing");
    keep(a.rootExitReported, b.rootExitReported, "rootExitReported");
    keep(a.quiescent, b.quiescent, "quiescent");
    keep(a.reapedSent, b.reapedSent, "reapedSent");
    keep(a.stdinEnding, b.stdinEnding, "stdinEnding");
    keep(a.stdinClosed, b.stdinClosed, "stdinClosed");
    keep(a.endingA, b.endingA, "extra input ending");
    keep(a.closedA, b.closedA, "extra input closed");
    keep(a.endingB, b.endingB, "extra input ending");
    keep(a.closedB, b.closedB, "extra input closed");
    keep(a.overflow, b.overflow, "rootInput overflow");
    keep(a.broken, b.broken, "rootInput broken");
    keep(a.sealed, b.sealed, "rootInput sealed");
    keep(a.parentBroken, b.parentBroken, "parentWriter broken");
    keep(a.parentOverflow, b.parentOverflow, "parentWriter overflow");
    keep(a.parentSealed, b.parentSealed, "parentWriter sealed");
    fuzz::require(a.stopReason.empty() || a.stopReason == b.stopReason, "stop reason rewritten");
    fuzz::require(b.stopping == !b.stopReason.empty(), "stopping without a reason or a reason without stopping");
}

// Pushes what the writers hold into their pipes or the terminal and takes it out at the far
// side, as the loop's flushes and a reading root would; returns the parent's bytes.
std::string pump(Supervisor& s, bool pty) {
    std::string parent;
    for (int round = 0; round < 64; ++round) {
        s.parent().flush();
        s.rootInput->flush();
        for (auto& [number, input] : s.extraInputs) input.writer->flush();
        parent += drain(world->parent.read);
        drain(pty ? world->ptySlave : world->input.read);
        drain(world->extra[0].read);
        drain(world->extra[1].read);
        bool idle = (s.parent().empty() || s.parent().broken) && (s.rootInput->empty() || s.rootInput->broken);
        for (auto& [number, input] : s.extraInputs) idle = idle && (input.writer->empty() || input.writer->broken);
        if (idle) break;
    }
    return parent;
}

void checkParentLines(const std::string& bytes) {
    std::size_t start = 0;
    while (start < bytes.size()) {
        std::size_t end = bytes.find('\n', start);
        fuzz::require(end != std::string::npos, "parent received a partial line");
        std::string line = bytes.substr(start, end - start);
        fuzz::require(line.rfind("{\"version\":1,\"event\":\"", 0) == 0 && line.back() == '}',
                      "parent received a line outside the envelope: " + line);
        start = end + 1;
    }
}

std::optional<Fields> parsed(const std::string& line, std::string& message) {
    try {
        return parse(line);
    } catch (const std::exception& e) {
        message = e.what();
        return std::nullopt;
    }
}

bool allowedMessage(std::string_view m) {
    return fuzz::oneOf(m, commandMessages) || fuzz::oneOf(m, fuzz::parseMessages) ||
           fuzz::oneOf(m, fuzz::positiveMessages) || fuzz::oneOf(m, fuzz::decodeMessages) ||
           fuzz::failedWith(m, "PTY resize");
}

void run(const uint8_t* data, size_t size) {
    const uint8_t selector = data[0];
    const int mode = selector & 3;  // 0 and 3 command guardian, 1 pty guardian, 2 owner
    const bool pty = mode == 1;
    const bool owner = mode == 2;
    const bool stoppedBefore = selector & 0x04;
    const bool quiescentBefore = selector & 0x08;
    const bool flushEachLine = selector & 0x10;
    const bool registryLines = selector & 0x20;
    const bool endedBefore = selector & 0x40;
    const bool lateReady = selector & 0x80;
    const Options& o = owner ? world->owner : pty ? world->pty : world->command;

    OuterState outer;
    outer.kq = std::make_unique<Kqueue>();
    outer.rootPid = world->rootPid;
    outer.rootGrouped = true;
    outer.ptyScope = o.pty;
    if (o.guardian) outer.registryFd = world->registryEnds[0];
    if (pty) {
        outer.ptyMaster = world->ptyMaster;
        outer.ptySlave = world->ptySlave;
    }
    outer.parentWriter = std::make_unique<Output>(world->parent.write, *outer.kq, !o.guardian);
    std::string parentBytes;
    {
        Registry registry(*outer.kq);
        registry.ttyScope = o.pty;
        registry.rootGroup = world->rootPid;
        const int64_t deadline = lateReady ? now() - 1 : now() + 3600 * 1000;
        Supervisor s(outer, o, registry, deadline);
        s.ready = o.guardian;
        s.rootInput = std::make_unique<Output>(pty ? world->ptyMaster : world->input.write, s.kq, false);
        if (!o.guardian || !o.pty) s.watchedPids.insert(world->rootPid);
        if (o.guardian && !o.pty) {
            s.extraInputs[extraA].writer = std::make_unique<Output>(world->extra[0].write, s.kq, false);
            s.extraInputs[extraB].writer = std::make_unique<Output>(world->extra[1].write, s.kq, false);
        }
        if (stoppedBefore) stop(s, "signal");
        // Quiescence only ever follows a stop, and stop() does nothing once it is set.
        if (quiescentBefore) {
            stop(s, "root_exit");
            s.quiescent = true;
        }
        if (endedBefore) {
            s.stdinEnding = true;
            if (!s.extraInputs.empty()) s.extraInputs.at(extraB).closed = true;
        }

        const char* const text = reinterpret_cast<const char*>(data);
        std::size_t start = 1;
        for (int index = 0; start < size; ++index) {
            const void* newline = std::memchr(text + start, '\n', size - start);
            if (newline == nullptr) break;
            const std::size_t end = static_cast<std::size_t>(static_cast<const char*>(newline) - text);
            const std::string line(text + start, end - start);
            start = end + 1;
            const int source = o.guardian && registryLines && index % 2 == 1 ? outer.registryFd : 0;

            std::string parseMessage;
            const std::optional<Fields> fields = o.guardian ? parsed(line, parseMessage) : std::nullopt;
            const Flags before = flagsOf(s);
            const std::size_t queuedBefore = s.rootInput->size();
            std::string error;
            try {
                controlLine(s, line, source);
            } catch (...) {
                std::exception_ptr raised = std::current_exception();
                fuzz::classify(raised, "controlLine", allowedMessage);
                try {
                    std::rethrow_exception(raised);
                } catch (const std::exception& e) {
                    error = e.what();
                }
            }
            const Flags after = flagsOf(s);
            requireMonotonic(before, after);

            if (owner) {
                fuzz::require(error.empty(), "an owner control word raised \"" + error + "\"");
                if (line == "terminate") fuzz::require(after.stopping, "terminate word did not stop");
                if (line != "ready" && line != "terminate")
                    fuzz::require(s.failStage == "control_protocol", "unknown word did not fail the run");
            } else if (!fields) {
                fuzz::require(error == parseMessage, "unparsable line raised \"" + error + "\" instead of \"" +
                                                         parseMessage + "\"");
            } else if (before.quiescent) {
                fuzz::require(error.empty(), "line after quiescence raised \"" + error + "\"");
                fuzz::require(s.rootInput->size() == queuedBefore, "line after quiescence queued input");
            } else {
                Fields copy = *fields;
                const std::string& event = copy["event"];
                if (event == "terminate") {
                    fuzz::require(error.empty() && after.stopping, "terminate line did not stop cleanly");
                } else if (source != 0) {
                    fuzz::require(error == "parent registry command",
                                  "registry line \"" + event + "\" raised \"" + error + "\"");
                } else {
                    const bool known = event == "write" || event == "end" || (event == "resize" && pty) ||
                                       (event == "signal" && !pty);
                    if (!known)
                        fuzz::require(error == (before.stopping ? "" : "guardian input protocol"),
                                      "unknown event \"" + event + "\" raised \"" + error + "\"");
                    if (event == "write" && !error.empty())
                        fuzz::require(s.rootInput->size() == queuedBefore, "a refused write queued input");
                    if (before.stopping && (event == "write" || event == "end"))
                        fuzz::require(s.rootInput->size() == queuedBefore, "a write while stopping queued input");
                }
            }
            if (!error.empty()) break;  // the program would end here
            if (flushEachLine) parentBytes += pump(s, pty);
        }
        parentBytes += pump(s, pty);
        if (!s.parent().broken) checkParentLines(parentBytes);
        s.rootInput->unwatch();
        for (auto& [number, input] : s.extraInputs) input.writer->unwatch();
        s.parent().unwatch();
    }
    outer.parentWriter.reset();
    outer.kq.reset();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (world == nullptr) setUp();
    if (size == 0) return 0;
    ensureRoot();
    // Counted afresh each run: between runs libFuzzer itself may open descriptors (the
    // symbolizer's pipes, for one).
    world->descriptors = fuzz::openDescriptors();
    run(data, size);
    drain(world->parent.read);
    drain(world->input.read);
    drain(world->ptySlave);
    fuzz::require(fuzz::openDescriptors() == world->descriptors,
                  "descriptors leaked by a run: " + fuzz::describeDescriptors());
    fuzz::require(fuzz::entriesIn(world->tmp) == 0, "a registry directory was left behind");
    return 0;
}
