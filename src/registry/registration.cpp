#include "registry/registration.h"

#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <stdexcept>

#include "platform/platform.h"
#include "platform/sys.h"
#include "protocol/owner_protocol.h"
#include "protocol/parse.h"
#include "scope/scope.h"

namespace {

// Milliseconds left before deadline, never negative, as a poll timeout.
int remaining(int64_t deadline) {
    int64_t left = deadline - now();
    if (left <= 0) return 0;
    return left > INT_MAX ? INT_MAX : static_cast<int>(left);
}

bool waitWritable(int fd, int timeout) {
    pollfd request{fd, POLLOUT, 0};
    return ::poll(&request, 1, timeout) > 0;
}

sockaddr_un registryAddress(const std::string& endpoint) {
    sockaddr_un address;
    std::memset(&address, 0, sizeof address);
    address.sun_family = AF_UNIX;
    if (endpoint.size() > platform::socketPathLimit()) throw std::runtime_error("registry path too long");
    std::memcpy(address.sun_path, endpoint.c_str(), endpoint.size() + 1);
    return address;
}

void connectBefore(int fd, const sockaddr_un& address, int64_t deadline) {
    if (::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0) return;
    if (errno != EINPROGRESS) fail("guardian registry connect");
    int timeout = remaining(deadline);
    if (timeout == 0 || !waitWritable(fd, timeout)) throw std::runtime_error("registry connect deadline");
    int pending = 0;
    socklen_t length = sizeof pending;
    if (::getsockopt(fd, SOL_SOCKET, SO_ERROR, &pending, &length) < 0) fail("registry connect status");
    if (pending != 0) {
        errno = pending;
        fail("registry connect completion");
    }
}

std::string registerLine(bool pty, const std::string& token) {
    std::string body = "\"event\":\"register\",\"kind\":\"";
    body += pty ? "pty" : "command";
    body += "\",\"token\":\"";
    body += token;
    body += "\"";
    return owner_protocol::frame(body);
}

void expectReply(int fd, int64_t deadline, const char* event, const char* refusal) {
    Fields reply = parse(blockingReadLine(fd, deadline));
    if (reply["event"] != event) throw std::runtime_error(refusal);
}

void takeTerminal(const Options& options, int& ptyMaster, int& ptySlave, uint32_t& ttyDevice) {
    auto rows = static_cast<unsigned short>(options.rows);
    auto cols = static_cast<unsigned short>(options.cols);
    if (platform::openTerminal(ptyMaster, ptySlave, rows, cols) < 0) fail("openpty");
    fdFlags(ptyMaster, true);
    fdFlags(ptySlave, false);
    if (::ioctl(ptySlave, TIOCSCTTY, 0) < 0) fail("controlling PTY");
    struct stat device;
    if (::fstat(ptySlave, &device) < 0) fail("PTY device");
    ttyDevice = static_cast<uint32_t>(device.st_rdev);
    if (info(::getpid()).e_tdev != ttyDevice) throw std::runtime_error("guardian controlling TTY mismatch");
}

}  // namespace

int parentRegistration(const Options& options, int& ptyMaster, int& ptySlave, uint32_t& ttyDevice,
                       int64_t deadline) {
    const char* endpoint = std::getenv("SOLKARI_NATIVE_OWNER_ENDPOINT");
    const char* token = std::getenv("SOLKARI_NATIVE_OWNER_TOKEN");
    if (endpoint == nullptr || token == nullptr) throw std::runtime_error("native owner environment required");
    int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
    if (fd < 0) fail("guardian registration socket");
    fdFlags(fd, true);
    connectBefore(fd, registryAddress(endpoint), deadline);
    blockingLine(fd, registerLine(options.pty, token), deadline);
    expectReply(fd, deadline, "registered", "registration refused");
    // The scope check above needed us inside the enclosing scope; the detach check needs
    // us out of it, leading a session of our own.
    if (::setsid() < 0) fail("guardian setsid");
    if (options.pty) takeTerminal(options, ptyMaster, ptySlave, ttyDevice);
    blockingLine(fd, owner_protocol::frame("\"event\":\"detached\""), deadline);
    expectReply(fd, deadline, "released", "release refused");
    return fd;
}

void blockingLine(int fd, const std::string& line, int64_t deadline) {
    std::size_t written = 0;
    while (written < line.size()) {
        int timeout = remaining(deadline);
        if (timeout == 0 || !waitWritable(fd, timeout)) throw std::runtime_error("handshake write deadline");
        ssize_t n = ::write(fd, line.data() + written, line.size() - written);
        if (n > 0) {
            written += static_cast<std::size_t>(n);
        } else if (n == 0) {
            throw std::runtime_error("handshake closed");
        } else if (errno != EINTR && errno != EAGAIN && errno != EWOULDBLOCK) {
            fail("handshake write");
        }
    }
}
