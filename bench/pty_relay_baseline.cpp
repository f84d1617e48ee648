// The keystroke baseline: the least a terminal relay must do for the same protocol work as a
// pty guardian. It runs its command on a new pseudo-terminal, takes guardian write lines on
// its standard input (JSON, base64) and writes each read of the terminal as one output line,
// waiting in poll. A terminate line or end of input kills the command and ends the relay.
//
// Usage: pty_relay_baseline COMMAND [ARGUMENTS...]
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <string>

#include "protocol/owner_protocol.h"
#include "protocol/parse.h"

namespace {

bool writeAll(int fd, const std::string& bytes) {
    for (std::size_t done = 0; done < bytes.size();) {
        ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        done += static_cast<std::size_t>(n);
    }
    return true;
}

// Handles every complete line in `pending`; false once the relay is to end.
bool takeLines(std::string& pending, int master) {
    std::size_t start = 0;
    for (std::size_t end; (end = pending.find('\n', start)) != std::string::npos; start = end + 1) {
        Fields fields = parse(pending.substr(start, end - start));
        if (fields["event"] != "write") return false;
        if (!writeAll(master, decode(fields["data"]))) return false;
    }
    pending.erase(0, start);
    return true;
}

int finish(int child, int status) {
    ::kill(child, SIGKILL);
    ::waitpid(child, nullptr, 0);
    return status;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) return 2;
    int master = -1;
    int child = ::forkpty(&master, nullptr, nullptr, nullptr);
    if (child < 0) return 1;
    if (child == 0) {
        ::execvp(argv[1], argv + 1);
        ::_exit(127);
    }
    ::signal(SIGPIPE, SIG_IGN);
    std::string pending;
    char buffer[8192];
    pollfd fds[2] = {{0, POLLIN, 0}, {master, POLLIN, 0}};
    for (;;) {
        if (::poll(fds, 2, -1) < 0) {
            if (errno == EINTR) continue;
            return finish(child, 1);
        }
        if (fds[0].revents) {
            ssize_t n = ::read(0, buffer, sizeof buffer);
            if (n <= 0) return finish(child, 0);
            pending.append(buffer, static_cast<std::size_t>(n));
            if (!takeLines(pending, master)) return finish(child, 0);
        }
        if (fds[1].revents) {
            ssize_t n = ::read(master, buffer, sizeof buffer);
            if (n <= 0) return finish(child, 0);
            if (!writeAll(1, owner_protocol::output("stdout", buffer, static_cast<std::size_t>(n)))) return finish(child, 1);
        }
    }
}
