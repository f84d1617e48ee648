// Starting the root: pipes, fork, the child's set-up, the release and exec handshakes, the
// root's writers and event registrations, and the started or spawn_failed line.
#pragma once

#include <csignal>
#include <cstdint>

#include "supervision/state.h"

// Signals the program ignores for itself; the root gets them back at their defaults.
inline constexpr int ignoredSignals[] = {SIGPIPE, SIGHUP, SIGTTOU, SIGTTIN, SIGTSTP, SIGTERM, SIGINT};

void launchRoot(Supervisor& s, char** argv);

// 0 when the child's exec succeeded, otherwise the errno it reported.
int execResult(int fd, int64_t deadline);
