// Stopping a run, proving its scope empty, reaping the root, draining the output and the
// final report.
#pragma once

#include "supervision/state.h"

// Begins the teardown; the first reason wins.
void stop(Supervisor& s, const char* reason);

// Notices the root's exit, reports it, and declares quiescence once the scope is proven
// empty and the registry holds no unfinished guardian.
void checkQuiescence(Supervisor& s);

// Subscribes to new members' exits and signals them as the teardown phase demands.
void sweepScope(Supervisor& s);

// Grace budget spent: every member is killed from now on.
void escalate(Supervisor& s);

// After quiescence in a terminal scope: moves what the terminal still holds to the parent.
void drainTerminal(Supervisor& s);

// Queues the optional failed and log_dropped lines and the sealing reaped line.
void finalReport(Supervisor& s);

// A budget ran out: records the residual report and throws.
[[noreturn]] void deadlineFailure(Supervisor& s);

// The residual report of a run that missed a budget.
std::string residualReport(Supervisor& s);
