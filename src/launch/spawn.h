// Starting the root: pipes, fork, the child's set-up, the release and exec handshakes, the
// root's writers and event registrations, and the started or spawn_failed line.
#pragma once

#include <cstdint>

#include "supervision/state.h"

void launchRoot(Supervisor& s, char** argv);

// 0 when the child's exec succeeded, otherwise the errno it reported.
int execResult(int fd, int64_t deadline);
