#include "supervision/teardown.h"

#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <stdexcept>
#include <vector>

#include "platform/platform.h"
#include "protocol/owner_protocol.h"
#include "scope/scope.h"

namespace {

void closeRootInput(Supervisor& s) {
    s.rootInput->unwatch();
    s.rootInput->discard();
    if (!s.options.pty) ::close(s.rootInput->fd);
    s.stdinClosed = true;
}

void closeExtraInputs(Supervisor& s) {
    for (auto& [number, input] : s.extraInputs) {
        if (input.closed) continue;
        input.writer->unwatch();
        ::close(input.writer->fd);
        input.closed = true;
    }
}

// The root is this program's child, so a non-reaping wait tells whether it has exited
// without reading the process table; it is the same answer a record read would give. Only
// its exit changes what the wait answers, so it is asked only once the exit subscription has
// reported, or when a decision while stopping rests on the answer; once exited, the answer
// is kept.
bool rootExited(Supervisor& s, bool deciding) {
    if (s.rootExitCode >= 0) return true;
    if (!s.rootExitSignalled && !deciding) return false;
    siginfo_t status{};
    if (::waitid(P_PID, static_cast<id_t>(s.outer.rootPid), &status, WEXITED | WNOHANG | WNOWAIT) != 0)
        fail("root exit status");
    if (status.si_pid != s.outer.rootPid) return false;
    s.rootExitCode = status.si_code == CLD_EXITED ? status.si_status : status.si_status + 128;
    return true;
}

void reportRootExit(Supervisor& s) {
    s.rootExitReported = true;
    s.parent().emit("\"event\":\"root_exit\",\"code\":" + std::to_string(s.rootExitCode));
    stop(s, "root_exit");
}

// A listing walks the process tree below this program; while other events wait in the
// queue the decision it serves would be stale anyway, so it is taken once the burst has been handled.
bool listingDue(Supervisor& s) {
    bool due = s.listingOwed || !s.kq.pending();
    if (!due) s.listingDeferred = true;
    return due;
}

// Members whose exits are watched each hold a descriptor; beyond this many the loop looks
// at the rest again on a short timer instead, so that a scope of any size fits the
// descriptor table.
constexpr std::size_t watchLimit = 256;

// Released guardians prove their own scopes and the sentinel must outlive this process, so
// neither they nor what lies below them are members.
std::vector<Identity> outsideScope(Supervisor& s) {
    std::vector<Identity> outside{s.outer.sentinel.identity};
    for (auto& [fd, g] : s.registry.guardians)
        if (g->released) outside.push_back(Identity{g->pid, g->pidVersion});
    return outside;
}

std::vector<ProcessRecord> listScope(Supervisor& s) {
    s.listingOwed = false;
    s.listingDeferred = false;
    return scopeMembers(s.outer.rootPid, outsideScope(s));
}

bool signalling(const Supervisor& s) { return s.killing || (s.stopping && s.options.guardian); }

void wake(Supervisor& s) { change(s.kq, wakeEvent, EVFILT_USER, 0, NOTE_TRIGGER, 0); }

void watchMember(Supervisor& s, int pid) {
    bool room = s.watchedPids.size() < watchLimit;
    if (room && watchWithin(s.kq, pid, room)) {
        s.watchedPids.insert(pid);
        return;
    }
    if (room) {
        // Gone between the listing and now: nothing will report it, so look again at once.
        wake(s);
        return;
    }
    timer(s.kq, recheckTimer, recheckMs);
}

// The record is the one the listing read: its pid version names the incarnation that was
// found in the scope, whatever has happened to the pid since.
void sweepMember(Supervisor& s, const ProcessRecord& record) {
    // A zombie's exit has already happened; what it waits for is its parent.
    if (record.pbi_status == SZOMB) return;
    int pid = static_cast<int>(record.pbi_pid);
    if (s.watchedPids.count(pid) == 0) watchMember(s, pid);
    if (signalling(s)) signalIdentity(pid, record.p_idversion, s.killing ? SIGKILL : SIGTERM);
}

void sweepMembers(Supervisor& s, const std::vector<ProcessRecord>& records) {
    for (const ProcessRecord& record : records) sweepMember(s, record);
}

bool onlyAnchorsLeft(Supervisor& s, const std::vector<ProcessRecord>& records) {
    return std::all_of(records.begin(), records.end(), [&](const ProcessRecord& record) {
        return record.pbi_pid == static_cast<uint32_t>(s.outer.rootPid);
    });
}

void reapRoot(Supervisor& s) {
    int status = 0;
    if (::waitpid(s.outer.rootPid, &status, 0) != s.outer.rootPid) fail("root reap");
    s.outer.rootReaped = true;
}

void declareQuiescent(Supervisor& s) {
    reapRoot(s);
    if (!s.stdinClosed) closeRootInput(s);
    closeExtraInputs(s);
    s.quiescent = true;
    removeEvent(s.kq, startupTimer, EVFILT_TIMER);
    removeEvent(s.kq, graceTimer, EVFILT_TIMER);
    removeEvent(s.kq, confirmTimer, EVFILT_TIMER);
    removeEvent(s.kq, recheckTimer, EVFILT_TIMER);
    timer(s.kq, drainTimer, s.options.confirmMs);
    if (s.uplinkWriter) s.uplinkWriter->emit("\"event\":\"quiescent\"");
    if (s.options.pty && platform::resumeTerminalOutput(s.outer.ptySlave) < 0) fail("PTY output resume");
}

const char* failureKind(Supervisor& s) {
    if (s.parent().broken) return "broken";
    if (s.parent().overflow) return "output_overflow";
    if (s.rootInput->overflow) return "input_overflow";
    return nullptr;
}

bool runFailed(Supervisor& s) {
    return s.parent().broken || s.parent().overflow || s.rootInput->overflow || !s.failStage.empty();
}

std::string pidStates(const std::vector<std::pair<int, std::string>>& entries) {
    std::string list;
    for (std::size_t i = 0; i < entries.size() && i < 64; ++i) {
        if (i) list += ',';
        list += '"';
        list += std::to_string(entries[i].first);
        list += ':';
        list += entries[i].second;
        list += '"';
    }
    return list;
}

std::string guardianGroup(Supervisor& s) {
    try {
        s.registry.noticeExits();
        std::vector<std::pair<int, std::string>> entries;
        for (auto& [pid, state] : s.registry.blocking()) entries.emplace_back(pid, state);
        return ",\"residual_guardians\":" + std::to_string(entries.size()) + ",\"residual_guardian_states\":[" +
               pidStates(entries) + "]";
    } catch (...) {
        return "";
    }
}

std::string memberState(int pid) {
    try {
        ProcessRecord record = info(pid);
        if (record.pbi_pid == 0) return "gone";
        return record.pbi_status == SZOMB ? "zombie" : "alive";
    } catch (...) {
        return "unknown";
    }
}

std::string memberGroup(Supervisor& s) {
    try {
        std::vector<ProcessRecord> records = scopeMembers(s.outer.rootPid, outsideScope(s));
        std::vector<std::pair<int, std::string>> entries;
        std::size_t count = 0;
        for (const ProcessRecord& record : records) {
            int pid = static_cast<int>(record.pbi_pid);
            if (++count <= 64) entries.emplace_back(pid, memberState(pid));
        }
        return ",\"residual_members\":" + std::to_string(count) + ",\"residual_member_states\":[" +
               pidStates(entries) + "]";
    } catch (...) {
        return "";
    }
}

}  // namespace

