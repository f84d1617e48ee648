// A registry's line handling, fed through a real socket pair: each run constructs a
// registry (in a private temporary directory), connects a client to its endpoint, accepts
// the connection, writes the input from the client side in chunks, reads until the
// connection is drained, advances, and finally ends the connection and destroys the
// registry. The client is this process, so registration sees a live peer.
//
// The first input byte chooses the set-up:
//   bits 0-1  the peer and the scope: 0 this process, inside the root's process group;
//             1 this process, outside it; 2 a helper child that leads its own session and
//             group and is the root group (so that it registers and its detach passes);
//             3 this process, with the scope taken by controlling terminal
//   bits 2-3  chunks: one per line, 1..16-byte pieces, 4096-byte pieces, or all at once
//   bit 4     the registry begins terminating before the first chunk
//   bit 5     the registry begins terminating after the first chunk
//   bit 6     the client closes at the end instead of only shutting down its sending side
//   bit 7     the client never ends the connection
// "@t" in the rest is replaced by the registry's token, so that registration can succeed.
//
// Properties: a rejection is a std::runtime_error with a fixed registry or parse message;
// an entry's flags only go from false to true; after a handled read the buffer holds no
// newline and at most 65536 bytes; replies are whole protocol lines of the three reply
// events; empty() agrees with blocking(); nothing is left open or on disk after a run.
#include <fcntl.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <memory>
#include <string>
#include <vector>

#include "registry/registry.h"
#include "scope/scope.h"
#include "support.h"

namespace {

constexpr std::initializer_list<const char*> registryMessages = {
    "registry frame too large",
    "registry registration refused",
    "guardian must register before detach",
    "guardian exited before registration",
    "guardian detach identity",
    "guardian registry protocol",
    "guardian exited without quiescent proof",
};

struct World {
    std::string tmp;
    int helper = -1;         // pid of the session-leading helper
    int helperControl = -1;  // our end of the socket pair it listens on
};

World* world = nullptr;

// FUZZ_TRACE=1 prints each reply and rejection, to see what a reproducer does.
const bool trace = std::getenv("FUZZ_TRACE") != nullptr;

void cleanup() {
    if (world == nullptr) return;
    if (world->helper > 0) {
        ::kill(world->helper, SIGKILL);
        ::waitpid(world->helper, nullptr, 0);
        world->helper = -1;
    }
    fuzz::removePrivateDirectory(world->tmp);
}

// The helper connects to a path it is sent and hands the connected descriptor back, so that
// the registry's peer is a process that leads its own session and group, as a detached
// guardian does. It dies with this process however this process ends.
void helperMain(int control, pid_t parent) {
    ::prctl(PR_SET_PDEATHSIG, SIGKILL);
    if (::getppid() != parent) ::_exit(0);
    ::setsid();
    ::syscall(SYS_close_range, 3u, static_cast<unsigned>(control - 1), 0u);
    ::syscall(SYS_close_range, static_cast<unsigned>(control + 1), ~0u, 0u);
    for (;;) {
        char path[sizeof(sockaddr_un::sun_path)] = {};
        ssize_t n = ::recv(control, path, sizeof path - 1, 0);
        if (n <= 0) ::_exit(0);
        int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        std::memcpy(address.sun_path, path, static_cast<std::size_t>(n));
        char ok = fd >= 0 && ::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
        iovec data{&ok, 1};
        alignas(cmsghdr) char space[CMSG_SPACE(sizeof(int))] = {};
        msghdr message{};
        message.msg_iov = &data;
        message.msg_iovlen = 1;
        if (ok) {
            message.msg_control = space;
            message.msg_controllen = sizeof space;
            cmsghdr* header = CMSG_FIRSTHDR(&message);
            header->cmsg_level = SOL_SOCKET;
            header->cmsg_type = SCM_RIGHTS;
            header->cmsg_len = CMSG_LEN(sizeof(int));
            std::memcpy(CMSG_DATA(header), &fd, sizeof fd);
        }
        if (::sendmsg(control, &message, 0) < 0) ::_exit(0);
        if (fd >= 0) ::close(fd);
    }
}

void startHelper() {
    int ends[2];
    if (::socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, ends) < 0) fuzz::violated("socketpair");
    const pid_t parent = ::getpid();
    const pid_t pid = ::fork();
    if (pid < 0) fuzz::violated("fork of the helper failed");
    if (pid == 0) {
        ::close(ends[0]);
        helperMain(ends[1], parent);
    }
    ::close(ends[1]);
    world->helper = pid;
    world->helperControl = ends[0];
    // Until the helper has made its session, its group is still ours.
    for (int i = 0; i < 10000 && ::getsid(pid) != pid; ++i) ::usleep(100);
    fuzz::require(::getsid(pid) == pid, "the helper did not become a session leader");
}

