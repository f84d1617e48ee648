// Process scope tracking by identity: list a process group or a terminal's processes, read
// one process's record, signal one incarnation of a pid, and prove at start-up that this
// works.
#pragma once

#include <cstdint>
#include <vector>

#include "platform/platform.h"

using platform::ProcessRecord;
using platform::SZOMB;

// Pids of the group anchor (terminal false) or of every process whose controlling terminal
// is device (terminal true), zombies included. Never empty: "process scope lost anchor".
std::vector<int> members(int anchor, bool terminal, unsigned int device);

// The record of pid; all zero when no such process exists.
ProcessRecord info(int pid);

// Signals pid only if it is still the incarnation pidVersion; a vanished target is quiet.
void signalIdentity(int pid, uint64_t pidVersion, int signal);

// Kills, by identity, every process left in a session whose leader is gone.
void killSession(int session);

// Start-up probe of identity signalling.
void capability();
