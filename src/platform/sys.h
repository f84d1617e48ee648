// Small system helpers shared by every part of the program: errors with the errno text,
// the monotonic clock, descriptor flags, pipes, event-queue registrations, the program's
// own path and the blocking handshake read.
#pragma once

#include <cstdint>
#include <string>

#include "platform/platform.h"

using platform::EV_ADD;
using platform::EV_CLEAR;
using platform::EV_DELETE;
using platform::EV_ONESHOT;
using platform::EVFILT_PROC;
using platform::EVFILT_READ;
using platform::EVFILT_SIGNAL;
using platform::EVFILT_TIMER;
using platform::EVFILT_USER;
using platform::EVFILT_WRITE;
using platform::NOTE_EXEC;
using platform::NOTE_EXIT;
using platform::NOTE_TRIGGER;

// The program's single event queue; passed by reference wherever a registration is made.
using Kqueue = platform::EventQueue;

// Throws std::runtime_error(what + ": " + strerror(errno)).
[[noreturn]] void fail(const char* what);

// Monotonic clock in whole milliseconds.
int64_t now();

// Close-on-exec always; O_NONBLOCK added when nonblocking (never cleared).
void fdFlags(int fd, bool nonblocking);

// fds[0] read end, fds[1] write end; both close-on-exec and blocking.
void pipePair(int fds[2]);

// Submits one registration change; fail("kevent change") on any failure.
void change(Kqueue& kq, int64_t ident, int16_t filter, uint16_t flags, uint32_t fflags, int64_t data);

// One-shot exit (and exec) subscription; false when the process no longer exists.
bool watch(Kqueue& kq, int pid);

// One-shot millisecond timer; re-arming restarts it.
void timer(Kqueue& kq, int ident, int ms);

// Removes a registration; a missing one is not an error.
void removeEvent(Kqueue& kq, int64_t ident, int16_t filter);

// Absolute, symlink-free path of this program's executable.
std::string selfPath();

// Reads one line (without its newline) byte by byte before deadline; never reads past it.
std::string blockingReadLine(int fd, int64_t deadline);
