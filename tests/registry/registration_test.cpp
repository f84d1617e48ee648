// The guardian registration client against a registry the test plays by hand on a plain
// listening socket. The client runs in a forked helper (it changes its session) and reports
// what it returned or threw.

#include "registry/registration.h"

#include <gtest/gtest.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <termios.h>

#include <memory>

#include "registry/helpers.h"
#include "scope/scope.h"

namespace {

using namespace registry_test;

const std::string token = "0123456789abcdef";
const std::string registerCommand = owner_protocol::frame(registerBody("command", token));
const std::string registerPty = owner_protocol::frame(registerBody("pty", token));
const std::string detached = owner_protocol::frame("\"event\":\"detached\"");
const std::string registered = owner_protocol::frame("\"event\":\"registered\"");
const std::string released = owner_protocol::frame("\"event\":\"released\"");
const std::string terminate = owner_protocol::frame("\"event\":\"terminate\"");

int listenAt(const std::string& path) {
    int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
    if (fd < 0 || ::bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) < 0 || ::listen(fd, 8) < 0)
        fail("test listen");
    return fd;
}

void sendAll(int fd, const std::string& bytes) {
    ASSERT_EQ(::write(fd, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
}

// Every byte the peer sends until it closes.
std::string drain(int fd) {
    std::string bytes;
    int64_t end = deadline();
    char buffer[4096];
    while (now() < end) {
        pollfd ready{fd, POLLIN, 0};
        if (::poll(&ready, 1, 100) <= 0) continue;
        ssize_t n = ::read(fd, buffer, sizeof buffer);
        if (n <= 0) break;
        bytes.append(buffer, static_cast<std::size_t>(n));
    }
    return bytes;
}

std::string flagsOf(int fd) {
    std::string text = (::fcntl(fd, F_GETFD) & FD_CLOEXEC) ? "cloexec" : "inherited";
    return text + ((::fcntl(fd, F_GETFL) & O_NONBLOCK) ? ",nonblocking" : ",blocking");
}

// What a successful registration left behind, as one line.
std::string describe(int fd, int master, int slave, uint32_t device) {
    std::string text = ::getsid(0) == ::getpid() && ::getpgrp() == ::getpid() ? "leader" : "not leader";
    text += " socket=" + flagsOf(fd);
    if (master >= 0) {
        winsize size{};
        struct stat status {};
        ::ioctl(slave, TIOCGWINSZ, &size);
        ::fstat(slave, &status);
        text += " window=" + std::to_string(size.ws_row) + "x" + std::to_string(size.ws_col);
        text += " master=" + flagsOf(master) + " slave=" + flagsOf(slave);
        text += device == status.st_rdev ? " device=slave" : " device=other";
        text += info(::getpid()).e_tdev == device ? " terminal=slave" : " terminal=other";
    }
    // Whatever the registry sent after released is still waiting in the socket.
    text += " next=" + nextEvent(fd);
    return text;
}

class RegistrationTest : public ::testing::Test {
protected:
    void SetUp() override { ::signal(SIGPIPE, SIG_IGN); }

    // The real client in a helper that starts inside the scope's group.
    std::unique_ptr<Forked> client(Options options, int64_t until, const std::string& path) {
        return std::make_unique<Forked>(scope.pid(), [=](const Child& child) {
            ::setenv("SOLKARI_NATIVE_OWNER_ENDPOINT", path.c_str(), 1);
            ::setenv("SOLKARI_NATIVE_OWNER_TOKEN", token.c_str(), 1);
            int master = -1, slave = -1;
            uint32_t device = 0;
            int fd = parentRegistration(options, master, slave, device, until);
            child.report(describe(fd, master, slave, device));
            child.linger();
        });
    }
    std::unique_ptr<Forked> client(Options options) { return client(options, deadline(), endpoint); }

    fixtures::Fd acceptFrom(int listener) {
        pollfd ready{listener, POLLIN, 0};
        if (::poll(&ready, 1, static_cast<int>(budgetMs)) <= 0) throw std::runtime_error("no connection");
        return fixtures::Fd(::accept4(listener, nullptr, nullptr, SOCK_CLOEXEC));
    }

    static std::string lineFrom(int fd) { return blockingReadLine(fd, deadline()) + "\n"; }

    fixtures::TempDir tmp{true};
    fixtures::ChildGroup scope{[] {
        ::pause();
        return 0;
    }};
    std::string endpoint = tmp.path() + "/control";
    fixtures::Fd server{listenAt(endpoint)};
};

TEST_F(RegistrationTest, ReleasedGuardianLeadsItsSessionAndKeepsLaterBytesUnread) {
    struct Case {
        const char* name;
        Options options;
        std::string registerLine;
        std::string description;
    };
    const Case cases[] = {
        {"command", guardianOptions(false), registerCommand, "leader socket=cloexec,nonblocking next=terminate"},
        {"pty", guardianOptions(true, 40, 120), registerPty,
         "leader socket=cloexec,nonblocking window=40x120 master=cloexec,nonblocking slave=cloexec,blocking "
         "device=slave terminal=slave next=terminate"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        auto helper = client(c.options);
        fixtures::Fd connection = acceptFrom(server.get());
        EXPECT_EQ(lineFrom(connection.get()), c.registerLine);
        sendAll(connection.get(), registered);
        EXPECT_EQ(lineFrom(connection.get()), detached);
        sendAll(connection.get(), released + terminate);
        EXPECT_EQ(helper->result(), c.description);
    }
}

TEST_F(RegistrationTest, RefusedOrBrokenHandshake) {
    struct Case {
        const char* name;
        std::vector<std::string> replies;  // one per line read; empty text closes instead
        const char* error;
    };
    const Case cases[] = {
        {"terminate instead of registered", {terminate}, "registration refused"},
        {"terminate instead of released", {registered, terminate}, "release refused"},
        {"closed after register", {""}, "handshake EOF"},
        {"closed after detached", {registered, ""}, "handshake EOF"},
        {"reply of another version", {owner_protocol::frame("\"event\":\"registered\"").replace(11, 1, "2")},
         "protocol version"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        auto helper = client(guardianOptions(false));
        fixtures::Fd connection = acceptFrom(server.get());
        for (const std::string& reply : c.replies) {
            lineFrom(connection.get());
            if (reply.empty()) {
                connection.reset();
                break;
            }
            sendAll(connection.get(), reply);
        }
        EXPECT_EQ(helper->result(), c.error);
    }
}

TEST_F(RegistrationTest, PassedDeadlineFailsBeforeAnyByteIsWritten) {
    auto helper = client(guardianOptions(false), now() - 1, endpoint);
    fixtures::Fd connection = acceptFrom(server.get());
    EXPECT_EQ(helper->result(), "handshake write deadline");
    helper->kill();
    EXPECT_EQ(drain(connection.get()), "");
}

TEST_F(RegistrationTest, MissingEnvironmentFailsBeforeAnySocketIsMade) {
    for (const char* name : {"SOLKARI_NATIVE_OWNER_ENDPOINT", "SOLKARI_NATIVE_OWNER_TOKEN"}) {
        SCOPED_TRACE(name);
        std::string path = endpoint;
        Forked helper(scope.pid(), [=](const Child& child) {
            ::setenv("SOLKARI_NATIVE_OWNER_ENDPOINT", path.c_str(), 1);
            ::setenv("SOLKARI_NATIVE_OWNER_TOKEN", token.c_str(), 1);
            ::unsetenv(name);
            int lowestFree = ::dup(0);
            ::close(lowestFree);
            int master = -1, slave = -1;
            uint32_t device = 0;
            std::string error = errorOf([&] { parentRegistration(guardianOptions(false), master, slave, device, deadline()); });
            int after = ::dup(0);
            child.report(error + (after == lowestFree ? "" : " (descriptor made)"));
        });
        EXPECT_EQ(helper.result(), "native owner environment required");
    }
}

TEST_F(RegistrationTest, EndpointLengthLimit) {
    const std::size_t limit = platform::socketPathLimit();
    auto pathOf = [&](std::size_t length) { return tmp.path() + "/" + std::string(length - tmp.path().size() - 1, 'e'); };

    fixtures::Fd longest{listenAt(pathOf(limit))};
    auto helper = client(guardianOptions(false), deadline(), pathOf(limit));
    fixtures::Fd connection = acceptFrom(longest.get());
    EXPECT_EQ(lineFrom(connection.get()), registerCommand);
    sendAll(connection.get(), registered);
    EXPECT_EQ(lineFrom(connection.get()), detached);
    sendAll(connection.get(), released + terminate);
    EXPECT_EQ(helper->result(), "leader socket=cloexec,nonblocking next=terminate");

    auto tooLong = client(guardianOptions(false), deadline(), pathOf(limit + 1));
    EXPECT_EQ(tooLong->result(), "registry path too long");
}

TEST_F(RegistrationTest, ConnectFailuresCarryTheSystemText) {
    std::string unbound = tmp.path() + "/absent";
    std::string deaf = tmp.path() + "/deaf";
    fixtures::Fd deafSocket(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::memcpy(address.sun_path, deaf.c_str(), deaf.size() + 1);
    ASSERT_EQ(::bind(deafSocket.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address), 0);
    struct Case {
        std::string path;
        std::string error;
    };
    for (const Case& c : {Case{unbound, std::string("guardian registry connect: ") + std::strerror(ENOENT)},
                          Case{deaf, std::string("guardian registry connect: ") + std::strerror(ECONNREFUSED)}}) {
        SCOPED_TRACE(c.path);
        auto helper = client(guardianOptions(false), deadline(), c.path);
        EXPECT_EQ(helper->result(), c.error);
    }
}

// blockingLine needs no session change, so it runs in the test itself.
TEST(BlockingLine, WritesEverythingOrFailsByTheDeadline) {
    ::signal(SIGPIPE, SIG_IGN);
    struct Case {
        const char* name;
        std::function<void(int mine, fixtures::Fd& peer)> prepare;
        int64_t deadlineFromNow;
        std::string error;
        const char* arrived;  // what the peer then finds, when it is worth looking
    };
    auto nothing = [](int, fixtures::Fd&) {};
    auto fill = [](int mine, fixtures::Fd&) {
        std::string block(65536, 'f');
        while (::write(mine, block.data(), block.size()) > 0) {
        }
    };
    auto closePeer = [](int, fixtures::Fd& peer) { peer.reset(); };
    const Case cases[] = {
        {"room to write", nothing, budgetMs, "", "line\n"},
        {"deadline already passed", nothing, -1, "handshake write deadline", ""},
        {"no room before the deadline", fill, 200, "handshake write deadline", nullptr},
        {"peer gone", closePeer, budgetMs, std::string("handshake write: ") + std::strerror(EPIPE), nullptr},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        int pair[2];
        ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0, pair), 0);
        fixtures::Fd mine(pair[0]), peer(pair[1]);
        c.prepare(mine.get(), peer);
        EXPECT_EQ(errorOf([&] { blockingLine(mine.get(), "line\n", now() + c.deadlineFromNow); }), c.error);
        if (c.arrived != nullptr) {
            char bytes[16];
            ssize_t n = ::recv(peer.get(), bytes, sizeof bytes, MSG_DONTWAIT);
            EXPECT_EQ(n > 0 ? std::string(bytes, static_cast<std::size_t>(n)) : "", c.arrived);
        }
    }
}

}  // namespace
