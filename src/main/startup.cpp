#include "main/startup.h"

#include <poll.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <exception>
#include <memory>
#include <string>
#include <vector>

#include "launch/spawn.h"
#include "platform/platform.h"
#include "platform/sys.h"
#include "protocol/options.h"
#include "registry/registration.h"
#include "registry/registry.h"
#include "scope/scope.h"
#include "supervision/loop.h"
#include "supervision/start.h"
#include "supervision/state.h"

namespace {

void isolateOwner(const Options& o) {
    if (o.guardian || ::getpgrp() == ::getpid()) return;
    if (::setpgid(0, 0) < 0) fail("isolate native owner group");
}

// The stop signals must reach the event queue and nothing else: ignored so that they never
// act by themselves, and blocked because the kernel throws away an ignored signal that is
// not blocked before the queue can see it.
void quietSignals() {
    for (int signal : ignoredSignals) ::signal(signal, SIG_IGN);
    ::signal(SIGCHLD, SIG_DFL);
    platform::blockQueuedSignals();
}

// The caller's open file descriptions stay as the caller left them: a descriptor is made
// non-blocking on a description of this program's own where it can be, and otherwise on the
// shared one, whose flags are then put back at the end.
void keepCallerFlags(OuterState& outer, int fd) {
    fdFlags(fd, false);
    int saved = 0;
    int shared = platform::nonblockingPrivately(fd, saved);
    if (shared < 0) fail("nonblocking fd");
    if (shared == 1) outer.callerFlags[fd] = saved;
}

void giveBackCallerFlags(OuterState& outer) {
    for (auto& [fd, flags] : outer.callerFlags) platform::restoreFlags(fd, flags);
    outer.callerFlags.clear();
}

void startSentinel(OuterState& outer, const Options& o, const Registry& registry) {
    if (platform::startSentinel(outer.sentinel, {registry.endpoint, registry.directory}, o.confirmMs) < 0)
        fail("sentinel");
}

void exportVariable(const char* key, const std::string& value) {
    if (::setenv((std::string("SOLKARI_NATIVE_OWNER_") + key).c_str(), value.c_str(), 1) < 0)
        fail("native owner environment");
}

void exportEnvironment(const Options& o, const Registry& registry) {
    std::string helper = selfPath();
    exportVariable("CONFIRM_MS", std::to_string(o.confirmMs));
    exportVariable("ENDPOINT", registry.endpoint);
    exportVariable("GRACE_MS", std::to_string(o.graceMs));
    exportVariable("HELPER", helper);
    exportVariable("STARTUP_MS", std::to_string(o.startupMs));
    exportVariable("TOKEN", registry.token);
}

int supervise(OuterState& outer, int argc, char** argv) {
    int64_t startTime = now();
    Options o = options(argc, argv);
    int64_t startupDeadline = startTime + o.startupMs;
    outer.ptyScope = o.pty;
    outer.confirmMs = o.confirmMs;
    isolateOwner(o);
    // A scope of any size must not run out of descriptors; the root gets the caller's limit back.
    platform::raiseDescriptorLimit(outer.callerLimit);
    quietSignals();
    // Descendants orphaned inside the scope come to this process, which reaps them at once,
    // so that no zombie waits on a lazy reaper while the scope is being proven empty.
    if (platform::becomeSubreaper() < 0) fail("orphan reaper");
    capability();
    outer.kq = std::make_unique<Kqueue>();
    keepCallerFlags(outer, 0);
    keepCallerFlags(outer, 1);
    outer.parentWriter = std::make_unique<Output>(1, *outer.kq, !o.guardian);
    platform::widenPipe(1);
    // Standard error takes one line at the very end and may block for it.
    fdFlags(2, false);
    if (o.guardian)
        outer.registryFd = parentRegistration(o, outer.ptyMaster, outer.ptySlave, outer.ttyDevice, startupDeadline);
    Registry registry(*outer.kq);
    registry.ttyScope = o.pty;
    registry.ttyDevice = outer.ttyDevice;
    Supervisor s(outer, o, registry, startupDeadline);
    if (outer.registryFd >= 0) {
        s.uplinkWriter = std::make_unique<Output>(outer.registryFd, *outer.kq, false);
        change(*outer.kq, outer.registryFd, EVFILT_READ, EV_ADD, 0, 0);
    }
    exportEnvironment(o, registry);
    startSentinel(outer, o, registry);
    try {
        startRoot(s, argv);
        return superviseLoop(s);
    } catch (...) {
        for (auto& [fd, g] : registry.guardians)
            if (g->released) outer.spared.push_back(platform::Identity{g->pid, g->pidVersion});
        throw;
    }
}

// One pass of the fatal handler's kill over everything this program started; true when
// nothing but the root is left.
bool killPass(const OuterState& outer) {
    std::vector<platform::Identity> spared = outer.spared;
    spared.push_back(outer.sentinel.identity);
    bool onlyRoot = true;
    for (const ProcessRecord& record : scopeMembers(outer.rootPid, spared)) {
        if (record.pbi_pid == static_cast<uint32_t>(outer.rootPid)) continue;
        onlyRoot = false;
        if (record.pbi_status != SZOMB) signalIdentity(static_cast<int>(record.pbi_pid), record.p_idversion, SIGKILL);
    }
    return onlyRoot;
}

// Whether the root has ended, without reaping it.
bool rootEnded(const OuterState& outer) {
    siginfo_t status{};
    return ::waitid(P_PID, static_cast<id_t>(outer.rootPid), &status, WEXITED | WNOHANG | WNOWAIT) == 0 &&
           status.si_pid == outer.rootPid;
}

// Kills what is left of the scope and waits, within the confirmation budget, until the root
// can be reaped last, so that a fatal end leaves neither members nor a zombie root behind.
void killScope(OuterState& outer) {
    if (outer.rootPid <= 0 || outer.rootReaped) return;
    constexpr int lookAgainMs = 5;
    int64_t deadline = now() + outer.confirmMs;
    // Not yet reaped, the root's pid cannot name anyone else.
    ::kill(outer.rootPid, SIGKILL);
    try {
        for (;;) {
            // Only a root that had already ended when the pass began has handed its children
            // to this program; one dying during the pass could hide them from its listing.
            bool ended = rootEnded(outer);
            bool onlyRoot = killPass(outer);
            platform::reapChildrenExcept(outer.rootPid);
            int status = 0;
            if (ended && onlyRoot && ::waitpid(outer.rootPid, &status, WNOHANG) == outer.rootPid) {
                outer.rootReaped = true;
                return;
            }
            if (now() >= deadline) return;
            ::poll(nullptr, 0, lookAgainMs);
        }
    } catch (...) {
        // The kill is best effort: the first failure ends it.
    }
}

void reportFailure(OuterState& outer) {
    if (!outer.parentWriter) return;
    try {
        std::string scope = outer.rootPid > 0 ? "unknown" : "none";
        outer.parentWriter->emit("\"event\":\"failed\",\"stage\":\"native_api\",\"scope\":\"" + scope + "\"" +
                                 outer.failureDetail);
        outer.parentWriter->flush();
    } catch (...) {
        // The failure line is a courtesy; the standard-error line below still tells.
    }
}

int fatal(OuterState& outer, const char* message) {
    killScope(outer);
    reportFailure(outer);
    std::fprintf(stderr, "owner error: %s\n", message);
    giveBackCallerFlags(outer);
    platform::dismissSentinel(outer.sentinel);
    return 1;
}

}  // namespace

int run(int argc, char** argv) {
    OuterState outer;
    try {
        int status = supervise(outer, argc, argv);
        giveBackCallerFlags(outer);
        platform::dismissSentinel(outer.sentinel);
        return status;
    } catch (const std::exception& error) {
        return fatal(outer, error.what());
    }
}
