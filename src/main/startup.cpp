#include "main/startup.h"

#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <exception>
#include <memory>
#include <string>

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
    isolateOwner(o);
    quietSignals();
    // Descendants orphaned inside the scope come to this process, which reaps them at once,
    // so that no zombie waits on a lazy reaper while the scope is being proven empty.
    if (platform::becomeSubreaper() < 0) fail("orphan reaper");
    capability();
    outer.kq = std::make_unique<Kqueue>();
    outer.parentWriter = std::make_unique<Output>(1, *outer.kq, !o.guardian);
    platform::widenPipe(1);
    fdFlags(2, true);
    fdFlags(0, true);
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
    startRoot(s, argv);
    return superviseLoop(s);
}

void killTerminalScope(const OuterState& outer) {
    try {
        int self = ::getpid();
        for (int pid : members(outer.rootPid, true, outer.ttyDevice)) {
            if (pid == self) continue;
            ProcessRecord record = info(pid);
            if (record.pbi_pid != 0) signalIdentity(pid, record.p_idversion, SIGKILL);
        }
    } catch (...) {
        // The kill is best effort: the first failure ends it.
    }
}

void killRoot(const OuterState& outer) {
    if (outer.rootPid <= 0 || outer.rootReaped) return;
    if (outer.ptyScope && outer.rootGrouped)
        killTerminalScope(outer);
    else if (outer.rootGrouped)
        ::killpg(outer.rootPid, SIGKILL);
    else
        ::kill(outer.rootPid, SIGKILL);
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
    killRoot(outer);
    reportFailure(outer);
    std::fprintf(stderr, "owner error: %s\n", message);
    return 1;
}

}  // namespace

int run(int argc, char** argv) {
    OuterState outer;
    try {
        return supervise(outer, argc, argv);
    } catch (const std::exception& error) {
        return fatal(outer, error.what());
    }
}
