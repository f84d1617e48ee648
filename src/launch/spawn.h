// Starting the root: pipes, fork, the child's set-up, the release and exec handshakes. The
// launch hands back what it started; what that means for the run is its caller's to decide.
#pragma once

#include <csignal>
#include <cstdint>
#include <map>

#include "platform/sys.h"
#include "protocol/options.h"

// Signals the program ignores for itself; the root gets them back at their defaults.
inline constexpr int ignoredSignals[] = {SIGPIPE, SIGHUP, SIGTTOU, SIGTTIN, SIGTSTP, SIGTERM, SIGINT};

// What the launch needs from start-up. The terminal descriptors are -1 unless pty mode.
struct LaunchRequest {
    const Options& options;
    Kqueue& kq;  // the root's exit is watched here before it is released
    int ptyMaster = -1;
    int ptySlave = -1;
    int64_t startupDeadline = 0;
    char** argv = nullptr;
};

// The parent's ends of what a released root was given.
struct LaunchedRoot {
    int execErrno = 0;                // a guardian's child's exec errno; 0 on success, always 0 for an owner
    int input = -1;                   // root's standard input (the terminal master in pty mode)
    std::map<int, int> outputs;       // descriptor read -> stream number
    std::map<int, int> extraInputs;   // descriptor the root reads -> descriptor written here
};

// Forks and releases the root. rootPid and rootGrouped are written as soon as they hold,
// so that a launch failing part-way still tells its caller what there is to kill.
LaunchedRoot launchRoot(const LaunchRequest& request, int& rootPid, bool& rootGrouped);

// 0 when the child's exec succeeded, otherwise the errno it reported.
int execResult(int fd, int64_t deadline);
