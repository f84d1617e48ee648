// The supervision state that main owns, in its two lifetimes.
//
// The outer state is declared before anything can fail and outlives the run, because the
// top-level handler still reads it after every object of the run has been destroyed. The
// run state lives inside the run and is destroyed in reverse order of creation.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "platform/sys.h"
#include "protocol/options.h"
#include "protocol/output.h"
#include "registry/registry.h"

// Fixed event-queue identifiers.
inline constexpr int startupTimer = 10;
inline constexpr int graceTimer = 11;
inline constexpr int confirmTimer = 12;
inline constexpr int drainTimer = 13;
// Wakes the loop to look again at members whose exits are not watched.
inline constexpr int recheckTimer = 15;
inline constexpr int recheckMs = 25;
inline constexpr int wakeEvent = 42;

struct OuterState {
    int rootPid = -1;
    std::unique_ptr<Kqueue> kq;  // declared before the writer that registers in it
    int registryFd = -1;
    int ptyMaster = -1;
    int ptySlave = -1;
    uint32_t ttyDevice = 0;
    std::unique_ptr<Output> parentWriter;
    bool ptyScope = false;
    bool rootGrouped = false;
    bool rootReaped = false;
    std::string failureDetail;
    int confirmMs = 0;
    // What the caller handed over, to be given back: its descriptor limit (to the root) and
    // the status flags of shared descriptors that could not be made non-blocking privately.
    platform::DescriptorLimit callerLimit;
    std::map<int, int> callerFlags;
    platform::Sentinel sentinel;
    // Left alone by the fatal handler's kill: the sentinel, and the guardians released by
    // then, which tear their own scopes down once their registry connection is gone.
    std::vector<platform::Identity> spared;
};

struct ExtraInput {
    std::unique_ptr<Output> writer;
    bool ending = false;
    bool closed = false;
};

// The run state together with references to what start-up created before it.
struct Supervisor {
    Supervisor(OuterState& outer, const Options& options, Registry& registry, int64_t startupDeadline)
        : outer(outer), kq(*outer.kq), options(options), registry(registry), startupDeadline(startupDeadline) {}

    OuterState& outer;
    Kqueue& kq;
    const Options& options;
    Registry& registry;
    int64_t startupDeadline;

    std::unique_ptr<Output> uplinkWriter;
    std::unique_ptr<Output> rootInput;
    std::map<int, ExtraInput> extraInputs;
    std::map<int, int> outputs;  // descriptor read -> stream number
    std::set<int> endedOutputs;
    std::set<int> watchedPids;
    int execErrno = 0;
    std::string stopReason;
    std::string failStage;
    std::string controlBuffer;
    std::string uplinkBuffer;

    // Loop flags; all but deadlineExpired only ever go from false to true.
    bool ready = false;
    bool stopping = false;
    bool killing = false;
    bool rootExitReported = false;
    bool quiescent = false;
    bool reapedSent = false;
    bool stdinEnding = false;
    bool stdinClosed = false;
    bool deadlineExpired = false;

    // Listing the scope costs a walk of the process table, so while stopping it is taken
    // once per burst of events; these record when a fresh listing is owed regardless.
    bool listingOwed = false;
    bool listingDeferred = false;  // a decision waits for a listing once the queue is quiet

    // The root's state changes only when it exits, which its exit subscription reports; it
    // is read after that report, or while stopping when a decision rests on it.
    bool rootExitSignalled = false;
    int rootExitCode = -1;  // once read: the code root_exit reports

    Output& parent() { return *outer.parentWriter; }
};