// A connection to path made by the helper, or -1.
int helperConnect(const std::string& path) {
    if (::send(world->helperControl, path.data(), path.size(), 0) < 0) fuzz::violated("send to the helper");
    char ok = 0;
    iovec data{&ok, 1};
    alignas(cmsghdr) char space[CMSG_SPACE(sizeof(int))] = {};
    msghdr message{};
    message.msg_iov = &data;
    message.msg_iovlen = 1;
    message.msg_control = space;
    message.msg_controllen = sizeof space;
    if (::recvmsg(world->helperControl, &message, MSG_CMSG_CLOEXEC) <= 0) fuzz::violated("the helper went away");
    cmsghdr* header = CMSG_FIRSTHDR(&message);
    if (!ok || header == nullptr || header->cmsg_type != SCM_RIGHTS) return -1;
    int fd;
    std::memcpy(&fd, CMSG_DATA(header), sizeof fd);
    return fd;
}

void setUp() {
    world = new World;
    ::signal(SIGPIPE, SIG_IGN);  // as the program itself does at start-up
    const char* base = std::getenv("TMPDIR");
    std::string templ = std::string(base && *base ? base : "/tmp") + "/fuzz-registry-XXXXXX";
    if (::mkdtemp(templ.data()) == nullptr) fuzz::violated("mkdtemp of the private temporary directory");
    world->tmp = templ;
    ::setenv("TMPDIR", world->tmp.c_str(), 1);
    fuzz::onExit(cleanup);
    startHelper();
}

bool allowedMessage(std::string_view m) {
    return fuzz::oneOf(m, registryMessages) || fuzz::oneOf(m, fuzz::parseMessages);
}

std::string withToken(const std::string& input, const std::string& token) {
    std::string out;
    out.reserve(input.size());
    for (std::size_t i = 0; i < input.size(); ++i) {
        if (input[i] == '@' && i + 1 < input.size() && input[i + 1] == 't') {
            out += token;
            ++i;
        } else {
            out += input[i];
        }
    }
    return out;
}

std::vector<std::string> chunksOf(const std::string& bytes, int how, uint8_t selector) {
    std::vector<std::string> chunks;
    if (how == 0) {
        std::size_t start = 0;
        while (start < bytes.size()) {
            std::size_t end = bytes.find('\n', start);
            end = end == std::string::npos ? bytes.size() : end + 1;
            chunks.push_back(bytes.substr(start, end - start));
            start = end;
        }
    } else {
        const std::size_t piece = how == 1 ? 1 + (selector >> 4) % 16 : how == 2 ? 4096 : std::max<std::size_t>(bytes.size(), 1);
        for (std::size_t start = 0; start < bytes.size(); start += piece) chunks.push_back(bytes.substr(start, piece));
    }
    return chunks;
}

struct Flags {
    bool registered, released, quiescent, exited, eof;
};

Flags flagsOf(const Registry::Guardian& g) { return {g.registered, g.released, g.quiescent, g.exited, g.eof}; }

void requireMonotonic(const Flags& a, const Flags& b) {
    auto keep = [](bool before, bool after, const char* name) {
        fuzz::require(!before || after, std::string("guardian flag went from true to false: ") + name);
    };
    keep(a.registered, b.registered, "registered");
    keep(a.released, b.released, "released");
    keep(a.quiescent, b.quiescent, "quiescent");
    keep(a.exited, b.exited, "exited");
    keep(a.eof, b.eof, "eof");
    fuzz::require(!b.released || b.registered, "released without being registered");
    fuzz::require(!b.quiescent || b.released, "quiescent without being released");
}

int pending(int fd) {
    int bytes = 0;
    if (::ioctl(fd, FIONREAD, &bytes) < 0) return 0;
    return bytes;
}

struct Descriptor {
    int fd = -1;
    ~Descriptor() {
        if (fd >= 0) ::close(fd);
    }
};

class Run {
public:
    Run(Kqueue& kq, uint8_t selector) : registry(kq), selector(selector) {
        const int peer = selector & 3;
        registry.rootGroup = peer == 0 ? ::getpgrp() : peer == 1 ? ::getpgrp() + 1 : world->helper;
        if (peer == 3) {
            registry.ttyScope = true;
            registry.ttyDevice = info(::getpid()).e_tdev;
        }
        if (peer == 2) {
            client.fd = helperConnect(registry.endpoint);
            if (client.fd < 0) fuzz::violated("the helper could not connect to the registry endpoint");
        } else {
            client.fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
            if (client.fd < 0) fuzz::violated("client socket");
            sockaddr_un address{};
            address.sun_family = AF_UNIX;
            std::memcpy(address.sun_path, registry.endpoint.c_str(), registry.endpoint.size() + 1);
            if (::connect(client.fd, reinterpret_cast<sockaddr*>(&address), sizeof address) < 0)
                fuzz::violated(std::string("connect to the registry endpoint: ") + std::strerror(errno));
        }
        ::fcntl(client.fd, F_SETFL, O_NONBLOCK);
        registry.acceptOne();
        fuzz::require(registry.guardians.size() == 1, "accepted connection not in the table");
        fd = registry.guardians.begin()->first;
        fuzz::require(registry.guardians.begin()->second->pid == (peer == 2 ? world->helper : ::getpid()),
                      "peer pid is not the connecting process");
    }

    Registry::Guardian* entry() {
        auto found = registry.guardians.find(fd);
        return found == registry.guardians.end() ? nullptr : found->second.get();
    }

