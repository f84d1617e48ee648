// The throughput baseline: the least a relay must do for the same protocol work as the
// supervisor's output path. It reads its standard input at most 8192 bytes at a time and
// writes one output line per read to its standard output with blocking writes.
#include <unistd.h>

#include <cerrno>
#include <string>

#include "protocol/owner_protocol.h"

namespace {

bool writeAll(const std::string& line) {
    for (std::size_t done = 0; done < line.size();) {
        ssize_t n = ::write(1, line.data() + done, line.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        done += static_cast<std::size_t>(n);
    }
    return true;
}

}  // namespace

int main() {
    char buffer[8192];
    for (;;) {
        ssize_t n = ::read(0, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return 1;
        if (n == 0) return 0;
        if (!writeAll(owner_protocol::output("stdout", buffer, static_cast<std::size_t>(n)))) return 1;
    }
}
