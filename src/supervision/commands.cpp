#include "supervision/commands.h"

#include <sys/ioctl.h>
#include <termios.h>

#include <csignal>
#include <stdexcept>

#include "protocol/parse.h"
#include "scope/scope.h"
#include "supervision/teardown.h"

namespace {

void ownerWord(Supervisor& s, const std::string& line) {
    if (line == "terminate") {
        stop(s, "terminate");
        return;
    }
    if (line == "ready") {
        if (s.stopping) return;
        if (!s.ready && now() < s.startupDeadline) {
            s.ready = true;
            removeEvent(s.kq, startupTimer, EVFILT_TIMER);
            s.parent().emit("\"event\":\"ready\"");
            return;
        }
    }
    s.failStage = "control_protocol";
    stop(s, "control_protocol");
}

int inputTarget(const std::string& fd) { return fd == "0" ? 0 : positive(fd); }

void extraInputCommand(ExtraInput& input, bool write, std::string&& bytes) {
    if (input.closed || input.ending) throw std::runtime_error("input fd already ended");
    if (write)
        input.writer->push(std::move(bytes), true, false, 0);
    else
        input.ending = true;
}

void stdinCommand(Supervisor& s, bool write, std::string&& bytes) {
    if (s.stdinClosed || s.stdinEnding) throw std::runtime_error("stdin already ended");
    if (write)
        s.rootInput->push(std::move(bytes), true, false, 0);
    else
        s.stdinEnding = true;
}

void inputCommand(Supervisor& s, Fields& fields, bool write) {
    int target = inputTarget(fields["fd"]);
    if (!write && s.options.pty) throw std::runtime_error("PTY end input");
    if (target != 0 && s.extraInputs.count(target) == 0) throw std::runtime_error("unknown input fd");
    std::string bytes = write ? decode(fields["data"]) : std::string();
    if (s.stopping) return;
    if (target != 0)
        extraInputCommand(s.extraInputs.at(target), write, std::move(bytes));
    else
        stdinCommand(s, write, std::move(bytes));
}

void resizeCommand(Supervisor& s, Fields& fields) {
    int cols = positive(fields["cols"]);
    int rows = positive(fields["rows"]);
    if (cols >= 65536 || rows >= 65536) throw std::runtime_error("PTY size");
    winsize size{};
    size.ws_row = static_cast<unsigned short>(rows);
    size.ws_col = static_cast<unsigned short>(cols);
    if (::ioctl(s.outer.ptyMaster, TIOCSWINSZ, &size) < 0) fail("PTY resize");
}

int signalNamed(const std::string& name) {
    if (name == "SIGINT") return SIGINT;
    if (name == "SIGTERM") return SIGTERM;
    if (name == "SIGKILL") return SIGKILL;
    throw std::runtime_error("command signal");
}

void signalRootGroup(Supervisor& s, int signal) {
    for (int pid : members(s.outer.rootPid, false, 0)) {
        ProcessRecord record = info(pid);
        if (record.pbi_pid != 0 && record.pbi_status != SZOMB) signalIdentity(pid, record.p_idversion, signal);
    }
}

void signalCommand(Supervisor& s, Fields& fields) {
    int signal = signalNamed(fields["signal"]);
    if (signal != SIGINT) stop(s, "signal");
    if (signal == SIGKILL) {
        s.killing = true;
        s.listingOwed = true;
        removeEvent(s.kq, graceTimer, EVFILT_TIMER);
        timer(s.kq, confirmTimer, s.options.confirmMs);
    }
    signalRootGroup(s, signal);
}

void guardianLine(Supervisor& s, const std::string& line, int source) {
    Fields fields = parse(line);
    if (s.quiescent) return;
    const std::string& event = fields["event"];
    if (event == "terminate") {
        stop(s, "terminate");
        return;
    }
    if (source == s.outer.registryFd) throw std::runtime_error("parent registry command");
    if (event == "write" || event == "end") {
        inputCommand(s, fields, event == "write");
    } else if (event == "resize" && s.options.pty) {
        resizeCommand(s, fields);
    } else if (event == "signal" && !s.options.pty) {
        signalCommand(s, fields);
    } else if (!s.stopping) {
        throw std::runtime_error("guardian input protocol");
    }
}

}  // namespace

void controlLine(Supervisor& s, const std::string& line, int source) {
    if (s.options.guardian)
        guardianLine(s, line, source);
    else
        ownerWord(s, line);
}
