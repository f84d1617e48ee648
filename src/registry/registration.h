// A guardian's registration with the supervisor above it, made during start-up.
#pragma once

#include <cstdint>
#include <string>

#include "protocol/options.h"

// Registers with the registry named by the inherited environment, becomes a session leader,
// opens the pseudo-terminal of a pty guardian, detaches and is released. Returns the
// connected socket (close-on-exec, non-blocking).
int parentRegistration(const Options& options, int& ptyMaster, int& ptySlave, uint32_t& ttyDevice,
                       int64_t deadline);

// Writes all of line to a non-blocking descriptor before deadline, or throws.
void blockingLine(int fd, const std::string& line, int64_t deadline);
