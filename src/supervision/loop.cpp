#include "supervision/loop.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <stdexcept>

#include "platform/platform.h"
#include "protocol/owner_protocol.h"
#include "supervision/commands.h"
#include "supervision/teardown.h"

namespace {

constexpr std::size_t readSize = 8192;
constexpr std::size_t controlLimit = 65536;

void checkWriters(Supervisor& s) {
    Output& parent = s.parent();
    if (parent.broken || parent.overflow || s.rootInput->overflow)
        stop(s, parent.overflow ? "output_overflow" : "io_failure");
    if (s.uplinkWriter && s.uplinkWriter->broken) stop(s, "parent_disconnected");
}

void serviceRootInput(Supervisor& s) {
    if (s.stdinClosed || s.quiescent) return;
    Output& input = *s.rootInput;
    input.flush();
    if (input.broken) {
        if (!s.stopping) {
            s.failStage = "input_write";
            stop(s, "input_write");
        }
        s.stdinEnding = true;
        input.discard();
    }
    if (s.stdinEnding && input.empty() && !s.options.pty) {
        ::close(input.fd);
        s.stdinClosed = true;
    }
}

void serviceExtraInputs(Supervisor& s) {
    for (auto& [number, extra] : s.extraInputs) {
        if (extra.closed) continue;
        Output& writer = *extra.writer;
        writer.flush();
        if (writer.broken || writer.overflow) {
            s.failStage = "input_io";
            stop(s, "input_io");
        }
        if (extra.ending && writer.empty()) {
            writer.unwatch();
            ::close(writer.fd);
            extra.closed = true;
        }
    }
}

// Once writing to the registry connection has failed nobody is left to receive what waits
// there, the quiescence proof included; an end of file on its read side alone says nothing.
bool uplinkDrained(Supervisor& s) { return !s.uplinkWriter || s.uplinkWriter->empty() || s.uplinkWriter->broken; }

bool parentLost(Supervisor& s) {
    return s.quiescent && s.parent().broken && (!s.uplinkWriter || s.uplinkWriter->broken || s.uplinkWriter->empty());
}

int exitStatus(Supervisor& s) {
    return s.parent().overflow || s.rootInput->overflow || !s.failStage.empty() ? 1 : 0;
}

void pushOutput(Supervisor& s, int stream, const char* bytes, std::size_t n) {
    if (stream <= 2) {
        s.parent().push(owner_protocol::output(stream == 1 ? "stdout" : "stderr", bytes, n), true, false, n);
        return;
    }
    std::string body = "\"event\":\"fd_output\",\"fd\":" + std::to_string(stream) + ",\"data\":\"" +
                       owner_protocol::base64(bytes, n) + "\"";
    s.parent().push(owner_protocol::frame(body), true, false, n);
}

void endOutput(Supervisor& s, int fd, int stream) {
    s.endedOutputs.insert(stream);
    removeEvent(s.kq, fd, EVFILT_READ);
    // The terminal's master stays open: it still carries input and the final drain.
    if (!s.options.pty) ::close(fd);
    if (s.options.guardian) s.parent().emit("\"event\":\"stream_end\",\"fd\":" + std::to_string(stream));
}

void outputRead(Supervisor& s, int fd, int stream) {
    char buffer[readSize];
    ssize_t n = ::read(fd, buffer, sizeof buffer);
    if (n > 0) {
        pushOutput(s, stream, buffer, static_cast<std::size_t>(n));
        if (static_cast<std::size_t>(n) == sizeof buffer) s.kq.stillReadable(fd);
    } else if (n == 0 || (errno == EIO && s.options.pty)) {
        endOutput(s, fd, stream);
    } else if (errno != EAGAIN && errno != EINTR) {
        fail("worker output read");
    }
}

void takeLines(Supervisor& s, std::string& buffer, int fd) {
    std::size_t start = 0;
    for (std::size_t end; (end = buffer.find('\n', start)) != std::string::npos; start = end + 1)
        controlLine(s, buffer.substr(start, end - start), fd);
    buffer.erase(0, start);
}

// Returns false when the read found nothing, so that the iteration starts over at once.
bool controlRead(Supervisor& s, int fd) {
    char bytes[readSize];
    ssize_t n = ::read(fd, bytes, sizeof bytes);
    if (n < 0) {
        if (errno == EAGAIN || errno == EINTR) return false;
        fail("control read");
    }
    bool uplink = fd == s.outer.registryFd;
    if (n == 0) {
        removeEvent(s.kq, fd, EVFILT_READ);
        stop(s, uplink ? "parent_eof" : "owner_eof");
        return true;
    }
    std::string& buffer = uplink ? s.uplinkBuffer : s.controlBuffer;
    buffer.append(bytes, static_cast<std::size_t>(n));
    if (buffer.size() > controlLimit) throw std::runtime_error("control frame too large");
    takeLines(s, buffer, fd);
    return true;
}

// A writer whose budget ran out holds bytes that no event will announce: the loop must come
// round again instead of blocking.
bool writersOwe(Supervisor& s) {
    if (s.parent().backlog() || (s.uplinkWriter && s.uplinkWriter->backlog())) return true;
    if (!s.stdinClosed && !s.quiescent && s.rootInput->backlog()) return true;
    for (auto& [number, extra] : s.extraInputs)
        if (!extra.closed && extra.writer->backlog()) return true;
    for (auto& [fd, guardian] : s.registry.guardians)
        if (guardian->output.backlog()) return true;
    return false;
}

void timerFired(Supervisor& s, int64_t ident) {
    if (ident == recheckTimer) return;  // the wake-up alone matters
    if (ident == startupTimer) {
        stop(s, "startup_deadline");
    } else if (ident == graceTimer) {
        escalate(s);
        timer(s.kq, confirmTimer, s.options.confirmMs);
    } else {
        s.deadlineExpired = true;
    }
}

void signalled(Supervisor& s, int64_t signal) {
    if (signal == SIGCHLD)
        platform::reapChildrenExcept(s.outer.rootPid);
    else
        stop(s, "signal");
}

// Returns false when the after-dispatch step is to be skipped.
bool readable(Supervisor& s, int fd) {
    Registry& registry = s.registry;
    if (fd == registry.listenFd) {
        registry.acceptOne();
    } else if (auto guardian = registry.guardians.find(fd); guardian != registry.guardians.end()) {
        registry.read(*guardian->second);
    } else if (auto output = s.outputs.find(fd); output != s.outputs.end()) {
        if (!s.endedOutputs.count(output->second)) outputRead(s, fd, output->second);
    } else if (fd == 0 || fd == s.outer.registryFd) {
        return controlRead(s, fd);
    }
    return true;
}

bool dispatch(Supervisor& s, const platform::Event& event) {
    s.deadlineExpired = false;
    switch (event.filter) {
    case EVFILT_PROC:
        if (event.ident == s.outer.rootPid) s.rootExitSignalled = true;
        s.watchedPids.erase(static_cast<int>(event.ident));
        s.registry.processExit(static_cast<int>(event.ident));
        return true;
    case EVFILT_SIGNAL:
        signalled(s, event.ident);
        return true;
    case EVFILT_TIMER:
        timerFired(s, event.ident);
        return true;
    case EVFILT_READ:
        return readable(s, static_cast<int>(event.ident));
    default:
        return true;
    }
}

}  // namespace

int superviseLoop(Supervisor& s) {
    for (;;) {
        s.registry.advance();
        if (s.uplinkWriter) s.uplinkWriter->flush();
        checkWriters(s);
        serviceRootInput(s);
        serviceExtraInputs(s);
        checkQuiescence(s);
        if (s.quiescent && s.options.pty && !s.endedOutputs.count(1)) drainTerminal(s);
        if (parentLost(s)) return 1;
        if (s.quiescent && s.endedOutputs.size() == s.outputs.size() && !s.reapedSent) finalReport(s);
        s.parent().flush();
        if (s.reapedSent && s.parent().empty() && uplinkDrained(s)) return exitStatus(s);

        // A listing put off while events were waiting is owed before the loop may block: the
        // flushes above may have been the last of them. Nothing ready then means it is due.
        bool block = !s.listingDeferred && !writersOwe(s);
        platform::Event event;
        if (s.kq.wait(event, block) < 0) {
            if (errno == EINTR || errno == EAGAIN) continue;
            fail("kevent wait");
        }
        if (!dispatch(s, event)) continue;
        s.registry.advance();
        checkQuiescence(s);
        if (s.deadlineExpired) deadlineFailure(s);
    }
}
