// Process scope tracking by identity: list a process group or a terminal's processes, read
// one process's record, signal one incarnation of a pid, and prove at start-up that this
// works.
#pragma once

#include <cstdint>
#include <vector>

#include "platform/platform.h"

using platform::Identity;
using platform::ProcessRecord;
using platform::SZOMB;

// Pids of the group anchor (terminal false) or of every process whose controlling terminal
// is device (terminal true), zombies included. Never empty: "process scope lost anchor".
// Every such process descends from this one (or is this one), so only this process's
// descendants are read, whatever else runs on the machine.
std::vector<int> members(int anchor, bool terminal, unsigned int device);

// What a stopping supervisor must see gone: every descendant of this process, whatever
// session or group it moved to, except the processes in outside and everything below them
// (released guardians, which prove their own scopes, and the sentinel). Each record is the
// one read while listing, so that a signal names the incarnation that was listed. The
// anchor, the root, is always among them until it is reaped: "process scope lost anchor".
std::vector<ProcessRecord> scopeMembers(int anchor, const std::vector<Identity>& outside);

// The record of pid; all zero when no such process exists.
ProcessRecord info(int pid);

// Signals pid only if it is still the incarnation pidVersion; a vanished target is quiet.
void signalIdentity(int pid, uint64_t pidVersion, int signal);

// Kills, by identity, every process left in a session whose leader is gone.
void killSession(int session);

// Start-up probe of identity signalling.
void capability();
