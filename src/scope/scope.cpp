// Process scope tracking by identity, on top of the platform's process records.
#include "scope/scope.h"

#include <cerrno>
#include <csignal>
#include <stdexcept>

#include "platform/sys.h"

namespace {

// A scope this large means something has gone badly wrong; refuse rather than grow on.
constexpr long scopeCapacity = 1048576;

// Most scopes are a handful of processes; start with room for them.
constexpr std::size_t expectedMembers = 64;

}  // namespace

std::vector<int> members(int anchor, bool terminal, unsigned int device) {
    std::vector<int> pids;
    pids.reserve(expectedMembers);
    long count = platform::listScope(anchor, terminal, device, pids, scopeCapacity);
    if (count < 0 && terminal) fail("TTY list");
    // The unreaped anchor always lists itself, so an empty or failed listing means it is gone.
    if (count < 1) throw std::runtime_error("process scope lost anchor");
    if (count > scopeCapacity) throw std::runtime_error("process scope capacity");
    return pids;
}

ProcessRecord info(int pid) {
    ProcessRecord record;
    if (platform::processRecord(pid, record) == 0) return record;
    if (errno != ESRCH) fail("PROC_PIDT_BSDINFOWITHUNIQID");
    return ProcessRecord{};
}

void signalIdentity(int pid, uint64_t pidVersion, int signal) {
    // ESRCH: that incarnation is gone, or the pid belongs to another one now.
    if (platform::signalProcess(pid, pidVersion, signal) < 0 && errno != ESRCH) fail("audit-token signal");
}

void capability() {
    int stage = 0;
    if (platform::probeIdentitySignalling(stage) == 0) return;
    if (stage == 1) throw std::runtime_error("task audit token unavailable");
    if (stage == 2) throw std::runtime_error("private process ABI mismatch");
    fail("audit-token capability");
}

void killSession(int session) {
    std::vector<int> pids;
    if (platform::listSession(session, pids, scopeCapacity) < 0) return;
    for (int pid : pids) {
        ProcessRecord record = info(pid);
        if (record.pbi_pid != 0 && record.pbi_sid == static_cast<uint32_t>(session))
            signalIdentity(pid, record.p_idversion, SIGKILL);
    }
}
