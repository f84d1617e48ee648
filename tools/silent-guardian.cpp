// A stand-in for a nested guardian that never proves its scope empty, for the tests of the
// confirmation deadline. Started below a supervisor, it registers with the registry named by
// the inherited environment, makes itself a session leader, gets released, prints
// "released PID" on standard output and then holds its connection open, ignoring every line,
// until the supervisor closes it. A real guardian would answer terminate with a quiescence
// proof; this one never does.
#include <fcntl.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "protocol/owner_protocol.h"
#include "protocol/parse.h"

namespace {

bool writeAll(int fd, const std::string& bytes) {
    std::size_t done = 0;
    while (done < bytes.size()) {
        ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        done += static_cast<std::size_t>(n);
    }
    return true;
}

// One reply line, byte by byte, so that nothing after it is consumed.
std::string readLine(int fd) {
    std::string line;
    char c;
    for (;;) {
        ssize_t n = ::read(fd, &c, 1);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0 || c == '\n') return line;
        line += c;
    }
}

int refuse(const char* what) {
    std::fprintf(stderr, "silent-guardian: %s\n", what);
    return 2;
}

}  // namespace

int main() {
    // Whatever happens, it does not outlive a forgotten test by much.
    ::alarm(60);
    const char* endpoint = std::getenv("SOLKARI_NATIVE_OWNER_ENDPOINT");
    const char* token = std::getenv("SOLKARI_NATIVE_OWNER_TOKEN");
    if (endpoint == nullptr || token == nullptr) return refuse("no registry in the environment");

    int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    if (fd < 0 || std::strlen(endpoint) >= sizeof address.sun_path) return refuse("socket");
    std::strcpy(address.sun_path, endpoint);
    if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) return refuse("connect");

    std::string registerBody = std::string("\"event\":\"register\",\"kind\":\"command\",\"token\":\"") + token + "\"";
    if (!writeAll(fd, owner_protocol::frame(registerBody))) return refuse("register write");
    try {
        if (parse(readLine(fd))["event"] != "registered") return refuse("not registered");
        if (::setsid() < 0) return refuse("setsid");
        if (!writeAll(fd, owner_protocol::frame("\"event\":\"detached\""))) return refuse("detached write");
        if (parse(readLine(fd))["event"] != "released") return refuse("not released");
    } catch (const std::exception& error) {
        return refuse(error.what());
    }

    std::printf("released %d\n", static_cast<int>(::getpid()));
    std::fflush(stdout);
    // Let go of the supervisor's streams, so that only the registry connection ties it here.
    int null = ::open("/dev/null", O_RDWR);
    for (int target = 0; target <= 2; ++target) ::dup2(null, target);
    if (null > 2) ::close(null);

    char buffer[512];
    for (;;) {
        ssize_t n = ::read(fd, buffer, sizeof buffer);
        if (n == 0 || (n < 0 && errno != EINTR)) return 0;
    }
}