void stop(Supervisor& s, const char* reason) {
    if (s.stopping || s.quiescent) return;
    s.stopping = true;
    s.listingOwed = true;
    s.stopReason = reason;
    removeEvent(s.kq, startupTimer, EVFILT_TIMER);
    s.registry.begin();
    s.parent().emit(std::string("\"event\":\"stopping\",\"reason\":\"") + reason + "\"");
    // The parent hears of the stop before the first scope listing, which can take a while.
    s.parent().flush();
    if (!s.options.guardian && !s.stdinClosed) {
        s.rootInput->push("shutdown\n", false, false, 0);
        s.stdinEnding = true;
    } else if (!s.options.pty) {
        s.stdinEnding = true;
        s.rootInput->discard();
    }
    for (auto& [number, input] : s.extraInputs) {
        input.ending = true;
        input.writer->discard();
    }
    timer(s.kq, graceTimer, s.options.graceMs);
}

void sweepScope(Supervisor& s) {
    // Before a stop a sweep would only subscribe to exits, which changes nothing reported.
    if (!s.stopping || s.quiescent || !listingDue(s)) return;
    sweepMembers(s, listScope(s));
}

void escalate(Supervisor& s) {
    s.killing = true;
    s.listingOwed = true;
    sweepScope(s);
}