    // One read of the registry, with the checks that hold after every handled read.
    void readOnce(Registry::Guardian& g) {
        const Flags before = flagsOf(g);
        registry.read(g);
        requireMonotonic(before, flagsOf(g));
        fuzz::require(g.buffer.find('\n') == std::string::npos, "a complete line left in the buffer");
        fuzz::require(g.buffer.size() <= 65536, "more than 65536 unprocessed bytes kept");
    }

    // Reads until the connection holds nothing more (or has ended).
    void drainConnection() {
        for (int round = 0; round < 1000; ++round) {
            Registry::Guardian* g = entry();
            if (g == nullptr || g->eof) return;
            if (pending(fd) == 0 && !clientClosed) return;
            readOnce(*g);
        }
        fuzz::violated("the registry did not drain its connection");
    }

    void advance() {
        Registry::Guardian* g = entry();
        const Flags before = g ? flagsOf(*g) : Flags{};
        const bool wasRetirable =
            g && g->eof && (!g->registered || (g->exited && (!g->released || g->quiescent)));
        registry.advance();
        Registry::Guardian* after = entry();
        if (g != nullptr && after != nullptr) requireMonotonic(before, flagsOf(*after));
        if (wasRetirable) fuzz::require(after == nullptr, "a finished entry was not retired");
        fuzz::require(registry.empty() == registry.blocking().empty(), "empty() disagrees with blocking()");
        takeReplies();
    }

    void send(const std::string& chunk) {
        std::size_t offset = 0;
        for (int round = 0; offset < chunk.size(); ++round) {
            fuzz::require(round < 100000, "the registry stopped taking bytes");
            ssize_t n = ::write(client.fd, chunk.data() + offset, chunk.size() - offset);
            if (n > 0) {
                offset += static_cast<std::size_t>(n);
                continue;
            }
            if (n < 0 && errno != EAGAIN) fuzz::violated(std::string("client write: ") + std::strerror(errno));
            Registry::Guardian* g = entry();
            if (g == nullptr || g->eof) return;  // nobody reads any more
            readOnce(*g);
        }
    }

    // Replies must be whole lines of the three events a registry sends.
    void takeReplies() {
        if (client.fd < 0) return;
        char buffer[4096];
        for (;;) {
            ssize_t n = ::read(client.fd, buffer, sizeof buffer);
            if (n <= 0) break;
            replies.append(buffer, static_cast<std::size_t>(n));
        }
        std::size_t newline;
        while ((newline = replies.find('\n')) != std::string::npos) {
            const std::string line = replies.substr(0, newline);
            replies.erase(0, newline + 1);
            if (trace) std::fprintf(stderr, "reply: %s\n", line.c_str());
            fuzz::require(line == "{\"version\":1,\"event\":\"registered\"}" ||
                              line == "{\"version\":1,\"event\":\"released\"}" ||
                              line == "{\"version\":1,\"event\":\"terminate\"}",
                          "unexpected reply line: " + line);
        }
    }

    void endClient() {
        if (selector & 0x80) return;
        if (selector & 0x40) {
            ::close(client.fd);
            client.fd = -1;
        } else {
            ::shutdown(client.fd, SHUT_WR);
        }
        clientClosed = true;
    }

    // The client closes before the registry goes, as a guardian's end would.
    Registry registry;
    Descriptor client;
    uint8_t selector;
    int fd = -1;
    bool clientClosed = false;
    std::string replies;
};

void exercise(const std::string& input, uint8_t selector) {
    Kqueue kq;
    try {
        Run run(kq, selector);
        const std::string bytes = withToken(input, run.registry.token);
        const std::vector<std::string> chunks = chunksOf(bytes, (selector >> 2) & 3, selector);
        if (selector & 0x10) run.registry.begin();
        for (std::size_t i = 0; i < chunks.size(); ++i) {
            run.send(chunks[i]);
            run.drainConnection();
            run.advance();
            if (i == 0 && (selector & 0x20)) run.registry.begin();
        }
        run.endClient();
        run.drainConnection();
        run.advance();
        run.advance();
        if (run.clientClosed) {
            Registry::Guardian* g = run.entry();
            fuzz::require(g == nullptr || g->eof, "ended connection not at end of file");
            if (g && !g->registered) fuzz::violated("an unregistered entry at end of file was not retired");
        }
    } catch (...) {
        fuzz::classify(std::current_exception(), "registry", allowedMessage);
        if (trace) {
            try {
                throw;
            } catch (const std::exception& e) {
                std::fprintf(stderr, "raised: %s\n", e.what());
            }
        }
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (world == nullptr) setUp();
    if (size == 0) return 0;
    // Counted afresh each run: between runs libFuzzer itself may open descriptors.
    const int descriptors = fuzz::openDescriptors();
    exercise(std::string(reinterpret_cast<const char*>(data) + 1, size - 1), data[0]);
    fuzz::require(fuzz::openDescriptors() == descriptors,
                  "descriptors leaked by a run: " + fuzz::describeDescriptors());
    fuzz::require(fuzz::entriesIn(world->tmp) == 0, "a registry directory was left behind");
    return 0;
}