void checkQuiescence(Supervisor& s) {
    if (s.quiescent) return;
    bool due = s.stopping && listingDue(s);
    if (!rootExited(s, due)) {
        if (due) sweepMembers(s, listScope(s));
        return;
    }
    if (!s.rootExitReported) reportRootExit(s);
    if (!due && !listingDue(s)) return;
    // The guardians' exits arrive as events; one still queued must not hold the decision.
    s.registry.noticeExits();
    s.registry.advance();
    std::vector<ProcessRecord> records = listScope(s);
    if (!onlyAnchorsLeft(s, records) || !s.registry.empty()) {
        sweepMembers(s, records);
        return;
    }
    declareQuiescent(s);
}

void drainTerminal(Supervisor& s) {
    // Once the scope is empty no writer of ours is left. A non-blocking read of the master
    // hands over what the terminal still buffers before it answers EAGAIN, so either EAGAIN
    // or the end of file that follows the close of the last slave descriptor means drained;
    // a process outside the scope that kept the terminal open does not hold the run.
    if (s.outer.ptySlave >= 0) {
        ::close(s.outer.ptySlave);
        s.outer.ptySlave = -1;
    }
    char buffer[8192];
    ssize_t n = ::read(s.outer.ptyMaster, buffer, sizeof buffer);
    if (n > 0) {
        s.parent().push(owner_protocol::output("stdout", buffer, static_cast<std::size_t>(n)), true, false,
                        static_cast<uint64_t>(n));
        return;
    }
    if (n < 0 && errno == EINTR) return;
    if (n < 0 && errno != EIO && errno != EAGAIN) fail("PTY final output read");
    removeEvent(s.kq, s.outer.ptyMaster, EVFILT_READ);
    ::close(s.outer.ptyMaster);
    s.outer.ptyMaster = -1;
    s.endedOutputs.insert(1);
    s.parent().emit("\"event\":\"stream_end\",\"fd\":1");
}

void finalReport(Supervisor& s) {
    if (runFailed(s)) {
        std::string body = "\"event\":\"failed\",\"stage\":\"" + (s.failStage.empty() ? "io_failure" : s.failStage) +
                           "\",\"scope\":\"unknown\"";
        if (const char* kind = failureKind(s)) body += std::string(",\"kind\":\"") + kind + "\"";
        body += s.parent().counters();
        s.parent().emit(body);
    }
    s.parent().emitLogDropped();
    std::string reaped = "\"event\":\"reaped\",\"active\":0,\"reason\":\"" + s.stopReason + "\"" + s.parent().counters();
    s.parent().push(owner_protocol::frame(reaped), false, true, 0);
    s.reapedSent = true;
}

std::string residualReport(Supervisor& s) {
    return guardianGroup(s) + memberGroup(s) + ",\"grace_ms\":" + std::to_string(s.options.graceMs) +
           ",\"confirm_ms\":" + std::to_string(s.options.confirmMs);
}

void deadlineFailure(Supervisor& s) {
    s.outer.failureDetail = residualReport(s);
    if (!s.quiescent) throw std::runtime_error("scope confirmation deadline");
    std::size_t parentFrames = s.uplinkWriter ? s.uplinkWriter->size() : 0;
    throw std::runtime_error("output drain deadline: ended=" + std::to_string(s.endedOutputs.size()) +
                             " frames=" + std::to_string(s.parent().size()) +
                             " parent=" + std::to_string(parentFrames));
}
